#pragma once
// Where the bar stands while the run starts.
#include "ui/progress.h"

namespace rr {

// Start-up, before any mode runs.
inline constexpr int kStartupWaitPoint = 10;       // waiting for the game to close
inline constexpr int kStartupInstancesPoint = 20;  // closing other instances

}  // namespace rr
