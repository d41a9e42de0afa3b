#include "fs/file_ops.h"

#include "base/path.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

namespace {

bool IsExistingDirectory(const std::wstring& path) {
    platform::FileInfo info;
    return platform::ReadFileInfo(path, info) && info.IsDirectory();
}

}  // namespace

bool CreateDirectoryTree(const std::wstring& path, Error* err) {
    if (path.empty()) {
        return true;
    }
    if (IsExistingDirectory(path)) {
        return true;
    }
    std::wstring parent = ParentPath(path);
    if (!parent.empty() && parent != path && !IsExistingDirectory(parent)) {
        if (!CreateDirectoryTree(parent, err)) {
            return false;
        }
    }
    if (platform::MakeDirectory(path)) {
        return true;
    }
    if (platform::LastError() == platform::kErrorAlreadyExists && IsExistingDirectory(path)) {
        return true;
    }
    return Fail(err, platform::LastError());
}

bool EnsureParentDirectory(const std::wstring& filePath) {
    std::wstring parent = ParentPath(filePath);
    if (parent.empty()) {
        return true;
    }
    return CreateDirectoryTree(parent);
}

}  // namespace rr
