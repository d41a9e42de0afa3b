#include "repair/artifact_cleanup.h"

#include <algorithm>

#include "fs/path.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

const wchar_t* const kCleanupTargets[4] = {L"_full_tmp", L"_full_extract", L"_backup_update",
                                           L"_quarantine_update"};

namespace {

constexpr uint32_t kTargetTotal = 4;
const wchar_t* const kCleaningStatus = L"Cleaning repair artifacts...";

bool IsNotFound(uint32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

void DeleteFolderInsideRoot(const std::wstring& path, const std::wstring& root,
                            CleanupStats& stats) {
    // A read-only folder keeps its children on POSIX (not on Windows); clearing
    // it first gives both systems the same outcome.
    platform::SetNormalAttributes(path);
    platform::DirectoryListing listing;
    if (!listing.Open(path)) {
        uint32_t error = platform::LastError();
        if (!IsNotFound(error)) {
            ++stats.failed;
            LogRepairCleanup(L"FAILED enumerate directory: " + path + L" error=" +
                             ToDecimal(error));
        }
    } else {
        platform::DirEntry entry;
        while (listing.Next(entry)) {
            if (entry.name == L"." || entry.name == L"..") {
                continue;
            }
            std::wstring child = JoinPath(path, entry.name);
            if (!IsPathUnderRoot(child, root)) {
                ++stats.blocked;
                LogRepairCleanup(L"BLOCKED child escaped cleanup root: " + child);
                continue;
            }
            if (entry.IsReparsePoint()) {
                ++stats.blocked;
                LogRepairCleanup(L"BLOCKED child reparse point: " + child);
                continue;
            }
            DeleteTreeInsideRoot(child, root, stats);
        }
    }
    platform::SetNormalAttributes(path);
    if (platform::RemoveEmptyDirectory(path)) {
        ++stats.deletedFolders;
        return;
    }
    uint32_t error = platform::LastError();
    if (IsNotFound(error)) {
        ++stats.skipped;
        return;
    }
    ++stats.failed;
    LogRepairCleanup(L"FAILED remove directory: " + path + L" error=" + ToDecimal(error));
}

}  // namespace

bool ValidateCleanupTarget(const std::wstring& clientDir, const std::wstring& target,
                           std::wstring& fullPath, CleanupStats& stats) {
    fullPath.clear();
    std::wstring normalized;
    std::wstring why;
    if (!ValidateRelativePath(target, normalized, &why)) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED cleanup target has unsafe relative path: " + target +
                         L" reason=" + why);
        return false;
    }
    const std::wstring key = FoldCase(normalized);
    bool allowed = std::any_of(std::begin(kCleanupTargets), std::end(kCleanupTargets),
                               [&](const wchar_t* name) { return key == name; });
    if (!allowed) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED cleanup target is not in allowlist: " + normalized);
        return false;
    }
    std::wstring full = GetFullPath(JoinPath(clientDir, normalized));
    if (!IsPathUnderRoot(full, clientDir)) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED cleanup target outside client-dir: " + full);
        return false;
    }
    fullPath = full;
    return true;
}

void DeleteTreeInsideRoot(const std::wstring& path, const std::wstring& root, CleanupStats& stats) {
    if (!IsPathUnderRoot(path, root)) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED delete outside cleanup root: " + path);
        return;
    }
    platform::FileInfo info;
    if (!platform::ReadFileInfo(path, info)) {
        ++stats.skipped;
        LogRepairCleanup(L"SKIP missing path: " + path);
        return;
    }
    if (info.IsReparsePoint()) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED reparse point: " + path);
        return;
    }
    if (info.IsDirectory()) {
        DeleteFolderInsideRoot(path, root, stats);
        return;
    }
    platform::SetNormalAttributes(path);
    if (platform::RemoveFile(path) || platform::LastError() == platform::kErrorFileNotFound) {
        ++stats.deletedFiles;
        return;
    }
    uint32_t error = platform::LastError();
    ++stats.failed;
    LogRepairCleanup(L"FAILED delete file: " + path + L" error=" + ToDecimal(error));
}

CleanupStats CleanRepairArtifacts(const std::wstring& clientDir, int basePermille,
                                  int spanPermille) {
    CleanupStats stats;
    stats.targetCount = kTargetTotal;
    SetProgressState(kCleaningStatus, L"Preparing cleanup", L"Logs\\RepairCleanup.log",
                     basePermille, false);
    for (uint32_t i = 1; i <= kTargetTotal; ++i) {
        const std::wstring name = kCleanupTargets[i - 1];
        SetProgressState(kCleaningStatus,
                         L"Target " + ToDecimal(i) + L" / " + ToDecimal(kTargetTotal), name,
                         StepPermille(basePermille, spanPermille, i, kTargetTotal, 0), false);
        std::wstring fullPath;
        if (!ValidateCleanupTarget(clientDir, name, fullPath, stats)) {
            continue;
        }
        platform::FileInfo info;
        if (!platform::ReadFileInfo(fullPath, info)) {
            ++stats.skipped;
            LogRepairCleanup(L"SKIP missing cleanup target: " + name);
            continue;
        }
        if (!info.IsDirectory()) {
            ++stats.blocked;
            LogRepairCleanup(L"BLOCKED cleanup target is not a directory: " + fullPath);
            continue;
        }
        if (info.IsReparsePoint()) {
            ++stats.blocked;
            LogRepairCleanup(L"BLOCKED cleanup target is a reparse point: " + fullPath);
            continue;
        }
        LogRepairCleanup(L"CLEAN target: " + fullPath);
        DeleteTreeInsideRoot(fullPath, fullPath, stats);
        int64_t done = static_cast<int64_t>(basePermille) +
                       (static_cast<int64_t>(spanPermille) * i) / kTargetTotal;
        SetProgressState(kCleaningStatus, L"Cleaned " + name,
                         L"Files " + ToDecimal(stats.deletedFiles) + L" | Folders " +
                             ToDecimal(stats.deletedFolders),
                         static_cast<int>(std::clamp<int64_t>(done, 0, 1000)), false);
    }
    return stats;
}

void LogCleanupSummary(const CleanupStats& stats) {
    LogRepairCleanup(L"Repair cleanup summary:");
    LogRepairCleanup(L" cleanup target count: " + ToDecimal(stats.targetCount));
    LogRepairCleanup(L" deleted folders: " + ToDecimal(stats.deletedFolders));
    LogRepairCleanup(L" deleted files: " + ToDecimal(stats.deletedFiles));
    LogRepairCleanup(L" skipped: " + ToDecimal(stats.skipped));
    LogRepairCleanup(L" failed: " + ToDecimal(stats.failed));
    LogRepairCleanup(L" blocked: " + ToDecimal(stats.blocked));
}

bool RunCleanupMode(const RunConfig& config) {
    LogRepairCleanup(std::wstring(60, L'='));
    LogRepairCleanup(L"Repair artifact cleanup started");
    LogRepairCleanup(L"clientDir: " + config.clientDir);
    LogRepairCleanup(
        L"Allowed cleanup targets: _full_tmp, _full_extract, _backup_update, _quarantine_update");
    LogRepairCleanup(
        L"Data, Main.exe, DLLs, Logs, ScreenShots, config.ini, Data\\Local, RiveRoravav.exe, and "
        L"LauncherLinks.ini are not cleanup targets.");
    CleanupStats stats = CleanRepairArtifacts(config.clientDir, 80, 860);
    LogCleanupSummary(stats);
    const bool warnings = stats.failed != 0 || stats.blocked != 0;
    SetProgressState(
        warnings ? L"Repair cleanup finished with warnings" : L"Repair cleanup complete",
        L"Backups, quarantine, and repair temp folders were cleaned when safe",
        L"Deleted files " + ToDecimal(stats.deletedFiles) + L" | Deleted folders " +
            ToDecimal(stats.deletedFolders) + L" | Skipped " + ToDecimal(stats.skipped) +
            L" | Failed " + ToDecimal(stats.failed) + L" | Blocked " + ToDecimal(stats.blocked),
        1000, warnings);
    return true;
}

}  // namespace rr
