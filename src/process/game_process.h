#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rr {

// How long the game gets to close, in milliseconds.
constexpr uint32_t kParentFirstWaitMs = 15000;
constexpr uint32_t kParentAfterCloseWaitMs = 10000;
constexpr uint32_t kOtherInstanceWaitMs = 10000;

// The full image path of a running process as the system reports it.
bool QueryProcessImagePath(uint32_t pid, std::wstring& path);

// Asks every top-level window of the process to close; the number asked.
uint32_t PostCloseToProcessWindows(uint32_t pid);

// The ids of the processes (other than this one) whose executable is `path`,
// compared as paths (letter case and '/' against '\' ignored). Processes whose
// path cannot be read are left out.
std::vector<uint32_t> FindProcessesByImagePath(const std::wstring& path);

// True when the parent game is gone or is not the client's game; false when
// it kept running after the close request.
bool WaitForParentGame(uint32_t parentPid, const std::wstring& expectedMainPath);

// Asks every other instance of the client's game to close; true when none
// stayed.
bool CloseOtherClientInstances(const std::wstring& expectedMainPath, uint32_t parentPid);

// Starts the game without arguments from the client directory; never waits.
bool RelaunchGame(const std::wstring& expectedMainPath, const std::wstring& workingFolder);

}  // namespace rr
