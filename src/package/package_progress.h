#pragma once
// The full-client package's place on the bar: download, validation, extraction.
#include "ui/progress.h"

namespace rr {

// Full-client package: configuration checks, reuse of an earlier download,
// the download itself (kDownloadBand, as one file of one), validation.
inline constexpr int kPackageStartPoint = 80;
inline constexpr int kPackageReuseCheckPoint = 140;
inline constexpr int kPackageDownloadPoint = 200;
inline constexpr int kPackageReadyPoint = 300;
inline constexpr int kPackageValidatePoint = 820;

// Full-client extraction: prepare the folder, check the archive's entries,
// copy the files (by the share of files extracted), find the package root.
inline constexpr int kExtractPreparePoint = 830;
inline constexpr int kExtractEntriesPoint = 840;
inline constexpr ProgressBand kExtractCopyBand{850, 110};
inline constexpr int kExtractFindRootPoint = 970;

}  // namespace rr
