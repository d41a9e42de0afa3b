#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/fs.h"
#include "platform/fs_handles_posix.h"
#include "platform/posix_path.h"
#include "platform/text.h"

namespace rr::platform {

using posix::SetLastErrorFromErrno;
using posix::ToNativePath;

namespace {

bool FailErrno() {
    SetLastErrorFromErrno(errno);
    return false;
}

bool Fail(uint32_t code) {
    SetLastErrorCode(code);
    return false;
}

void CloseFd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

// A name the core hands in is one component; anything else would let a
// caller reach past the handle.
bool NativeName(const std::wstring& name, std::string& native) {
    if (name.empty() || name == L"." || name == L".." ||
        name.find_first_of(L"\\/") != std::wstring::npos) {
        return Fail(kErrorInvalidName);
    }
    native = WideToUtf8(name);
    if (native.empty() || native.find('\0') != std::string::npos) {
        return Fail(kErrorInvalidName);
    }
    return true;
}

// Where an entry lies: its device, and its mount where the kernel tells
// (statx, Linux 5.8 and later). A bind mount of a folder of the same file
// system keeps the device, so the device alone cannot see it.
struct MountKey {
    uint64_t device = 0;
    uint64_t mountId = 0;
    bool haveMountId = false;
};

// statx of `name` in `dirFd` (or of `dirFd` itself for an empty name),
// never following a link. Falls back to fstatat where statx is missing.
bool StatxAt(int dirFd, const char* name, struct stat& st, MountKey& key, bool& mountRoot) {
    mountRoot = false;
    const int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    struct statx stx {};
    if (::statx(dirFd, name, flags, STATX_BASIC_STATS | STATX_MNT_ID, &stx) == 0) {
        st = {};
        st.st_mode = stx.stx_mode;
        st.st_size = static_cast<off_t>(stx.stx_size);
        st.st_nlink = stx.stx_nlink;
        key.device = (static_cast<uint64_t>(stx.stx_dev_major) << 32) | stx.stx_dev_minor;
        key.haveMountId = (stx.stx_mask & STATX_MNT_ID) != 0;
        key.mountId = key.haveMountId ? stx.stx_mnt_id : 0;
        mountRoot = (stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                    (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
        return true;
    }
    if (errno != ENOSYS) {
        return false;
    }
    if (::fstatat(dirFd, name, &st, flags & ~AT_NO_AUTOMOUNT) != 0) {
        return false;
    }
    key.device = static_cast<uint64_t>(st.st_dev);
    key.haveMountId = false;
    return true;
}

// True when an entry of the folder `folder` lies on another mount than the
// folder itself: the root of a mount below the client folder is refused like
// a link, whatever the file system behind it.
bool OnOtherMount(const MountKey& folder, const MountKey& entry, bool entryIsMountRoot) {
    if (entry.device != folder.device) {
        return true;
    }
    if (entry.haveMountId && folder.haveMountId) {
        return entry.mountId != folder.mountId;
    }
    return entryIsMountRoot;
}

uint32_t AttributesAt(int dirFd, const std::string& name, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        uint32_t attrs = kAttrReparsePoint;
        struct stat target {};
        if (::fstatat(dirFd, name.c_str(), &target, 0) == 0 && S_ISDIR(target.st_mode)) {
            attrs |= kAttrDirectory;
        }
        return attrs;
    }
    uint32_t attrs = 0;
    if (S_ISDIR(st.st_mode)) {
        attrs |= kAttrDirectory;
    } else if (!S_ISREG(st.st_mode)) {
        attrs |= kAttrDevice;
    }
    if ((st.st_mode & S_IWUSR) == 0) {
        attrs |= kAttrReadOnly;
    }
    return attrs == 0 ? kAttrNormal : attrs;
}

// What an open with O_NOFOLLOW (or an rmdir) reports for a link at the name:
// ELOOP, or ENOTDIR. Both become the one "stopped on a link" code.
bool FailOpenAt(int dirFd, const std::string& name) {
    int err = errno;
    struct stat st {};
    if ((err == ELOOP || err == ENOTDIR) &&
        ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
        return Fail(kErrorStoppedOnSymlink);
    }
    if (err == ENOTDIR) {
        return Fail(kErrorDirectory);
    }
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
        if (!StatxAt(fd, name.c_str(), st, key, mountRoot)) {
            return false;
        }
        otherMount = !S_ISLNK(st.st_mode) && OnOtherMount(mount, key, mountRoot);
        return true;
    }

    uint32_t EntryAttributes(const std::string& name, const struct stat& st,
                             bool otherMount) const {
        if (otherMount) {
            return kAttrReparsePoint | (S_ISDIR(st.st_mode) ? kAttrDirectory : 0);
        }
        return AttributesAt(fd, name, st);
    }

    // A descriptor opened through this folder that lies on another mount
    // (swapped in since the last look) is closed and refused as a link.
    // `key` tells where the opened entry lies.
    bool RefuseOtherMount(int& opened) const {
        MountKey key;
        return RefuseOtherMount(opened, key);
    }
    bool RefuseOtherMount(int& opened, MountKey& key) const {
        struct stat st {};
        bool mountRoot = false;
        if (!StatxAt(opened, "", st, key, mountRoot)) {
            const int err = errno;
            CloseFd(opened);
            opened = -1;
            SetLastErrorFromErrno(err);
            return false;
        }
        if (OnOtherMount(mount, key, mountRoot)) {
            CloseFd(opened);
            opened = -1;
            return Fail(kErrorStoppedOnSymlink);
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
    std::string native = ToNativePath(path);
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
    if (!StatxAt(fd, "", st, impl_->mount, mountRoot)) {
        const int err = errno;
        CloseFd(fd);
        SetLastErrorFromErrno(err);
        return false;
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
    int fd =
        ::openat(parent.impl_->fd, native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return FailOpenAt(parent.impl_->fd, native);
    }
    MountKey key;
    if (!parent.impl_->RefuseOtherMount(fd, key)) {
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
    if (!NativeName(name, native)) {
        return false;
    }
    struct stat st {};
    bool otherMount = false;
    if (!impl_->StatEntry(native, st, otherMount)) {
        return FailErrno();
    }
    info.attributes = impl_->EntryAttributes(native, st, otherMount);
    info.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

bool DirHandle::List(std::vector<DirEntry>& entries) const {
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
        int err = errno;
        CloseFd(dup);
        SetLastErrorFromErrno(err);
        return false;
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
        if (WideToUtf8(wide) != name) {
            continue;  // not valid UTF-8: the core could not name it again
        }
        DirEntry entry;
        entry.name = wide;
        struct stat st {};
        bool otherMount = false;
        entry.attributes = impl_->StatEntry(name, st, otherMount)
                               ? impl_->EntryAttributes(name, st, otherMount)
                               : kAttrNormal;
        entries.push_back(std::move(entry));
    }
}

bool DirHandle::MakeChildDirectory(const std::wstring& name) const {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    if (::mkdirat(impl_->fd, native.c_str(), 0777) != 0) {
        return FailErrno();
    }
    return true;
}

bool DirHandle::RemoveChild(const std::wstring& name) const {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    // unlinkat without AT_REMOVEDIR never removes a folder and removes a
    // link as itself.
    if (::unlinkat(impl_->fd, native.c_str(), 0) != 0) {
        if (errno == EISDIR) {
            return Fail(kErrorAccessDenied);
        }
        return FailErrno();
    }
    return true;
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
    if (!NativeName(name, native)) {
        return false;
    }
    struct stat st {};
    bool otherMount = false;
    if (!impl_->StatEntry(native, st, otherMount)) {
        return FailErrno();
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
    int fd = ::openat(impl_->fd, native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return FailOpenAt(impl_->fd, native);
    }
    if (!impl_->RefuseOtherMount(fd)) {
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
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    int fd = ::openat(impl_->fd, native.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return FailOpenAt(impl_->fd, native);
    }
    if (!impl_->RefuseOtherMount(fd)) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseFd(fd);
        return Fail(S_ISDIR(st.st_mode) ? kErrorAccessDenied : kErrorNotSupported);
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
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

bool DirHandle::AppendToChild(const std::wstring& name, const std::string& bytes) const {
    std::string native;
    if (!NativeName(name, native)) {
        return false;
    }
    int fd = ::openat(impl_->fd, native.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailOpenAt(impl_->fd, native);
    }
    if (!impl_->RefuseOtherMount(fd)) {
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        CloseFd(fd);
        return Fail(kErrorAccessDenied);
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
