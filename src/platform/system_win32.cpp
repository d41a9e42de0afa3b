#include <windows.h>
#include <shellapi.h>

#include <vector>

#include "platform/system.h"

namespace rr::platform {

bool ResolveFullPath(const std::wstring& path, std::wstring& full) {
    DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) {
        return false;
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(needed) + 1);
    DWORD written = ::GetFullPathNameW(path.c_str(), needed + 1, buffer.data(), nullptr);
    if (written == 0) {
        return false;
    }
    full.assign(buffer.data());
    return true;
}

bool FileSystemIgnoresCase() {
    return true;
}

std::wstring ModuleFileName() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD n = ::GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, n);
}

bool CommandLineArguments(std::vector<std::wstring>& args) {
    args.clear();
    int count = 0;
    LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!argv) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        args.emplace_back(argv[i]);
    }
    ::LocalFree(argv);
    return true;
}

LocalTime CurrentLocalTime() {
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    return t;
}

int64_t UtcNowSeconds() {
    // FILETIME counts 100 ns intervals since 1601-01-01; 11644473600 s lie
    // between that day and 1970-01-01.
    FILETIME ft{};
    ::GetSystemTimeAsFileTime(&ft);
    uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(ticks / 10000000ULL) - 11644473600LL;
}

uint32_t TickCount() {
    return ::GetTickCount();
}
std::wstring EnvironmentValue(const std::wstring& name) {
    wchar_t buffer[256];
    DWORD n = ::GetEnvironmentVariableW(name.c_str(), buffer, 256);
    if (n == 0 || n >= 256) {
        return std::wstring();
    }
    return std::wstring(buffer, n);
}

void TerminateAtOnce() {
    ::TerminateProcess(::GetCurrentProcess(), 137);
    ::ExitProcess(137);
}

uint64_t TickCount64() {
    return ::GetTickCount64();
}
void SleepMilliseconds(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

}  // namespace rr::platform
