#include "full_client/repair_apply.h"

#include "base/text.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "full_client/full_client_progress.h"
#include "log/delete_under_root.h"
#include "log/log.h"
#include "net/sha256.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "process/game_process.h"
#include "ui/progress.h"

namespace rr {

namespace {

bool IsRegularFileBelow(const ClientFolder& root, const std::wstring& path,
                        platform::FileInfo& info) {
    return StatBelow(root, path, info) && info.IsRegularFile();
}

// Puts the backup back over the destination. A copy keeps the backup in
// _backup_update; when the copy cannot be made (a full disk) the backup
// itself is renamed into place, which takes no new space.
bool RestoreBackup(const ClientFolder& client, const std::wstring& staging, const AppliedFile& file,
                   uint32_t& error) {
    Error err;
    if (CopyFileBelow(client, file.backupPath, file.destinationPath, staging, &err)) {
        return true;
    }
    if (MoveFileBelow(client, file.backupPath, file.destinationPath, true, &err,
                      file.destinationPath)) {
        return true;
    }
    error = err.code;
    return false;
}

}  // namespace

bool VerifyCopiedFile(const ClientFolder& client, const CopyAction& action) {
    const std::wstring& relative = action.relativePath;
    platform::FileInfo source;
    platform::FileInfo destination;
    if (!IsRegularFileBelow(client, action.sourcePath, source) ||
        !IsRegularFileBelow(client, action.destinationPath, destination)) {
        LogFullClientApply(L"VERIFY FAILED size read: " + relative);
        return false;
    }
    if (source.size != destination.size) {
        LogFullClientApply(L"VERIFY FAILED size mismatch: " + relative + L" source=" +
                           ToDecimal(source.size) + L" destination=" + ToDecimal(destination.size));
        return false;
    }
    std::string sourceDigest;
    std::string destinationDigest;
    Error err;
    if (!ComputeFileSha256Below(client, action.sourcePath, sourceDigest, &err) ||
        !ComputeFileSha256Below(client, action.destinationPath, destinationDigest, &err)) {
        LogMain(err.text);
        LogFullClientApply(L"VERIFY FAILED sha256 read: " + relative);
        return false;
    }
    if (!Sha256TextEquals(sourceDigest, destinationDigest)) {
        LogFullClientApply(L"VERIFY FAILED sha256 mismatch: " + relative);
        return false;
    }
    return true;
}

void RollbackAppliedFiles(const ClientFolder& client, const std::wstring& staging,
                          const std::vector<AppliedFile>& applied) {
    for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
        const std::wstring& relative = it->relativePath;
        platform::FileInfo info;
        if (it->backupMade) {
            if (!IsRegularFileBelow(client, it->backupPath, info)) {
                LogFullClientApply(L"ROLLBACK missing backup: " + relative);
                continue;
            }
            uint32_t error = 0;
            if (RestoreBackup(client, staging, *it, error)) {
                LogFullClientApply(L"ROLLBACK restored backup: " + relative);
            } else {
                // Said plainly: the file is not what it was before this run.
                LogFullClientApply(L"ROLLBACK failed to restore backup: " + relative + L" error=" +
                                   ToDecimal(error));
            }
            continue;
        }
        if (!IsRegularFileBelow(client, it->destinationPath, info)) {
            continue;
        }
        Error err;
        if (RemoveFileBelow(client, it->destinationPath, &err)) {
            LogFullClientApply(L"ROLLBACK removed newly copied file: " + relative);
        } else {
            LogFullClientApply(L"ROLLBACK failed to remove newly copied file: " + relative +
                               L" error=" + ToDecimal(err.code));
        }
    }
}

namespace {

// Copies one file of the plan into place, first backing up what it
// replaces. On false `failure` is the line to log; `backup` tells whether a
// backup was made.
bool ApplyCopyAction(const RepairPlan& plan, const ClientFolder& client,
                     const std::wstring& packageRoot, const CopyAction& action, bool& backup,
                     std::wstring& failure) {
    const std::wstring& relative = action.relativePath;
    if (action.isMainExecutable) {
        if (!FindProcessesByImagePath(action.destinationPath).empty()) {
            failure = L"Main.exe is still running before full-client replacement. Aborting.";
            return false;
        }
        LogFullClientApply(L"Main.exe replacement safety check passed.");
    }
    platform::FileInfo info;
    if (!IsRegularFileBelow(client, action.sourcePath, info) ||
        !IsPathUnderRoot(action.sourcePath, packageRoot) ||
        !IsPathUnderRoot(action.destinationPath, client.Path())) {
        failure = L"APPLY FAILED unsafe/source missing: " + relative;
        return false;
    }
    if (!CreateFolderBelow(client, ParentPath(action.destinationPath))) {
        failure = L"APPLY FAILED destination parent: " + relative;
        return false;
    }
    // A file that appeared since the plan was made is backed up as well:
    // the rollback must be able to give it back.
    backup = action.destinationExists || IsRegularFileBelow(client, action.destinationPath, info);
    Error err;
    if (backup) {
        if (!CreateFolderBelow(client, ParentPath(action.backupPath))) {
            failure = L"APPLY FAILED backup parent: " + relative;
            return false;
        }
        if (!CopyFileBelow(client, action.destinationPath, action.backupPath, plan.stagingFolder,
                           &err, action.destinationPath)) {
            failure = L"APPLY FAILED backup copy: " + relative + L" error=" + ToDecimal(err.code);
            return false;
        }
        LogFullClientApply(L"BACKUP: " + relative);
    }
    if (!CopyFileBelow(client, action.sourcePath, action.destinationPath, plan.stagingFolder,
                       &err)) {
        failure = L"APPLY FAILED copy: " + relative + L" error=" + ToDecimal(err.code);
        return false;
    }
    return true;
}

}  // namespace

bool ApplyRepairPlan(const RepairPlan& plan, const ClientFolder& client,
                     const std::wstring& packageRoot) {
    std::vector<AppliedFile> applied;
    const uint32_t total = static_cast<uint32_t>(plan.copies.size());
    for (uint32_t n = 1; n <= total; ++n) {
        const CopyAction& action = plan.copies[n - 1];
        const std::wstring& relative = action.relativePath;
        const std::wstring status =
            action.isMainExecutable ? L"Applying Main.exe..." : L"Applying files...";
        const std::wstring detail = FormatStepText(L"Applying file", relative, n, total);
        SetProgressState(status, detail, L"", BandPermille(kRepairApplyBand, n - 1, total), false);

        bool backup = false;
        std::wstring failure;
        if (!ApplyCopyAction(plan, client, packageRoot, action, backup, failure)) {
            LogFullClientApply(failure);
            RollbackAppliedFiles(client, plan.stagingFolder, applied);
            return false;
        }
        applied.push_back(AppliedFile{relative, action.destinationPath, action.backupPath, backup});
        if (!VerifyCopiedFile(client, action)) {
            RollbackAppliedFiles(client, plan.stagingFolder, applied);
            return false;
        }
        LogFullClientApply(L"APPLIED: " + relative);
        SetProgressState(status, detail, L"", BandPermille(kRepairApplyBand, n, total), false);
    }
    DeleteTreeUnderRoot(plan.stagingFolder, client);
    return true;
}

}  // namespace rr
