#include <windows.h>

#include <string>

#include "platform/fs.h"
#include "platform/fs_handles_win32.h"

namespace rr::platform {

bool ReadFileInfo(const std::wstring& path, FileInfo& info) {
    info = FileInfo{};
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return false;
    }
    info.attributes = data.dwFileAttributes;
    info.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool MakeDirectory(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) != FALSE;
}

bool RemoveFile(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) != FALSE;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    win32::Handle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    DWORD written = 0;
    BOOL ok =
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

}  // namespace rr::platform
