#pragma once
// What a full-client apply does with the client's extra files and folders:
// files are moved into the run's quarantine folder, never deleted; folders are
// removed only when empty and absent from the package.
#include <cstdint>
#include <string>
#include <vector>

#include "fs/safe_fs.h"
#include "full_client/repair_plan.h"

namespace rr {

struct QuarantineStats {
    uint32_t total = 0;
    uint32_t quarantined = 0;
    uint32_t failed = 0;  // every extra not moved, the blocked ones included
    uint32_t blocked = 0;
    std::wstring quarantineRoot;
};

struct ExtraDirStats {
    uint32_t scanned = 0;
    uint32_t removed = 0;
    uint32_t keptNotEmpty = 0;
    uint32_t preserved = 0;
    uint32_t failed = 0;
    uint32_t blocked = 0;
};

// Moves each extra to its quarantine path without ever replacing what is
// there already.
void QuarantineExtras(const std::vector<ExtraFile>& extras, const std::wstring& quarantineRoot,
                      const ClientFolder& client, QuarantineStats& stats);

// Removes the empty folders of the client that the package does not have,
// children first, and logs a summary. The client folder and Data are entered
// but never removed; Logs, ScreenShots, Data\Local and the work folders are
// kept with everything below them.
void CleanEmptyExtraDirs(const ClientFolder& client, const std::wstring& packageRoot,
                         ExtraDirStats& stats);

// The walk of CleanEmptyExtraDirs from `folder` (the client folder or one in it).
void RemoveEmptyExtraDirs(const std::wstring& folder, const std::wstring& packageRoot,
                          const ClientFolder& client, ExtraDirStats& stats);

// The six counter lines, " extra dirs scanned: " to " extra dirs blocked: ".
void LogExtraDirCounters(const ExtraDirStats& stats);

}  // namespace rr
