#pragma once
// The runners of the five modes. Each takes the finished run configuration
// and returns true when its work completed.
#include "app/run_config.h"

namespace rr {

bool RunUpdateMode(const RunConfig& config);
bool RunRepairDryRun(const RunConfig& config);
// full-client and full-client-apply share one run; `apply` chooses.
bool RunFullClientMode(const RunConfig& config, bool apply);
bool RunCleanupMode(const RunConfig& config);

}  // namespace rr
