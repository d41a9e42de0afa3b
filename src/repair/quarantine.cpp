#include "repair/quarantine.h"

#include "fs/file_ops.h"
#include "fs/path.h"
#include "fs/preserve_rules.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

namespace {

const wchar_t* const kMovingStatus = L"Moving extras to quarantine...";

uint32_t FailureCode(WalkStop stop) {
    return stop == WalkStop::kLink ? platform::kErrorStoppedOnSymlink : platform::LastError();
}

bool IsNotFound(uint32_t error) {
    return error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound;
}

// True when the package has a real folder at the same relative path: then the
// client's folder is no extra, empty or not.
bool PackageHasFolder(const std::wstring& clientDir, const std::wstring& packageRoot,
                      const std::wstring& relative) {
    const std::wstring inPackage = JoinPath(packageRoot, relative);
    platform::FileInfo info;
    return IsPathUnderRoot(inPackage, packageRoot) && StatBelow(clientDir, inPackage, info) &&
           info.IsDirectory() && !info.IsReparsePoint();
}

// The second half of one folder's visit, after its children were handled.
void RemoveIfEmptyExtra(const std::wstring& folder, const std::wstring& packageRoot,
                        const std::wstring& clientDir, ExtraDirStats& stats) {
    if (IsSamePath(folder, clientDir)) {
        return;  // the client folder itself is never removed
    }
    std::wstring relative;
    if (!RelativePathUnderRoot(clientDir, folder, relative)) {
        ++stats.blocked;
        LogFullClientApply(L"EXTRA_DIR blocked invalid path: " + folder);
        return;
    }
    const int kind = ProtectedFolderKind(relative);
    if (kind == kFolderProtected) {
        ++stats.preserved;
        LogFullClientApply(L"EXTRA_DIR preserved: " + relative);
        return;
    }
    if (kind == kFolderWalkedOnly || PackageHasFolder(clientDir, packageRoot, relative)) {
        return;
    }
    ++stats.scanned;
    platform::DirHandle handle;
    std::vector<platform::DirEntry> entries;
    if (!OpenFolderBelow(clientDir, relative, false, handle) || !handle.List(entries)) {
        ++stats.failed;
        LogFullClientApply(L"EXTRA_DIR failed emptiness check: " + relative + L" error=" +
                           ToDecimal(platform::LastError()));
        return;
    }
    handle.Close();
    if (!entries.empty()) {
        ++stats.keptNotEmpty;
        LogFullClientApply(L"EXTRA_DIR/NOT-EMPTY/KEPT: " + relative);
        return;
    }
    // Removed by name through the parent's handle, after a last look at the
    // entry itself: a folder swapped for a link since the listing stays.
    platform::DirHandle parent;
    std::wstring name;
    platform::FileInfo info;
    if (!OpenParentBelow(clientDir, folder, false, parent, name) || !parent.Stat(name, info) ||
        !info.IsDirectory() || info.IsReparsePoint()) {
        ++stats.blocked;
        LogFullClientApply(L"EXTRA_DIR blocked before remove: " + relative);
        return;
    }
    parent.SetNormalAttributes(name);
    if (!parent.RemoveChildDirectory(name)) {
        ++stats.failed;
        LogFullClientApply(L"EXTRA_DIR failed remove: " + relative + L" error=" +
                           ToDecimal(platform::LastError()));
        return;
    }
    ++stats.removed;
    LogFullClientApply(L"EXTRA_DIR removed empty: " + relative);
}

}  // namespace

void QuarantineExtras(const std::vector<ExtraFile>& extras, const std::wstring& quarantineRoot,
                      const std::wstring& clientDir, QuarantineStats& stats) {
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
            !IsPathUnderRoot(extra.clientPath, clientDir) ||
            !IsPathUnderRoot(extra.quarantinePath, quarantineRoot)) {
            blocked(L"QUARANTINE BLOCKED unsafe path: ");
            continue;
        }
        platform::FileInfo info;
        WalkStop stop = WalkStop::kNone;
        if (!StatBelow(clientDir, extra.clientPath, info, &stop)) {
            if (stop == WalkStop::kLink) {
                blocked(L"QUARANTINE BLOCKED reparse point: ");
                continue;
            }
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED source missing: " + relative + L" error=" +
                               ToDecimal(platform::LastError()));
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
        if (!CreateFolderBelow(clientDir, ParentPath(extra.quarantinePath))) {
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED parent: " + relative);
            continue;
        }
        // Never over an existing file: a clash leaves the extra where it is.
        if (!MoveFileBelow(clientDir, extra.clientPath, extra.quarantinePath, false, &stop)) {
            ++stats.failed;
            LogFullClientApply(L"QUARANTINE FAILED move: " + relative + L" error=" +
                               ToDecimal(FailureCode(stop)));
            continue;
        }
        ++stats.quarantined;
        LogFullClientApply(L"QUARANTINED: " + relative + L" -> " + extra.quarantinePath);
        SetProgressState(kMovingStatus, FormatStepText(L"Quarantined file", relative, n, total),
                         L"", BandPermille(kQuarantineBand, n, total), false);
    }
}

void RemoveEmptyExtraDirs(const std::wstring& folder, const std::wstring& packageRoot,
                          const std::wstring& clientDir, ExtraDirStats& stats) {
    // Children first, on an explicit stack: a folder is pushed once to be
    // listed and once more, below its children, to be removed when empty.
    struct Visit {
        std::wstring path;
        bool childrenDone = false;
    };
    std::vector<Visit> stack{{folder, false}};
    while (!stack.empty()) {
        Visit visit = std::move(stack.back());
        stack.pop_back();
        if (visit.childrenDone) {
            RemoveIfEmptyExtra(visit.path, packageRoot, clientDir, stats);
            continue;
        }
        const std::wstring& path = visit.path;
        if (!IsPathUnderRoot(path, clientDir)) {
            ++stats.blocked;
            LogFullClientApply(L"EXTRA_DIR blocked outside clientDir: " + path);
            continue;
        }
        std::wstring relative;
        if (!IsSamePath(path, clientDir) && !RelativePathUnderRoot(clientDir, path, relative)) {
            ++stats.blocked;
            LogFullClientApply(L"EXTRA_DIR blocked invalid path: " + path);
            continue;
        }
        platform::DirHandle handle;
        WalkStop stop = WalkStop::kNone;
        if (!OpenFolderBelow(clientDir, relative, false, handle, &stop)) {
            if (stop == WalkStop::kLink) {
                ++stats.blocked;
                LogFullClientApply(L"EXTRA_DIR blocked reparse point: " + path);
            } else {
                ++stats.failed;
                LogFullClientApply(L"EXTRA_DIR failed attributes: " + path + L" error=" +
                                   ToDecimal(platform::LastError()));
            }
            continue;
        }
        std::vector<platform::DirEntry> entries;
        if (!handle.List(entries) && !IsNotFound(platform::LastError())) {
            ++stats.failed;
            LogFullClientApply(L"EXTRA_DIR failed enumerate: " + path + L" error=" +
                               ToDecimal(platform::LastError()));
        }
        handle.Close();
        stack.push_back({path, true});
        std::vector<std::wstring> children;
        for (const platform::DirEntry& entry : entries) {
            if (!entry.IsDirectory()) {
                continue;  // files are never touched here
            }
            const std::wstring child = JoinPath(path, entry.name);
            std::wstring childRelative;
            if (!IsPathUnderRoot(child, clientDir)) {
                ++stats.blocked;
                LogFullClientApply(L"EXTRA_DIR blocked child escaped clientDir: " + child);
            } else if (!RelativePathUnderRoot(clientDir, child, childRelative)) {
                ++stats.blocked;
                LogFullClientApply(L"EXTRA_DIR blocked invalid child path: " + child);
            } else if (entry.IsReparsePoint()) {
                ++stats.blocked;
                LogFullClientApply(L"EXTRA_DIR blocked child reparse point: " + childRelative);
            } else if (ProtectedFolderKind(childRelative) == kFolderProtected) {
                ++stats.preserved;
                LogFullClientApply(L"EXTRA_DIR preserved: " + childRelative);
            } else {
                children.push_back(child);
            }
        }
        // Pushed in reverse so that they are visited in listing order.
        for (auto it = children.rbegin(); it != children.rend(); ++it) {
            stack.push_back({*it, false});
        }
    }
}

void LogExtraDirCounters(const ExtraDirStats& stats) {
    LogFullClientApply(L" extra dirs scanned: " + ToDecimal(stats.scanned));
    LogFullClientApply(L" extra dirs removed: " + ToDecimal(stats.removed));
    LogFullClientApply(L" extra dirs kept not empty: " + ToDecimal(stats.keptNotEmpty));
    LogFullClientApply(L" extra dirs preserved: " + ToDecimal(stats.preserved));
    LogFullClientApply(L" extra dirs failed: " + ToDecimal(stats.failed));
    LogFullClientApply(L" extra dirs blocked: " + ToDecimal(stats.blocked));
}

void CleanEmptyExtraDirs(const std::wstring& clientDir, const std::wstring& packageRoot,
                         ExtraDirStats& stats) {
    LogFullClientApply(L"Full client empty extra directory cleanup started.");
    stats = ExtraDirStats{};
    RemoveEmptyExtraDirs(clientDir, packageRoot, clientDir, stats);
    LogFullClientApply(L"Full client empty extra directory cleanup complete.");
    LogExtraDirCounters(stats);
}

}  // namespace rr
