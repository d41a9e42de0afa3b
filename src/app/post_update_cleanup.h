#pragma once
#include <string>

#include "app/run_config.h"
#include "fs/file_ops.h"
#include "fs/safe_fs.h"

namespace rr {

// After a completed run: removes clientDir\_backup_update unless it is missing,
// is not a real folder, or is a link. Best effort; every outcome is one line
// in the main log. True when the folder is gone or was never there.
bool CleanupBackupAfterUpdate(const RunConfig& config);

// After a completed run: deletes the files that older client releases left
// behind, in a fixed order. Folders and links of those names are kept.
void CleanupLegacyFiles(const RunConfig& config);

// Deletes one legacy file below clientDir, refusing folders, links and any
// path whose parent folders pass through a link.
void DeleteLegacyFile(const ClientFolder& client, const std::wstring& relativePath);

}  // namespace rr
