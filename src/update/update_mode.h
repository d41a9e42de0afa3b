#pragma once
#include "run/run_config.h"

namespace rr {

// The default mode: manifest (primary, then fallback), every changed file
// downloaded and verified, then replaced with backups, Main.exe last.
bool RunUpdateMode(const RunConfig& config);

}  // namespace rr
