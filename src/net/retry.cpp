#include "net/retry.h"

#include <algorithm>

#include "base/text.h"
#include "log/log.h"
#include "platform/system.h"

namespace rr {

std::wstring RetryLine(const std::wstring& url, uint32_t seconds, const std::wstring& reason,
                       uint32_t attempt, uint32_t attempts) {
    return L"Retrying " + url + L" in " + ToDecimal(seconds) + L" s after " + reason +
           L" (attempt " + ToDecimal(attempt) + L" of " + ToDecimal(attempts) + L").";
}

bool WithRetries(const RetryPolicy& policy, const std::wstring& url,
                 const std::function<bool(RetryCause& cause)>& attempt) {
    const size_t retries = policy.waitSeconds.size();
    const uint32_t attempts = static_cast<uint32_t>(retries + 1);
    // `done`: failed attempts since the last one that progressed.
    for (uint32_t made = 1, done = 0;; ++made, ++done) {
        RetryCause cause;
        if (attempt(cause)) {
            return true;
        }
        if (cause.progressed) {
            done = 0;
        }
        if (!cause.retryable || done >= retries || made >= policy.maxAttempts) {
            return false;
        }
        const uint32_t seconds =
            cause.hasRetryAfter ? std::min(cause.retryAfterSeconds, policy.maxRetryAfterSeconds)
                                : policy.waitSeconds[done];
        const std::wstring line = RetryLine(url, seconds, cause.reason, done + 2, attempts);
        LogMain(line);
        if (policy.notice) {
            policy.notice(line);
        }
        if (policy.sleep) {
            policy.sleep(seconds);
        } else {
            platform::SleepMilliseconds(seconds * 1000);
        }
    }
}

bool ParseRetryAfterSeconds(const std::wstring& value, uint32_t& seconds) {
    size_t begin = value.find_first_not_of(L" \t");
    size_t end = value.find_last_not_of(L" \t");
    if (begin == std::wstring::npos) {
        return false;
    }
    uint64_t total = 0;
    for (size_t i = begin; i <= end; ++i) {
        if (value[i] < L'0' || value[i] > L'9') {
            return false;
        }
        // Anything past a day is as good as "very long"; the cap decides.
        total = std::min<uint64_t>(total * 10 + static_cast<uint64_t>(value[i] - L'0'), 86400);
    }
    seconds = static_cast<uint32_t>(total);
    return true;
}

}  // namespace rr
