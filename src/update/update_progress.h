#pragma once
// The update mode's place on the bar.
#include "ui/progress.h"

namespace rr {

// Update mode: check each listed file, download the changed ones (in
// kDownloadBand, each file its own share of the batch), verify them, apply them.
inline constexpr ProgressBand kUpdateCheckBand{120, 220};
inline constexpr ProgressBand kUpdateVerifyBand{700, 100};
inline constexpr ProgressBand kUpdateApplyBand{820, 160};

}  // namespace rr
