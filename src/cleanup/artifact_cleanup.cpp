#include "cleanup/artifact_cleanup.h"

#include <algorithm>

#include "base/path.h"
#include "base/text.h"
#include "cleanup/cleanup_progress.h"
#include "fs/delete_tree.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

const wchar_t* const kCleanupTargets[4] = {L"_full_tmp", L"_full_extract", L"_backup_update",
                                           L"_quarantine_update"};

namespace {

constexpr uint32_t kTargetTotal = 4;

// The lines of a look at a path that failed: a link there, nothing there
// (naming `missingName`), or something there that cannot be read.
struct LookTexts {
    const wchar_t* link;
    const wchar_t* missing;
    const std::wstring& missingName;
    const wchar_t* unreadable;
};

// Reads the attributes of `path`; on failure counts and logs why and returns
// false. Something there that cannot be read stays: a failure, not a skip.
bool LookAt(const ClientFolder& root, const std::wstring& path, platform::FileInfo& info,
            CleanupStats& stats, const LookTexts& texts) {
    Error err;
    if (StatBelow(root, path, info, &err)) {
        return true;
    }
    const uint32_t error = err.code;
    if (err.stop == WalkStop::kLink) {
        ++stats.blocked;
        LogRepairCleanup(texts.link + path);
    } else if (err.stop == WalkStop::kMissing ||
               (err.stop == WalkStop::kNone && IsNotFound(error))) {
        ++stats.skipped;
        LogRepairCleanup(texts.missing + texts.missingName);
    } else {
        ++stats.failed;
        LogRepairCleanup(texts.unreadable + path + L" error=" + ToDecimal(error));
    }
    return false;
}
const wchar_t* const kCleaningStatus = L"Cleaning repair artifacts...";

// Counts and logs what the handle walk meets inside a cleanup target. A
// subtree that fails as a whole (a mount, a folder without rights, thousands
// of levels deep) would write one line per entry: the first few are shown,
// the rest counted in one line at the end.
class CleanupCounter : public DeleteObserver {
  public:
    CleanupCounter(CleanupStats& stats, const std::wstring& target, DeleteObserver* watch)
        : stats_(stats), target_(target), watch_(watch) {}
    ~CleanupCounter() override {
        if (hidden_ != 0) {
            LogRepairCleanup(L"FAILED or BLOCKED entries not logged: " + ToDecimal(hidden_) +
                             L" below " + target_);
        }
    }
    void Moment(DeleteTreePhase phase, const std::wstring& path) override {
        if (watch_) {
            watch_->Moment(phase, path);
        }
    }
    void FileDeleted(const std::wstring&) override { ++stats_.deletedFiles; }
    void FolderDeleted(const std::wstring&) override { ++stats_.deletedFolders; }
    void FolderVanished(const std::wstring&) override { ++stats_.skipped; }
    void LinkBlocked(const std::wstring& path) override {
        ++stats_.blocked;
        if (Show()) {
            LogRepairCleanup(L"BLOCKED child reparse point: " + path);
        }
    }
    void Failed(const std::wstring& path, const wchar_t* what, uint32_t error) override {
        ++stats_.failed;
        if (Show()) {
            LogRepairCleanup(std::wstring(L"FAILED ") + what + L": " + path + L" error=" +
                             ToDecimal(error));
        }
    }

  private:
    static constexpr uint32_t kShownLines = 20;

    bool Show() {
        if (shown_ < kShownLines) {
            ++shown_;
            return true;
        }
        ++hidden_;
        return false;
    }

    CleanupStats& stats_;
    const std::wstring& target_;
    DeleteObserver* watch_;
    uint32_t shown_ = 0;
    uint64_t hidden_ = 0;
};

}  // namespace

bool ValidateCleanupTarget(const ClientFolder& client, const std::wstring& target,
                           std::wstring& fullPath, CleanupStats& stats) {
    fullPath.clear();
    std::wstring normalized;
    std::wstring why;
    if (!ValidateRelativePath(target, normalized, &why)) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED cleanup target has unsafe relative path: " + target);
        LogRepairCleanup(why + L": " + target);
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
    std::wstring full = GetFullPath(JoinPath(client.Path(), normalized));
    if (!IsPathUnderRoot(full, client.Path())) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED cleanup target outside client-dir: " + full);
        return false;
    }
    fullPath = full;
    return true;
}

void DeleteTreeInsideRoot(const std::wstring& path, const ClientFolder& root, CleanupStats& stats,
                          DeleteObserver* watch) {
    std::wstring relative;
    if (!IsPathUnderRoot(path, root.Path()) ||
        !RelativePathUnderRoot(root.Resolved(), path, relative)) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED delete outside cleanup root: " + path);
        return;
    }
    platform::FileInfo info;
    if (!LookAt(
            root, path, info, stats,
            {L"BLOCKED reparse point: ", L"SKIP missing path: ", path, L"FAILED read path: "})) {
        return;
    }
    if (info.IsReparsePoint()) {
        ++stats.blocked;
        LogRepairCleanup(L"BLOCKED reparse point: " + path);
        return;
    }
    CleanupCounter counter(stats, path, watch);
    DeleteTreeBelow(root, relative, LinkPolicy::kBlock, &counter);
}

CleanupStats CleanRepairArtifacts(const ClientFolder& client, ProgressBand band,
                                  DeleteObserver* watch) {
    CleanupStats stats;
    stats.targetCount = kTargetTotal;
    SetProgressState(kCleaningStatus, L"Preparing cleanup", L"Logs\\RepairCleanup.log", band.base,
                     false);
    for (uint32_t i = 1; i <= kTargetTotal; ++i) {
        const std::wstring name = kCleanupTargets[i - 1];
        SetProgressState(kCleaningStatus,
                         L"Target " + ToDecimal(i) + L" / " + ToDecimal(kTargetTotal), name,
                         StepPermille(band, i, kTargetTotal, 0), false);
        std::wstring fullPath;
        if (!ValidateCleanupTarget(client, name, fullPath, stats)) {
            continue;
        }
        platform::FileInfo info;
        if (!LookAt(client, fullPath, info, stats,
                    {L"BLOCKED cleanup target is a reparse point: ",
                     L"SKIP missing cleanup target: ", name, L"FAILED read cleanup target: "})) {
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
        DeleteTreeInsideRoot(fullPath, client, stats, watch);
        SetProgressState(kCleaningStatus, L"Cleaned " + name,
                         L"Files " + ToDecimal(stats.deletedFiles) + L" | Folders " +
                             ToDecimal(stats.deletedFolders),
                         BandPermille(band, i, kTargetTotal), false);
    }
    return stats;
}

void LogCleanupSummary(const CleanupStats& stats, const CleanupSummaryTexts& texts) {
    texts.log(texts.title);
    texts.log(texts.targetCountLabel + ToDecimal(stats.targetCount));
    texts.log(L" deleted folders: " + ToDecimal(stats.deletedFolders));
    texts.log(L" deleted files: " + ToDecimal(stats.deletedFiles));
    texts.log(L" skipped: " + ToDecimal(stats.skipped));
    texts.log(L" failed: " + ToDecimal(stats.failed));
    texts.log(L" blocked: " + ToDecimal(stats.blocked));
}

void LogCleanupSummary(const CleanupStats& stats) {
    LogCleanupSummary(stats,
                      {LogRepairCleanup, L"Repair cleanup summary:", L" cleanup target count: "});
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
    CleanupStats stats = CleanRepairArtifacts(config.clientDir, kCleanupBand);
    LogCleanupSummary(stats);
    const bool warnings = stats.failed != 0 || stats.blocked != 0;
    SetProgressState(
        warnings ? L"Repair cleanup finished with warnings" : L"Repair cleanup complete",
        L"Backups, quarantine, and repair temp folders were cleaned when safe",
        L"Deleted files " + ToDecimal(stats.deletedFiles) + L" | Deleted folders " +
            ToDecimal(stats.deletedFolders) + L" | Skipped " + ToDecimal(stats.skipped) +
            L" | Failed " + ToDecimal(stats.failed) + L" | Blocked " + ToDecimal(stats.blocked),
        kProgressComplete, warnings);
    return true;
}

}  // namespace rr
