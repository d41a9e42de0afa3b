#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/fs.h"
#include "platform/fs_handles_posix.h"
#include "platform/path_posix.h"

namespace rr::platform {

using posix::FailErrno;
using posix::ToNativePath;

namespace {

uint32_t AttributesOf(const std::string& native, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        uint32_t attrs = kAttrReparsePoint;
        struct stat target {};
        if (::stat(native.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
            attrs |= kAttrDirectory;
        }
        return attrs;
    }
    uint32_t attrs = 0;
    if (S_ISDIR(st.st_mode)) {
        attrs |= kAttrDirectory;
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        attrs |= kAttrReadOnly;
    }
    return attrs == 0 ? kAttrNormal : attrs;
}

}  // namespace

bool ReadFileInfo(const std::wstring& path, FileInfo& info) {
    info = FileInfo{};
    std::string native = ToNativePath(path);
    if (native.empty()) {
        SetLastErrorCode(kErrorPathNotFound);
        return false;
    }
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        return FailErrno();
    }
    info.attributes = AttributesOf(native, st);
    info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool MakeDirectory(const std::wstring& path) {
    if (::mkdir(ToNativePath(path).c_str(), 0777) != 0) {
        return FailErrno();
    }
    return true;
}

bool RemoveFile(const std::wstring& path) {
    std::string native = ToNativePath(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        return FailErrno();
    }
    if (S_ISDIR(st.st_mode)) {
        SetLastErrorCode(kErrorAccessDenied);
        return false;
    }
    if (::unlink(native.c_str()) != 0) {
        return FailErrno();
    }
    return true;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    int fd = ::open(ToNativePath(path).c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailErrno();
    }
    ssize_t w = ::write(fd, bytes.data(), bytes.size());
    posix::RetryClose(fd);
    return w == static_cast<ssize_t>(bytes.size());
}

}  // namespace rr::platform
