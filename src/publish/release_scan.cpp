#include "publish/release_scan.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "base/path.h"
#include "base/text.h"
#include "fs/tree_walk.h"
#include "policy/preserve_rules.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace rr::publish {

namespace {

// Lists the release's files in name order, adding a refusal for everything
// the updater could not reproduce; a refused folder is not entered.
class ReleaseWalk : public TreeVisitor {
  public:
    ReleaseWalk(std::vector<ReleaseFile>& files, std::vector<std::wstring>& refusals)
        : files_(files), refusals_(refusals) {}

    bool ByName() const override { return true; }

    WalkStep Visit(const WalkItem& item) override {
        const std::wstring& relative = item.relative;
        if (item.IsReparsePoint()) {
            refusals_.push_back(L"link: " + relative);
            return WalkStep::kSkip;
        }
        if (!item.IsDirectory() && !item.IsRegularFile()) {
            refusals_.push_back(L"not a regular file: " + relative);
            return WalkStep::kSkip;
        }
        std::wstring normalized;
        std::wstring reason;
        if (!ValidateRelativePath(relative, normalized, &reason)) {
            refusals_.push_back(L"unsafe name (" + reason + L"): " + relative);
            return WalkStep::kSkip;
        }
        if (!ClaimKey(relative)) {
            return WalkStep::kSkip;
        }
        if (item.IsDirectory()) {
            return WalkStep::kEnter;
        }
        platform::FileInfo info;
        if (!item.folder.Stat(item.name, info) || !info.IsRegularFile()) {
            refusals_.push_back(L"file cannot be read: " + relative);
            return WalkStep::kSkip;
        }
        files_.push_back(ReleaseFile{relative, info.size});
        return WalkStep::kSkip;
    }

    void Unreadable(const std::wstring& relative, const Error& err) override {
        refusals_.push_back(
            (err.stop == WalkStop::kLink ? L"link: " : L"folder cannot be opened: ") + relative);
    }

    void Unlisted(const std::wstring& relative, const Error& err) override {
        refusals_.push_back(L"folder cannot be listed (error=" + ToDecimal(err.code) + L"): " +
                            (relative.empty() ? L"." : relative));
    }

  private:
    // Two names that fold to one would be one file on the players' disks.
    bool ClaimKey(const std::wstring& relative) {
        auto [it, fresh] = keys_.emplace(MakeNameKey(relative), relative);
        if (!fresh) {
            refusals_.push_back(L"paths equal after case folding: " + it->second + L" and " +
                                relative);
        }
        return fresh;
    }

    std::vector<ReleaseFile>& files_;
    std::vector<std::wstring>& refusals_;
    std::map<std::wstring, std::wstring> keys_;  // folded path -> the path that took it
};

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
    ReleaseWalk walk(files, refusals);
    WalkOpenFolder(std::move(root), std::wstring(), walk);
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
