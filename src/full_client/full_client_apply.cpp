#include "full_client/full_client_apply.h"

#include "base/path.h"
#include "base/text.h"
#include "full_client/full_client_progress.h"
#include "log/log.h"
#include "full_client/quarantine.h"
#include "full_client/repair_apply.h"
#include "full_client/repair_plan.h"
#include "ui/progress.h"

namespace rr {

namespace {

const wchar_t* const kApplyLogHint = L"Check Logs\\FullClientApply.log";

// One quarantine folder per run, named by the local time; two runs in the
// same second share it, and UniqueTargetPath keeps their files apart.
std::wstring QuarantineRootFor(const ClientFolder& client) {
    return JoinPath(JoinPath(client.Path(), L"_quarantine_update"), LocalTimeStamp());
}

void LogPlanSummary(const RepairPlan& plan, const std::wstring& shownQuarantine) {
    LogFullClientApply(L"Full client repair plan:");
    LogFullClientApply(L" files to copy: " + ToDecimal(plan.copies.size()));
    LogFullClientApply(L" extras detected: " + ToDecimal(plan.extras.size()));
    LogFullClientApply(L" extras movable: " + ToDecimal(plan.extrasMovable));
    LogFullClientApply(L" extras preserved: " + ToDecimal(plan.extrasPreserved));
    LogFullClientApply(L" preserved skipped: " + ToDecimal(plan.preservedSkipped));
    LogFullClientApply(L" blocked: " + ToDecimal(plan.blocked));
    LogFullClientApply(L" backup root: " + plan.backupRoot);
    LogFullClientApply(L" quarantine path: " + shownQuarantine);
}

void LogExtraDirSummary(const ExtraDirStats& dirs) {
    LogFullClientApply(L"Full client repair extra directory summary:");
    LogExtraDirCounters(dirs);
}

struct AutoCleanup {
    bool ran = false;
    bool warnings = false;
    CleanupStats stats;
};

AutoCleanup RunAutoCleanup(const ClientFolder& client, ProgressBand band) {
    AutoCleanup cleanup;
    LogFullClientApply(
        L"Automatic repair artifact cleanup after successful full-client-apply started.");
    cleanup.stats = CleanRepairArtifacts(client, band);
    LogCleanupSummary(cleanup.stats);
    LogCleanupSummary(cleanup.stats,
                      {LogFullClientApply, L"Full client repair artifact auto-cleanup summary:",
                       L" auto cleanup target count: "});
    cleanup.ran = true;
    cleanup.warnings = cleanup.stats.failed != 0 || cleanup.stats.blocked != 0;
    if (cleanup.warnings) {
        LogFullClientApply(
            L"WARNING: repair artifacts cleanup finished with warnings after successful repair.");
    }
    return cleanup;
}

void LogCompletion(const AutoCleanup& cleanup) {
    LogFullClientApply(cleanup.ran ? L"Full client repair apply complete. Repair artifacts "
                                     L"cleaned after successful apply."
                                   : L"Full client repair apply complete. Repair artifacts "
                                     L"cleanup was not run.");
}

bool Fail(const std::wstring& detail) {
    SetProgressState(L"Repair failed", detail, kApplyLogHint, kProgressComplete, true);
    return false;
}

// Nothing to copy and nothing to move: at most empty extra folders go.
bool FinishWithoutChanges(const ClientFolder& client, const RepairPlan& plan, bool quarantine,
                          const std::wstring& shownQuarantine, const std::wstring& packageRoot) {
    ExtraDirStats dirs;
    if (quarantine) {
        SetProgressState(L"Cleaning empty extra folders...", L"Scanning client directories", L"",
                         kEmptyDirsNoChangePoint, false);
        CleanEmptyExtraDirs(client, packageRoot, dirs);
    }
    LogFullClientApply(L"Repair complete: no changes needed.");
    LogFullClientApply(L"Full client repair extra summary:");
    LogFullClientApply(L" EXTRA total: " + ToDecimal(plan.extras.size()));
    LogFullClientApply(L" EXTRA quarantined: 0");
    LogFullClientApply(L" EXTRA preserved: " + ToDecimal(plan.extrasPreserved));
    LogFullClientApply(L" EXTRA failed: 0");
    LogFullClientApply(L" Quarantine path: " + shownQuarantine);
    LogExtraDirSummary(dirs);

    AutoCleanup cleanup;
    if (quarantine) {
        if (dirs.failed == 0 && dirs.blocked == 0) {
            cleanup = RunAutoCleanup(client, kAutoCleanupNoChangeBand);
        } else {
            LogFullClientApply(
                L"Repair artifact cleanup skipped because extra directory cleanup had warnings.");
        }
    }
    LogCompletion(cleanup);

    std::wstring detail;
    if (cleanup.ran) {
        detail = cleanup.warnings ? L"No changes needed; artifact cleanup has warnings"
                                  : L"No changes needed; artifacts cleaned";
    } else {
        detail =
            quarantine && dirs.removed != 0 ? L"Empty extra folders cleaned" : L"No changes needed";
    }
    SetProgressState(L"Repair complete", detail,
                     L"Empty dirs removed " + ToDecimal(dirs.removed) + L" | Artifacts removed " +
                         ToDecimal(cleanup.stats.deletedFolders),
                     kProgressComplete, false);
    return true;
}

// The run's settings, first in the log.
void LogApplyStart(const ClientFolder& client, const std::wstring& packageRoot,
                   const std::wstring& packagePath, bool quarantine,
                   const std::wstring& shownQuarantine) {
    LogFullClientApply(std::wstring(60, L'='));
    LogFullClientApply(L"Full client repair apply started");
    LogFullClientApply(L"ZIP path: " + packagePath);
    LogFullClientApply(L"packageRoot: " + packageRoot);
    LogFullClientApply(L"clientDir: " + client.Path());
    LogFullClientApply(std::wstring(L"quarantine extras: ") +
                       (quarantine ? L"enabled" : L"disabled"));
    LogFullClientApply(
        L"RiveRoravav.exe, DLLs, configs, logs, and temp folders are preserved in V2-C9.5.");
    LogFullClientApply(L"quarantine root: " + shownQuarantine);
}

// Without --quarantine-extras the extras are only named; with it they are
// moved and the extra folders left empty removed.
void HandleExtras(const ClientFolder& client, const RepairPlan& plan, bool quarantine,
                  const std::wstring& quarantineRoot, const std::wstring& packageRoot,
                  QuarantineStats& moved, ExtraDirStats& dirs) {
    moved.total = static_cast<uint32_t>(plan.extras.size());
    if (!quarantine) {
        if (!plan.extras.empty()) {
            LogFullClientApply(
                L"Extras were detected but not moved because --quarantine-extras was not "
                L"provided.");
            for (const ExtraFile& extra : plan.extras) {
                LogFullClientApply(L"EXTRA/NOT-MOVED: " + extra.relativePath);
            }
        }
        return;
    }
    QuarantineExtras(plan.extras, quarantineRoot, client, moved);
    SetProgressState(L"Cleaning empty extra folders...", L"Scanning client directories", L"",
                     kEmptyDirsAfterQuarantinePoint, false);
    CleanEmptyExtraDirs(client, packageRoot, dirs);
}

void LogExtraSummary(const RepairPlan& plan, const QuarantineStats& moved,
                     const ExtraDirStats& dirs, const std::wstring& shownQuarantine) {
    LogFullClientApply(L"Full client repair extra summary:");
    LogFullClientApply(L" EXTRA total: " + ToDecimal(moved.total));
    LogFullClientApply(L" EXTRA quarantined: " + ToDecimal(moved.quarantined));
    LogFullClientApply(L" EXTRA preserved: " + ToDecimal(plan.extrasPreserved));
    LogFullClientApply(L" EXTRA failed: " + ToDecimal(moved.failed));
    LogFullClientApply(L" EXTRA blocked: " + ToDecimal(moved.blocked));
    LogFullClientApply(L" Quarantine path: " + shownQuarantine);
    LogExtraDirSummary(dirs);
}

void ShowApplyComplete(const RepairPlan& plan, bool quarantine, const QuarantineStats& moved,
                       const ExtraDirStats& dirs, const AutoCleanup& cleanup) {
    std::wstring detail;
    if (!quarantine) {
        detail = L"Files applied; extras only logged";
    } else if (cleanup.ran) {
        detail = cleanup.warnings ? L"Files applied; artifact cleanup has warnings"
                                  : L"Files applied; artifacts cleaned";
    } else {
        detail = L"Files applied; repair cleanup has warnings";
    }
    SetProgressState(L"Repair complete", detail,
                     L"Copied " + ToDecimal(plan.copies.size()) + L" | Extra moved " +
                         ToDecimal(moved.quarantined) + L" | Extra preserved " +
                         ToDecimal(plan.extrasPreserved) + L" | Extra failed " +
                         ToDecimal(moved.failed) + L" | Empty dirs removed " +
                         ToDecimal(dirs.removed) + L" | Artifacts removed " +
                         ToDecimal(cleanup.stats.deletedFolders),
                     kProgressComplete, false);
}

}  // namespace

bool RunFullClientApply(const ClientFolder& client, const std::wstring& packageRoot,
                        const std::wstring& packagePath, bool quarantine) {
    const std::wstring quarantineRoot = quarantine ? QuarantineRootFor(client) : L"";
    const std::wstring shownQuarantine = quarantine ? quarantineRoot : L"(disabled)";
    LogApplyStart(client, packageRoot, packagePath, quarantine, shownQuarantine);

    SetProgressState(L"Preparing repair plan...", L"Scanning files", L"", kRepairPlanPoint, false);
    RepairPlan plan;
    if (!BuildRepairPlan(client, packageRoot, quarantineRoot, plan)) {
        LogFullClientApply(L"Repair plan has BLOCKED entries: " + ToDecimal(plan.blocked));
        return Fail(L"Unsafe paths in repair plan");
    }
    LogPlanSummary(plan, shownQuarantine);

    if (plan.copies.empty() && (!quarantine || plan.extras.empty())) {
        return FinishWithoutChanges(client, plan, quarantine, shownQuarantine, packageRoot);
    }
    if (!ApplyRepairPlan(plan, client, packageRoot)) {
        return Fail(L"Could not apply files");
    }

    QuarantineStats moved;
    ExtraDirStats dirs;
    HandleExtras(client, plan, quarantine, quarantineRoot, packageRoot, moved, dirs);
    LogExtraSummary(plan, moved, dirs, shownQuarantine);

    AutoCleanup cleanup;
    if (quarantine) {
        if (moved.failed == 0 && moved.blocked == 0 && dirs.failed == 0 && dirs.blocked == 0) {
            cleanup = RunAutoCleanup(client, kAutoCleanupAfterQuarantineBand);
        } else {
            LogFullClientApply(
                L"Repair artifact cleanup skipped because repair/quarantine cleanup had warnings.");
        }
    }
    LogCompletion(cleanup);
    ShowApplyComplete(plan, quarantine, moved, dirs, cleanup);
    return true;
}

}  // namespace rr
