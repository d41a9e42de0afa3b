#pragma once
// Fault injection for the crash-safety tests: every change the program makes
// on disk (a folder made, a file created, a chunk written, a rename, a delete,
// a log line) passes one crash point. With RIVERORAVAV_CRASH_AFTER=N in the
// environment the process ends at once, as if the power failed, right before
// the N-th change. Without it a crash point only counts.
namespace rr {

void CrashPoint();

}  // namespace rr
