// Runners whose modes this build does not carry yet. They refuse, so a run of
// such a mode ends as "did not complete" and never pretends success.
#include "app/mode_runners.h"
#include "log/log.h"

namespace rr {

bool RunFullClientMode(const RunConfig&, bool apply) {
    LogMain(L"Mode not available in this build: " +
            std::wstring(apply ? L"full-client-apply" : L"full-client"));
    return false;
}

}  // namespace rr
