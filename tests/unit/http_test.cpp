#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "net/http.h"
#include "test_support.h"
#include "recording_display.h"
#include "ui/progress.h"

#ifdef _WIN32
#include <windows.h>
#endif

// These tests talk to the real test HTTP server (tests/server/http_fixture.py)
// on 127.0.0.1. ctest starts it and hands its port file over in
// RR_TEST_HTTP_PORT_FILE; run by hand without it, the tests skip.

namespace rr {
namespace {

using test::ReadFile;
using test::TempDir;

// The environment holds Unix paths; under Wine they are reached through Z:.
std::string EnvPath(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return {};
    std::string path = value;
#ifdef _WIN32
    if (path[0] == '/') {
        for (auto& c : path) {
            if (c == '/')
                c = '\\';
        }
        path = "Z:" + path;
    }
#endif
    return path;
}

bool RunningUnderWine() {
#ifdef _WIN32
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// Byte i of a generated fixture body.
std::string PatternBytes(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>((i * 131 + 7) & 0xFF);
    return out;
}

class HttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string portFile = EnvPath("RR_TEST_HTTP_PORT_FILE");
        if (portFile.empty())
            GTEST_SKIP() << "no test HTTP server: RR_TEST_HTTP_PORT_FILE is not set (ctest starts "
                            "tests/server/http_fixture.py and sets it)";
        std::ifstream in(portFile);
        in >> port_;
        ASSERT_GT(port_, 0) << "no port in " << portFile;
        InitLogPaths(dir.core());
        SetProgressSinkForTesting(&recorder);
    }
    void TearDown() override {
        SetProgressSinkForTesting(nullptr);
        SetHttpTimeoutsForTesting(0, 0);
        ResetLogPaths();
    }

    std::wstring Url(const std::wstring& path) const {
        return L"http://127.0.0.1:" + ToDecimal(port_) + path;
    }
    // Main log lines without their time stamps.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        std::string bytes = ReadFile(dir.native() / "Logs" / "RiveRoravav.log");
        size_t start = 0;
        while (start < bytes.size()) {
            size_t end = bytes.find("\r\n", start);
            if (end == std::string::npos)
                end = bytes.size();
            std::string line = bytes.substr(start, end - start);
            lines.push_back(line.size() >= 22 ? line.substr(22) : line);
            start = end + 2;
        }
        return lines;
    }
    bool Logged(const std::string& text) const {
        for (const auto& line : LogLines()) {
            if (line == text)
                return true;
        }
        return false;
    }
    std::wstring Dest(const std::wstring& name = L"_update_tmp\\Data\\file.bin") const {
        return dir.core(name);
    }
    bool DestExists(const std::wstring& name = L"_update_tmp\\Data\\file.bin") const {
        return test::fs::exists(test::NativePath(Dest(name)));
    }
    std::string U8(const std::wstring& text) const { return Utf16ToUtf8(text); }
    // Shows the download as the update does, as step index of count with the
    // announced size `expected`; every report is also kept as it came.
    DownloadProgress Display(const std::wstring& name, uint32_t index, uint32_t count,
                             uint64_t expected) {
        return [this, name, index, count, expected](uint64_t received, bool complete) {
            reports.push_back({received, complete});
            ShowDownloadProgress(name, index, count, received, expected, complete);
        };
    }

    struct Report {
        uint64_t received;
        bool complete;
        bool operator==(const Report&) const = default;
    };

    int port_ = 0;
    TempDir dir;
    test::RecordingDisplay recorder;
    std::vector<Report> reports;
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

TEST_F(HttpTest, NonHttpUrlsAreRefusedBeforeAnyRequest) {
    std::wstring authority = L"127.0.0.1:" + ToDecimal(port_);
    const std::vector<std::wstring> urls = {L"ftp://" + authority + L"/__fault/scheme-ftp",
                                            L"//" + authority + L"/__fault/scheme-relative",
                                            authority + L"/__fault/scheme-none", L""};
    for (const auto& url : urls) {
        std::string body = "stale";
        EXPECT_FALSE(FetchUrlToMemory(url, body, 1000));
        EXPECT_TRUE(body.empty());
        EXPECT_FALSE(
            DownloadUrlToFile(url, Dest(L"_update_tmp\\New\\f.bin"), 1000, Display(L"f", 1, 1, 0)));
        EXPECT_TRUE(Logged("Rejected non-http manifest URL: " + U8(url))) << U8(url);
        EXPECT_TRUE(Logged("Rejected non-http file URL: " + U8(url))) << U8(url);
    }
    EXPECT_EQ(LogLines().size(), 2 * urls.size()) << "nothing but the refusals";
    EXPECT_FALSE(test::fs::exists(dir.native() / "_update_tmp")) << "no folder before the check";
    EXPECT_TRUE(recorder.shown.empty());

    std::string requests;
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/__requests"), requests, 16u << 20));
    EXPECT_EQ(requests.find("scheme-"), std::string::npos) << "a refused URL reached the server";
}

TEST_F(HttpTest, FetchReturnsTheBodyOfA200) {
    std::string root = EnvPath("RR_TEST_HTTP_ROOT");
    ASSERT_FALSE(root.empty());
    std::string name = "manifest_" + std::to_string(port_) + "_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    std::string json = "{\"version\": \"1.0\", \"files\": []}\n";
    test::WriteFile(test::fs::path(root) / name, json);

    std::string body = "stale";
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/" + Utf8ToUtf16(name)), body, 262144));
    EXPECT_EQ(body, json);
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/__fault/m.json?body_size=50000"), body, 262144));
    EXPECT_EQ(body, PatternBytes(50000)) << "binary bytes come through untouched";
    // Letter case of the scheme does not matter on the wire either.
    std::wstring upper = Url(L"/__fault/m.json?body=x");
    upper.replace(0, 4, L"HTTP");
    ASSERT_TRUE(FetchUrlToMemory(upper, body, 10));
    EXPECT_EQ(body, "x");
    EXPECT_EQ(LogLines(), std::vector<std::string>(3, "Manifest HTTP status=200"));
    std::error_code ec;
    test::fs::remove(test::fs::path(root) / name, ec);
}

TEST_F(HttpTest, FetchRejectsEveryStatusButTheFinal200) {
    for (int status : {404, 206, 304, 500, 204}) {
        std::string body;
        EXPECT_FALSE(FetchUrlToMemory(
            Url(L"/__fault/m.json?body=payload&status=" + ToDecimal(status)), body, 1000));
        EXPECT_TRUE(body.empty()) << status;
    }
    EXPECT_EQ(LogLines(),
              (std::vector<std::string>{"Manifest HTTP status=404", "Manifest HTTP status=206",
                                        "Manifest HTTP status=304", "Manifest HTTP status=500",
                                        "Manifest HTTP status=204"}))
        << "only the status line, nothing else";

    // Redirects are followed; the status seen is the final one's.
    std::string body;
    ASSERT_TRUE(FetchUrlToMemory(
        Url(L"/__fault/a?status=301&redirect=/__fault/b%3Fstatus%3D302%26redirect%3D/__fault/"
            L"c%253Fbody%253Dfinal"),
        body, 1000));
    EXPECT_EQ(body, "final");
    EXPECT_FALSE(FetchUrlToMemory(
        Url(L"/__fault/a?status=302&redirect=/__fault/gone%3Fstatus%3D404"), body, 1000));
    EXPECT_EQ(LogLines().back(), "Manifest HTTP status=404");
}

TEST_F(HttpTest, RedirectToAnotherSchemeIsNotFollowed) {
    std::wstring url = Url(L"/__fault/m?status=302&redirect=ftp://127.0.0.1:" + ToDecimal(port_) +
                           L"/__fault/ftp-target");
    std::string body;
    EXPECT_FALSE(FetchUrlToMemory(url, body, 1000));
    EXPECT_FALSE(DownloadUrlToFile(url, Dest(), 1000, Display(L"f", 1, 1, 0)));
    EXPECT_FALSE(DestExists());
    for (const auto& line : LogLines())
        EXPECT_EQ(line.find("status=200"), std::string::npos) << line;
    std::string requests;
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/__requests"), requests, 16u << 20));
    EXPECT_EQ(requests.find("\"path\": \"/__fault/ftp-target"), std::string::npos);
}

TEST_F(HttpTest, FetchLimitAllowsExactlyMaxBytes) {
    std::string body;
    // 16384 is exactly two read chunks: the last one lands on the limit.
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/__fault/m?body_size=16384"), body, 16384));
    EXPECT_EQ(body.size(), 16384u);
    ASSERT_TRUE(FetchUrlToMemory(Url(L"/__fault/m?body_size=20001"), body, 20001));
    EXPECT_EQ(body, PatternBytes(20001));

    EXPECT_FALSE(FetchUrlToMemory(Url(L"/__fault/m?body_size=16385"), body, 16384));
    EXPECT_TRUE(body.empty());
    EXPECT_TRUE(Logged("Manifest download exceeded allowed memory limit."));
    // A server that sends more than it announced is cut at the limit as well.
    EXPECT_FALSE(FetchUrlToMemory(Url(L"/__fault/m?body_size=300000&no_length=1"), body, 262144));
    EXPECT_EQ(LogLines().back(), "Manifest download exceeded allowed memory limit.");

    EXPECT_FALSE(FetchUrlToMemory(Url(L"/__fault/m?body="), body, 100));
    EXPECT_EQ(LogLines().back(), "Manifest response is empty.");
}

TEST_F(HttpTest, UnreachableServerIsReportedWithTheOpenUrlError) {
    // Port 1 on the loopback: nothing listens there.
    std::wstring url = L"http://127.0.0.1:1/manifest.json";
    std::string body;
    EXPECT_FALSE(FetchUrlToMemory(url, body, 100));
    EXPECT_FALSE(DownloadUrlToFile(url, Dest(), 100, Display(L"f", 1, 1, 0)));
    EXPECT_FALSE(DestExists());
    EXPECT_TRUE(test::fs::is_directory(test::NativePath(Dest(L"_update_tmp\\Data"))))
        << "the parent folder is made before the request";
    EXPECT_EQ(LogLines(),
              std::vector<std::string>(2, "InternetOpenUrlW failed. error=12029 url=" + U8(url)));
}

TEST_F(HttpTest, DownloadWritesTheBodyAndReportsProgress) {
    const size_t size = 2 * 32768 + 100;
    std::wstring url = Url(L"/__fault/Item.bmd?body_size=" + ToDecimal(size));
    ASSERT_TRUE(DownloadUrlToFile(url, Dest(L"_update_tmp\\Data\\Local\\Item.bmd"), size + 1,
                                  Display(L"Data\\Local\\Item.bmd", 3, 12, size)));
    EXPECT_EQ(ReadFile(test::NativePath(Dest(L"_update_tmp\\Data\\Local\\Item.bmd"))),
              PatternBytes(size));
    EXPECT_EQ(LogLines(), std::vector<std::string>{"File HTTP status=200"});

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

TEST_F(HttpTest, ReportsStartEveryChunkAndCompletion) {
    const uint64_t size = 3 * 32768 + 5;
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/f?body_size=" + ToDecimal(size)), Dest(), size + 1,
                                  Display(L"f", 1, 1, size)));
    ASSERT_GE(reports.size(), 4u) << "start, at least two chunks, completion";
    EXPECT_EQ(reports.front(), (Report{0, false}));
    EXPECT_EQ(reports.back(), (Report{size, true}));
    EXPECT_EQ(reports[reports.size() - 2], (Report{size, false})) << "the last chunk's total";
    for (size_t i = 1; i + 1 < reports.size(); ++i) {
        EXPECT_GT(reports[i].received, reports[i - 1].received) << i;
        EXPECT_FALSE(reports[i].complete) << i;
    }

    // The chunk that crosses the limit is reported, but the download never completes.
    reports.clear();
    EXPECT_FALSE(DownloadUrlToFile(Url(L"/__fault/f?body_size=" + ToDecimal(size)), Dest(), 40000,
                                   Display(L"f", 1, 1, size)));
    ASSERT_FALSE(reports.empty());
    EXPECT_GT(reports.back().received, 40000u);
    EXPECT_FALSE(reports.back().complete);

    // No listener at all is allowed.
    EXPECT_TRUE(DownloadUrlToFile(Url(L"/__fault/f?body_size=10"), Dest(), 10, nullptr));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(10));
}

TEST_F(HttpTest, ProgressWithoutSizeOrBatch) {
    // No announced size: the hint never shows " / " and the bar moves only at the end.
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/p?body_size=70000"), Dest(), 100000,
                                  Display(L"", 0, 4, 0)));
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
    SetProgressSinkForTesting(&recorder);
    recorder.shown.clear();
    ASSERT_TRUE(
        DownloadUrlToFile(Url(L"/__fault/p?body_size=10"), Dest(), 10, Display(L"x", 9, 4, 10)));
    EXPECT_EQ(recorder.shown.front().permille, StepPermille(350, 350, 4, 4, 0));
    EXPECT_EQ(recorder.shown.back().permille, 700);
    EXPECT_EQ(recorder.shown.front().detail, L"Current file 9 / 4: x");
    SetProgressSinkForTesting(&recorder);
    recorder.shown.clear();
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/p?body_size=10"), Dest(), 10,
                                  Display(L"pkg.zip", 1, 0, 10)));
    EXPECT_EQ(recorder.shown.front().detail, L"Current file: pkg.zip");
    for (const auto& view : recorder.shown)
        EXPECT_EQ(view.permille, 350);
}

TEST_F(HttpTest, DownloadRejectsNon200AndLeavesNoFile) {
    for (int status : {404, 206, 304}) {
        std::wstring url = Url(L"/__fault/f?body=x&status=" + ToDecimal(status));
        EXPECT_FALSE(DownloadUrlToFile(url, Dest(), 100, Display(L"f", 1, 1, 1)));
        EXPECT_FALSE(DestExists()) << status;
        std::vector<std::string> lines = LogLines();
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "File HTTP status=" + std::to_string(status));
        EXPECT_EQ(lines.back(),
                  "Rejected file HTTP status=" + std::to_string(status) + " url=" + U8(url));
    }
    EXPECT_EQ(LogLines().size(), 6u);
    EXPECT_TRUE(recorder.shown.empty()) << "no progress before the file exists";
    EXPECT_TRUE(reports.empty());
}

TEST_F(HttpTest, DownloadLimitDeletesThePartialFile) {
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/f?body_size=65536"), Dest(), 65536,
                                  Display(L"f", 1, 1, 65536)));
    EXPECT_EQ(test::fs::file_size(test::NativePath(Dest())), 65536u);

    // The same destination again, one byte over: the old content goes too.
    std::wstring over = Url(L"/__fault/f?body_size=65537");
    EXPECT_FALSE(DownloadUrlToFile(over, Dest(), 65536, Display(L"f", 1, 1, 65536)));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(LogLines().back(), "File download exceeded max bytes: " + U8(over));

    std::wstring big = Url(L"/__fault/f?body_size=3000000&no_length=1");
    EXPECT_FALSE(DownloadUrlToFile(big, Dest(), 100001, Display(L"f", 1, 1, 100000)));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(LogLines().back(), "File download exceeded max bytes: " + U8(big));
}

TEST_F(HttpTest, BodyThatEndsEarlyCountsAsComplete) {
    // The size and digest check of the caller catches it, not the transfer.
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/f?body_size=500&announce=1000"), Dest(), 1001,
                                  Display(L"f", 1, 1, 1000)));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(500));
    EXPECT_EQ(reports.back(), (Report{500, true}));
    EXPECT_EQ(recorder.shown.back().permille, 700) << "the file's whole share";
    ASSERT_TRUE(DownloadUrlToFile(Url(L"/__fault/f?body_size=90000&send=40000"), Dest(), 90001,
                                  Display(L"f", 1, 1, 90000)));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(40000));
}

TEST_F(HttpTest, StalledBodyHitsTheReceiveTimeout) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's WinINet does not apply INTERNET_OPTION_RECEIVE_TIMEOUT to "
                        "InternetReadFile: it waits for the server to close";
    SetHttpTimeoutsForTesting(1000, 1000);
    std::wstring url = Url(L"/__fault/f?body_size=100000&send=40000&stall_seconds=8");
    EXPECT_FALSE(DownloadUrlToFile(url, Dest(), 100001, Display(L"f", 1, 1, 100000)));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(LogLines().back(), "InternetReadFile failed. error=12002 url=" + U8(url));

    std::string body;
    url = Url(L"/__fault/m?body_size=1000&send=10&stall_seconds=8");
    EXPECT_FALSE(FetchUrlToMemory(url, body, 100000));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(LogLines().back(), "InternetReadFile failed. error=12002 url=" + U8(url));
}

TEST_F(HttpTest, DestinationProblemsAreLoggedWithThePath) {
    // A file where the parent folder should be.
    test::WriteFile(dir.native() / "_update_tmp" / "Blocked", "file");
    std::wstring blocked = Dest(L"_update_tmp\\Blocked\\f.bin");
    EXPECT_FALSE(DownloadUrlToFile(Url(L"/__fault/f?body=x"), blocked, 10, Display(L"f", 1, 1, 1)));
    EXPECT_EQ(LogLines().back(), "Failed to create output parent directory: " + U8(blocked));

    // A folder standing at the destination is never deleted by the failure.
    std::wstring folder = Dest(L"_update_tmp\\Folder");
    test::fs::create_directories(test::NativePath(folder) / "keep");
    EXPECT_FALSE(DownloadUrlToFile(Url(L"/__fault/f?body=x"), folder, 10, Display(L"f", 1, 1, 1)));
    std::string last = LogLines().back();
    EXPECT_EQ(last.rfind("Failed to create temp file. error=", 0), 0u) << last;
    EXPECT_NE(last.find(" path=" + U8(folder)), std::string::npos) << last;
    EXPECT_TRUE(test::fs::is_directory(test::NativePath(folder) / "keep"));
}

}  // namespace
}  // namespace rr
