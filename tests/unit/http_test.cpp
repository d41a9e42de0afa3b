// The transfer code (net/http.h) over an in-memory HTTP client: limits, files,
// progress and the text of every failure. The platform's client itself is
// tested against the real test server in tests/http_client/.
#include "net/http.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/text.h"
#include "fake_http_client.h"
#include "log_capture.h"
#include "recording_display.h"
#include "test_support.h"
#include "ui/progress.h"

namespace rr {
namespace {

using test::ReadFile;
using test::TempDir;

const std::wstring kHost = L"http://127.0.0.1:8080";

// Byte i of a generated body.
std::string PatternBytes(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return out;
}

struct Report {
    uint64_t received;
    bool complete;
    bool operator==(const Report&) const = default;
};

class TransferTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_TRUE(logs.MainLines().empty()) << "the transfer code writes no line itself";
    }

    std::wstring Serve(const std::wstring& path, std::string body, uint32_t status = 200) {
        http.Serve(kHost + path, std::move(body), status);
        return kHost + path;
    }
    TransferEvents Events() {
        return {[this](uint32_t status) { statuses.push_back(status); }, {}};
    }
    bool Fetch(const std::wstring& url, uint64_t maxBytes, std::string& body) {
        err = Error{};
        return FetchUrlToMemory(http, url, maxBytes, body, Events(), &err);
    }
    bool Download(const std::wstring& url, const std::wstring& dest, uint64_t maxBytes,
                  DownloadProgress progress) {
        err = Error{};
        TransferEvents events = Events();
        events.progress = std::move(progress);
        return DownloadUrlToFile(http, {url, dir.core(), dest, maxBytes}, events, &err);
    }
    std::wstring Dest(const std::wstring& name = L"_update_tmp\\Data\\file.bin") const {
        return dir.core(name);
    }
    bool DestExists(const std::wstring& name = L"_update_tmp\\Data\\file.bin") const {
        return test::fs::exists(test::NativePath(Dest(name)));
    }
    // Shows the download as the update does, as step index of count with the
    // announced size `expected`; every report is also kept as it came.
    DownloadProgress Display(const std::wstring& name, uint32_t index, uint32_t count,
                             uint64_t expected) {
        return [this, name, index, count, expected](uint64_t received, bool complete) {
            reports.push_back({received, complete});
            ShowDownloadProgress(name, index, count, received, expected, complete);
        };
    }

    test::FakeHttpClient http;
    test::LogCapture logs;
    TempDir dir;
    test::RecordingDisplay recorder;
    std::vector<Report> reports;
    std::vector<uint32_t> statuses;
    Error err;
};

TEST(HttpUrlText, SchemeTestFoldsAsciiCaseOnly) {
    EXPECT_TRUE(StartsWithNoCase(L"anything", L""));
    EXPECT_TRUE(StartsWithNoCase(L"HtTp://x", L"http://"));
    EXPECT_FALSE(StartsWithNoCase(L"htt", L"http"));
    EXPECT_FALSE(StartsWithNoCase(L"\u0130ttp", L"http")) << "only A-Z fold";
    EXPECT_TRUE(IsHttpUrl(L"HTTPS://cdn.example/a"));
    EXPECT_TRUE(IsHttpUrl(L"Http://cdn.example/a"));
    EXPECT_FALSE(IsHttpUrl(L"ftp://cdn.example/a"));
    EXPECT_FALSE(IsHttpUrl(L"//cdn.example/a"));
    EXPECT_FALSE(IsHttpUrl(L""));
    EXPECT_FALSE(IsHttpUrl(L"http:/cdn.example/a"));
    EXPECT_FALSE(IsHttpUrl(L" http://cdn.example/a"));
}

TEST(HttpUrlText, JoinUrl) {
    EXPECT_EQ(JoinUrl(L"http://h/base", L"Data/a.bmd"), L"http://h/base/Data/a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base/", L"/Data/a.bmd"), L"http://h/base/Data/a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base", L"/Data/a.bmd"), L"http://h/base/Data/a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base/", L"Data\\a.bmd"), L"http://h/base/Data\\a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base/", L"\\Data\\a.bmd"), L"http://h/base/Data\\a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base\\", L"a.bmd"), L"http://h/base\\/a.bmd");
    EXPECT_EQ(JoinUrl(L"", L"Data/a.bmd"), L"Data/a.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base", L"HTTPS://m/x.bmd"), L"HTTPS://m/x.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base", L"hTTp://m/x.bmd"), L"hTTp://m/x.bmd");
    EXPECT_EQ(JoinUrl(L"http://h/base/", L""), L"http://h/base/");
    EXPECT_EQ(JoinUrl(L"http://h/base", L"../a b%20.bmd"), L"http://h/base/../a b%20.bmd");
}

TEST_F(TransferTest, NonHttpUrlsAreRefusedBeforeAnyRequest) {
    const std::vector<std::wstring> urls = {L"ftp://127.0.0.1/scheme-ftp",
                                            L"//127.0.0.1/scheme-relative",
                                            L"127.0.0.1/scheme-none", L""};
    for (const auto& url : urls) {
        std::string body = "stale";
        EXPECT_FALSE(Fetch(url, 1000, body));
        EXPECT_TRUE(body.empty());
        EXPECT_EQ(err.text, L"Rejected non-http manifest URL: " + url);
        EXPECT_FALSE(Download(url, Dest(L"_update_tmp\\New\\f.bin"), 1000, Display(L"f", 1, 1, 0)));
        EXPECT_EQ(err.text, L"Rejected non-http file URL: " + url);
    }
    EXPECT_TRUE(http.requests.empty()) << "a refused URL was sent";
    EXPECT_TRUE(statuses.empty());
    EXPECT_FALSE(test::fs::exists(dir.native() / "_update_tmp")) << "no folder before the check";
    EXPECT_TRUE(recorder.shown.empty());
}

TEST_F(TransferTest, FetchReturnsTheBodyOfA200) {
    const std::string json = "{\"version\": \"1.0\", \"files\": []}\n";
    std::string body = "stale";
    ASSERT_TRUE(Fetch(Serve(L"/m.json", json), 262144, body));
    EXPECT_EQ(body, json);
    ASSERT_TRUE(Fetch(Serve(L"/big.json", PatternBytes(50000)), 262144, body));
    EXPECT_EQ(body, PatternBytes(50000)) << "more than one read, bytes untouched";
    EXPECT_EQ(statuses, (std::vector<uint32_t>{200, 200}));
    EXPECT_TRUE(err.text.empty());
    ASSERT_EQ(http.requests.size(), 2u);
    EXPECT_EQ(http.requests[0].url, kHost + L"/m.json");
    EXPECT_EQ(http.requests[0].use, HttpUse::kFetch);
}

TEST_F(TransferTest, FetchRejectsEveryStatusButThe200) {
    std::vector<uint32_t> sent = {404, 206, 304, 500, 204};
    for (uint32_t status : sent) {
        std::string body = "stale";
        EXPECT_FALSE(Fetch(Serve(L"/m" + ToDecimal(status), "payload", status), 1000, body));
        EXPECT_TRUE(body.empty()) << status;
        EXPECT_TRUE(err.text.empty()) << "the status alone says why";
    }
    EXPECT_EQ(statuses, sent);
}

TEST_F(TransferTest, FetchLimitAllowsExactlyMaxBytes) {
    std::string body;
    // 16384 is exactly two read chunks: the last one lands on the limit.
    ASSERT_TRUE(Fetch(Serve(L"/a", PatternBytes(16384)), 16384, body));
    EXPECT_EQ(body.size(), 16384u);
    ASSERT_TRUE(Fetch(Serve(L"/b", PatternBytes(20001)), 20001, body));
    EXPECT_EQ(body, PatternBytes(20001));

    EXPECT_FALSE(Fetch(Serve(L"/c", PatternBytes(16385)), 16384, body));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(err.text, L"Manifest download exceeded allowed memory limit.");

    EXPECT_FALSE(Fetch(Serve(L"/d", ""), 100, body));
    EXPECT_EQ(err.text, L"Manifest response is empty.");
}

// Each step of a request that fails has its own line, with the client's code.
TEST_F(TransferTest, FailuresNameTheStepAndItsCode) {
    struct Case {
        HttpStep step;
        uint32_t code;
        std::wstring fetchText;
        std::wstring downloadText;
    };
    const std::wstring url = kHost + L"/x";
    const std::vector<Case> cases = {
        {HttpStep::kOpenSession, 8, L"InternetOpenW failed. error=8",
         L"InternetOpenW failed. error=8"},
        {HttpStep::kOpenUrl, 12029, L"InternetOpenUrlW failed. error=12029 url=" + url,
         L"InternetOpenUrlW failed. error=12029 url=" + url},
        {HttpStep::kQueryStatus, 12150,
         L"HttpQueryInfoA failed for manifest status. error=12150 url=" + url,
         L"HttpQueryInfoA failed for file status. error=12150 url=" + url},
    };
    for (const Case& c : cases) {
        http.FailAt(url, c.step, c.code);
        std::string body = "stale";
        EXPECT_FALSE(Fetch(url, 100, body));
        EXPECT_TRUE(body.empty());
        EXPECT_EQ(err.text, c.fetchText);
        EXPECT_EQ(err.code, c.code);
        EXPECT_FALSE(Download(url, Dest(), 100, Display(L"f", 1, 1, 0)));
        EXPECT_EQ(err.text, c.downloadText);
        EXPECT_FALSE(DestExists());
    }
    EXPECT_TRUE(test::fs::is_directory(test::NativePath(Dest(L"_update_tmp\\Data"))))
        << "the parent folder is made before the request";
    EXPECT_TRUE(statuses.empty()) << "no response, no status";
    EXPECT_TRUE(recorder.shown.empty());
    ASSERT_EQ(http.requests.size(), 6u);
    EXPECT_EQ(http.requests[1].use, HttpUse::kDownload);

    // A body that breaks off: nothing of it is kept.
    http.Serve(url, PatternBytes(100000)).breakAfter = 40000;
    std::string body;
    EXPECT_FALSE(Fetch(url, 100000, body));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(err.text, L"InternetReadFile failed. error=12002 url=" + url);
    EXPECT_FALSE(Download(url, Dest(), 100001, Display(L"f", 1, 1, 100000)));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(err.text, L"InternetReadFile failed. error=12002 url=" + url);
    EXPECT_EQ(err.code, 12002u);
    EXPECT_EQ(statuses, (std::vector<uint32_t>{200, 200}));
}

TEST_F(TransferTest, DownloadWritesTheBodyAndReportsProgress) {
    const size_t size = 2 * 32768 + 100;
    std::wstring url = Serve(L"/Item.bmd", PatternBytes(size));
    ASSERT_TRUE(Download(url, Dest(L"_update_tmp\\Data\\Local\\Item.bmd"), size + 1,
                         Display(L"Data\\Local\\Item.bmd", 3, 12, size)));
    EXPECT_EQ(ReadFile(test::NativePath(Dest(L"_update_tmp\\Data\\Local\\Item.bmd"))),
              PatternBytes(size));
    EXPECT_EQ(statuses, std::vector<uint32_t>{200});
    EXPECT_EQ(http.requests.back().use, HttpUse::kDownload);

    ASSERT_GE(recorder.shown.size(), 3u) << "initial, at least one chunk, final";
    const ProgressView& first = recorder.shown.front();
    EXPECT_EQ(first.status, L"Downloading...");
    EXPECT_EQ(first.detail, L"Current file 3 / 12: Data\\Local\\Item.bmd");
    EXPECT_EQ(first.hint, L"Downloaded 0.00 MB / 0.06 MB");
    EXPECT_EQ(first.permille, StepPermille(350, 350, 3, 12, 0));
    EXPECT_EQ(first.permille, 408);
    EXPECT_FALSE(first.isError);
    const ProgressView& last = recorder.shown.back();
    EXPECT_EQ(last.hint, L"Downloaded 0.06 MB / 0.06 MB");
    EXPECT_EQ(last.permille, 437);
    for (const auto& view : recorder.shown) {
        EXPECT_EQ(view.status, L"Downloading...");
        EXPECT_EQ(view.detail, first.detail);
    }
}

TEST_F(TransferTest, ReportsStartEveryChunkAndCompletion) {
    const uint64_t size = 3 * 32768 + 5;
    std::wstring url = Serve(L"/f", PatternBytes(size));
    ASSERT_TRUE(Download(url, Dest(), size + 1, Display(L"f", 1, 1, size)));
    EXPECT_EQ(reports, (std::vector<Report>{{0, false},
                                            {32768, false},
                                            {65536, false},
                                            {98304, false},
                                            {size, false},
                                            {size, true}}));

    // The chunk that crosses the limit is reported, but the download never completes.
    reports.clear();
    EXPECT_FALSE(Download(url, Dest(), 40000, Display(L"f", 1, 1, size)));
    EXPECT_EQ(reports, (std::vector<Report>{{0, false}, {32768, false}, {65536, false}}));

    // No listener at all is allowed.
    EXPECT_TRUE(Download(Serve(L"/g", PatternBytes(10)), Dest(), 10, nullptr));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(10));
}

TEST_F(TransferTest, ProgressWithoutSizeOrBatch) {
    // No announced size: the hint never shows " / " and the bar moves only at the end.
    ASSERT_TRUE(Download(Serve(L"/p", PatternBytes(70000)), Dest(), 100000, Display(L"", 0, 4, 0)));
    ASSERT_GE(recorder.shown.size(), 3u);
    for (const auto& view : recorder.shown) {
        EXPECT_EQ(view.hint.find(L" / "), std::wstring::npos) << Utf16ToUtf8(view.hint);
        EXPECT_EQ(view.detail, L"Current file 0 / 4") << "the raw index is printed";
    }
    EXPECT_EQ(recorder.shown.front().hint, L"Downloaded 0.00 MB");
    EXPECT_EQ(recorder.shown[recorder.shown.size() - 2].permille, 350) << "index 0 counts as 1";
    EXPECT_EQ(recorder.shown.back().permille, 437);
    EXPECT_EQ(recorder.shown.back().hint, L"Downloaded 0.07 MB");

    // Past the batch it counts as the last file; a zero count stays at the band's start.
    std::wstring small = Serve(L"/q", PatternBytes(10));
    recorder.Restart();  // the bar starts from 0 again
    ASSERT_TRUE(Download(small, Dest(), 10, Display(L"x", 9, 4, 10)));
    EXPECT_EQ(recorder.shown.front().permille, StepPermille(350, 350, 4, 4, 0));
    EXPECT_EQ(recorder.shown.back().permille, 700);
    EXPECT_EQ(recorder.shown.front().detail, L"Current file 9 / 4: x");
    recorder.Restart();
    ASSERT_TRUE(Download(small, Dest(), 10, Display(L"pkg.zip", 1, 0, 10)));
    EXPECT_EQ(recorder.shown.front().detail, L"Current file: pkg.zip");
    for (const auto& view : recorder.shown)
        EXPECT_EQ(view.permille, 350);
}

TEST_F(TransferTest, DownloadRejectsNon200AndLeavesNoFile) {
    std::vector<uint32_t> sent = {404, 206, 304};
    for (uint32_t status : sent) {
        std::wstring url = Serve(L"/f" + ToDecimal(status), "x", status);
        EXPECT_FALSE(Download(url, Dest(), 100, Display(L"f", 1, 1, 1)));
        EXPECT_FALSE(DestExists()) << status;
        EXPECT_EQ(err.text, L"Rejected file HTTP status=" + ToDecimal(status) + L" url=" + url);
    }
    EXPECT_EQ(statuses, sent);
    EXPECT_TRUE(recorder.shown.empty()) << "no progress before the file exists";
    EXPECT_TRUE(reports.empty());
}

TEST_F(TransferTest, DownloadLimitDeletesThePartialFile) {
    ASSERT_TRUE(
        Download(Serve(L"/a", PatternBytes(65536)), Dest(), 65536, Display(L"f", 1, 1, 65536)));
    EXPECT_EQ(test::fs::file_size(test::NativePath(Dest())), 65536u);

    // The same destination again, one byte over: the old content goes too.
    std::wstring over = Serve(L"/b", PatternBytes(65537));
    EXPECT_FALSE(Download(over, Dest(), 65536, Display(L"f", 1, 1, 65536)));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(err.text, L"File download exceeded max bytes: " + over);
}

TEST_F(TransferTest, DestinationProblemsNameThePath) {
    std::wstring url = Serve(L"/f", "x");
    // A file where the parent folder should be.
    test::WriteFile(dir.native() / "_update_tmp" / "Blocked", "file");
    std::wstring blocked = Dest(L"_update_tmp\\Blocked\\f.bin");
    EXPECT_FALSE(Download(url, blocked, 10, Display(L"f", 1, 1, 1)));
    EXPECT_EQ(err.text, L"Failed to create output parent directory: " + blocked +
                            L" reason=file where a folder is expected");
    EXPECT_EQ(err.stop, WalkStop::kNotFolder);
    EXPECT_TRUE(http.requests.empty()) << "no request without a place for the file";

    // A folder standing at the destination is never deleted by the failure.
    std::wstring folder = Dest(L"_update_tmp\\Folder");
    test::fs::create_directories(test::NativePath(folder) / "keep");
    EXPECT_FALSE(Download(url, folder, 10, Display(L"f", 1, 1, 1)));
    EXPECT_EQ(err.text.rfind(L"Failed to create temp file. error=", 0), 0u) << err.text;
    EXPECT_NE(err.text.find(L" path=" + folder), std::wstring::npos) << err.text;
    EXPECT_NE(err.code, 0u);
    EXPECT_TRUE(test::fs::is_directory(test::NativePath(folder) / "keep"));
}

}  // namespace
}  // namespace rr
