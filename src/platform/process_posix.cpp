#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/path_posix.h"
#include "platform/process.h"
#include "platform/system.h"

extern char** environ;

namespace rr::platform {

using posix::FromNativePath;
using posix::SetLastErrorFromErrno;
using posix::ToNativePath;

namespace {

constexpr uint32_t kPollMilliseconds = 20;

// A process id the kernel reads as one process: 0 and values above INT_MAX
// would turn kill() into a signal to a whole process group.
bool IsSingleProcessId(uint32_t pid) {
    return pid != 0 && pid <= static_cast<uint32_t>(INT_MAX);
}

std::string ProcDir(uint32_t pid) {
    return "/proc/" + std::to_string(pid);
}

enum class ProcState { Missing, Zombie, Alive };

ProcState ReadProcState(uint32_t pid) {
    int fd = ::open((ProcDir(pid) + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ProcState::Missing;
    }
    char buffer[512];
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer - 1);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) {
        return ProcState::Missing;
    }
    buffer[got] = '\0';
    // "pid (comm) S ...": the name may itself hold ") ", so take the last one.
    const char* close = std::strrchr(buffer, ')');
    if (!close || close[1] != ' ' || close[2] == '\0') {
        return ProcState::Missing;
    }
    char state = close[2];
    if (state == 'Z' || state == 'X' || state == 'x') {
        return ProcState::Zombie;
    }
    return ProcState::Alive;
}

void WriteAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t w = ::write(fd, p, size);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        p += w;
        size -= static_cast<size_t>(w);
    }
}

// Async-signal-safe: used between fork and exec.
void MarkDescriptorsCloseOnExec() {
#ifdef SYS_close_range
    constexpr unsigned kCloseRangeCloexec = 1u << 2;
    if (::syscall(SYS_close_range, 3u, ~0u, kCloseRangeCloexec) == 0) {
        return;
    }
#endif
    struct rlimit limit {};
    int highest = 65536;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < static_cast<rlim_t>(highest)) {
        highest = static_cast<int>(limit.rlim_cur);
    }
    for (int fd = 3; fd < highest; ++fd) {
        int flags = ::fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) {
            ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
        }
    }
}

// After fork, in the child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const char* program, const char* directory, int errorPipe) {
    int err = 0;
    if (::chdir(directory) != 0) {
        err = errno;
        WriteAll(errorPipe, &err, sizeof err);
        ::_exit(127);
    }
    ::setsid();  // the game outlives the updater and its terminal session
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        if (null > 2) {
            ::close(null);
        }
    }
    // No descriptor of ours may reach the game (log files, a test harness's
    // pipes): mark them all close-on-exec. The error pipe already is.
    MarkDescriptorsCloseOnExec();
    char* const argv[] = {const_cast<char*>(program), nullptr};
    ::execve(program, argv, environ);
    err = errno;
    WriteAll(errorPipe, &err, sizeof err);
    ::_exit(127);
}

}  // namespace

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(::getpid());
}

bool ProcessImagePath(uint32_t pid, std::wstring& path) {
    path.clear();
    if (!IsSingleProcessId(pid)) {
        return false;
    }
    std::vector<char> buffer(PATH_MAX + 1);
    ssize_t n = ::readlink((ProcDir(pid) + "/exe").c_str(), buffer.data(), buffer.size() - 1);
    if (n <= 0) {
        return false;  // gone, a zombie, a kernel thread, or another user's process
    }
    path = FromNativePath(std::string(buffer.data(), static_cast<size_t>(n)));
    return !path.empty();
}

bool ListProcessIds(std::vector<uint32_t>& ids) {
    ids.clear();
    DIR* dir = ::opendir("/proc");
    if (!dir) {
        return false;
    }
    while (struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (*name == '\0') {
            continue;
        }
        unsigned long long value = 0;
        bool digits = true;
        for (const char* p = name; *p; ++p) {
            if (*p < '0' || *p > '9' || value > UINT32_MAX) {
                digits = false;
                break;
            }
            value = value * 10 + static_cast<unsigned>(*p - '0');
        }
        if (digits && value <= UINT32_MAX) {
            ids.push_back(static_cast<uint32_t>(value));
        }
    }
    ::closedir(dir);
    return true;
}

uint32_t PostCloseRequests(uint32_t pid) {
    if (!IsSingleProcessId(pid)) {
        return 0;
    }
    return ::kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 1u : 0u;
}

ExitWait WaitForProcessExit(uint32_t pid, uint32_t timeoutMs) {
    if (!IsSingleProcessId(pid)) {
        return ExitWait::OpenFailed;
    }
    ProcState state = ReadProcState(pid);
    if (state == ProcState::Missing) {
        return ExitWait::OpenFailed;
    }
    uint64_t start = TickCount64();
    for (;;) {
        if (state != ProcState::Alive) {
            return ExitWait::Exited;
        }
        uint64_t elapsed = TickCount64() - start;
        if (elapsed >= timeoutMs) {
            return ExitWait::TimedOut;
        }
        uint64_t left = timeoutMs - elapsed;
        SleepMilliseconds(
            static_cast<uint32_t>(left < kPollMilliseconds ? left : kPollMilliseconds));
        state = ReadProcState(pid);
    }
}

bool StartProgram(const std::wstring& programPath, const std::wstring& workingDirectory,
                  uint32_t& pid) {
    pid = 0;
    std::string program = ToNativePath(programPath);
    std::string directory = ToNativePath(workingDirectory);
    if (program.empty() || directory.empty()) {
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        SetLastErrorFromErrno(errno);
        return false;
    }
    pid_t child = ::fork();
    if (child < 0) {
        int err = errno;
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        SetLastErrorFromErrno(err);
        return false;
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        ExecChild(program.c_str(), directory.c_str(), pipeFds[1]);
    }
    ::close(pipeFds[1]);
    // The pipe closes on a successful exec; otherwise the child sends errno.
    int childErr = 0;
    size_t got = 0;
    while (got < sizeof childErr) {
        ssize_t n =
            ::read(pipeFds[0], reinterpret_cast<char*>(&childErr) + got, sizeof childErr - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(pipeFds[0]);
    if (got == sizeof childErr) {
        int status = 0;
        while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        SetLastErrorFromErrno(childErr);
        return false;
    }
    pid = static_cast<uint32_t>(child);
    return true;
}

}  // namespace rr::platform
