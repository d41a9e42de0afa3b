#pragma once
#include <memory>
#include <string>

namespace rr {

// While it lives, the five logs are the files under clientDir\Logs: that
// folder is created and held open, and the file layer's in-use notice goes
// to the main log. Its end gives back the paths and the notice that were
// there before: an enclosing scope's, or none (lines then go nowhere).
// Scopes nest.
class LogScope {
  public:
    explicit LogScope(const std::wstring& clientDir);
    ~LogScope();
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

    struct State;  // log.cpp

  private:
    std::unique_ptr<State> state_;
};

// True when the current LogScope found a link at clientDir\Logs: no log is
// kept.
bool LogsFolderIsLink();

// Appends "[YYYY-MM-DD HH:MM:SS] text\r\n" in UTF-8 to the file; an empty
// path or a file that cannot be opened drops the line. Control characters in
// the text are escaped ("\r", "\n", "\t", else "\xHH"), so it stays one line.
void LogLine(const std::wstring& path, const std::wstring& text);

void LogMain(const std::wstring& text);
void LogRepairDryRun(const std::wstring& text);
void LogFullClientCompare(const std::wstring& text);
void LogFullClientApply(const std::wstring& text);
void LogRepairCleanup(const std::wstring& text);

std::wstring MainLogPath();
std::wstring RepairDryRunLogPath();
std::wstring FullClientCompareLogPath();
std::wstring FullClientApplyLogPath();
std::wstring RepairCleanupLogPath();

// After a completed run: deletes the five logs unless
// clientDir\Data\Local\EnableDiagnostics.txt exists as a file.
void PurgeLogsUnlessDiagnostics(const std::wstring& clientDir);

}  // namespace rr
