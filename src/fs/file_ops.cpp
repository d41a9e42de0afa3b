#include "fs/file_ops.h"

#include "fs/path.h"
#include "log/log.h"
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

// Removes a link itself, never what it points to: DeleteFileW takes file
// links, RemoveDirectoryW takes directory links without entering them.
bool RemoveLinkEntry(const std::wstring& path, bool directoryLink) {
    platform::SetLastErrorCode(0);
    if (platform::RemoveFile(path)) {
        return true;
    }
    if (platform::LastError() == platform::kErrorFileNotFound) {
        return true;
    }
    if (directoryLink && platform::RemoveEmptyDirectory(path)) {
        return true;
    }
    return platform::LastError() == platform::kErrorFileNotFound;
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
    platform::FileInfo info;
    if (!platform::ReadFileInfo(path, info)) {
        return true;
    }
    if (info.IsReparsePoint()) {
        // The path itself is a link: remove the link, never what lies behind it.
        return RemoveLinkEntry(path, info.IsDirectory());
    }
    if (info.IsDirectory()) {
        platform::DirectoryListing listing;
        if (listing.Open(path)) {
            platform::DirEntry entry;
            while (listing.Next(entry)) {
                if (entry.name == L"." || entry.name == L"..") {
                    continue;
                }
                std::wstring child = JoinPath(path, entry.name);
                if ((entry.attributes & (platform::kAttrDirectory | platform::kAttrReparsePoint)) ==
                    platform::kAttrDirectory) {
                    if (!DeleteTreeUnderRoot(child, allowedRoot)) {
                        return false;
                    }
                    continue;
                }
                if (entry.IsReparsePoint()) {
                    if (!RemoveLinkEntry(child, entry.IsDirectory())) {
                        return false;
                    }
                    continue;
                }
                platform::SetNormalAttributes(child);
                if (!platform::RemoveFile(child) &&
                    platform::LastError() != platform::kErrorFileNotFound) {
                    return false;
                }
            }
        }
        platform::SetNormalAttributes(path);
        if (platform::RemoveEmptyDirectory(path)) {
            return true;
        }
        return platform::LastError() == platform::kErrorFileNotFound;
    }
    platform::SetNormalAttributes(path);
    if (platform::RemoveFile(path)) {
        return true;
    }
    return platform::LastError() == platform::kErrorFileNotFound;
}

}  // namespace rr
