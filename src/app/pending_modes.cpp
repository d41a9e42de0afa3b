// Runners whose modes this build does not carry yet. They refuse, so a run of
// such a mode ends as "did not complete" and never pretends success.
#include "app/mode_runners.h"
#include "app/post_update_cleanup.h"
#include "log/log.h"

namespace rr {

namespace {

bool ModeNotAvailable(const std::wstring& mode) {
    LogMain(L"Mode not available in this build: " + mode);
    return false;
}

}  // namespace

bool RunUpdateMode(const RunConfig&) {
    return ModeNotAvailable(L"update");
}

bool RunRepairDryRun(const RunConfig&) {
    return ModeNotAvailable(L"repair-dry-run");
}

bool RunFullClientMode(const RunConfig&, bool apply) {
    return ModeNotAvailable(apply ? L"full-client-apply" : L"full-client");
}

// Stand-ins until the post-update cleanup lands: they change nothing.
bool CleanupBackupAfterUpdate(const RunConfig&) {
    return true;
}

void CleanupLegacyFiles(const RunConfig&) {}

}  // namespace rr
