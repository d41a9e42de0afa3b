#include <windows.h>

#include "platform/fs.h"
#include "platform/text.h"

namespace rr::platform {

bool FreeSpaceOnVolume(const std::wstring& path, uint64_t& bytes) {
    bytes = 0;
    // A UNC folder is only taken with a trailing backslash; any folder is.
    std::wstring folder = path;
    if (folder.empty() || folder.back() != L'\\') {
        folder.push_back(L'\\');
    }
    ULARGE_INTEGER available{};
    // The first figure honours per-user quotas, which the total would not.
    if (!::GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) {
        return false;
    }
    bytes = available.QuadPart;
    return true;
}

std::string NativePathUtf8(const std::wstring& path) {
    return WideToUtf8(path);
}

}  // namespace rr::platform
