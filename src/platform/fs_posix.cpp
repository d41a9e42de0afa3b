#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/fs_handles_posix.h"
#include "platform/posix_path.h"
#include "platform/text.h"

namespace rr::platform {

using posix::FromNativePath;
using posix::SetLastErrorFromErrno;
using posix::ToNativePath;

namespace {

bool FailErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

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

int RetryClose(int fd) {
    int rc = ::close(fd);
    return (rc != 0 && errno == EINTR) ? 0 : rc;
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

bool RemoveEmptyDirectory(const std::wstring& path) {
    std::string native = ToNativePath(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        SetLastErrorCode(kErrorDirectory);
        return false;
    }
    if (::rmdir(native.c_str()) != 0) {
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

bool SetNormalAttributes(const std::wstring& path) {
    std::string native = ToNativePath(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) {
        return FailErrno();
    }
    if (S_ISLNK(st.st_mode)) {
        return true;  // a link has no permission bits of its own; never touch the target
    }
    mode_t wanted = st.st_mode | S_IWUSR | S_IRUSR;
    if (S_ISDIR(st.st_mode)) {
        wanted |= S_IXUSR;
    }
    if ((wanted & 07777) != (st.st_mode & 07777) && ::chmod(native.c_str(), wanted & 07777) != 0) {
        return FailErrno();
    }
    return true;
}

bool CopyFileOver(const std::wstring& from, const std::wstring& to) {
    std::string src = ToNativePath(from);
    std::string dst = ToNativePath(to);
    int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return FailErrno();
    }
    struct stat st {};
    if (::fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
        int err = errno;
        RetryClose(in);
        SetLastErrorFromErrno(S_ISDIR(st.st_mode) ? EACCES : err);
        return false;
    }
    // A read-only destination refuses the copy as on Windows, even for root;
    // a link at the destination is never written through.
    struct stat dst_st {};
    if (::lstat(dst.c_str(), &dst_st) == 0) {
        if (S_ISLNK(dst_st.st_mode) || S_ISDIR(dst_st.st_mode) || (dst_st.st_mode & S_IWUSR) == 0) {
            RetryClose(in);
            SetLastErrorCode(kErrorAccessDenied);
            return false;
        }
    }
    int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC,
                     st.st_mode & 07777);
    if (out < 0) {
        int err = errno;
        RetryClose(in);
        SetLastErrorFromErrno(err);
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool ok = true;
    int err = 0;
    for (;;) {
        ssize_t got = ::read(in, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            err = errno;
            break;
        }
        if (got == 0)
            break;
        ssize_t done = 0;
        while (done < got) {
            ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(got - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                err = errno;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    RetryClose(in);
    if (RetryClose(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        SetLastErrorFromErrno(err);
    }
    return ok;
}

bool MoveFileTo(const std::wstring& from, const std::wstring& to, bool replaceExisting) {
    std::string src = ToNativePath(from);
    std::string dst = ToNativePath(to);
    struct stat st {};
    if (::lstat(dst.c_str(), &st) == 0) {
        if (!replaceExisting) {
            SetLastErrorCode(kErrorAlreadyExists);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            SetLastErrorCode(kErrorAccessDenied);
            return false;
        }
    }
    if (::rename(src.c_str(), dst.c_str()) != 0) {
        return FailErrno();
    }
    return true;
}

struct DirectoryListing::Impl {
    DIR* dir = nullptr;
    std::string native;
    ~Impl() {
        if (dir)
            ::closedir(dir);
    }
};

DirectoryListing::DirectoryListing() : impl_(std::make_unique<Impl>()) {}
DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::Open(const std::wstring& directory) {
    if (impl_->dir) {
        ::closedir(impl_->dir);
        impl_->dir = nullptr;
    }
    impl_->native = ToNativePath(directory);
    // Like FindFirstFileW on dir\*, a link to a directory is listed through;
    // callers decide from the attributes whether they enter links at all.
    impl_->dir = ::opendir(impl_->native.c_str());
    if (!impl_->dir) {
        return FailErrno();
    }
    return true;
}

bool DirectoryListing::Next(DirEntry& entry) {
    if (!impl_->dir) {
        return false;
    }
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(impl_->dir);
        if (!d) {
            return false;
        }
        std::string name = d->d_name;
        if (name.find('\\') != std::string::npos) {
            continue;
        }
        std::wstring wide = Utf8ToWide(name);
        if (WideToUtf8(wide) != name) {
            continue;  // not valid UTF-8: the core could not name it again
        }
        entry.name = wide;
        entry.attributes = 0;
        std::string child = impl_->native;
        if (child.empty() || child.back() != '/')
            child.push_back('/');
        child += name;
        struct stat st {};
        if (::lstat(child.c_str(), &st) == 0) {
            entry.attributes = AttributesOf(child, st);
        } else {
            entry.attributes = kAttrNormal;
        }
        return true;
    }
}

FileReader::FileReader() : impl_(std::make_unique<Impl>()) {}
FileReader::~FileReader() = default;

bool FileReader::Open(const std::wstring& path) {
    Close();
    int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
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

bool FileWriter::Create(const std::wstring& path) {
    Close();
    int fd = ::open(ToNativePath(path).c_str(),
                    O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailErrno();
    }
    impl_->fd = fd;
    return true;
}

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

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    int fd = ::open(ToNativePath(path).c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailErrno();
    }
    ssize_t w = ::write(fd, bytes.data(), bytes.size());
    RetryClose(fd);
    return w == static_cast<ssize_t>(bytes.size());
}

}  // namespace rr::platform
