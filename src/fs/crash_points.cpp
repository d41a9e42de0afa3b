#include "fs/crash_points.h"

#include <cstdint>
#include <string>

#include "platform/error.h"
#include "platform/system.h"

namespace rr {

namespace {

// A decimal number of at most ten digits, all of `text`; false otherwise.
bool ParseDecimal(const std::wstring& text, uint64_t& value) {
    value = 0;
    if (text.empty() || text.size() > 10) {
        return false;
    }
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return true;
}

uint64_t ReadLimit() {
    uint64_t value = 0;
    return ParseDecimal(platform::EnvironmentValue(L"RIVERORAVAV_CRASH_AFTER"), value) ? value : 0;
}

struct FailPlan {
    uint64_t after = 0;  // 0: no fault
    uint32_t code = 0;
    bool repeat = false;
};

FailPlan ReadFailPlan() {
    const std::wstring text = platform::EnvironmentValue(L"RIVERORAVAV_FAIL_AFTER");
    const size_t first = text.find(L':');
    const size_t second = first == std::wstring::npos ? first : text.find(L':', first + 1);
    FailPlan plan;
    uint64_t after = 0;
    uint64_t code = 0;
    const std::wstring tail = second == std::wstring::npos ? L"" : text.substr(second + 1);
    if (first == std::wstring::npos || !ParseDecimal(text.substr(0, first), after) ||
        !ParseDecimal(text.substr(first + 1, second - first - 1), code) || after == 0 ||
        code == 0 || code > UINT32_MAX || (second != std::wstring::npos && tail != L"repeat")) {
        return plan;
    }
    plan.after = after;
    plan.code = static_cast<uint32_t>(code);
    plan.repeat = second != std::wstring::npos;
    return plan;
}

// Whether `change` can fail with `code` at all.
bool CanMeet(Change change, uint32_t code) {
    if (code == platform::kErrorDiskFull || code == platform::kErrorHandleDiskFull) {
        return change != Change::kRenameOrDelete;
    }
    if (code == platform::kErrorSharingViolation || code == platform::kErrorLockViolation) {
        return change == Change::kCreateFile || change == Change::kRenameOrDelete;
    }
    return true;
}

}  // namespace

void CrashPoint() {
    static const uint64_t limit = ReadLimit();
    static uint64_t count = 0;
    if (limit != 0 && ++count >= limit) {
        platform::TerminateAtOnce();
    }
}

bool ChangePoint(Change change) {
    CrashPoint();
    static const FailPlan plan = ReadFailPlan();
    static uint64_t count = 0;
    static bool spent = false;
    if (plan.after == 0 || ++count < plan.after || spent) {
        return true;
    }
    if (!CanMeet(change, plan.code)) {
        return true;
    }
    spent = !plan.repeat;
    platform::SetLastErrorCode(plan.code);
    return false;
}

}  // namespace rr
