#include "full_client/quarantine.h"

#include "base/text.h"
#include "fs/file_ops.h"
#include "base/path.h"
#include "full_client/full_client_progress.h"
#include "policy/preserve_rules.h"
#include "fs/safe_fs.h"
#include "fs/tree_walk.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

namespace {

const wchar_t* const kMovingStatus = L"Moving extras to quarantine...";

// True when the package has a real folder at the same relative path: then the
// client's folder is no extra, empty or not.
bool PackageHasFolder(const ClientFolder& client, const std::wstring& packageRoot,
                      const std::wstring& relative) {
    const std::wstring inPackage = JoinPath(packageRoot, relative);
    platform::FileInfo info;
    return IsPathUnderRoot(inPackage, packageRoot) && StatBelow(client, inPackage, info) &&
           info.IsDirectory() && !info.IsReparsePoint();
}

// Children first: a folder is looked at once the walk has left it, so an
// extra folder that held only empty extra folders is empty by then. Every
// folder is opened and removed by name through its parent's handle.
class EmptyExtraDirRemoval : public TreeVisitor {
  public:
    EmptyExtraDirRemoval(const ClientFolder& client, const std::wstring& packageRoot,
                         const std::wstring& start, ExtraDirStats& stats)
        : client_(client), packageRoot_(packageRoot), stats_(stats) {
        // The package folder that matches the walk's start, when there is one.
        PackageFolder first;
        std::wstring relative;
        first.known = RelativePathUnderRoot(client.Resolved(), packageRoot, relative);
        if (first.known) {
            OpenFolderBelow(client, JoinPath(relative, start), false, first.handle);
        }
        package_.push_back(std::move(first));
    }

    void Entered(const WalkItem& item) override {
        // Walks in step with the client: the package folder of the same
        // relative path is opened through its parent's handle.
        package_.resize(item.depth);
        const PackageFolder& parent = package_.back();
        PackageFolder child;
        child.known = parent.known && item.depth <= kHeldPackageDepth;
        if (child.known && parent.handle.IsOpen()) {
            child.handle.OpenChild(parent.handle, item.name);
        }
        package_.push_back(std::move(child));
    }

    WalkStep Visit(const WalkItem& item) override {
        if (!item.IsDirectory()) {
            return WalkStep::kSkip;  // files are never touched here
        }
        if (item.IsReparsePoint()) {
            ++stats_.blocked;
            LogFullClientApply(L"EXTRA_DIR blocked child reparse point: " + item.relative);
            return WalkStep::kSkip;
        }
        if (ProtectedFolderKind(item.relative) == kFolderProtected) {
            ++stats_.preserved;
            LogFullClientApply(L"EXTRA_DIR preserved: " + item.relative);
            return WalkStep::kSkip;
        }
        return WalkStep::kEnter;
    }

    void Unreadable(const std::wstring& relative, const Error& err) override {
        const std::wstring path =
            relative.empty() ? client_.Path() : JoinPath(client_.Path(), relative);
        if (err.stop == WalkStop::kLink) {
            ++stats_.blocked;
            LogFullClientApply(L"EXTRA_DIR blocked reparse point: " + path);
            return;
        }
        if (err.stop == WalkStop::kMissing) {
            return;  // gone since it was listed: nothing to remove
        }
        ++stats_.failed;
        LogFullClientApply(L"EXTRA_DIR failed enumerate: " + path + L" error=" +
                           ToDecimal(err.code));
    }

    void Left(const WalkItem& item) override {
        const std::wstring& relative = item.relative;
        package_.resize(item.depth + 1);
        const PackageFolder& inPackage = package_.back();
        const bool packageHasFolder = inPackage.known
                                          ? inPackage.handle.IsOpen()
                                          : PackageHasFolder(client_, packageRoot_, relative);
        package_.pop_back();
        if (ProtectedFolderKind(relative) == kFolderWalkedOnly || packageHasFolder) {
            return;
        }
        ++stats_.scanned;
        platform::DirHandle handle;
        std::vector<platform::DirEntry> entries;
        if (!handle.OpenChild(item.folder, item.name) || !handle.List(entries)) {
            ++stats_.failed;
            LogFullClientApply(L"EXTRA_DIR failed emptiness check: " + relative + L" error=" +
                               ToDecimal(platform::LastError()));
            return;
        }
        handle.Close();
        if (!entries.empty()) {
            ++stats_.keptNotEmpty;
            LogFullClientApply(L"EXTRA_DIR/NOT-EMPTY/KEPT: " + relative);
            return;
        }
        // A last look at the entry itself: a folder swapped for a link since
        // the listing stays.
        platform::FileInfo info;
        if (!item.folder.Stat(item.name, info) || !info.IsDirectory() || info.IsReparsePoint()) {
            ++stats_.blocked;
            LogFullClientApply(L"EXTRA_DIR blocked before remove: " + relative);
            return;
        }
        item.folder.SetNormalAttributes(item.name);
        if (!item.folder.RemoveChildDirectory(item.name)) {
            ++stats_.failed;
            LogFullClientApply(L"EXTRA_DIR failed remove: " + relative + L" error=" +
                               ToDecimal(platform::LastError()));
            return;
        }
        ++stats_.removed;
        LogFullClientApply(L"EXTRA_DIR removed empty: " + relative);
    }

  private:
    // Package folders deeper than this are looked up from the client folder
    // instead of held open, so a deep package costs no handle per level.
    static constexpr size_t kHeldPackageDepth = 128;

    struct PackageFolder {
        platform::DirHandle handle;  // closed: the package has no such folder
        bool known = false;          // false: look it up by path
    };

    const ClientFolder& client_;
    const std::wstring& packageRoot_;
    ExtraDirStats& stats_;
    std::vector<PackageFolder> package_;  // [depth]: the package's folder at that depth
};

}  // namespace

void QuarantineExtras(const std::vector<ExtraFile>& extras, const std::wstring& quarantineRoot,
                      const ClientFolder& client, QuarantineStats& stats) {
    stats = QuarantineStats{};
    stats.total = static_cast<uint32_t>(extras.size());
    stats.quarantineRoot = quarantineRoot;
    const uint32_t total = stats.total;
    for (uint32_t n = 1; n <= total; ++n) {
        const ExtraFile& extra = extras[n - 1];
        const std::wstring& relative = extra.relativePath;
        SetProgressState(kMovingStatus, FormatStepText(L"Quarantine file", relative, n, total), L"",
                         BandPermille(kQuarantineBand, n - 1, total), false);
        auto blocked = [&](const wchar_t* what) {
            ++stats.blocked;
            ++stats.failed;
            LogFullClientApply(what + relative);
        };
        if (extra.quarantinePath.empty() || quarantineRoot.empty() ||
            !IsPathUnderRoot(extra.clientPath, client.Path()) ||
            !IsPathUnderRoot(extra.quarantinePath, quarantineRoot)) {
            blocked(L"QUARANTINE BLOCKED unsafe path: ");
            continue;
        }
        platform::FileInfo info;
        Error err;
        if (!StatBelow(client, extra.clientPath, info, &err)) {
            if (err.stop == WalkStop::kLink) {
                blocked(L"QUARANTINE BLOCKED reparse point: ");
                continue;
            }
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED source missing: " + relative + L" error=" +
                               ToDecimal(err.code));
            continue;
        }
        if (info.IsReparsePoint()) {
            blocked(L"QUARANTINE BLOCKED reparse point: ");
            continue;
        }
        if (info.IsDirectory()) {
            blocked(L"QUARANTINE BLOCKED unexpected directory: ");
            continue;
        }
        if (!CreateFolderBelow(client, ParentPath(extra.quarantinePath))) {
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED parent: " + relative);
            continue;
        }
        // Never over an existing file: a clash leaves the extra where it is.
        if (!MoveFileBelow(client, extra.clientPath, extra.quarantinePath, false, &err)) {
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED move: " + relative + L" error=" +
                               ToDecimal(err.code));
            continue;
        }
        ++stats.quarantined;
        LogFullClientApply(L"QUARANTINED: " + relative + L" -> " + extra.quarantinePath);
        SetProgressState(kMovingStatus, FormatStepText(L"Quarantined file", relative, n, total),
                         L"", BandPermille(kQuarantineBand, n, total), false);
    }
}

void RemoveEmptyExtraDirs(const std::wstring& folder, const std::wstring& packageRoot,
                          const ClientFolder& client, ExtraDirStats& stats) {
    std::wstring relative;
    if (!IsPathUnderRoot(folder, client.Path())) {
        ++stats.blocked;
        LogFullClientApply(L"EXTRA_DIR blocked outside clientDir: " + folder);
        return;
    }
    if (!IsSamePath(folder, client.Path()) &&
        !RelativePathUnderRoot(client.Resolved(), folder, relative)) {
        ++stats.blocked;
        LogFullClientApply(L"EXTRA_DIR blocked invalid path: " + folder);
        return;
    }
    EmptyExtraDirRemoval removal(client, packageRoot, relative, stats);
    WalkTreeBelow(client, relative, removal);
}

void LogExtraDirCounters(const ExtraDirStats& stats) {
    LogFullClientApply(L" extra dirs scanned: " + ToDecimal(stats.scanned));
    LogFullClientApply(L" extra dirs removed: " + ToDecimal(stats.removed));
    LogFullClientApply(L" extra dirs kept not empty: " + ToDecimal(stats.keptNotEmpty));
    LogFullClientApply(L" extra dirs preserved: " + ToDecimal(stats.preserved));
    LogFullClientApply(L" extra dirs failed: " + ToDecimal(stats.failed));
    LogFullClientApply(L" extra dirs blocked: " + ToDecimal(stats.blocked));
}

void CleanEmptyExtraDirs(const ClientFolder& client, const std::wstring& packageRoot,
                         ExtraDirStats& stats) {
    LogFullClientApply(L"Full client empty extra directory cleanup started.");
    stats = ExtraDirStats{};
    RemoveEmptyExtraDirs(client.Path(), packageRoot, client, stats);
    LogFullClientApply(L"Full client empty extra directory cleanup complete.");
    LogExtraDirCounters(stats);
}

}  // namespace rr
