#include "log/log.h"

#include <cstdio>

#include "base/text.h"
#include "fs/crash_points.h"
#include "fs/file_ops.h"
#include "base/path.h"
#include "fs/in_use.h"
#include "fs/safe_fs.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "platform/text.h"

namespace rr {

namespace {

struct LogPaths {
    std::wstring main;
    std::wstring repairDryRun;
    std::wstring fullClientCompare;
    std::wstring fullClientApply;
    std::wstring repairCleanup;
};

// The Logs folder, held open for the run: lines are appended by name through
// this handle, so a Logs folder swapped for a link later cannot redirect them.
struct LogFolder {
    std::wstring path;
    platform::DirHandle handle;
    bool isLink = false;
};

}  // namespace

struct LogScope::State {
    LogPaths paths;
    LogFolder folder;
    State* previous = nullptr;
    InUseNotice previousNotice = nullptr;
};

namespace {

// The innermost live scope; none before the first and after the last.
LogScope::State*& Current() {
    static LogScope::State* current = nullptr;
    return current;
}

// Without a scope: no paths and no folder.
LogScope::State& Active() {
    static LogScope::State none;
    return Current() != nullptr ? *Current() : none;
}

LogPaths& Paths() {
    return Active().paths;
}

LogFolder& Folder() {
    return Active().folder;
}

void AppendLogBytes(const std::wstring& path, const std::string& bytes) {
    CrashPoint();
    LogFolder& folder = Folder();
    if (folder.handle.IsOpen() && ParentPath(path) == folder.path) {
        folder.handle.AppendToChild(path.substr(folder.path.size() + 1), bytes);
        return;
    }
    platform::AppendToFile(path, bytes);
}

// Control characters are written as escapes so that every log line stays
// one line: a CR or LF inside logged text (a file name, a server's reply)
// could otherwise forge a line of its own, and a NUL would cut the line.
// Backslashes stay as they are, paths are full of them.
void AppendEscaped(std::wstring& line, const std::wstring& text) {
    static const wchar_t kHex[] = L"0123456789abcdef";
    for (wchar_t c : text) {
        const unsigned long unit = static_cast<unsigned long>(c);
        if (unit >= 0x20 && unit != 0x7F) {
            line.push_back(c);
        } else if (c == L'\r') {
            line += L"\\r";
        } else if (c == L'\n') {
            line += L"\\n";
        } else if (c == L'\t') {
            line += L"\\t";
        } else {
            line += L"\\x";
            line.push_back(kHex[(unit >> 4) & 0xF]);
            line.push_back(kHex[unit & 0xF]);
        }
    }
}

// "[YYYY-MM-DD HH:MM:SS] " of a time; formatted again only when the time
// differs from the last line's (a run writes many lines a second).
std::wstring TimePrefix(const platform::LocalTime& t) {
    struct Last {
        platform::LocalTime time;
        std::wstring prefix;
    };
    static Last last;
    const platform::LocalTime& l = last.time;
    if (last.prefix.empty() || t.year != l.year || t.month != l.month || t.day != l.day ||
        t.hour != l.hour || t.minute != l.minute || t.second != l.second) {
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "[%04u-%02u-%02u %02u:%02u:%02u] ", t.year, t.month,
                      t.day, t.hour, t.minute, t.second);
        last.prefix.clear();
        for (const char* c = prefix; *c; ++c) {
            last.prefix.push_back(static_cast<wchar_t>(*c));
        }
        last.time = t;
    }
    return last.prefix;
}

// The file layer waits for a file that another program holds open; the log
// says which client file it waited for.
void LogFileInUse(const std::wstring& path) {
    LogMain(L"File is in use, retrying: " + path);
}

}  // namespace

LogScope::LogScope(const std::wstring& clientDir) : state_(std::make_unique<State>()) {
    state_->previous = Current();
    Current() = state_.get();
    state_->previousNotice = SetInUseNotice(&LogFileInUse);
    std::wstring logs = JoinPath(clientDir, L"Logs");
    LogFolder& folder = Folder();
    platform::DirHandle client;
    if (client.OpenAnchor(clientDir)) {
        client.MakeChildDirectory(
            L"Logs");  // an existing folder is fine; a failure only loses lines
        if (!folder.handle.OpenChild(client, L"Logs")) {
            // A link at Logs would carry our lines, and the purge after the
            // run, into whatever folder it points to: keep no logs at all.
            folder.isLink = platform::LastError() == platform::kErrorStoppedOnSymlink;
            return;
        }
        folder.path = logs;
    }
    LogPaths& p = Paths();
    p.main = JoinPath(logs, L"RiveRoravav.log");
    p.repairDryRun = JoinPath(logs, L"RepairDryRun.log");
    p.fullClientCompare = JoinPath(logs, L"FullClientCompare.log");
    p.fullClientApply = JoinPath(logs, L"FullClientApply.log");
    p.repairCleanup = JoinPath(logs, L"RepairCleanup.log");
}

LogScope::~LogScope() {
    SetInUseNotice(state_->previousNotice);
    Current() = state_->previous;
}

bool LogsFolderIsLink() {
    return Folder().isLink;
}

void LogLine(const std::wstring& path, const std::wstring& text) {
    if (path.empty()) {
        return;
    }
    std::wstring line = TimePrefix(platform::CurrentLocalTime());
    AppendEscaped(line, text);
    line += L"\r\n";
    std::string bytes = Utf16ToUtf8(line);
    if (bytes.empty()) {
        return;
    }
    AppendLogBytes(path, bytes);
}

void LogMain(const std::wstring& text) {
    LogLine(Paths().main, text);
}

void LogRepairDryRun(const std::wstring& text) {
    LogLine(Paths().main, text);
    LogLine(Paths().repairDryRun, text);
}

void LogFullClientCompare(const std::wstring& text) {
    LogLine(Paths().main, text);
    LogLine(Paths().fullClientCompare, text);
}

void LogFullClientApply(const std::wstring& text) {
    LogLine(Paths().main, text);
    LogLine(Paths().fullClientApply, text);
}

void LogRepairCleanup(const std::wstring& text) {
    LogLine(Paths().main, text);
    LogLine(Paths().repairCleanup, text);
}

std::wstring MainLogPath() {
    return Paths().main;
}
std::wstring RepairDryRunLogPath() {
    return Paths().repairDryRun;
}
std::wstring FullClientCompareLogPath() {
    return Paths().fullClientCompare;
}
std::wstring FullClientApplyLogPath() {
    return Paths().fullClientApply;
}
std::wstring RepairCleanupLogPath() {
    return Paths().repairCleanup;
}

void PurgeLogsUnlessDiagnostics(const std::wstring& clientDir) {
    platform::FileInfo info;
    std::wstring marker = JoinPath(clientDir, L"Data\\Local\\EnableDiagnostics.txt");
    if (platform::ReadFileInfo(marker, info) && !info.IsDirectory()) {
        return;
    }
    const LogPaths& p = Paths();
    LogFolder& folder = Folder();
    for (const std::wstring* path :
         {&p.main, &p.repairDryRun, &p.fullClientCompare, &p.fullClientApply, &p.repairCleanup}) {
        if (path->empty()) {
            continue;
        }
        // By name through the Logs handle: never a delete through a link.
        if (folder.handle.IsOpen() && ParentPath(*path) == folder.path) {
            folder.handle.RemoveChild(path->substr(folder.path.size() + 1));
        } else {
            platform::RemoveFile(*path);
        }
    }
}

}  // namespace rr
