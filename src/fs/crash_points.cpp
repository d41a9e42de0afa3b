#include "fs/crash_points.h"

#include <cstdint>
#include <string>

#include "platform/system.h"

namespace rr {

namespace {

uint64_t ReadLimit() {
    std::wstring text = platform::EnvironmentValue(L"RIVERORAVAV_CRASH_AFTER");
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9' || value > 1000000000) {
            return 0;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return value;
}

}  // namespace

void CrashPoint() {
    static const uint64_t limit = ReadLimit();
    static uint64_t count = 0;
    if (limit != 0 && ++count >= limit) {
        platform::TerminateAtOnce();
    }
}

}  // namespace rr
