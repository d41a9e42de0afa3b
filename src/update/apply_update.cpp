#include "update/apply_update.h"

#include "base/text.h"
#include "log/delete_under_root.h"
#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "process/game_process.h"
#include "ui/progress.h"
#include "update/update_progress.h"

namespace rr {

namespace {

std::wstring StopReason(const Error& err) {
    if (err.stop == WalkStop::kNone || err.stop == WalkStop::kFailed) {
        return std::wstring();
    }
    return std::wstring(L" reason=") + WalkStopText(err.stop);
}

// Backups go into our own work folder; a link there would carry the old
// files out of the client folder. It is looked at through the client
// folder's handle, before any file is touched.
bool BackupFolderIsLink(const ClientFolder& client, const std::wstring& backupRoot) {
    std::wstring relative;
    if (!RelativePathUnderRoot(client.Resolved(), backupRoot, relative)) {
        return false;
    }
    platform::DirHandle folder;
    Error err;
    return !OpenFolderBelow(client, relative, false, folder, &err) && err.stop == WalkStop::kLink;
}

// Main.exe is replaced only while no game runs from that very path.
bool MainExeIsFree(const PreparedFile& file) {
    if (!FindProcessesByImagePath(file.destinationPath).empty()) {
        LogMain(
            L"Main.exe is still running before replacement. Aborting without replacing "
            L"Main.exe.");
        return false;
    }
    LogMain(L"Main.exe replacement safety check passed: no same-path instance is running.");
    return true;
}

// Every copy walks from the client folder through folder handles and
// replaces its target by a rename: no link on the way is followed and a hard
// link at the target is broken, never written through.
bool ReplaceFile(const ClientFolder& client, const std::wstring& staging,
                 const PreparedFile& file) {
    Error err;
    if (!CreateFolderBelow(client, ParentPath(file.destinationPath), &err)) {
        LogMain(L"Failed to create destination directory: " + file.destinationPath +
                StopReason(err));
        return false;
    }
    if (file.destinationExisted) {
        if (!CreateFolderBelow(client, ParentPath(file.backupPath), &err)) {
            LogMain(L"Failed to create backup directory: " + file.backupPath + StopReason(err));
            return false;
        }
        if (!CopyFileBelow(client, file.destinationPath, file.backupPath, staging, &err,
                           file.destinationPath)) {
            LogMain(L"Failed to backup existing file. error=" + ToDecimal(err.code) + L" path=" +
                    file.destinationPath + StopReason(err));
            return false;
        }
    }
    if (!CopyFileBelow(client, file.tempPath, file.destinationPath, staging, &err)) {
        LogMain(L"Failed to replace file. error=" + ToDecimal(err.code) + L" path=" +
                file.destinationPath + StopReason(err));
        if (file.destinationExisted) {
            CopyFileBelow(client, file.backupPath, file.destinationPath, staging);
        }
        return false;
    }
    return true;
}

}  // namespace

bool ApplyPreparedFiles(const ClientFolder& client, const std::vector<PreparedFile>& prepared) {
    const int64_t n = static_cast<int64_t>(prepared.size());
    const std::wstring backupRoot = BackupRoot(client);
    const std::wstring staging = CopyStagingFolder(client);
    if (BackupFolderIsLink(client, backupRoot)) {
        LogMain(L"Backup folder is a link; refusing to write backups through it: " + backupRoot);
        return false;
    }
    for (int64_t i = 1; i <= n; ++i) {
        const PreparedFile& file = prepared[static_cast<size_t>(i - 1)];
        const bool isMainExe = IsMainExePath(file.relativePath);
        const std::wstring status = isMainExe ? L"Applying Main.exe..." : L"Applying update...";
        const uint32_t index = static_cast<uint32_t>(i);
        const uint32_t count = static_cast<uint32_t>(n);
        SetProgressState(status, FormatStepText(L"Applying file", file.relativePath, index, count),
                         L"", BandPermille(kUpdateApplyBand, i - 1, n), false);
        if ((isMainExe && !MainExeIsFree(file)) || !ReplaceFile(client, staging, file)) {
            return false;
        }
        LogMain(L"Updated file: " + file.relativePath);
        SetProgressState(status, FormatStepText(L"Applied file", file.relativePath, index, count),
                         L"", BandPermille(kUpdateApplyBand, i, n), false);
    }
    DeleteTreeUnderRoot(StagingRoot(client), client);
    return true;
}

}  // namespace rr
