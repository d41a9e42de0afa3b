#pragma once
// Internal to the POSIX layer: the core holds "\home\ana\Game"; the system
// wants "/home/ana/Game". Also the errno translation.
#include <string>

namespace rr::platform::posix {

std::string ToNativePath(const std::wstring& path);
std::wstring FromNativePath(const std::string& path);

// Records errno, translated to the Windows code, as LastError().
void SetLastErrorFromErrno(int err);

}  // namespace rr::platform::posix
