#pragma once
#include <string>

namespace rr::platform {

// Textual resolution used where the platform has no GetFullPathNameW: makes
// `path` absolute against `currentDirectory` (itself absolute, in the core's
// form) and folds "." and ".." segments. Understands the Windows forms (drive
// letters, UNC roots) and the POSIX form held as "\home\ana". False for an
// empty path.
bool ResolveFullPathText(const std::wstring& path, const std::wstring& currentDirectory,
                         std::wstring& full);

}  // namespace rr::platform
