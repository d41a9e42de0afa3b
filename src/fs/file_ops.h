#pragma once
#include <string>

namespace rr {

// True when the path exists and is not a directory.
bool FileExists(const std::wstring& path);

// True when the path itself is a link (a reparse point), whatever it points to.
bool IsLinkPath(const std::wstring& path);

// The directory part of a path: "C:\" for "C:\a", "\" for "\a", empty for "a".
std::wstring ParentPath(const std::wstring& path);

// Creates a directory with all missing ancestors; true when it exists afterwards.
bool CreateDirectoryTree(const std::wstring& path);
bool EnsureParentDirectory(const std::wstring& filePath);

// Deletes a file or a whole tree, only when it lies under the allowed root.
// Links are never entered: a link inside the tree is removed as an entry, and
// a path that is itself a link loses only the link.
bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot);

}  // namespace rr
