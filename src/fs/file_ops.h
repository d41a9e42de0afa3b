#pragma once
#include <string>

namespace rr {

// Creates a directory with all missing ancestors; true when it exists afterwards.
bool CreateDirectoryTree(const std::wstring& path);
bool EnsureParentDirectory(const std::wstring& filePath);

}  // namespace rr
