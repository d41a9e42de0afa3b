#pragma once
// The repair dry-run's place on the bar.
#include "ui/progress.h"

namespace rr {

// Repair dry-run: check each listed file, then scan the managed roots.
inline constexpr ProgressBand kDryRunCheckBand{120, 560};
inline constexpr ProgressBand kDryRunScanBand{700, 220};

}  // namespace rr
