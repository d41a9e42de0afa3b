#pragma once
#include <string>

#include "base/error.h"

namespace rr {

// Creates a directory with all missing ancestors; true when it exists afterwards.
bool CreateDirectoryTree(const std::wstring& path);
bool EnsureParentDirectory(const std::wstring& filePath);

// Deletes a file or a whole tree strictly below the allowed root, walking from
// the root through folder handles (the root itself may be a link; nothing
// below it is followed). A link inside the tree is removed as an entry, a path
// that is itself a link loses only the link, and a link on the way to the path
// stops the deletion. A path that is not strictly below the root is refused
// (err says so) and nothing is deleted.
bool DeleteTreeUnderRoot(const std::wstring& path, const std::wstring& allowedRoot,
                         Error* err = nullptr);

}  // namespace rr
