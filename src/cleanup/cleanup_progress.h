#pragma once
// The cleanup mode's place on the bar.
#include "ui/progress.h"

namespace rr {

// Cleanup mode: the four work folders.
inline constexpr ProgressBand kCleanupBand{80, 860};

}  // namespace rr
