#pragma once
#include <cstdint>
#include <string>

#include "fs/delete_tree.h"
#include "run/run_config.h"
#include "ui/progress.h"

namespace rr {

struct CleanupStats {
    uint32_t targetCount = 0;
    uint32_t deletedFolders = 0;
    uint32_t deletedFiles = 0;
    uint32_t skipped = 0;
    uint32_t failed = 0;
    uint32_t blocked = 0;
};

// The only folders a repair cleanup may ever delete, in cleanup order.
extern const wchar_t* const kCleanupTargets[4];

// Accepts only one of the four target names (any letter case) that resolves
// below clientDir; on success `fullPath` is the target's full path. Every
// refusal counts as blocked and is logged.
bool ValidateCleanupTarget(const ClientFolder& client, const std::wstring& target,
                           std::wstring& fullPath, CleanupStats& stats);

// Deletes a file or a folder tree that lies under `root`, counting every
// outcome. Links are never followed or removed. `watch` (may be null) hears
// the deletion's moments as well.
void DeleteTreeInsideRoot(const std::wstring& path, const ClientFolder& root, CleanupStats& stats,
                          DeleteObserver* watch = nullptr);

// Cleans the four targets, reporting progress in `band`: the cleanup mode
// owns most of the bar, a repair run only a sliver at its end.
CleanupStats CleanRepairArtifacts(const ClientFolder& client, ProgressBand band,
                                  DeleteObserver* watch = nullptr);

// Where a cleanup summary goes and how it is worded.
struct CleanupSummaryTexts {
    void (*log)(const std::wstring& text);
    const wchar_t* title;
    const wchar_t* targetCountLabel;
};

void LogCleanupSummary(const CleanupStats& stats, const CleanupSummaryTexts& texts);
// The summary in the cleanup log.
void LogCleanupSummary(const CleanupStats& stats);

// The cleanup-repair-artifacts mode. Always true: warnings are shown and
// logged, never returned.
bool RunCleanupMode(const RunConfig& config);

}  // namespace rr
