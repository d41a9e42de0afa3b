#pragma once
#include <string>

namespace rr {

// Fixes the five log paths under clientDir\Logs and creates that folder.
void InitLogPaths(const std::wstring& clientDir);
// Forgets the log paths again (lines go nowhere until the next InitLogPaths).
void ResetLogPaths();
// True when InitLogPaths found a link at clientDir\Logs: no log is kept.
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
