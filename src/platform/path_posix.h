#pragma once
// Internal to the POSIX layer: the core holds "\home\ana\Game"; the system
// wants "/home/ana/Game".
#include <string>

namespace rr::platform::posix {

std::string ToNativePath(const std::wstring& path);
std::wstring FromNativePath(const std::string& path);

// Makes `path` absolute against `currentDirectory` (itself absolute, in the
// core's form) and folds "." and ".." segments, by the text alone. Knows the
// Windows roots (drive letters, UNC shares) as well as "\home\ana"; ".." never
// climbs above a root. False for an empty path or a relative current directory.
bool ResolvePathText(const std::wstring& path, const std::wstring& currentDirectory,
                     std::wstring& full);

}  // namespace rr::platform::posix
