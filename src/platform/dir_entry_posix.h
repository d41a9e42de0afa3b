#pragma once
// Internal to the POSIX layer: one entry of a folder that a DirHandle holds,
// named relative to the folder's descriptor and checked for what it really is.
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace rr::platform::posix {

// A name the core hands in is one component; anything else would let a
// caller reach past the handle. `native` is its UTF-8 form.
bool NativeName(const std::wstring& name, std::string& native);

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
bool StatxAt(int dirFd, const char* name, struct stat& st, MountKey& key, bool& mountRoot);

// True when an entry of the folder `folder` lies on another mount than the
// folder itself: the root of a mount below the client folder is refused like
// a link, whatever the file system behind it.
bool OnOtherMount(const MountKey& folder, const MountKey& entry, bool entryIsMountRoot);

// The core's attributes of the entry `name` of `dirFd` that `st` describes.
uint32_t AttributesAt(int dirFd, const std::string& name, const struct stat& st);

// What an open with O_NOFOLLOW (or an rmdir) reports for a link at the name:
// ELOOP, or ENOTDIR. Both become the one "stopped on a link" code. Reads errno.
bool FailOpenAt(int dirFd, const std::string& name);

}  // namespace rr::platform::posix
