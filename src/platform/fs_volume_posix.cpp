#include <sys/statvfs.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/fs.h"
#include "platform/path_posix.h"

namespace rr::platform {

bool FreeSpaceOnVolume(const std::wstring& path, uint64_t& bytes) {
    bytes = 0;
    struct statvfs st {};
    if (::statvfs(posix::ToNativePath(path).c_str(), &st) != 0) {
        posix::SetLastErrorFromErrno(errno);
        return false;
    }
    // f_bavail, not f_bfree: the blocks kept for root are not ours to fill.
    bytes = static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
    return true;
}

std::string NativePathUtf8(const std::wstring& path) {
    return posix::ToNativePath(path);
}

}  // namespace rr::platform
