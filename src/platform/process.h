#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rr::platform {

uint32_t CurrentProcessId();

// The full image path of a process in the core's path form. False when the
// process is gone or cannot be queried (Windows: OpenProcess with
// PROCESS_QUERY_LIMITED_INFORMATION, QueryFullProcessImageNameW; POSIX:
// /proc/PID/exe).
bool ProcessImagePath(uint32_t pid, std::wstring& path);

// Every process id of a point-in-time snapshot, in snapshot order. False when
// no snapshot could be taken.
bool ListProcessIds(std::vector<uint32_t>& ids);

// Asks a process to close without forcing it: WM_CLOSE posted to each of its
// top-level windows on Windows, one SIGTERM on POSIX. Returns how many
// requests were delivered (POSIX: 1 or 0). Never kills.
uint32_t PostCloseRequests(uint32_t pid);

enum class ExitWait {
    Exited,      // the process ended within the time
    TimedOut,    // still running when the time ran out
    OpenFailed,  // it could not be opened for waiting (gone, or no access)
    Failed,      // the wait itself failed
};
// Waits up to `timeoutMs` for the process to end (Windows: SYNCHRONIZE and
// WaitForSingleObject; POSIX: polls /proc, where a zombie counts as ended).
// The handle is closed before returning.
ExitWait WaitForProcessExit(uint32_t pid, uint32_t timeoutMs);

// Starts a program without arguments and without inheriting any handle, in
// the given working directory; the new process is not waited for. False with
// LastError() on failure.
bool StartProgram(const std::wstring& programPath, const std::wstring& workingDirectory,
                  uint32_t& pid);

}  // namespace rr::platform
