#pragma once

namespace rr {

// The whole run, from the command line to the exit code. `instance` is the
// Windows module instance handle (null on POSIX).
int RunUpdater(void* instance);

}  // namespace rr
