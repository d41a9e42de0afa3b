#include "repair/full_client_walk.h"

#include <utility>

#include "fs/path.h"
#include "fs/preserve_rules.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "net/sha256.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

namespace {

constexpr uint32_t kPumpEvery = 250;

struct Listed {
    platform::DirEntry entry;
    uint64_t size = 0;
};

// Lists a folder at or below clientDir, opened from clientDir one folder at a
// time: a link anywhere on the way stops the listing instead of leading out.
bool ListBelow(const std::wstring& clientDir, const std::wstring& folder, bool withSizes,
               std::vector<Listed>& out, WalkStop& stop, uint32_t& error) {
    out.clear();
    stop = WalkStop::kNone;
    error = 0;
    std::wstring relative;
    if (!IsSamePath(folder, clientDir) && !RelativePathUnderRoot(clientDir, folder, relative)) {
        stop = WalkStop::kOutside;
        return false;
    }
    platform::DirHandle handle;
    if (!OpenFolderBelow(clientDir, relative, false, handle, &stop)) {
        error = platform::LastError();
        return false;
    }
    std::vector<platform::DirEntry> entries;
    if (!handle.List(entries)) {
        stop = WalkStop::kFailed;
        error = platform::LastError();
        return false;
    }
    out.reserve(entries.size());
    for (platform::DirEntry& entry : entries) {
        Listed item;
        item.entry = std::move(entry);
        // Sizes come from the entry itself through the folder's handle. One
        // that vanished since the listing keeps 0; hashing it fails later.
        platform::FileInfo info;
        if (withSizes && item.entry.IsRegularFile() && handle.Stat(item.entry.name, info)) {
            item.size = info.size;
        }
        out.push_back(std::move(item));
    }
    return true;
}

// Depth first in listing order, as a recursion would go, but on an explicit
// stack: a deep hostile tree can exhaust neither the call stack nor the
// handles (no folder stays open while its children are visited). `visit`
// returns true to enter the child folder.
template <typename Visit, typename ListFailed>
void WalkBelow(const std::wstring& clientDir, const std::wstring& start, bool withSizes,
               Visit visit, ListFailed listFailed) {
    struct Frame {
        std::wstring folder;
        std::vector<Listed> entries;
        size_t next = 0;
    };
    std::vector<Frame> stack;
    auto enter = [&](const std::wstring& folder) {
        Frame frame;
        frame.folder = folder;
        WalkStop stop = WalkStop::kNone;
        uint32_t error = 0;
        if (!ListBelow(clientDir, folder, withSizes, frame.entries, stop, error)) {
            listFailed(folder, stop, error);
            return;
        }
        stack.push_back(std::move(frame));
    };
    enter(start);
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next == top.entries.size()) {
            stack.pop_back();
            continue;
        }
        const Listed& item = top.entries[top.next++];
        std::wstring child = JoinPath(top.folder, item.entry.name);
        if (visit(child, item)) {
            enter(child);
        }
    }
}

std::wstring RelativeOrFull(const std::wstring& root, const std::wstring& path) {
    std::wstring relative;
    return RelativePathUnderRoot(root, path, relative) ? relative : path;
}

}  // namespace

void CollectPackageFiles(const std::wstring& clientDir, const std::wstring& dir,
                         const std::wstring& packageRoot, std::vector<PackageFile>& files,
                         PackageKeySet& keys, FullClientCompareCounts& counts, RepairLog log) {
    if (!IsPathUnderRoot(dir, packageRoot)) {
        ++counts.blocked;
        log(L"BLOCKED package directory outside packageRoot: " + dir);
        return;
    }
    auto visit = [&](const std::wstring& child, const Listed& item) {
        if (!IsPathUnderRoot(child, packageRoot)) {
            ++counts.blocked;
            log(L"BLOCKED package path escaped packageRoot: " + child);
            return false;
        }
        std::wstring relative;
        if (!RelativePathUnderRoot(packageRoot, child, relative)) {
            ++counts.blocked;
            log(L"BLOCKED invalid package path: " + child);
            return false;
        }
        if (item.entry.IsReparsePoint()) {
            ++counts.blocked;
            log(L"BLOCKED package reparse point: " + relative);
            return false;
        }
        if (item.entry.IsDirectory()) {
            return true;
        }
        files.push_back(PackageFile{relative, child, item.size});
        keys.insert(MakeRuleKey(relative));
        if (++counts.packageFiles % kPumpEvery == 0) {
            PumpMessages();
        }
        return false;
    };
    // A package folder that cannot be listed would leave its files out of
    // the repair unseen: it blocks the plan like any other refusal.
    auto listFailed = [&](const std::wstring& folder, WalkStop stop, uint32_t error) {
        ++counts.blocked;
        if (stop == WalkStop::kLink) {
            log(L"BLOCKED package reparse point: " + RelativeOrFull(packageRoot, folder));
        } else {
            log(L"BLOCKED could not list package directory: " + folder + L" error=" +
                ToDecimal(error));
        }
    };
    WalkBelow(clientDir, dir, true, visit, listFailed);
}

void ScanLocalExtras(const std::wstring& dir, const std::wstring& clientDir,
                     const PackageKeySet& keys, FullClientCompareCounts& counts, RepairLog log,
                     std::vector<std::wstring>* extras) {
    if (!IsPathUnderRoot(dir, clientDir)) {
        ++counts.blocked;
        log(L"BLOCKED local directory outside clientDir: " + dir);
        return;
    }
    auto visit = [&](const std::wstring& child, const Listed& item) {
        if (!IsPathUnderRoot(child, clientDir)) {
            ++counts.blocked;
            log(L"BLOCKED local path escaped clientDir: " + child);
            return false;
        }
        std::wstring relative;
        if (!RelativePathUnderRoot(clientDir, child, relative)) {
            ++counts.blocked;
            log(L"BLOCKED invalid local path: " + child);
            return false;
        }
        if (IsFullClientPreserved(relative)) {
            ++counts.preserved;
            log(L"PRESERVED/EXTRA-SKIPPED: " + relative);
            return false;
        }
        if (item.entry.IsReparsePoint()) {
            ++counts.blocked;
            log(L"BLOCKED local reparse point: " + relative);
            return false;
        }
        if (item.entry.IsDirectory()) {
            return true;
        }
        if (++counts.clientFilesScanned % kPumpEvery == 0) {
            PumpMessages();
        }
        if (keys.count(MakeRuleKey(relative)) == 0) {
            ++counts.extra;
            log(L"EXTRA: " + relative);
            if (extras != nullptr) {
                extras->push_back(relative);
            }
        }
        return false;
    };
    // Extras in a folder that cannot be listed would go unreported.
    auto listFailed = [&](const std::wstring& folder, WalkStop stop, uint32_t error) {
        ++counts.blocked;
        if (stop == WalkStop::kLink) {
            log(L"BLOCKED local reparse point: " + RelativeOrFull(clientDir, folder));
        } else {
            log(L"BLOCKED could not list local directory: " + folder + L" error=" +
                ToDecimal(error));
        }
    };
    WalkBelow(clientDir, dir, false, visit, listFailed);
}

FileMatch MatchClientFile(const std::wstring& clientDir, const PackageFile& file,
                          const std::wstring& clientPath, uint64_t& clientSize) {
    clientSize = 0;
    platform::FileInfo info;
    WalkStop stop = WalkStop::kNone;
    if (!StatBelow(clientDir, clientPath, info, &stop)) {
        const uint32_t error = platform::LastError();
        // Only a path that is really not there is missing: a copy to it makes
        // no backup, so a file merely hidden by a failing check must not be.
        if (stop == WalkStop::kMissing || stop == WalkStop::kNotFolder ||
            (stop == WalkStop::kNone &&
             (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound))) {
            return FileMatch::kMissing;
        }
        return FileMatch::kUnreadable;
    }
    if (info.IsReparsePoint()) {
        return FileMatch::kUnreadable;
    }
    if (info.IsDirectory()) {
        return FileMatch::kMissing;
    }
    platform::FileReader reader;
    if (!info.IsRegularFile() || !OpenFileBelow(clientDir, clientPath, reader)) {
        return FileMatch::kUnreadable;
    }
    reader.Close();
    clientSize = info.size;
    if (clientSize != file.size) {
        return FileMatch::kSizeDiffers;
    }
    std::string packageDigest;
    std::string clientDigest;
    if (!ComputeFileSha256Below(clientDir, file.fullPath, packageDigest) ||
        !ComputeFileSha256Below(clientDir, clientPath, clientDigest)) {
        return FileMatch::kHashFailed;
    }
    return Sha256TextEquals(packageDigest, clientDigest) ? FileMatch::kSame
                                                         : FileMatch::kContentDiffers;
}

}  // namespace rr
