#include "platform/dir_entry_posix.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "platform/error.h"
#include "platform/error_posix.h"
#include "platform/fs.h"
#include "platform/text.h"

namespace rr::platform::posix {

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

}  // namespace rr::platform::posix
