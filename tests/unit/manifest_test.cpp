#include "manifest/manifest.h"

#include <gtest/gtest.h>

#include <memory>

#include "fake_http_client.h"
#include "log_capture.h"
#include "recording_display.h"
#include "dry_run/repair_dry_run.h"
#include "ui/progress.h"

namespace rr {
namespace {

using test::LogCapture;
using Lines = std::vector<std::wstring>;

const char* const kDigest = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

// A manifest body with one file entry whose members are given.
std::string WithEntry(const std::string& entry) {
    return R"({"version": "1", "files": [)" + entry + "]}";
}

class ManifestParse : public ::testing::Test {
  protected:
    // Parses and returns the lines the parse logged.
    Lines Parse(const std::string& body, bool expected) {
        logs_.reset();  // its destructor forgets the log paths
        logs_ = std::make_unique<LogCapture>();
        // A heap block of exactly the body's size: the sanitizer build then
        // catches a read one byte past the end.
        std::unique_ptr<char[]> exact = std::make_unique<char[]>(body.size());
        body.copy(exact.get(), body.size());
        EXPECT_EQ(ParseManifest(std::string_view(exact.get(), body.size()), manifest), expected)
            << body;
        return logs_->MainLines();
    }
    Manifest manifest;
    std::unique_ptr<LogCapture> logs_;
};

TEST_F(ManifestParse, FullDocument) {
    std::string body =
        std::string("\r\n\t {\"extra\": {\"files\": 1}, \"version\": \"2.0 \xC3\xB1\",") +
        R"( "minimumUpdaterVersion": "1.5",
        "mirrors": ["http://127.0.0.1/m1/", "ftp://m2"], "managedRoots": ["Data"],
        "preserve": ["Data\\Local\\config.ini"],
        "files": [
          {"path": "Main.exe", "url": "Main.exe", "size": 1024, "sha256": ")" +
        kDigest + R"(", "note": "x"},
          {"sha256": "", "size": 12.9, "url": "http://127.0.0.1/a.bmd", "path": "Data/a.bmd"}
          {"path": "b", "url": "", "sha256": "s", "size":	1e3}
        ],
        "version": "ignored"} trailing text)";
    EXPECT_TRUE(Parse(body, true).empty());
    EXPECT_EQ(manifest.version, L"2.0 \u00f1");
    EXPECT_EQ(manifest.minimumUpdaterVersion, L"1.5");
    EXPECT_EQ(manifest.mirrors, (Lines{L"http://127.0.0.1/m1/", L"ftp://m2"}));
    EXPECT_EQ(manifest.managedRoots, Lines{L"Data"});
    EXPECT_EQ(manifest.preserve, Lines{L"Data\\Local\\config.ini"});
    ASSERT_EQ(manifest.files.size(), 3u);
    EXPECT_EQ(manifest.files[0].path, L"Main.exe");
    EXPECT_EQ(manifest.files[0].url, L"Main.exe");
    EXPECT_EQ(manifest.files[0].size, 1024u);
    EXPECT_EQ(manifest.files[0].sha256, kDigest) << "kept exactly as written";
    EXPECT_EQ(manifest.files[1].path, L"Data/a.bmd");
    EXPECT_EQ(manifest.files[1].size, 12u);
    EXPECT_EQ(manifest.files[1].sha256, "");
    EXPECT_EQ(manifest.files[2].size, 1u);
    EXPECT_EQ(manifest.files[2].url, L"");
}

TEST_F(ManifestParse, OptionalMembersMayBeAbsentOrIgnored) {
    EXPECT_TRUE(Parse(R"({"version": "", "minimumUpdaterVersion": 7,)"
                      R"( "files": [{"path": "a", "url": "u", "sha256": "s", "size": 0}]})",
                      true)
                    .empty());
    EXPECT_EQ(manifest.version, L"");
    EXPECT_EQ(manifest.minimumUpdaterVersion, L"") << "a non-string is silently left empty";
    EXPECT_TRUE(manifest.mirrors.empty());
    EXPECT_TRUE(manifest.managedRoots.empty());
    EXPECT_TRUE(manifest.preserve.empty());
}

TEST_F(ManifestParse, SizeDigitsOnly) {
    Parse(WithEntry(R"({"path": "a", "url": "u", "sha256": "s", "size": 18446744073709551615})"),
          true);
    EXPECT_EQ(manifest.files[0].size, 18446744073709551615u);
    Parse(WithEntry(R"({"path": "a", "url": "u", "sha256": "s", "size": 18446744073709551617})"),
          true);
    EXPECT_EQ(manifest.files[0].size, 1u) << "overflow wraps";
    Parse(WithEntry(R"({"path": "a", "url": "u", "sha256": "s", "size": 007x})"), true);
    EXPECT_EQ(manifest.files[0].size, 7u);
    const Lines entryLine{L"Manifest file entry is missing path/url/sha256/size."};
    for (const char* size : {"\"12\"", "-1", "+1", "", "x1", "[1]"}) {
        std::string entry =
            std::string(R"({"path": "a", "url": "u", "sha256": "s", "size": )") + size + "}";
        EXPECT_EQ(Parse(WithEntry(entry), false), entryLine) << size;
    }
}

TEST_F(ManifestParse, EachFailureHasItsLine) {
    const std::string file = R"({"path": "a", "url": "u", "sha256": "s", "size": 1})";
    struct Case {
        std::string body;
        const wchar_t* line;
    } cases[] = {
        {"", L"Invalid manifest JSON root."},
        {" \r\n", L"Invalid manifest JSON root."},
        {"\xEF\xBB\xBF{\"version\": \"1\"}", L"Invalid manifest JSON root."},
        {"[]", L"Invalid manifest JSON root."},
        {R"({"version": "1", "files": [{}])", L"Invalid manifest JSON root."},
        {R"({"files": [)" + file + "]}", L"Manifest missing version."},
        {R"({"version": 1, "files": [)" + file + "]}", L"Manifest missing version."},
        {R"({"Version": "1", "files": [)" + file + "]}", L"Manifest missing version."},
        {R"({"version": "1", "mirrors": "http://a/", "files": [)" + file + "]}",
         L"Manifest mirrors[] is invalid."},
        {R"({"version": "1", "managedRoots": ["a", 1], "files": [)" + file + "]}",
         L"Manifest managedRoots[] is invalid."},
        {R"({"version": "1", "preserve": {}, "files": [)" + file + "]}",
         L"Manifest preserve[] is invalid."},
        {R"({"version": "1", "mirrors": 1, "preserve": 1})", L"Manifest mirrors[] is invalid."},
        {R"({"version": "1"})", L"Manifest missing files[]."},
        {R"({"version": "1", "files": {"path": "a"}})", L"Manifest files[] is invalid."},
        {R"({"version": "1", "files": [)" + file + ", 2]}", L"Manifest files[] is invalid."},
        {R"({"version": "1", "files": []})", L"Manifest has no files."},
        {WithEntry(file + R"(, {"path": "b", "url": "u", "sha256": "s"})"),
         L"Manifest file entry is missing path/url/sha256/size."},
        {WithEntry(R"({"path": "a", "url": 5, "sha256": "s", "size": 1})"),
         L"Manifest file entry is missing path/url/sha256/size."},
        {WithEntry(R"({"path": "a", "url": "u", "size": 1})"),
         L"Manifest file entry is missing path/url/sha256/size."},
        {WithEntry(R"({"path": "Main.exe", "url": "u", "sha256": "s", "size": 1}, )" + file +
                   R"(, {"path": "MAIN.EXE", "url": "v", "sha256": "t", "size": 2})"),
         L"Manifest rejected: duplicate path after case folding: MAIN.EXE"},
        {WithEntry(R"({"path": "Data/a", "url": "u", "sha256": "s", "size": 1},)"
                   R"( {"path": "Data\\a", "url": "u", "sha256": "s", "size": 1})"),
         L"Manifest rejected: duplicate path after case folding: Data\\a"},
        // A trailing separator names the same file on disk.
        {WithEntry(R"({"path": "Data/a", "url": "u", "sha256": "s", "size": 1},)"
                   R"( {"path": "data/A/", "url": "u", "sha256": "s", "size": 1})"),
         L"Manifest rejected: duplicate path after case folding: data/A/"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Parse(c.body, false), Lines{c.line}) << c.body;
    }
}

// Letter case is compared as a Windows volume compares names, beyond ASCII
// too (raw UTF-8 below): one such pair would be one file on the players' disk.
TEST_F(ManifestParse, PathsAreComparedAsAWindowsVolumeDoes) {
    auto entries = [](std::initializer_list<const char*> paths) {
        std::string out;
        for (const char* path : paths) {
            out += std::string(out.empty() ? "" : ", ") + R"({"path": ")" + path +
                   R"(", "url": "u", "sha256": "s", "size": 1})";
        }
        return out;
    };
    // a/á and ss/ß differ on a volume as well.
    EXPECT_EQ(
        Parse(WithEntry(entries({"Data/a", "Data/\xC3\xA1", "Data/ss", "Data/\xC3\x9F"})), true),
        Lines{});
    EXPECT_EQ(manifest.files.size(), 4u);
    const struct {
        const char* first;
        const char* second;
        std::wstring named;
    } same[] = {
        {"Data/\xC3\x89", "DATA/\xC3\xA9", L"DATA/\u00e9"},              // \u00c9 \u00e9
        {"Data/\xCE\xA3", "Data/\xCF\x83", L"Data/\u03c3"},              // \u03a3 \u03c3
        {"Data/\xCF\x82", "Data/\xCE\xA3", L"Data/\u03a3"},              // final \u03c2 \u03a3
        {"Data/\xD0\x96.bmd", "Data/\xD0\xB6.BMD", L"Data/\u0436.BMD"},  // \u0416 \u0436
    };
    for (const auto& pair : same) {
        EXPECT_EQ(Parse(WithEntry(entries({pair.first, pair.second})), false),
                  Lines{L"Manifest rejected: duplicate path after case folding: " + pair.named})
            << pair.second;
    }
}

TEST_F(ManifestParse, OutputIsResetFirst) {
    manifest.version = L"old";
    manifest.mirrors = {L"http://old/"};
    manifest.files.resize(3);
    Parse(WithEntry(R"({"path": "a", "url": "u", "sha256": "s", "size": 1})"), true);
    EXPECT_EQ(manifest.version, L"1");
    EXPECT_TRUE(manifest.mirrors.empty());
    EXPECT_EQ(manifest.files.size(), 1u);
}

Lines Urls(const std::wstring& fileUrl, const Lines& mirrors, const std::wstring& usedUrl) {
    ManifestFile file;
    file.url = fileUrl;
    Manifest manifest;
    manifest.mirrors = mirrors;
    Lines urls{L"stale"};
    bool ok = BuildFileUrls(file, manifest, usedUrl, urls);
    EXPECT_EQ(ok, !urls.empty());
    return urls;
}

TEST(BuildFileUrls, AbsoluteMirrorsOrManifestFolder) {
    const std::wstring used = L"http://127.0.0.1:8080/patch/manifest.json";
    EXPECT_EQ(Urls(L"HTTPS://127.0.0.1/x.bmd", {L"http://m1/"}, used),
              Lines{L"HTTPS://127.0.0.1/x.bmd"});
    EXPECT_EQ(Urls(L"Data/x.bmd", {L"http://m1", L"ftp://m2/", L"https://m3/"}, used),
              (Lines{L"http://m1/Data/x.bmd", L"https://m3/Data/x.bmd"}))
        << "the manifest's own folder is no further candidate";
    EXPECT_EQ(Urls(L"Data/x.bmd", {}, used), Lines{L"http://127.0.0.1:8080/patch/Data/x.bmd"});
    EXPECT_EQ(Urls(L"/Data/x.bmd", {L"ftp://m2/"}, L"http://127.0.0.1/patch/"),
              Lines{L"http://127.0.0.1/patch/Data/x.bmd"});
    EXPECT_TRUE(Urls(L"Data/x.bmd", {L"ftp://m2/"}, L"ftp://127.0.0.1/m.json").empty());
    EXPECT_TRUE(Urls(L"Data/x.bmd", {}, L"manifest.json").empty());
    EXPECT_TRUE(Urls(L"Data/x.bmd", {}, L"").empty());
}

TEST(BuildFileUrls, ManifestAtTheHostRootKeepsTheHost) {
    // Cutting "http://127.0.0.1:8080" after its last '/' would leave "http://"
    // and turn the file's first path segment into the host name.
    EXPECT_EQ(Urls(L"Data/x.bmd", {}, L"http://127.0.0.1:8080"),
              Lines{L"http://127.0.0.1:8080/Data/x.bmd"});
    EXPECT_EQ(Urls(L"Data/x.bmd", {}, L"http://127.0.0.1:8080/"),
              Lines{L"http://127.0.0.1:8080/Data/x.bmd"});
}

class ManifestLoad : public ::testing::Test {
  protected:
    test::FakeHttpClient http;  // serves nothing: every request finds no listener
    test::RecordingDisplay recorder;
    LogCapture logs;
    Manifest manifest;
    std::wstring used = L"unchanged";
    // The update mode's display of the loader's steps.
    ManifestProgress progress = [](const std::wstring& detail, uint32_t index, uint32_t count,
                                   int sub) {
        ShowBandStep(L"Checking updates...", detail, kManifestLoadBand, index, count, sub);
    };
};

TEST_F(ManifestLoad, EmptySourceListFailsSilently) {
    manifest.version = L"kept";
    EXPECT_FALSE(LoadManifestFromSources(http, {}, {}, 262144, manifest, used));
    EXPECT_TRUE(logs.MainLines().empty());
    EXPECT_TRUE(recorder.shown.empty());
    EXPECT_EQ(manifest.version, L"kept");
    EXPECT_EQ(used, L"unchanged");
}

TEST_F(ManifestLoad, InvalidSchemesAreSkippedWithoutFetching) {
    EXPECT_FALSE(LoadManifestFromSources(http,
                                         {L"127.0.0.1/manifest.json", L"ftp://127.0.0.1/m.json"},
                                         progress, 262144, manifest, used));
    EXPECT_EQ(logs.MainLines(), (Lines{
                                    L"Skipping invalid manifest URL: 127.0.0.1/manifest.json",
                                    L"Manifest source failed, trying fallback",
                                    L"Skipping invalid manifest URL: ftp://127.0.0.1/m.json",
                                    L"Manifest source failed, no fallback left",
                                }));
    EXPECT_TRUE(recorder.shown.empty()) << "a skipped source shows nothing";
    EXPECT_TRUE(http.requests.empty());
    EXPECT_EQ(used, L"unchanged");
}

TEST_F(ManifestLoad, FailedFetchMovesOnAndShowsItsBand) {
    EXPECT_FALSE(LoadManifestFromSources(http,
                                         {L"//127.0.0.1/m.json", L"http://127.0.0.1:9/m.json"},
                                         progress, 262144, manifest, used));
    EXPECT_EQ(logs.MainLines(),
              (Lines{L"Skipping invalid manifest URL: //127.0.0.1/m.json",
                     L"Manifest source failed, trying fallback",
                     L"Downloading manifest: http://127.0.0.1:9/m.json",
                     L"InternetOpenUrlW failed. error=12029 url=http://127.0.0.1:9/m.json",
                     L"Manifest source failed, no fallback left"}));
    ASSERT_EQ(recorder.shown.size(), 1u);
    EXPECT_EQ(recorder.shown[0].status, L"Checking updates...");
    EXPECT_EQ(recorder.shown[0].detail, L"Downloading manifest source 2 / 2");
    EXPECT_EQ(recorder.shown[0].hint, L"");
    EXPECT_EQ(recorder.shown[0].permille, 70);
    EXPECT_FALSE(recorder.shown[0].isError);
}

TEST_F(ManifestLoad, RepairNeedsAFullManifestUrl) {
    FullManifestUrls urls;
    EXPECT_FALSE(LoadFullManifestForRepair(http, L"", urls, manifest, used));
    const Lines expected{L"No full manifest URL was provided for repair dry-run."};
    EXPECT_EQ(logs.MainLines(), expected);
    EXPECT_EQ(logs.Lines("RepairDryRun.log"), expected);

    // A fallback alone is source 1 of 1.
    urls.fallbackUrl = L"ftp://127.0.0.1/full.json";
    logs.Clear();
    EXPECT_FALSE(LoadFullManifestForRepair(http, L"", urls, manifest, used));
    EXPECT_EQ(logs.MainLines(), (Lines{L"Skipping invalid manifest URL: ftp://127.0.0.1/full.json",
                                       L"Manifest source failed, no fallback left"}));
}

}  // namespace
}  // namespace rr
