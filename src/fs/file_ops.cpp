#include "fs/file_ops.h"

#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

std::wstring ParentPath(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    if (pos == std::wstring::npos) {
        return std::wstring();
    }
    if (pos == 2 && path.size() >= 3 && path[1] == L':') {
        return path.substr(0, 3);
    }
    if (pos == 0) {
        return path.substr(0, 1);
    }
    return path.substr(0, pos);
}

namespace {

bool IsExistingDirectory(const std::wstring& path) {
    platform::FileInfo info;
    return platform::ReadFileInfo(path, info) && info.IsDirectory();
}

}  // namespace

bool CreateDirectoryTree(const std::wstring& path) {
    if (path.empty()) {
        return true;
    }
    if (IsExistingDirectory(path)) {
        return true;
    }
    std::wstring parent = ParentPath(path);
    if (!parent.empty() && parent != path && !IsExistingDirectory(parent)) {
        if (!CreateDirectoryTree(parent)) {
            return false;
        }
    }
    if (platform::MakeDirectory(path)) {
        return true;
    }
    return platform::LastError() == platform::kErrorAlreadyExists && IsExistingDirectory(path);
}

bool EnsureParentDirectory(const std::wstring& filePath) {
    std::wstring parent = ParentPath(filePath);
    if (parent.empty()) {
        return true;
    }
    return CreateDirectoryTree(parent);
}

bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot) {
    if (!IsPathUnderRoot(path, allowedRoot)) {
        LogMain(L"Refused to delete outside allowed root: " + path);
        return false;
    }
    std::wstring relative;
    if (!RelativePathUnderRoot(allowedRoot, path, relative)) {
        // The root itself, or a name no walk could take: nothing is deleted.
        LogMain(L"Refused to delete outside allowed root: " + path);
        return false;
    }
    return DeleteTreeBelow(allowedRoot, relative, LinkPolicy::kRemoveEntry);
}

}  // namespace rr
