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
using posix::RetryClose;

FileReader::FileReader() : impl_(std::make_unique<Impl>()) {}
FileReader::~FileReader() = default;

bool FileReader::Open(const std::wstring& path) {
    Close();
    int fd = ::open(posix::ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return FailErrno();
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        RetryClose(fd);
        SetLastErrorCode(kErrorAccessDenied);
        return false;
    }
    impl_->fd = fd;
    return true;
}

bool FileReader::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    if (impl_->fd < 0) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    for (;;) {
        ssize_t n = ::read(impl_->fd, buffer, capacity);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return FailErrno();
        }
        got = static_cast<size_t>(n);
        return true;
    }
}

void FileReader::Close() {
    if (impl_->fd >= 0) {
        RetryClose(impl_->fd);
        impl_->fd = -1;
    }
}

FileWriter::FileWriter() : impl_(std::make_unique<Impl>()) {}
FileWriter::~FileWriter() = default;

bool FileWriter::Write(const void* data, size_t size) {
    if (impl_->fd < 0) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    const char* p = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        ssize_t w = ::write(impl_->fd, p + done, size - done);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return FailErrno();
        }
        if (w == 0) {
            SetLastErrorCode(kErrorDiskFull);
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool FileWriter::Close() {
    if (impl_->fd < 0) {
        return true;
    }
    int rc = RetryClose(impl_->fd);
    impl_->fd = -1;
    if (rc != 0) {
        return FailErrno();
    }
    return true;
}

bool FileWriter::Flush() {
    if (impl_->fd < 0) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    if (::fsync(impl_->fd) != 0) {
        return FailErrno();
    }
    return true;
}

bool FileWriter::CopyModeFrom(const FileReader& source) {
    struct stat st {};
    if (impl_->fd < 0 || source.impl_->fd < 0 || ::fstat(source.impl_->fd, &st) != 0) {
        return FailErrno();
    }
    if (::fchmod(impl_->fd, st.st_mode & 0777) != 0) {
        return FailErrno();
    }
    return true;
}

bool FileWriter::MakeExecutable() {
    struct stat st {};
    if (impl_->fd < 0 || ::fstat(impl_->fd, &st) != 0) {
        return FailErrno();
    }
    const mode_t mode = st.st_mode & 0777;
    if (::fchmod(impl_->fd, mode | ((mode & 0444) >> 2)) != 0) {
        return FailErrno();
    }
    return true;
}

}  // namespace rr::platform
