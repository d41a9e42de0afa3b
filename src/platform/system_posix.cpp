#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <climits>
#include <vector>

#include "platform/args_posix.h"
#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/path_posix.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rr::platform {

namespace posix {

namespace {
std::vector<std::wstring> g_arguments;
bool g_argumentsStored = false;
}  // namespace

void StoreCommandLine(int argc, char** argv) {
    g_arguments.clear();
    for (int i = 0; i < argc; ++i) {
        g_arguments.push_back(Utf8ToWide(argv[i] ? argv[i] : ""));
    }
    g_argumentsStored = true;
}

bool StoredArguments(std::vector<std::wstring>& args) {
    args = g_arguments;
    return g_argumentsStored;
}

}  // namespace posix

bool ResolveFullPath(const std::wstring& path, std::wstring& full) {
    // An absolute path needs no current directory; skipping getcwd keeps the
    // many path comparisons of a scan free of system calls.
    const bool driveForm =
        path.size() >= 2 && path[1] == L':' &&
        ((path[0] >= L'a' && path[0] <= L'z') || (path[0] >= L'A' && path[0] <= L'Z'));
    if (!path.empty() && (path[0] == L'\\' || path[0] == L'/' || driveForm)) {
        if (posix::ResolvePathText(path, L"\\", full)) {
            return true;
        }
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }
    std::vector<char> buffer(PATH_MAX + 1);
    if (!::getcwd(buffer.data(), buffer.size())) {
        return posix::FailErrno();
    }
    if (!posix::ResolvePathText(path, posix::FromNativePath(buffer.data()), full)) {
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }
    return true;
}

bool FileSystemIgnoresCase() {
    return false;
}

std::wstring ModuleFileName() {
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return std::wstring();
    }
    buffer[static_cast<size_t>(n)] = '\0';
    return posix::FromNativePath(buffer.data());
}

bool CommandLineArguments(std::vector<std::wstring>& args) {
    return posix::StoredArguments(args);
}

LocalTime CurrentLocalTime() {
    LocalTime t;
    time_t now = ::time(nullptr);
    struct tm tm {};
    if (::localtime_r(&now, &tm)) {
        t.year = static_cast<unsigned>(tm.tm_year + 1900);
        t.month = static_cast<unsigned>(tm.tm_mon + 1);
        t.day = static_cast<unsigned>(tm.tm_mday);
        t.hour = static_cast<unsigned>(tm.tm_hour);
        t.minute = static_cast<unsigned>(tm.tm_min);
        t.second = static_cast<unsigned>(tm.tm_sec);
    }
    return t;
}

int64_t UtcNowSeconds() {
    return static_cast<int64_t>(::time(nullptr));
}

std::wstring EnvironmentValue(const std::wstring& name) {
    const char* value = std::getenv(WideToUtf8(name).c_str());
    return value ? Utf8ToWide(value) : std::wstring();
}

void TerminateAtOnce() {
    ::kill(::getpid(), SIGKILL);
    ::_exit(137);
}

uint64_t TickCount64() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint32_t TickCount() {
    return static_cast<uint32_t>(TickCount64());
}

void SleepMilliseconds(uint32_t milliseconds) {
    struct timespec ts {};
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace rr::platform
