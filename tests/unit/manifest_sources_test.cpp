// Manifest loading over an in-memory HTTP client: fallbacks, limits and the
// bar, with the lines the fetches add to the main log.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/text.h"
#include "fake_http_client.h"
#include "log_capture.h"
#include "dry_run/repair_dry_run.h"
#include "manifest/manifest.h"
#include "recording_display.h"
#include "ui/progress.h"

namespace rr {
namespace {

using test::LogCapture;
using Lines = std::vector<std::wstring>;

class ManifestSources : public ::testing::Test {
  protected:
    // Publishes a body and returns its URL.
    std::wstring Serve(const std::string& name, const std::string& body) {
        http.Serve(Url(name), body);
        return Url(name);
    }
    std::wstring Url(const std::string& name) {
        return Utf8ToUtf16("http://127.0.0.1:8080/patch/" + name);
    }

    test::FakeHttpClient http;
    test::RecordingDisplay recorder;
    LogCapture logs;
    Manifest manifest;
    std::wstring used;
    // The update mode's display of the loader's steps.
    ManifestProgress progress = [](const std::wstring& detail, uint32_t index, uint32_t count,
                                   int sub) {
        ShowBandStep(L"Checking updates...", detail, kManifestLoadBand, index, count, sub);
    };
};

const char* const kValid =
    R"({"version": "7", "files": [{"path": "Data/x.bmd", "url": "Data/x.bmd", "size": 3,)"
    R"( "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}]})";

TEST_F(ManifestSources, FallbackAfterABadBodyWithBarValues) {
    std::wstring bad = Serve("bom.json", std::string("\xEF\xBB\xBF") + kValid);
    std::wstring good = Serve("manifest.json", kValid);
    ASSERT_TRUE(LoadManifestFromSources(http, {bad, good}, progress, 262144, manifest, used));
    EXPECT_EQ(used, good);
    EXPECT_EQ(manifest.version, L"7");
    Lines lines = logs.MainLines();
    auto has = [&](const std::wstring& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has(L"Downloading manifest: " + bad));
    EXPECT_TRUE(has(L"Manifest HTTP status=200"));
    EXPECT_TRUE(has(L"Manifest content does not start as a JSON object."));
    EXPECT_TRUE(has(L"Manifest source failed, trying fallback"));
    EXPECT_TRUE(has(L"Manifest downloaded bytes=" + ToDecimal(std::string(kValid).size())));
    EXPECT_FALSE(has(L"Manifest source failed, no fallback left"));

    std::vector<int> bars;
    for (const ProgressView& view : recorder.shown) {
        bars.push_back(view.permille);
    }
    EXPECT_EQ(bars, (std::vector<int>{40, 61, 70, 91, 100}));
    EXPECT_EQ(recorder.shown[1].detail, L"Parsing manifest source 1 / 2");
    EXPECT_EQ(recorder.shown.back().detail, L"Manifest loaded");

    std::vector<std::wstring> urls;
    ASSERT_TRUE(BuildFileUrls(manifest.files[0], manifest, used, urls));
    EXPECT_EQ(urls, Lines{Url("Data/x.bmd")});
}

TEST_F(ManifestSources, APassingFailureIsRetriedOnTheSameSourceAsAFreshAttempt) {
    std::wstring url = Serve("manifest.json", kValid);
    std::wstring fallback = Serve("fallback.json", kValid);
    http.Then(url, {.status = 502});
    std::vector<uint32_t> waits;
    http.retry = {.sleep = [&](uint32_t s) { waits.push_back(s); }, .notice = ShowProgressHint};
    ASSERT_TRUE(LoadManifestFromSources(http, {url, fallback}, progress, 262144, manifest, used));
    EXPECT_EQ(used, url) << "the fallback is for a source whose attempts are spent";
    EXPECT_EQ(waits, std::vector<uint32_t>{1});
    const std::wstring retry =
        L"Retrying " + url + L" in 1 s after HTTP status 502 (attempt 2 of 4).";
    Lines lines = logs.MainLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
              (Lines{L"Downloading manifest: " + url, L"Manifest HTTP status=502", retry,
                     L"Downloading manifest: " + url, L"Manifest HTTP status=200"}));
    ASSERT_GE(recorder.shown.size(), 2u);
    EXPECT_EQ(recorder.shown[1].hint, retry);
    EXPECT_EQ(recorder.shown[1].detail, L"Downloading manifest source 1 / 2") << "only the hint";
}

TEST_F(ManifestSources, FirstValidSourceWinsAndLimitsHold) {
    std::wstring good = Serve("manifest.json", kValid);
    std::wstring never = Url("absent.json");
    ASSERT_TRUE(LoadManifestFromSources(http, {good, never}, {}, 262144, manifest, used));
    EXPECT_EQ(used, good);
    for (const std::wstring& line : logs.MainLines()) {
        EXPECT_EQ(line.find(never), std::wstring::npos) << "later sources are never fetched";
    }
    ASSERT_EQ(http.requests.size(), 1u);
    EXPECT_EQ(http.requests[0].url, good);

    // A limit one byte short of the body fails the only source.
    logs.Clear();
    Manifest other;
    EXPECT_FALSE(
        LoadManifestFromSources(http, {good}, {}, std::string(kValid).size() - 1, other, used));
    EXPECT_EQ(logs.MainLines(),
              (Lines{L"Downloading manifest: " + good, L"Manifest HTTP status=200",
                     L"Manifest download exceeded allowed memory limit.",
                     L"Manifest source failed, no fallback left"}));
}

TEST_F(ManifestSources, RepairLoadsFromTheFallbackAlone) {
    FullManifestUrls urls;
    urls.fallbackUrl = Serve("full.json", kValid);
    ASSERT_TRUE(LoadFullManifestForRepair(http, L"", urls, manifest, used));
    EXPECT_EQ(used, urls.fallbackUrl);
    ASSERT_FALSE(recorder.shown.empty());
    EXPECT_EQ(recorder.shown[0].status, L"Repair dry-run");
    EXPECT_EQ(recorder.shown[0].detail, L"Downloading manifest source 1 / 1");

    urls.fallbackUrl = Url("absent.json");
    http.Serve(urls.fallbackUrl, "Not found", 404);
    logs.Clear();
    EXPECT_FALSE(LoadFullManifestForRepair(http, L"", urls, manifest, used));
    EXPECT_EQ(logs.MainLines(),
              (Lines{L"Downloading manifest: " + urls.fallbackUrl, L"Manifest HTTP status=404",
                     L"Manifest source failed, no fallback left"}));
}

}  // namespace
}  // namespace rr
