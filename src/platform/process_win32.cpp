#include <windows.h>
#include <tlhelp32.h>

#include <vector>

#include "platform/process.h"

namespace rr::platform {

namespace {

// Owns one kernel handle; INVALID_HANDLE_VALUE and null both mean none.
class ScopedHandle {
  public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() { Reset(); }
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    void Reset() {
        if (valid()) {
            ::CloseHandle(handle_);
        }
        handle_ = nullptr;
    }

  private:
    HANDLE handle_;
};

struct CloseRequest {
    DWORD pid = 0;
    uint32_t posted = 0;
};

BOOL CALLBACK PostCloseToWindow(HWND window, LPARAM param) {
    auto* request = reinterpret_cast<CloseRequest*>(param);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner == request->pid) {
        ::PostMessageW(window, WM_CLOSE, 0, 0);
        ++request->posted;
    }
    return TRUE;  // always walk every window
}

}  // namespace

uint32_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool ProcessImagePath(uint32_t pid, std::wstring& path) {
    path.clear();
    ScopedHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process.valid()) {
        return false;
    }
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    BOOL ok = ::QueryFullProcessImageNameW(process.get(), 0, buffer.data(), &size);
    if (!ok || size == 0) {
        return false;
    }
    path.assign(buffer.data(), size);
    return true;
}

bool ListProcessIds(std::vector<uint32_t>& ids) {
    ids.clear();
    ScopedHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return false;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    if (!::Process32FirstW(snapshot.get(), &entry)) {
        return true;
    }
    do {
        ids.push_back(entry.th32ProcessID);
    } while (::Process32NextW(snapshot.get(), &entry));
    return true;
}

uint32_t PostCloseRequests(uint32_t pid) {
    CloseRequest request;
    request.pid = pid;
    ::EnumWindows(PostCloseToWindow, reinterpret_cast<LPARAM>(&request));
    return request.posted;
}

ExitWait WaitForProcessExit(uint32_t pid, uint32_t timeoutMs) {
    ScopedHandle process(::OpenProcess(SYNCHRONIZE, FALSE, pid));
    if (!process.valid()) {
        return ExitWait::OpenFailed;
    }
    DWORD result = ::WaitForSingleObject(process.get(), timeoutMs);
    if (result == WAIT_OBJECT_0) {
        return ExitWait::Exited;
    }
    if (result == WAIT_TIMEOUT) {
        return ExitWait::TimedOut;
    }
    return ExitWait::Failed;
}

bool StartProgram(const std::wstring& programPath, const std::wstring& workingDirectory,
                  uint32_t& pid) {
    pid = 0;
    // CreateProcessW may write into the command line, so it gets its own buffer.
    std::wstring quoted = L"\"" + programPath + L"\"";
    std::vector<wchar_t> commandLine(quoted.begin(), quoted.end());
    commandLine.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(programPath.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                          nullptr, workingDirectory.c_str(), &startup, &info)) {
        return false;
    }
    ScopedHandle thread(info.hThread);
    ScopedHandle process(info.hProcess);
    pid = info.dwProcessId;
    return true;
}

}  // namespace rr::platform
