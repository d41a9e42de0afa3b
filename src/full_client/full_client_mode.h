#pragma once
#include "run/run_config.h"
#include "run/run_context.h"

namespace rr {

// The full-client and full-client-apply modes share one run: the package is
// fetched, extracted and compared; `apply` then repairs the client from it.
bool RunFullClientMode(const RunConfig& config, RunContext& context, bool apply);

}  // namespace rr
