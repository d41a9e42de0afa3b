#include "app/post_update_cleanup.h"

#include "base/text.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/delete_under_root.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

namespace {

const wchar_t* const kLegacyFiles[] = {
    L"Logs\\StartupDiag.log",
    L"Logs\\DefenderExclusion.log",
    L"Logs\\ClientSecuritySetup.log",
    L"Launcher.exe",
    L"Launcherlib.dll",
};

}  // namespace

bool CleanupBackupAfterUpdate(const RunConfig& config) {
    const ClientFolder client(config.clientDir);
    std::wstring target = JoinPath(client.Path(), L"_backup_update");
    if (!IsPathUnderRoot(target, client.Path())) {
        LogMain(L"backup cleanup blocked: unsafe target " + target);
        return false;
    }
    if (PathCompareKey(target) == PathCompareKey(client.Path())) {
        LogMain(L"backup cleanup blocked: target resolved to clientDir");
        return false;
    }
    platform::FileInfo info;
    Error err;
    if (!StatBelow(client, target, info, &err)) {
        if (IsNotFound(err.code) || err.stop == WalkStop::kMissing) {
            LogMain(L"backup cleanup skipped: not found");
            return true;
        }
        LogMain(L"backup cleanup warning: could not read attributes error=" + ToDecimal(err.code));
        return false;
    }
    if (!info.IsDirectory()) {
        LogMain(L"backup cleanup blocked: target is not a directory " + target);
        return false;
    }
    if (info.IsReparsePoint()) {
        LogMain(L"backup cleanup blocked: target is a reparse point " + target);
        return false;
    }
    if (DeleteTreeUnderRoot(target, client, &err)) {
        LogMain(L"backup cleanup after successful update: OK");
        return true;
    }
    LogMain(L"backup cleanup warning: failed to delete " + target + L" error=" +
            ToDecimal(err.code));
    return false;
}

void DeleteLegacyFile(const ClientFolder& client, const std::wstring& relativePath) {
    if (relativePath.empty()) {
        LogMain(L"legacy_cleanup_failed path=<empty> error=empty relative path");
        return;
    }
    std::wstring target = JoinPath(client.Path(), relativePath);
    if (!IsPathUnderRoot(target, client.Path())) {
        LogMain(L"legacy_cleanup_failed path=" + target + L" error=unsafe target");
        return;
    }
    platform::DirHandle parent;
    std::wstring name;
    Error err;
    if (!OpenParentBelow(client, target, false, parent, name, &err)) {
        if (err.stop == WalkStop::kMissing) {
            LogMain(L"legacy_cleanup_missing path=" + target);
        } else if (err.stop == WalkStop::kLink || err.stop == WalkStop::kFailed) {
            // A folder on the way that is a link, or that cannot be opened to
            // show it is none: either way nothing is deleted through it.
            LogMain(L"legacy_cleanup_failed path=" + target + L" error=parent is reparse point");
        } else {
            LogMain(L"legacy_cleanup_failed path=" + target + L" error=" + ToDecimal(err.code));
        }
        return;
    }
    platform::FileInfo info;
    if (!parent.Stat(name, info)) {
        uint32_t error = platform::LastError();
        if (IsNotFound(error)) {
            LogMain(L"legacy_cleanup_missing path=" + target);
        } else {
            LogMain(L"legacy_cleanup_failed path=" + target + L" error=" + ToDecimal(error));
        }
        return;
    }
    if (info.IsDirectory()) {
        LogMain(L"legacy_cleanup_failed path=" + target + L" error=target is directory");
        return;
    }
    if (info.IsReparsePoint()) {
        LogMain(L"legacy_cleanup_failed path=" + target + L" error=target is reparse point");
        return;
    }
    parent.SetNormalAttributes(name);
    if (parent.RemoveChild(name)) {
        LogMain(L"legacy_cleanup_deleted path=" + target);
        return;
    }
    uint32_t error = platform::LastError();
    if (error == platform::kErrorFileNotFound) {
        LogMain(L"legacy_cleanup_deleted path=" + target);
        return;
    }
    LogMain(L"legacy_cleanup_failed path=" + target + L" error=" + ToDecimal(error));
}

void CleanupLegacyFiles(const RunConfig& config) {
    for (const wchar_t* relative : kLegacyFiles) {
        DeleteLegacyFile(config.clientDir, relative);
    }
}

}  // namespace rr
