#include "full_client/repair_plan.h"

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "fs/file_ops.h"
#include "full_client/full_client_progress.h"
#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "policy/preserve_rules.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "full_client/full_client_walk.h"
#include "ui/progress.h"

namespace rr {

namespace {

// The apply never writes the updater itself or a library, whatever the
// package holds: either could be swapped for hostile code that runs with the
// updater's rights.
bool IsNeverApplied(const std::wstring& relative) {
    const std::wstring key = MakeRuleKey(relative);
    return IsFullClientPreserved(relative) || PathFileName(key) == L"riveroravav.exe" ||
           KeyHasExtension(key, L".dll");
}

void PlanPackageFile(const ClientFolder& client, const PackageFile& file, RepairPlan& plan) {
    const std::wstring& relative = file.relativePath;
    if (IsNeverApplied(relative)) {
        ++plan.preservedSkipped;
        LogFullClientApply(L"PRESERVED/APPLY-SKIPPED: " + relative);
        return;
    }
    CopyAction action;
    action.relativePath = relative;
    action.sourcePath = file.fullPath;
    action.destinationPath = JoinPath(plan.clientDir, relative);
    action.backupPath = JoinPath(plan.backupRoot, relative);
    action.size = file.size;
    action.isMainExecutable = IsMainExePath(relative);
    if (!IsPathUnderRoot(action.sourcePath, plan.packageRoot) ||
        !IsPathUnderRoot(action.destinationPath, plan.clientDir) ||
        !IsPathUnderRoot(action.backupPath, plan.backupRoot)) {
        ++plan.blocked;
        LogFullClientApply(L"BLOCKED apply path failed containment check: " + relative);
        return;
    }
    uint64_t clientSize = 0;
    switch (MatchClientFile(client, file, action.destinationPath, clientSize)) {
        case FileMatch::kSame:
            return;
        case FileMatch::kMissing:
            action.destinationExists = false;
            LogFullClientApply(L"PLAN COPY MISSING: " + relative);
            plan.copies.push_back(action);
            return;
        case FileMatch::kUnreadable:
            ++plan.blocked;
            LogFullClientApply(L"BLOCKED could not read destination size: " + relative);
            return;
        case FileMatch::kHashFailed:
            ++plan.blocked;
            LogFullClientApply(L"BLOCKED could not hash for plan: " + relative);
            return;
        case FileMatch::kSizeDiffers:
        case FileMatch::kContentDiffers:
            action.destinationExists = true;
            LogFullClientApply(L"PLAN COPY DIFFERENT: " + relative);
            plan.copies.push_back(action);
            return;
    }
}

void PlanExtras(const std::vector<std::wstring>& extras, RepairPlan& plan) {
    for (const std::wstring& relative : extras) {
        ExtraFile extra;
        extra.relativePath = relative;
        extra.clientPath = JoinPath(plan.clientDir, relative);
        if (!plan.quarantineRoot.empty()) {
            extra.quarantinePath = UniqueTargetPath(plan.quarantineRoot, relative);
            if (!IsPathUnderRoot(extra.clientPath, plan.clientDir) ||
                !IsPathUnderRoot(extra.quarantinePath, plan.quarantineRoot)) {
                ++plan.blocked;
                LogFullClientApply(L"BLOCKED quarantine path failed containment check: " +
                                   relative);
            } else {
                ++plan.extrasMovable;
            }
        }
        plan.extras.push_back(extra);
    }
}

}  // namespace

std::wstring LocalTimeStamp() {
    const platform::LocalTime t = platform::CurrentLocalTime();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u%02u%02u_%02u%02u%02u", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return Utf8ToUtf16(stamp);
}

std::wstring UniqueTargetPath(const std::wstring& root, const std::wstring& relative) {
    const std::wstring candidate = JoinPath(root, relative);
    platform::FileInfo info;
    if (!StatBelow(root, candidate, info)) {
        return candidate;
    }
    return JoinPath(ParentPath(candidate), PathFileName(candidate) + L"." + LocalTimeStamp());
}

bool BuildRepairPlan(const ClientFolder& client, const std::wstring& packageRoot,
                     const std::wstring& quarantineRoot, RepairPlan& plan) {
    // The plan only reads: the folders of the last files looked at stay open.
    const ClientFolder::ReadPhase reading(client);
    plan = RepairPlan{};
    plan.clientDir = client.Path();
    plan.packageRoot = packageRoot;
    plan.backupRoot = JoinPath(client.Path(), L"_backup_update");
    // Inside _full_tmp: preserved by every compare, removed by the cleanup.
    plan.stagingFolder = JoinPath(client.Path(), L"_full_tmp\\~copies");
    plan.quarantineRoot = quarantineRoot;

    FullClientCompareCounts packageWalk;
    std::vector<PackageFile> files;
    PackageKeySet keys;
    CollectPackageFiles(client, packageRoot, packageRoot, files, keys, packageWalk,
                        LogFullClientApply);
    plan.blocked += packageWalk.blocked;

    const uint32_t total = static_cast<uint32_t>(files.size());
    for (uint32_t n = 1; n <= total; ++n) {
        const PackageFile& file = files[n - 1];
        if (n % 25 == 1 || n == total) {
            SetProgressState(L"Preparing repair plan...",
                             FormatStepText(L"Checking file", file.relativePath, n, total), L"",
                             kRepairPlanPoint, false);
        }
        PlanPackageFile(client, file, plan);
    }

    FullClientCompareCounts extraWalk;
    std::vector<std::wstring> extras;
    ScanLocalExtras(client.Path(), client, keys, extraWalk, LogFullClientApply, &extras);
    plan.blocked += extraWalk.blocked;
    plan.extrasPreserved = extraWalk.preserved;
    PlanExtras(extras, plan);

    // Main.exe goes last, right after its own running check: the game itself
    // changes only once every other file is in place and verified.
    std::stable_partition(plan.copies.begin(), plan.copies.end(),
                          [](const CopyAction& action) { return !action.isMainExecutable; });
    return plan.blocked == 0;
}

}  // namespace rr
