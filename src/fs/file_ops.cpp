#include "fs/file_ops.h"

#include "base/path.h"
#include "fs/safe_fs.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

bool FileExists(const std::wstring& path) {
    platform::FileInfo info;
    return platform::ReadFileInfo(path, info) && !info.IsDirectory();
}

bool IsLinkPath(const std::wstring& path) {
    platform::FileInfo info;
    return platform::ReadFileInfo(path, info) && info.IsReparsePoint();
}

namespace {

bool IsExistingDirectory(const std::wstring& path) {
    platform::FileInfo info;
    return platform::ReadFileInfo(path, info) && info.IsDirectory();
}

}  // namespace

bool HasReparseParent(const std::wstring& clientDir, const std::wstring& relativePath) {
    std::wstring relative = relativePath;
    for (auto& c : relative) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    size_t lastSeparator = relative.rfind(L'\\');
    if (lastSeparator == std::wstring::npos) {
        return false;
    }
    std::wstring current = clientDir;
    size_t start = 0;
    while (start < lastSeparator) {
        size_t end = relative.find(L'\\', start);
        std::wstring component = relative.substr(start, end - start);
        start = end + 1;
        if (component.empty()) {
            continue;
        }
        current = JoinPath(current, component);
        platform::FileInfo info;
        if (platform::ReadFileInfo(current, info)) {
            if (info.IsReparsePoint()) {
                return true;
            }
        } else if (!(platform::LastError() == platform::kErrorFileNotFound ||
                     platform::LastError() == platform::kErrorPathNotFound)) {
            // A folder whose attributes cannot be read cannot be shown to be
            // free of links: refuse rather than delete through it.
            return true;
        }
    }
    return false;
}

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

bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot, Error* err) {
    std::wstring relative;
    // The root itself, a path outside it or a name no walk could take:
    // nothing is deleted.
    if (!IsPathUnderRoot(path, allowedRoot) ||
        !RelativePathUnderRoot(allowedRoot, path, relative)) {
        return Fail(err, platform::kErrorInvalidParameter,
                    L"Refused to delete outside allowed root: " + path, WalkStop::kOutside);
    }
    return DeleteTreeBelow(allowedRoot, relative, LinkPolicy::kRemoveEntry);
}

}  // namespace rr
