#pragma once
#include <string>
#include <vector>

#include "fs/safe_fs.h"
#include "update/prepare_update.h"

namespace rr {

// Replaces each prepared file in list order, the old one first copied into
// _backup_update. Main.exe only when no process runs from its path. Stops at
// the first failure (earlier files stay applied; the failing one is restored).
bool ApplyPreparedFiles(const ClientFolder& client, const std::vector<PreparedFile>& prepared);

}  // namespace rr
