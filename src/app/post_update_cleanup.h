#pragma once
#include "app/run_config.h"

namespace rr {

// After a completed run: removes _backup_update (result informative only).
bool CleanupBackupAfterUpdate(const RunConfig& config);
// After a completed run: removes the legacy files older releases left behind.
void CleanupLegacyFiles(const RunConfig& config);

}  // namespace rr
