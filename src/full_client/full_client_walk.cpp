#include "full_client/full_client_walk.h"

#include <algorithm>
#include <utility>

#include "base/path.h"
#include "base/text.h"
#include "policy/preserve_rules.h"
#include "fs/safe_fs.h"
#include "fs/tree_walk.h"
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
    std::wstring relative;  // below the walk's own root (the client or the package)
    bool validName = false;
};

// Depth first in listing order, each folder opened through its parent's
// handle (see WalkTreeBelow). `visit` gets the full path and returns true to
// enter a folder; `listFailed` gets a folder that could not be opened or
// listed. An entry's path is its parent's, already checked, plus one name:
// checking that name alone keeps the cost of a deep tree in proportion to its
// entries, and the path cannot leave the root it is built under.
template <typename VisitFn, typename FailFn>
class FolderWalk : public TreeVisitor {
  public:
    FolderWalk(const ClientFolder& client, size_t rootLength, bool withSizes, VisitFn& visit,
               FailFn& listFailed)
        : client_(client),
          rootLength_(rootLength),
          withSizes_(withSizes),
          visit_(visit),
          listFailed_(listFailed) {}

    WalkStep Visit(const WalkItem& item) override {
        Listed listed;
        listed.entry.name = item.name;
        listed.entry.attributes = item.attributes;
        // Sizes come from the entry itself through the folder's handle. One
        // that vanished since the listing keeps 0; hashing it fails later.
        platform::FileInfo info;
        if (withSizes_ && item.IsRegularFile() && item.folder.Stat(item.name, info)) {
            listed.size = info.size;
        }
        std::wstring normalized;
        listed.validName = ValidateRelativePath(item.name, normalized) && normalized == item.name;
        listed.relative = item.relative.substr(std::min(rootLength_, item.relative.size()));
        return visit_(JoinPath(client_.Path(), item.relative), listed) ? WalkStep::kEnter
                                                                       : WalkStep::kSkip;
    }

    void Unreadable(const std::wstring& relative, const Error& err) override {
        listFailed_(relative.empty() ? client_.Path() : JoinPath(client_.Path(), relative), err);
    }

  private:
    const ClientFolder& client_;
    size_t rootLength_;  // of the root's own path below the client, separator included
    bool withSizes_;
    VisitFn& visit_;
    FailFn& listFailed_;
};

// Walks `start` below the client folder; each entry's `relative` is taken
// below `root` (the client folder, or the package root that holds `start`).
template <typename VisitFn, typename FailFn>
void WalkBelow(const ClientFolder& client, const std::wstring& root, const std::wstring& start,
               bool withSizes, VisitFn visit, FailFn listFailed) {
    std::wstring relative;
    std::wstring rootRelative;
    if ((!IsSamePath(start, client.Path()) &&
         !RelativePathUnderRoot(client.Resolved(), start, relative)) ||
        (!IsSamePath(root, client.Path()) &&
         !RelativePathUnderRoot(client.Resolved(), root, rootRelative)) ||
        (!IsSamePath(start, root) && !IsPathUnderRoot(start, root))) {
        listFailed(start, Error{0, WalkStop::kOutside});
        return;
    }
    const size_t rootLength = rootRelative.empty() ? 0 : rootRelative.size() + 1;
    FolderWalk<VisitFn, FailFn> walk(client, rootLength, withSizes, visit, listFailed);
    WalkTreeBelow(client, relative, walk);
}

std::wstring RelativeOrFull(const std::wstring& root, const std::wstring& path) {
    std::wstring relative;
    return RelativePathUnderRoot(root, path, relative) ? relative : path;
}

}  // namespace

void CollectPackageFiles(const ClientFolder& client, const std::wstring& dir,
                         const std::wstring& packageRoot, std::vector<PackageFile>& files,
                         PackageKeySet& keys, FullClientCompareCounts& counts, RepairLog log) {
    if (!IsPathUnderRoot(dir, packageRoot)) {
        ++counts.blocked;
        log(L"BLOCKED package directory outside packageRoot: " + dir);
        return;
    }
    auto visit = [&](const std::wstring& child, const Listed& item) {
        if (!item.validName) {
            ++counts.blocked;
            log(L"BLOCKED invalid package path: " + child);
            return false;
        }
        const std::wstring& relative = item.relative;
        if (item.entry.IsReparsePoint()) {
            ++counts.blocked;
            log(L"BLOCKED package reparse point: " + relative);
            return false;
        }
        if (item.entry.IsDirectory()) {
            return true;
        }
        files.push_back(PackageFile{relative, child, item.size});
        keys.insert(MakeNameKey(relative));
        if (++counts.packageFiles % kPumpEvery == 0) {
            PumpMessages();
        }
        return false;
    };
    // A package folder that cannot be listed would leave its files out of
    // the repair unseen: it blocks the plan like any other refusal.
    auto listFailed = [&](const std::wstring& folder, const Error& err) {
        ++counts.blocked;
        if (err.stop == WalkStop::kLink) {
            log(L"BLOCKED package reparse point: " + RelativeOrFull(packageRoot, folder));
        } else {
            log(L"BLOCKED could not list package directory: " + folder + L" error=" +
                ToDecimal(err.code));
        }
    };
    WalkBelow(client, packageRoot, dir, true, visit, listFailed);
}

void ScanLocalExtras(const std::wstring& dir, const ClientFolder& client, const PackageKeySet& keys,
                     FullClientCompareCounts& counts, RepairLog log,
                     std::vector<std::wstring>* extras) {
    if (!IsPathUnderRoot(dir, client.Path())) {
        ++counts.blocked;
        log(L"BLOCKED local directory outside clientDir: " + dir);
        return;
    }
    auto visit = [&](const std::wstring& child, const Listed& item) {
        if (!item.validName) {
            ++counts.blocked;
            log(L"BLOCKED invalid local path: " + child);
            return false;
        }
        const std::wstring& relative = item.relative;
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
        if (keys.count(MakeNameKey(relative)) == 0) {
            ++counts.extra;
            log(L"EXTRA: " + relative);
            if (extras != nullptr) {
                extras->push_back(relative);
            }
        }
        return false;
    };
    // Extras in a folder that cannot be listed would go unreported.
    auto listFailed = [&](const std::wstring& folder, const Error& err) {
        ++counts.blocked;
        if (err.stop == WalkStop::kLink) {
            log(L"BLOCKED local reparse point: " + RelativeOrFull(client.Path(), folder));
        } else {
            log(L"BLOCKED could not list local directory: " + folder + L" error=" +
                ToDecimal(err.code));
        }
    };
    WalkBelow(client, client.Path(), dir, false, visit, listFailed);
}

FileMatch MatchClientFile(const ClientFolder& client, const PackageFile& file,
                          const std::wstring& clientPath, uint64_t& clientSize) {
    clientSize = 0;
    platform::FileInfo info;
    Error err;
    if (!StatBelow(client, clientPath, info, &err)) {
        // Only a path that is really not there is missing: a copy to it makes
        // no backup, so a file merely hidden by a failing check must not be.
        if (err.stop == WalkStop::kMissing || err.stop == WalkStop::kNotFolder ||
            (err.stop == WalkStop::kNone && IsNotFound(err.code))) {
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
    if (!info.IsRegularFile() || !OpenFileBelow(client, clientPath, reader)) {
        return FileMatch::kUnreadable;
    }
    reader.Close();
    clientSize = info.size;
    if (clientSize != file.size) {
        return FileMatch::kSizeDiffers;
    }
    std::string packageDigest;
    std::string clientDigest;
    if (!ComputeFileSha256Below(client, file.fullPath, packageDigest, &err) ||
        !ComputeFileSha256Below(client, clientPath, clientDigest, &err)) {
        LogMain(err.text);
        return FileMatch::kHashFailed;
    }
    return Sha256TextEquals(packageDigest, clientDigest) ? FileMatch::kSame
                                                         : FileMatch::kContentDiffers;
}

}  // namespace rr
