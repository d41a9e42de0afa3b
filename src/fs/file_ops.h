#pragma once
#include <string>

#include "base/error.h"

namespace rr {

// Creates a directory with all missing ancestors; true when it exists
// afterwards. On failure `err` holds the code of the platform call that failed.
bool CreateDirectoryTree(const std::wstring& path, Error* err = nullptr);
bool EnsureParentDirectory(const std::wstring& filePath);

}  // namespace rr
