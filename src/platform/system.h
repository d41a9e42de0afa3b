#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rr::platform {

// GetFullPathNameW on Windows; on POSIX the core's textual resolution against
// the current directory. False leaves the caller to keep its input.
bool ResolveFullPath(const std::wstring& path, std::wstring& full);

// Whether the file system of this platform ignores letter case in names.
bool FileSystemIgnoresCase();

// The updater's own executable, in the core's path form.
std::wstring ModuleFileName();

// The process command line split into arguments, argument 0 included.
bool CommandLineArguments(std::vector<std::wstring>& args);

struct LocalTime {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime CurrentLocalTime();

// Seconds since 1970-01-01T00:00:00Z by the system clock (GetSystemTimeAsFileTime
// on Windows, time() on POSIX).
int64_t UtcNowSeconds();

// The value of an environment variable; empty when it is not set.
std::wstring EnvironmentValue(const std::wstring& name);

// Ends the process at once, as a crash or a power cut would: no destructors,
// no flushing (SIGKILL on POSIX, TerminateProcess on Windows).
[[noreturn]] void TerminateAtOnce();

uint32_t TickCount();
uint64_t TickCount64();
void SleepMilliseconds(uint32_t milliseconds);

}  // namespace rr::platform
