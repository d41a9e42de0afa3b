#pragma once
// Where each step of the full-client run sits on the progress bar, in per
// mille. The bar never moves backwards, so a step placed below one already
// shown (the apply after the compare) simply keeps the bar where it is.
#include <algorithm>
#include <cstdint>

namespace rr::full_client_bar {

constexpr int kValidateSettings = 80;
constexpr int kCheckExistingPackage = 140;
constexpr int kDownloadStart = 200;
constexpr int kPackageReady = 300;
constexpr int kValidatePackage = 820;
constexpr int kCompareBase = 975;
constexpr int kCompareSpan = 15;
constexpr int kScanExtras = 992;
constexpr int kPlan = 810;
constexpr int kApplyBase = 890;
constexpr int kApplySpan = 85;
constexpr int kQuarantineBase = 975;
constexpr int kQuarantineSpan = 20;
constexpr int kEmptyDirsNoChanges = 995;
constexpr int kEmptyDirs = 996;
constexpr int kCleanupNoChangesBase = 996;
constexpr int kCleanupNoChangesSpan = 3;
constexpr int kCleanupBase = 997;
constexpr int kCleanupSpan = 2;
constexpr int kDone = 1000;

// base + span * done / total, clamped to the bar.
inline int Band(int base, int span, uint64_t done, uint64_t total) {
    if (total == 0) {
        return std::clamp(base, 0, kDone);
    }
    const uint64_t part = (static_cast<uint64_t>(span) * std::min(done, total)) / total;
    return std::clamp(base + static_cast<int>(part), 0, kDone);
}

}  // namespace rr::full_client_bar
