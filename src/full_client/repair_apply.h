#pragma once
// Carrying out the copies of a repair plan: backups, verification, rollback.
#include <string>
#include <vector>

#include "fs/safe_fs.h"
#include "full_client/repair_plan.h"

namespace rr {

// One copy already made in this run, for the rollback.
struct AppliedFile {
    std::wstring relativePath;
    std::wstring destinationPath;
    std::wstring backupPath;
    bool backupMade = false;
};

// Copies the plan's files in plan order, each existing file first backed up
// into the backup root, each copy verified. The first failure undoes every
// copy of this run and gives false; the backups stay.
bool ApplyRepairPlan(const RepairPlan& plan, const ClientFolder& client,
                     const std::wstring& packageRoot);

// Same size and SHA-256 at the source and the destination.
bool VerifyCopiedFile(const ClientFolder& client, const CopyAction& action);

// From the last applied file to the first: a backed-up file is restored from
// its backup, a new file is removed. Failures are logged and passed over.
void RollbackAppliedFiles(const ClientFolder& client, const std::wstring& staging,
                          const std::vector<AppliedFile>& applied);

}  // namespace rr
