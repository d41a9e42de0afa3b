#include "process/game_process.h"

#include "base/path.h"
#include "base/text.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/process.h"

namespace rr {

namespace {

// A process that cannot be opened for waiting is as good as gone; only a
// wait that ran out of time means it is still there.
bool ClosedWithin(uint32_t pid, uint32_t timeoutMs) {
    return platform::WaitForProcessExit(pid, timeoutMs) != platform::ExitWait::TimedOut;
}

}  // namespace

bool QueryProcessImagePath(uint32_t pid, std::wstring& path) {
    return platform::ProcessImagePath(pid, path);
}

uint32_t PostCloseToProcessWindows(uint32_t pid) {
    return platform::PostCloseRequests(pid);
}

std::vector<uint32_t> FindProcessesByImagePath(const std::wstring& path) {
    std::vector<uint32_t> found;
    std::vector<uint32_t> ids;
    if (!platform::ListProcessIds(ids)) {
        return found;
    }
    const uint32_t self = platform::CurrentProcessId();
    const std::wstring wanted = PathCompareKey(path);
    for (uint32_t id : ids) {
        if (id == 0 || id == self) {
            continue;
        }
        std::wstring image;
        if (QueryProcessImagePath(id, image) && PathCompareKey(image) == wanted) {
            found.push_back(id);
        }
    }
    return found;
}

bool WaitForParentGame(uint32_t parentPid, const std::wstring& expectedMainPath) {
    if (parentPid == 0 || parentPid == platform::CurrentProcessId()) {
        return true;
    }
    const std::wstring pid = ToDecimal(parentPid);
    std::wstring image;
    if (!QueryProcessImagePath(parentPid, image)) {
        LogMain(L"Process already closed or unavailable: pid=" + pid);
        return true;
    }
    if (!IsSamePath(image, expectedMainPath)) {
        LogMain(L"Skipped process from another path: pid=" + pid + L" path=" + image);
        return true;
    }
    LogMain(L"Waiting for parent Main.exe pid=" + pid);
    if (ClosedWithin(parentPid, kParentFirstWaitMs)) {
        LogMain(L"Process closed: pid=" + pid);
        return true;
    }
    uint32_t windows = PostCloseToProcessWindows(parentPid);
    LogMain(L"Sent WM_CLOSE to pid=" + pid + L" windows=" + ToDecimal(windows));
    if (ClosedWithin(parentPid, kParentAfterCloseWaitMs)) {
        LogMain(L"Process closed after WM_CLOSE: pid=" + pid);
        return true;
    }
    LogMain(L"Process still alive; no force kill in this stage: pid=" + pid);
    return false;
}

bool CloseOtherClientInstances(const std::wstring& expectedMainPath, uint32_t parentPid) {
    const uint32_t self = platform::CurrentProcessId();
    bool result = true;
    for (uint32_t id : FindProcessesByImagePath(expectedMainPath)) {
        if (id == 0 || id == self || id == parentPid) {
            continue;
        }
        const std::wstring pid = ToDecimal(id);
        std::wstring image;
        if (!QueryProcessImagePath(id, image)) {
            LogMain(L"Other same-client Main.exe disappeared before close: pid=" + pid);
            continue;
        }
        if (!IsSamePath(image, expectedMainPath)) {
            LogMain(L"Skipped other Main.exe from another path: pid=" + pid + L" path=" + image);
            continue;
        }
        LogMain(L"Other same-client Main.exe instance found: pid=" + pid + L" path=" + image);
        uint32_t windows = PostCloseToProcessWindows(id);
        LogMain(L"Other same-client Main.exe close requested with WM_CLOSE: pid=" + pid +
                L" windows=" + ToDecimal(windows));
        if (ClosedWithin(id, kOtherInstanceWaitMs)) {
            LogMain(L"Other same-client Main.exe closed OK: pid=" + pid);
        } else {
            LogMain(L"Other same-client Main.exe still running / abort: pid=" + pid + L" path=" +
                    image);
            result = false;  // keep going: every instance is asked to close
        }
    }
    return result;
}

bool RelaunchGame(const std::wstring& expectedMainPath, const std::wstring& workingFolder) {
    uint32_t pid = 0;
    if (!platform::StartProgram(expectedMainPath, workingFolder, pid)) {
        LogMain(L"Failed to relaunch Main.exe. error=" + ToDecimal(platform::LastError()));
        return false;
    }
    LogMain(L"Relaunched Main.exe pid=" + ToDecimal(pid));
    return true;
}

}  // namespace rr
