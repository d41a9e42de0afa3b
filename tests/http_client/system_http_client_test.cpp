// The program's HTTP client (WinINet on Windows, libcurl on POSIX) against the
// real test HTTP server (tests/server/http_fixture.py) on 127.0.0.1: status
// codes, redirects, bodies that end early or never, time-outs and a port with
// no listener, seen through the transfer code as the update uses it. ctest
// starts the server and hands its port file over in RR_TEST_HTTP_PORT_FILE.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "base/text.h"
#include "log/log.h"
#include "net/http.h"
#include "net/system_http_client.h"
#include "recording_display.h"
#include "test_support.h"
#include "ui/progress.h"

#ifdef _WIN32
#include <windows.h>
#endif

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

struct Report {
    uint64_t received;
    bool complete;
    bool operator==(const Report&) const = default;
};

class SystemHttpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string portFile = EnvPath("RR_TEST_HTTP_PORT_FILE");
        if (portFile.empty())
            GTEST_SKIP() << "no test HTTP server: RR_TEST_HTTP_PORT_FILE is not set (ctest starts "
                            "tests/server/http_fixture.py and sets it)";
        std::ifstream in(portFile);
        in >> port_;
        ASSERT_GT(port_, 0) << "no port in " << portFile;
    }

    std::wstring Url(const std::wstring& path) const {
        return L"http://127.0.0.1:" + ToDecimal(port_) + path;
    }
    TransferEvents Events() {
        return {[this](uint32_t status) { statuses.push_back(status); },
                [this](uint64_t received, bool complete) {
                    reports.push_back({received, complete});
                }};
    }
    bool Fetch(const std::wstring& url, uint64_t maxBytes, std::string& body) {
        err = Error{};
        return FetchUrlToMemory(http, url, maxBytes, body, Events(), &err);
    }
    bool Download(const std::wstring& url, uint64_t maxBytes) {
        err = Error{};
        return DownloadUrlToFile(http, {url, dir.core(), Dest(), maxBytes}, Events(), &err);
    }
    std::wstring Dest() const { return dir.core(L"_update_tmp\\Data\\file.bin"); }
    bool DestExists() const { return test::fs::exists(test::NativePath(Dest())); }
    std::string Requests() {
        std::string requests;
        Error ignored;
        EXPECT_TRUE(FetchUrlToMemory(http, Url(L"/__requests"), 16u << 20, requests, {}, &ignored));
        return requests;
    }

    int port_ = 0;
    SystemHttpClient http;
    TempDir dir;
    std::vector<uint32_t> statuses;
    std::vector<Report> reports;
    Error err;
};

TEST_F(SystemHttpTest, FetchReturnsTheBodyOfA200) {
    std::string root = EnvPath("RR_TEST_HTTP_ROOT");
    ASSERT_FALSE(root.empty());
    std::string name = "manifest_" + std::to_string(port_) + "_" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    std::string json = "{\"version\": \"1.0\", \"files\": []}\n";
    test::WriteFile(test::fs::path(root) / name, json);

    std::string body = "stale";
    ASSERT_TRUE(Fetch(Url(L"/" + Utf8ToUtf16(name)), 262144, body));
    EXPECT_EQ(body, json);
    ASSERT_TRUE(Fetch(Url(L"/__fault/m.json?body_size=50000"), 262144, body));
    EXPECT_EQ(body, PatternBytes(50000)) << "binary bytes come through untouched";
    // Letter case of the scheme does not matter on the wire either.
    std::wstring upper = Url(L"/__fault/m.json?body=x");
    upper.replace(0, 4, L"HTTP");
    ASSERT_TRUE(Fetch(upper, 10, body));
    EXPECT_EQ(body, "x");
    EXPECT_EQ(statuses, std::vector<uint32_t>(3, 200));
    std::error_code ec;
    test::fs::remove(test::fs::path(root) / name, ec);
}

TEST_F(SystemHttpTest, TheFinalStatusIsTheOneJudged) {
    const std::vector<uint32_t> sent = {404, 206, 304, 500, 204};
    for (uint32_t status : sent) {
        std::string body;
        EXPECT_FALSE(
            Fetch(Url(L"/__fault/m.json?body=payload&status=" + ToDecimal(status)), 1000, body));
        EXPECT_TRUE(body.empty()) << status;
        EXPECT_TRUE(err.text.empty()) << "only the status tells";
    }
    EXPECT_EQ(statuses, sent);

    // Redirects are followed; the status seen is the final one's.
    statuses.clear();
    std::string body;
    ASSERT_TRUE(Fetch(Url(L"/__fault/a?status=301&redirect=/__fault/b%3Fstatus%3D302%26redirect%3D/"
                          L"__fault/c%253Fbody%253Dfinal"),
                      1000, body));
    EXPECT_EQ(body, "final");
    EXPECT_FALSE(
        Fetch(Url(L"/__fault/a?status=302&redirect=/__fault/gone%3Fstatus%3D404"), 1000, body));
    EXPECT_EQ(statuses, (std::vector<uint32_t>{200, 404}));

    for (uint32_t status : {404u, 206u, 304u}) {
        std::wstring url = Url(L"/__fault/f?body=x&status=" + ToDecimal(status));
        EXPECT_FALSE(Download(url, 100));
        EXPECT_FALSE(DestExists()) << status;
        EXPECT_EQ(statuses.back(), status);
        EXPECT_EQ(err.text, L"Rejected file HTTP status=" + ToDecimal(status) + L" url=" + url);
    }
    EXPECT_TRUE(reports.empty()) << "no progress before the file exists";
}

TEST_F(SystemHttpTest, RedirectToAnotherSchemeIsNotFollowed) {
    std::wstring url = Url(L"/__fault/m?status=302&redirect=ftp://127.0.0.1:" + ToDecimal(port_) +
                           L"/__fault/ftp-target");
    std::string body;
    EXPECT_FALSE(Fetch(url, 1000, body));
    EXPECT_FALSE(Download(url, 1000));
    EXPECT_FALSE(DestExists());
    for (uint32_t status : statuses)
        EXPECT_NE(status, 200u);
    EXPECT_EQ(Requests().find("\"path\": \"/__fault/ftp-target"), std::string::npos);
}

TEST_F(SystemHttpTest, DownloadStreamsTheBodyToTheFile) {
    const uint64_t size = 3 * 32768 + 5;
    ASSERT_TRUE(Download(Url(L"/__fault/f?body_size=" + ToDecimal(size)), size + 1));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(size));
    EXPECT_EQ(statuses, std::vector<uint32_t>{200});
    ASSERT_GE(reports.size(), 4u) << "start, at least two chunks, completion";
    EXPECT_EQ(reports.front(), (Report{0, false}));
    EXPECT_EQ(reports.back(), (Report{size, true}));
    EXPECT_EQ(reports[reports.size() - 2], (Report{size, false})) << "the last chunk's total";
    for (size_t i = 1; i + 1 < reports.size(); ++i) {
        EXPECT_GT(reports[i].received, reports[i - 1].received) << i;
        EXPECT_FALSE(reports[i].complete) << i;
    }
}

TEST_F(SystemHttpTest, BodiesWithoutALengthAreCutAtTheLimit) {
    std::string body;
    EXPECT_FALSE(Fetch(Url(L"/__fault/m?body_size=300000&no_length=1"), 262144, body));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(err.text, L"Manifest download exceeded allowed memory limit.");

    std::wstring big = Url(L"/__fault/f?body_size=3000000&no_length=1");
    EXPECT_FALSE(Download(big, 100001));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(err.text, L"File download exceeded max bytes: " + big);
}

TEST_F(SystemHttpTest, BodyCutBeforeItsLengthFailsAndMayBeRetried) {
    // Both libraries call a connection closed early a clean end: the transfer
    // compares what came with the announced Content-Length.
    for (const wchar_t* query : {L"body_size=500&announce=1000", L"body_size=90000&send=40000"}) {
        std::wstring url = Url(std::wstring(L"/__fault/f?") + query);
        RetryCause cause;
        TransferEvents events = Events();
        events.retry = &cause;
        EXPECT_FALSE(DownloadUrlToFile(http, {url, dir.core(), Dest(), 100000}, events, &err));
        EXPECT_FALSE(DestExists()) << query;
        EXPECT_TRUE(cause.retryable) << query;
        EXPECT_EQ(err.text.rfind(L"File download ended early. received=", 0), 0u) << err.text;
        EXPECT_NE(err.text.find(L" url=" + url), std::wstring::npos) << err.text;
    }
    std::string body;
    RetryCause cause;
    std::wstring url = Url(L"/__fault/m?body_size=500&announce=1000");
    EXPECT_FALSE(FetchUrlToMemory(http, url, 262144, body, {.retry = &cause}, &err));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(err.text, L"Manifest download ended early. received=500 expected=1000 url=" + url);
    EXPECT_EQ(cause.reason, L"body cut short at 500 of 1000 bytes");

    // Without a length the end of the connection is the end of the body: the
    // display fills the file's share, the size check judges.
    test::RecordingDisplay recorder;
    TransferEvents events = Events();
    events.progress = [&](uint64_t received, bool complete) {
        reports.push_back({received, complete});
        ShowDownloadProgress(L"f", 1, 1, received, 1000, complete);
    };
    url = Url(L"/__fault/f?body_size=500&no_length=1");
    EXPECT_TRUE(DownloadUrlToFile(http, {url, dir.core(), Dest(), 1001}, events, &err));
    EXPECT_EQ(ReadFile(test::NativePath(Dest())), PatternBytes(500));
    EXPECT_EQ(reports.back(), (Report{500, true}));
    ASSERT_FALSE(recorder.shown.empty());
    EXPECT_EQ(recorder.shown.back().permille, 700) << "the file's whole share";
}

TEST_F(SystemHttpTest, RetryAfterOfAPassingStatusIsRead) {
    for (const wchar_t* use : {L"fetch", L"download"}) {
        RetryCause cause;
        TransferEvents events = Events();
        events.retry = &cause;
        const std::wstring url = Url(L"/__fault/m?status=503&body=later&retry_after=7");
        std::string body;
        bool ok = std::wstring(use) == L"fetch"
                      ? FetchUrlToMemory(http, url, 1000, body, events, &err)
                      : DownloadUrlToFile(http, {url, dir.core(), Dest(), 1000}, events, &err);
        EXPECT_FALSE(ok) << use;
        EXPECT_TRUE(cause.retryable) << use;
        EXPECT_EQ(cause.reason, L"HTTP status 503") << use;
        EXPECT_TRUE(cause.hasRetryAfter) << use;
        EXPECT_EQ(cause.retryAfterSeconds, 7u) << use;
    }
}

TEST_F(SystemHttpTest, StalledBodyHitsTheReceiveTimeout) {
    if (RunningUnderWine())
        GTEST_SKIP() << "Wine's WinINet does not apply INTERNET_OPTION_RECEIVE_TIMEOUT to "
                        "InternetReadFile: it waits for the server to close";
    SystemHttpClient quick(HttpOptions{.fetchTimeoutMs = 1000, .downloadTimeoutMs = 1000});
    std::wstring url = Url(L"/__fault/f?body_size=100000&send=40000&stall_seconds=8");
    EXPECT_FALSE(DownloadUrlToFile(quick, {url, dir.core(), Dest(), 100001}, {}, &err));
    EXPECT_FALSE(DestExists());
    EXPECT_EQ(err.text, L"InternetReadFile failed. error=12002 url=" + url);

    std::string body;
    url = Url(L"/__fault/m?body_size=1000&send=10&stall_seconds=8");
    EXPECT_FALSE(FetchUrlToMemory(quick, url, 100000, body, {}, &err));
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(err.text, L"InternetReadFile failed. error=12002 url=" + url);
}

TEST_F(SystemHttpTest, UnreachableServerIsReportedWithTheOpenUrlError) {
    // Port 1 on the loopback: nothing listens there.
    std::wstring url = L"http://127.0.0.1:1/manifest.json";
    std::string body;
    EXPECT_FALSE(Fetch(url, 100, body));
    EXPECT_EQ(err.text, L"InternetOpenUrlW failed. error=12029 url=" + url);
    EXPECT_FALSE(Download(url, 100));
    EXPECT_EQ(err.text, L"InternetOpenUrlW failed. error=12029 url=" + url);
    EXPECT_FALSE(DestExists());
    EXPECT_TRUE(statuses.empty());
}

}  // namespace
}  // namespace rr
