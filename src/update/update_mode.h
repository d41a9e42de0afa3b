#pragma once
#include "run/run_config.h"
#include "run/run_context.h"

namespace rr {

// The default mode: manifest (primary, then fallback), every changed file
// downloaded and verified, then replaced with backups, Main.exe last.
bool RunUpdateMode(const RunConfig& config, RunContext& context);

}  // namespace rr
