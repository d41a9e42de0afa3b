#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/dir_entry_posix.h"
#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/fs.h"
#include "platform/fs_handles_posix.h"
#include "platform/path_posix.h"
#include "platform/text.h"

namespace rr::platform {

using posix::Fail;
using posix::FailErrno;
using posix::FailOpenAt;
using posix::MountKey;
using posix::NativeName;
using posix::SetLastErrorFromErrno;

namespace {

void CloseFd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

// Closes `fd` and records `err` (an errno saved before the close) as LastError().
bool CloseAndFail(int& fd, int err) {
    CloseFd(fd);
    fd = -1;
    SetLastErrorFromErrno(err);
    return false;
}

}  // namespace

struct DirHandle::Impl {
    int fd = -1;
    MountKey mount;  // of the folder this handle holds
    ~Impl() { CloseFd(fd); }

    // Stat of an entry, with a mount root reported as a link (what a
    // Windows volume mount point is: a reparse point).
    bool StatEntry(const std::string& name, struct stat& st, bool& otherMount) const {
        MountKey key;
        bool mountRoot = false;
        if (!posix::StatxAt(fd, name.c_str(), st, key, mountRoot)) {
            return false;
        }
        otherMount = !S_ISLNK(st.st_mode) && posix::OnOtherMount(mount, key, mountRoot);
        return true;
    }

    // StatEntry of the entry a DirHandle operation names, `native` its name
    // in the system's form; failures set LastError().
    bool StatNamed(const std::wstring& name, std::string& native, struct stat& st,
                   bool& otherMount) const {
        if (!NativeName(name, native)) {
            return false;
        }
        return StatEntry(native, st, otherMount) || FailErrno();
    }

    uint32_t EntryAttributes(const std::string& name, const struct stat& st,
                             bool otherMount) const {
        if (otherMount) {
            return kAttrReparsePoint | (S_ISDIR(st.st_mode) ? kAttrDirectory : 0);
        }
        return posix::AttributesAt(fd, name, st);
    }

    // The one way an operation opens an entry: openat without following a
    // link, and a descriptor that lies on another mount (swapped in since the
    // last look) closed and refused as a link. `key` tells where the opened
    // entry lies, `seen` (when given) what the descriptor's own stat showed.
    bool OpenEntry(const std::string& name, int flags, int& opened, MountKey& key, mode_t mode = 0,
                   struct stat* seen = nullptr) const {
        opened = ::openat(fd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (opened < 0) {
            return FailOpenAt(fd, name);
        }
        struct stat st {};
        bool mountRoot = false;
        if (!posix::StatxAt(opened, "", st, key, mountRoot)) {
            return CloseAndFail(opened, errno);
        }
        if (posix::OnOtherMount(mount, key, mountRoot)) {
            CloseFd(opened);
            opened = -1;
            return Fail(kErrorStoppedOnSymlink);
        }
        if (seen) {
            *seen = st;
        }
        return true;
    }

    // OpenEntry of a regular file named by a DirHandle operation: a folder
    // there is refused with access denied, anything else that is not a file
    // with `otherKind`.
    bool OpenRegularFile(const std::wstring& name, int flags, mode_t mode, uint32_t otherKind,
                         int& opened) const {
        std::string native;
        MountKey key;
        struct stat st {};
        if (!NativeName(name, native) || !OpenEntry(native, flags, opened, key, mode, &st)) {
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            CloseFd(opened);
            opened = -1;
            return Fail(S_ISDIR(st.st_mode) ? kErrorAccessDenied : otherKind);
        }
        return true;
    }
};

DirHandle::DirHandle() : impl_(std::make_unique<Impl>()) {}
DirHandle::~DirHandle() = default;
DirHandle::DirHandle(DirHandle&& other) noexcept : impl_(std::make_unique<Impl>()) {
    std::swap(impl_->fd, other.impl_->fd);
    std::swap(impl_->mount, other.impl_->mount);
}
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(impl_->fd, other.impl_->fd);
        std::swap(impl_->mount, other.impl_->mount);
    }
    return *this;
}

bool DirHandle::OpenAnchor(const std::wstring& path) {
    Close();
    std::string native = posix::ToNativePath(path);
    if (native.empty()) {
        return Fail(kErrorPathNotFound);
    }
    int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOTDIR) {
            return Fail(kErrorDirectory);
        }
        return FailErrno();
    }
    struct stat st {};
    bool mountRoot = false;
    if (!posix::StatxAt(fd, "", st, impl_->mount, mountRoot)) {
        return CloseAndFail(fd, errno);
    }
    impl_->fd = fd;
    return true;
}

bool DirHandle::OpenChild(const DirHandle& parent, const std::wstring& name) {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    if (parent.impl_->fd < 0) {
        return Fail(kErrorInvalidHandle);
    }
    int fd = -1;
    MountKey key;
    if (!parent.impl_->OpenEntry(native, O_RDONLY | O_DIRECTORY, fd, key)) {
        return false;
    }
    Close();
    impl_->fd = fd;
    impl_->mount = key;
    return true;
}

bool DirHandle::IsOpen() const {
    return impl_->fd >= 0;
}

void DirHandle::Close() {
    CloseFd(impl_->fd);
    impl_->fd = -1;
}

bool DirHandle::Stat(const std::wstring& name, FileInfo& info) const {
    info = FileInfo{};
    std::string native;
    struct stat st {};
    bool otherMount = false;
    if (!impl_->StatNamed(name, native, st, otherMount)) {
        return false;
    }
    info.attributes = impl_->EntryAttributes(native, st, otherMount);
    info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool DirHandle::List(std::vector<DirEntry>& entries, ListDetail detail) const {
    entries.clear();
    if (impl_->fd < 0) {
        return Fail(kErrorInvalidHandle);
    }
    // fdopendir takes the descriptor over; list through a duplicate that
    // still names the very folder this handle holds.
    int dup = ::openat(impl_->fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dup < 0) {
        return FailErrno();
    }
    DIR* dir = ::fdopendir(dup);
    if (!dir) {
        return CloseAndFail(dup, errno);
    }
    for (;;) {
        errno = 0;
        struct dirent* d = ::readdir(dir);
        if (!d) {
            int err = errno;
            ::closedir(dir);
            if (err != 0) {
                SetLastErrorFromErrno(err);
                return false;
            }
            return true;
        }
        std::string name = d->d_name;
        if (name == "." || name == ".." || name.find('\\') != std::string::npos) {
            continue;
        }
        std::wstring wide = Utf8ToWide(name);
        // An ASCII name converts back to itself; any other is checked.
        if (!IsAscii(name) && WideToUtf8(wide) != name) {
            continue;  // not valid UTF-8: the core could not name it again
        }
        DirEntry entry;
        entry.name = std::move(wide);
        if (detail == ListDetail::kKinds && d->d_type == DT_REG) {
            // A plain file by its directory entry: a mount over that name can
            // only be a file as well (the kernel mounts files on files), so
            // no folder or link is missed.
            entry.attributes = kAttrNormal;
        } else {
            struct stat st {};
            bool otherMount = false;
            entry.attributes = impl_->StatEntry(name, st, otherMount)
                                   ? impl_->EntryAttributes(name, st, otherMount)
                                   : kAttrNormal;
        }
        entries.push_back(std::move(entry));
    }
}

bool DirHandle::MakeChildDirectory(const std::wstring& name) const {
    std::string native;
    return NativeName(name, native) &&
           (::mkdirat(impl_->fd, native.c_str(), 0777) == 0 || FailErrno());
}

bool DirHandle::RemoveChild(const std::wstring& name) const {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    // unlinkat without AT_REMOVEDIR never removes a folder and removes a
    // link as itself.
    if (::unlinkat(impl_->fd, native.c_str(), 0) == 0) {
        return true;
    }
    return errno == EISDIR ? Fail(kErrorAccessDenied) : FailErrno();
}

bool DirHandle::RemoveChildDirectory(const std::wstring& name) const {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    // rmdir of a link fails with ENOTDIR, of a mount point with EBUSY: the
    // entry and what lies behind it stay.
    if (::unlinkat(impl_->fd, native.c_str(), AT_REMOVEDIR) != 0) {
        const int err = errno;
        struct stat st {};
        bool otherMount = false;
        if (err == EBUSY && impl_->StatEntry(native, st, otherMount) && otherMount) {
            return Fail(kErrorStoppedOnSymlink);
        }
        errno = err;
        return FailOpenAt(impl_->fd, native);
    }
    return true;
}

bool DirHandle::Rename(const std::wstring& name, const DirHandle& toDir, const std::wstring& toName,
                       bool replaceExisting) const {
    std::string from;
    std::string to;
    if (!NativeName(name, from) || !NativeName(toName, to)) {
        return false;
    }
    struct stat st {};
    if (::fstatat(toDir.impl_->fd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!replaceExisting) {
            return Fail(kErrorAlreadyExists);
        }
        if (S_ISDIR(st.st_mode)) {
            return Fail(kErrorAccessDenied);
        }
    }
    if (!replaceExisting) {
        // renameat2 with RENAME_NOREPLACE closes the gap between the check
        // and the rename where the file system supports it.
        if (::renameat2(impl_->fd, from.c_str(), toDir.impl_->fd, to.c_str(), RENAME_NOREPLACE) ==
            0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            if (errno == EEXIST) {
                return Fail(kErrorAlreadyExists);
            }
            return FailErrno();
        }
    }
    if (::renameat(impl_->fd, from.c_str(), toDir.impl_->fd, to.c_str()) != 0) {
        return FailErrno();
    }
    return true;
}

bool DirHandle::SetNormalAttributes(const std::wstring& name) const {
    std::string native;
    struct stat st {};
    bool otherMount = false;
    if (!impl_->StatNamed(name, native, st, otherMount)) {
        return false;
    }
    if ((!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) || otherMount) {
        return true;  // links, mounts and devices: never touch what lies behind them
    }
    mode_t wanted = st.st_mode | S_IWUSR | S_IRUSR;
    if (S_ISDIR(st.st_mode)) {
        wanted |= S_IXUSR;
    }
    if ((wanted & 07777) == (st.st_mode & 07777)) {
        return true;
    }
    // fchmodat cannot refuse links on Linux; go through a descriptor opened
    // without following one.
    int fd = -1;
    MountKey key;
    if (!impl_->OpenEntry(native, O_RDONLY | O_NONBLOCK, fd, key)) {
        return false;
    }
    int rc = ::fchmod(fd, wanted & 07777);
    int err = errno;
    CloseFd(fd);
    if (rc != 0) {
        SetLastErrorFromErrno(err);
        return false;
    }
    return true;
}

bool DirHandle::OpenFileForRead(const std::wstring& name, FileReader& reader) const {
    reader.Close();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int fd = -1;
    if (!impl_->OpenRegularFile(name, O_RDONLY | O_NONBLOCK, 0, kErrorNotSupported, fd)) {
        return false;
    }
    // O_NONBLOCK may stay: it changes nothing for a regular file, the only
    // kind let through.
    reader.impl_->fd = fd;
    return true;
}

bool DirHandle::CreateNewFile(const std::wstring& name, FileWriter& writer) const {
    writer.Close();
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    int fd = ::openat(impl_->fd, native.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailErrno();
    }
    writer.impl_->fd = fd;
    return true;
}

bool DirHandle::OpenFileForAppend(const std::wstring& name, FileWriter& writer,
                                  uint64_t& size) const {
    writer.Close();
    size = 0;
    int fd = -1;
    if (!impl_->OpenRegularFile(name, O_WRONLY | O_APPEND | O_NONBLOCK, 0, kErrorNotSupported,
                                fd)) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return CloseAndFail(fd, errno);
    }
    if (st.st_nlink != 1) {
        return CloseAndFail(fd, EACCES);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    size = static_cast<uint64_t>(st.st_size);
    writer.impl_->fd = fd;
    return true;
}

bool DirHandle::AppendToChild(const std::wstring& name, const std::string& bytes) const {
    int fd = -1;
    if (!impl_->OpenRegularFile(name, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK, 0666,
                                kErrorAccessDenied, fd)) {
        return false;
    }
    ssize_t w = ::write(fd, bytes.data(), bytes.size());
    int err = errno;
    CloseFd(fd);
    if (w != static_cast<ssize_t>(bytes.size())) {
        SetLastErrorFromErrno(w < 0 ? err : ENOSPC);
        return false;
    }
    return true;
}

}  // namespace rr::platform
