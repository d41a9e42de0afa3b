#include "publish/release_scan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "base/path.h"
#include "base/text.h"
#include "policy/preserve_rules.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace rr::publish {

namespace {

struct Walk {
    std::vector<ReleaseFile>* files;
    std::vector<std::wstring>* refusals;
    std::map<std::wstring, std::wstring> keys;  // folded path -> the path that took it
};

std::wstring Child(const std::wstring& prefix, const std::wstring& name) {
    return prefix.empty() ? name : prefix + L"\\" + name;
}

// Two names that fold to one would be one file on the players' disks.
bool ClaimKey(Walk& walk, const std::wstring& relative) {
    auto [it, fresh] = walk.keys.emplace(MakeNameKey(relative), relative);
    if (!fresh) {
        walk.refusals->push_back(L"paths equal after case folding: " + it->second + L" and " +
                                 relative);
    }
    return fresh;
}

void WalkFolder(const platform::DirHandle& folder, const std::wstring& prefix, Walk& walk) {
    std::vector<platform::DirEntry> entries;
    if (!folder.List(entries)) {
        walk.refusals->push_back(L"folder cannot be listed (error=" +
                                 ToDecimal(platform::LastError()) + L"): " +
                                 (prefix.empty() ? L"." : prefix));
        return;
    }
    std::sort(
        entries.begin(), entries.end(),
        [](const platform::DirEntry& a, const platform::DirEntry& b) { return a.name < b.name; });
    for (const platform::DirEntry& entry : entries) {
        const std::wstring relative = Child(prefix, entry.name);
        if (entry.IsReparsePoint()) {
            walk.refusals->push_back(L"link: " + relative);
            continue;
        }
        if (!entry.IsDirectory() && !entry.IsRegularFile()) {
            walk.refusals->push_back(L"not a regular file: " + relative);
            continue;
        }
        std::wstring normalized;
        std::wstring reason;
        if (!ValidateRelativePath(relative, normalized, &reason)) {
            walk.refusals->push_back(L"unsafe name (" + reason + L"): " + relative);
            continue;
        }
        if (!ClaimKey(walk, relative)) {
            continue;
        }
        if (entry.IsDirectory()) {
            platform::DirHandle child;
            if (!child.OpenChild(folder, entry.name)) {
                walk.refusals->push_back((platform::LastError() == platform::kErrorStoppedOnSymlink
                                              ? L"link: "
                                              : L"folder cannot "
                                                L"be opened: ") +
                                         relative);
                continue;
            }
            WalkFolder(child, relative, walk);
            continue;
        }
        platform::FileInfo info;
        if (!folder.Stat(entry.name, info) || !info.IsRegularFile()) {
            walk.refusals->push_back(L"file cannot be read: " + relative);
            continue;
        }
        walk.files->push_back(ReleaseFile{relative, info.size});
    }
}

// The folder listing of the file layer leaves out names it could not name
// again (a '\' inside a POSIX name, bytes that are not UTF-8); a release must
// not lose them silently.
void FindUnnameableEntries(const std::wstring& releaseDir, std::vector<std::wstring>& refusals) {
    namespace fs = std::filesystem;
    std::string native = platform::WideToUtf8(releaseDir);
    std::replace(native.begin(), native.end(), '\\', '/');
    std::error_code ec;
    fs::recursive_directory_iterator it(native, fs::directory_options::none, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::wstring wide = platform::Utf8ToWide(name);
        if (name.find('\\') != std::string::npos || platform::WideToUtf8(wide) != name) {
            std::string relative = fs::relative(it->path(), native, ec).string();
            refusals.push_back(L"unsafe name (not a name the updater can write): " +
                               platform::Utf8ToWide(relative));
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                it.disable_recursion_pending();
            }
        }
    }
}

}  // namespace

bool ScanReleaseFolder(const std::wstring& releaseDir, std::vector<ReleaseFile>& files,
                       std::vector<std::wstring>& refusals) {
    files.clear();
    refusals.clear();
    platform::DirHandle root;
    if (!root.OpenAnchor(releaseDir)) {
        refusals.push_back(L"release folder cannot be opened (error=" +
                           ToDecimal(platform::LastError()) + L"): " + releaseDir);
        return false;
    }
    FindUnnameableEntries(releaseDir, refusals);
    Walk walk{&files, &refusals, {}};
    WalkFolder(root, std::wstring(), walk);
    if (refusals.empty() && files.empty()) {
        refusals.push_back(L"the release folder holds no file: " + releaseDir);
    }
    std::sort(files.begin(), files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
        std::wstring ka = FoldCase(a.relative);
        std::wstring kb = FoldCase(b.relative);
        return ka != kb ? ka < kb : a.relative < b.relative;
    });
    return refusals.empty();
}

}  // namespace rr::publish
