#pragma once
// Fault injection for the crash-safety and fault tests: every change the
// program makes on disk (a folder made, a file created, a chunk written, a
// rename, a delete, a log line) passes one crash point. With
// RIVERORAVAV_CRASH_AFTER=N in the environment the process ends at once, as
// if the power failed, right before the N-th change. Without it a crash point
// only counts.
//
// RIVERORAVAV_FAIL_AFTER=N:CODE[:repeat] makes a change of the file layer
// fail instead, the way the system would fail it: the call returns false and
// LastError() is CODE (decimal: 112 disk full, 1117 I/O error, 32 sharing
// violation). Counted are the file layer's changes alone (log lines and
// download chunks are not), so every N names one. The N-th fails once, or
// with `repeat` it and every later one. A code that only some changes can
// meet goes to those alone, the first of them from the N-th on: a full disk
// (112, 39) to the changes that take space (a rename or a delete still goes
// through, as on a real full disk), a sharing or lock violation (32, 33) to
// the opens, renames and deletes (a write through an open handle never
// meets one). A value that does not parse is ignored.
#include <cstdint>

namespace rr {

// A change that the fault injection never fails (a log line, a download chunk).
void CrashPoint();

enum class Change {
    kMakeFolder,
    kCreateFile,      // a new file opened for writing
    kWrite,           // bytes written through an open file
    kRenameOrDelete,  // takes no new space
};

// A change of the file layer about to be made: a crash point, then false
// with LastError() set when RIVERORAVAV_FAIL_AFTER fails this one.
bool ChangePoint(Change change);

}  // namespace rr
