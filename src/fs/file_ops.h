#pragma once
#include <string>

namespace rr {

// The directory part of a path: "C:\" for "C:\a", "\" for "\a", empty for "a".
std::wstring ParentPath(const std::wstring& path);

// Creates a directory with all missing ancestors; true when it exists afterwards.
bool CreateDirectoryTree(const std::wstring& path);
bool EnsureParentDirectory(const std::wstring& filePath);

// Deletes a file or a whole tree strictly below the allowed root, walking from
// the root through folder handles (the root itself may be a link; nothing
// below it is followed). A link inside the tree is removed as an entry, a path
// that is itself a link loses only the link, and a link on the way to the path
// stops the deletion.
bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot);

}  // namespace rr
