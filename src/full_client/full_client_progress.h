#pragma once
// The full-client compare's and apply's place on the bar.
#include "ui/progress.h"

namespace rr {

// Full-client compare: each package file, then the scan for local extras.
inline constexpr ProgressBand kCompareBand{975, 15};
inline constexpr int kCompareExtrasPoint = 992;

// Full-client apply: build the plan, copy the files, quarantine extras, remove
// empty extra folders, and clean the work folders automatically (in its own
// band after a run that changed nothing, in a later one after a quarantine).
inline constexpr int kRepairPlanPoint = 810;
inline constexpr ProgressBand kRepairApplyBand{890, 85};
inline constexpr ProgressBand kQuarantineBand{975, 20};
inline constexpr int kEmptyDirsNoChangePoint = 995;  // nothing copied or moved
inline constexpr int kEmptyDirsAfterQuarantinePoint = 996;
inline constexpr ProgressBand kAutoCleanupNoChangeBand{996, 3};
inline constexpr ProgressBand kAutoCleanupAfterQuarantineBand{997, 2};

}  // namespace rr
