// Passing download failures are tried again on the same URL, lasting ones are
// not: the rules seen through the full client package over an in-memory HTTP
// client, the waits recorded instead of slept.
#include <gtest/gtest.h>

#include "base/text.h"
#include "fake_http_client.h"
#include "log_capture.h"
#include "package/full_client_package.h"
#include "test_support.h"

namespace rr {
namespace {

using Lines = std::vector<std::wstring>;
using Reply = test::FakeHttpClient::Reply;

const std::wstring kUrl = L"http://127.0.0.1:8080/full/Client.zip";
const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

Reply Status(uint32_t status, std::wstring retryAfter = {}) {
    return Reply{.status = status, .body = "busy", .retryAfter = std::move(retryAfter)};
}

struct Case {
    const char* name;
    std::vector<Reply> first;  // served once each, in order
    Reply then;                // every answer after them
    bool ok;
    std::vector<uint32_t> waits;
    Lines reasons;  // of the retry lines, in order
};

const Reply kPackage{.body = "abc"};
const Reply kReset{.fails = true, .code = platform::kInternetConnectionReset};

const Case kCases[] = {
    {"503 twice then 200",
     {Status(503), Status(503)},
     kPackage,
     true,
     {1, 2},
     {L"HTTP status 503", L"HTTP status 503"}},
    {"Retry-After replaces the wait, capped at 30 s",
     {Status(429, L"7"), Status(503, L"120"), Status(500, L"Wed, 21 Oct 2015 07:28:00 GMT")},
     kPackage,
     true,
     {7, 30, 4},
     {L"HTTP status 429", L"HTTP status 503", L"HTTP status 500"}},
    {"a body cut short",
     {Reply{.body = "ab", .announce = 3}},
     kPackage,
     true,
     {1},
     {L"body cut short at 2 of 3 bytes"}},
    {"a reset until the attempts are spent",
     {},
     kReset,
     false,
     {1, 2, 4},
     {L"connection reset (error 12031)", L"connection reset (error 12031)",
      L"connection reset (error 12031)"}},
    {"404 is not retried", {Status(404)}, kPackage, false, {}, {}},
    {"a certificate failure is not retried",
     {Reply{.fails = true, .code = platform::kInternetInvalidCa}},
     kPackage,
     false,
     {},
     {}},
    {"a body over its limit is not retried",
     {Reply{.body = std::string(3 + 1048577, 'x')}},
     kPackage,
     false,
     {},
     {}},
    {"a digest mismatch is not retried", {Reply{.body = "abd"}}, kPackage, false, {}, {}},
};

TEST(DownloadRetryTest, PassingFailuresAreRetriedLastingOnesAreNot) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        test::LogCapture logs;
        test::TempDir dir;
        test::FakeHttpClient http;
        std::vector<uint32_t> waits;
        Lines notices;
        http.retry = RetryPolicy{.sleep = [&](uint32_t s) { waits.push_back(s); },
                                 .notice = [&](const std::wstring& l) { notices.push_back(l); }};
        for (const Reply& reply : c.first) {
            http.Then(kUrl, reply);
        }
        http.replies[kUrl] = c.then;
        const PackageSource source{.url = kUrl, .sha256 = Utf8ToUtf16(kAbcDigest), .size = L"3"};
        PackageSettings package;

        EXPECT_EQ(ObtainFullClientPackage(http, dir.core(), source, true, package), c.ok);
        EXPECT_EQ(waits, c.waits);
        EXPECT_EQ(http.requests.size(), c.reasons.size() + 1);
        Lines expected;
        for (size_t i = 0; i < c.reasons.size(); ++i) {
            expected.push_back(L"Retrying " + kUrl + L" in " + ToDecimal(c.waits[i]) +
                               L" s after " + c.reasons[i] + L" (attempt " + ToDecimal(i + 2) +
                               L" of 4).");
        }
        Lines retried;
        for (const std::wstring& line : logs.MainLines()) {
            if (line.rfind(L"Retrying ", 0) == 0) {
                retried.push_back(line);
            }
        }
        EXPECT_EQ(retried, expected);
        EXPECT_EQ(notices, expected) << "the display hears every retry line";
    }
}

}  // namespace
}  // namespace rr
