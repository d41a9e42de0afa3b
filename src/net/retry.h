#pragma once
// Trying a transfer again after a passing failure: a network failure, a
// time-out, a body cut short, or a status that says "later" (408, 429, 500,
// 502, 503, 504). Each URL gets its own attempts; moving on to another URL
// once they are spent stays the caller's business.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rr {

// How a client's transfers are tried again. An empty `waitSeconds` means a
// single attempt.
struct RetryPolicy {
    // The wait before each further attempt: before attempt 2, 3, 4.
    std::vector<uint32_t> waitSeconds = {1, 2, 4};
    // A Retry-After in seconds replaces the scheduled wait, up to this cap.
    uint32_t maxRetryAfterSeconds = 30;
    // Waits between attempts; empty: the platform's sleep.
    std::function<void(uint32_t seconds)> sleep;
    // Hears each retry line after it was logged, for the display; may be empty.
    std::function<void(const std::wstring& line)> notice;
    // Attempts in all, however far each one got (see RetryCause::progressed).
    uint32_t maxAttempts = 100;
};

// What a failed attempt says about trying again; an attempt that fails for
// good leaves `retryable` false.
struct RetryCause {
    bool retryable = false;
    std::wstring reason;  // "HTTP status 503", "connection reset (error 12031)", ...
    bool hasRetryAfter = false;
    uint32_t retryAfterSeconds = 0;
    // The attempt kept bytes that the next one goes on from (a resumed
    // download): the waits and the count of attempts start again.
    bool progressed = false;
};

// "Retrying URL in S s after REASON (attempt K of N)."
std::wstring RetryLine(const std::wstring& url, uint32_t seconds, const std::wstring& reason,
                       uint32_t attempt, uint32_t attempts);

// Runs `attempt` until it succeeds, fails for good or the policy's attempts
// are spent: those after the last one that progressed, and maxAttempts in
// all. Before each further attempt it logs the retry line, tells the policy's
// notice and sleeps. The attempt starts from a fresh cause each time.
bool WithRetries(const RetryPolicy& policy, const std::wstring& url,
                 const std::function<bool(RetryCause& cause)>& attempt);

// The Retry-After value when it is a number of seconds (an HTTP date is not
// used); false for anything else.
bool ParseRetryAfterSeconds(const std::wstring& value, uint32_t& seconds);

}  // namespace rr
