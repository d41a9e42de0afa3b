#include "fs/in_use.h"

#include <algorithm>
#include <cstdint>

#include "platform/error.h"
#include "platform/system.h"

namespace rr {

namespace {

constexpr uint64_t kBudgetMs = 10000;
constexpr uint32_t kFirstWaitMs = 50;
constexpr uint32_t kLongestWaitMs = 1000;

InUseNotice& Notice() {
    static InUseNotice notice = nullptr;
    return notice;
}

bool IsInUse(FileStep step, uint32_t error) {
    return error == platform::kErrorSharingViolation || error == platform::kErrorLockViolation ||
           (step == FileStep::kChange && error == platform::kErrorAccessDenied);
}

}  // namespace

InUseNotice SetInUseNotice(InUseNotice notice) {
    const InUseNotice previous = Notice();
    Notice() = notice;
    return previous;
}

bool RetryWhileInUse(FileStep step, const std::wstring& path,
                     const std::function<bool()>& attempt) {
    if (attempt()) {
        return true;
    }
    uint32_t error = platform::LastError();
    if (!IsInUse(step, error)) {
        return false;
    }
    const uint64_t start = platform::TickCount64();
    uint32_t wait = kFirstWaitMs;
    for (bool told = false;; told = true) {
        const uint64_t spent = platform::TickCount64() - start;
        if (spent >= kBudgetMs) {
            platform::SetLastErrorCode(error);
            return false;
        }
        if (!told && Notice() != nullptr) {
            Notice()(path);
        }
        platform::SleepMilliseconds(
            static_cast<uint32_t>(std::min<uint64_t>(wait, kBudgetMs - spent)));
        wait = std::min(wait * 2, kLongestWaitMs);
        if (attempt()) {
            return true;
        }
        error = platform::LastError();
        if (!IsInUse(step, error)) {
            return false;
        }
    }
}

}  // namespace rr
