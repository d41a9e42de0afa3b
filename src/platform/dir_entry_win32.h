#pragma once
// Internal to the Win32 layer: one entry of a folder that a DirHandle holds,
// opened relative to the folder's handle and checked for what it really is.
#include <windows.h>
#include <winternl.h>

#include <string>

#include "platform/fs_handles_win32.h"

namespace rr::platform::win32 {

constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kDirectoryAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// The Win32 error of an NT status as LastError(), and false.
bool FailWithStatus(NTSTATUS status);

// One component only: a separator would let the system walk (and follow links)
// on our behalf, a colon would name an alternate data stream.
bool CheckName(const std::wstring& name);

// NtCreateFile of `name` relative to the folder handle `root`; `out` takes the
// handle on success.
NTSTATUS OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, Handle& out);

// The NT form of the path a handle stands for, without a trailing separator.
bool FinalPath(HANDLE h, std::wstring& out);

// What an opened entry is. A link is either opened as itself (Windows) or was
// followed by the system (Wine); in the second case the handle is the target's
// and must only be closed.
struct EntryKind {
    DWORD attributes = 0;
    bool link = false;
    bool followed = false;
    bool device = false;
    bool directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    bool regular() const { return !link && !device && !directory(); }
};

// Reads what `h`, opened as `name` in the folder `parent` (final path
// `parentPath`), is; an entry reached through a link is reported as a link.
bool FillKind(HANDLE parent, const std::wstring& parentPath, HANDLE h, const std::wstring& name,
              EntryKind& kind);

// Clears read-only, hidden and system, keeping the other attributes.
bool ClearOwnAttributes(HANDLE h, DWORD attributes);

// Marks the entry for deletion and closes the handle, which deletes it.
bool DeleteOnClose(Handle& h);

// Deletes the opened entry: read-only, hidden and system are cleared first,
// as Windows refuses to delete a read-only entry.
bool DeleteEntry(Handle& h, DWORD attributes);

// Renames the entry behind `h` to `toName` in the folder `toDir`.
bool RenameHandle(HANDLE h, HANDLE toDir, const std::wstring& toName, bool replaceExisting);

// Removes the entry `name` when the system will only open what it points to.
bool ReplaceEntryAndDelete(HANDLE dir, const std::wstring& name);

}  // namespace rr::platform::win32
