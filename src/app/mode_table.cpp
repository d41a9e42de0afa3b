#include "app/mode_table.h"

#include <iterator>

#include "base/path.h"
#include "cleanup/artifact_cleanup.h"
#include "dry_run/repair_dry_run.h"
#include "full_client/full_client_mode.h"
#include "update/update_mode.h"

namespace rr {

namespace {

bool RunFullClientCompare(const RunConfig& config, RunContext& context) {
    return RunFullClientMode(config, context, false);
}

bool RunFullClientApply(const RunConfig& config, RunContext& context) {
    return RunFullClientMode(config, context, true);
}

// The clean-up touches only the client folder; it needs nothing of the run.
bool RunCleanup(const RunConfig& config, RunContext&) {
    return RunCleanupMode(config);
}

const wchar_t* const kFullClientNotCompleted =
    L"Full client download/extract/apply did not complete. Relaunching Main.exe.";

// The update row comes last: it is also the answer for every unknown name.
const ModeSpec kModes[] = {
    {RunMode::FullClientApply, L"full-client-apply", true, true, RunFullClientApply,
     kFullClientNotCompleted, L"RiveRoravav full-client-apply mode finished"},
    {RunMode::FullClient, L"full-client", false, true, RunFullClientCompare,
     kFullClientNotCompleted, L"RiveRoravav full-client mode finished"},
    {RunMode::RepairDryRun, L"repair-dry-run", false, false, RunRepairDryRun,
     L"Repair dry-run did not complete. Relaunching Main.exe without applying changes.",
     L"RiveRoravav repair dry-run finished"},
    {RunMode::CleanupRepairArtifacts, L"cleanup-repair-artifacts", false, true, RunCleanup,
     L"Repair cleanup did not complete. Relaunching Main.exe.",
     L"RiveRoravav repair cleanup finished"},
    {RunMode::Update, L"update", true, true, RunUpdateMode,
     L"V2-C4.3 update did not complete. Relaunching Main.exe without applying further changes.",
     L"RiveRoravav V2-C4.3 finished"},
};

}  // namespace

const ModeSpec& FindModeSpec(const std::wstring& mode) {
    const std::wstring key = FoldCase(mode);
    for (const ModeSpec& spec : kModes) {
        if (key == spec.name) {
            return spec;
        }
    }
    return kModes[std::size(kModes) - 1];
}

}  // namespace rr
