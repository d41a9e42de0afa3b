#include <windows.h>
#include <winternl.h>

#include <string>
#include <utility>
#include <vector>

#include "platform/dir_entry_win32.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/fs_handles_win32.h"

// Every entry is opened relative to the directory handle with NtCreateFile
// (RootDirectory + one name), so a folder renamed or swapped above us cannot
// redirect the walk. FILE_OPEN_REPARSE_POINT makes Windows open a link as
// itself. Wine 8 ignores that flag and opens what a Unix link points to (the
// handle then reports the target's attributes, and deleting or renaming
// through it acts on the target), so every open is also checked for identity:
// the handle's final path must be the directory's final path plus the name.
// A mismatch means the system followed a link, and the handle is not used to
// change anything.

namespace rr::platform {

using win32::EntryKind;
using win32::FailWith;
using win32::FailWithStatus;
using win32::Handle;
using win32::kShareAll;

namespace {

// How an operation opens the entry it works on.
struct OpenRequest {
    ACCESS_MASK access;
    ULONG share;
    ULONG disposition;
    ULONG options;
};

// Whatever is at the name, a link as itself.
OpenRequest AsItself(ACCESS_MASK access) {
    return {access, kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT};
}

constexpr ACCESS_MASK kDeleteAccess = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES;

// What an operation accepts at the name it opened.
enum class Expect {
    kNew,     // made by this very open: nothing there to check
    kAny,     // any entry; the caller looks at the EntryKind
    kFolder,  // a real folder; a link there is kErrorStoppedOnSymlink
    kFile,    // a regular file; a link there is kErrorStoppedOnSymlink
};

}  // namespace

struct DirHandle::Impl {
    Handle dir;
    std::wstring path;  // final NT path when opened, no trailing separator

    // The folder is open and `name` is one component.
    bool Usable(const std::wstring& name) const {
        if (!dir.valid()) {
            return FailWith(ERROR_INVALID_HANDLE);
        }
        return win32::CheckName(name);
    }

    NTSTATUS OpenRaw(const std::wstring& name, const OpenRequest& how, Handle& h) const {
        return win32::OpenRelative(dir.get(), name, how.access, how.share, how.disposition,
                                   how.options, h);
    }

    // The one way an operation reaches an entry: checks the name, opens it
    // relative to this folder, reads what was opened and refuses what
    // `expect` does not take.
    bool Open(const std::wstring& name, const OpenRequest& how, Expect expect, Handle& h,
              EntryKind& kind) const {
        return Usable(name) && Accept(OpenRaw(name, how, h), name, expect, h, kind);
    }

    // Open for an operation that keeps only the handle: `out` takes it once
    // every check passed.
    bool Open(const std::wstring& name, const OpenRequest& how, Expect expect, Handle& out) const {
        Handle h;
        EntryKind kind;
        if (!Open(name, how, expect, h, kind)) {
            return false;
        }
        out.Reset(h.Release());
        return true;
    }

    bool Accept(NTSTATUS status, const std::wstring& name, Expect expect, const Handle& h,
                EntryKind& kind) const;
    bool Stat(const std::wstring& name, FileInfo& info) const;
};

bool DirHandle::Impl::Accept(NTSTATUS status, const std::wstring& name, Expect expect,
                             const Handle& h, EntryKind& kind) const {
    kind = EntryKind{};
    // Asked for a folder and met a file, or the other way round: a link to
    // the other kind gives the same status, and is named as a link.
    if ((expect == Expect::kFolder && status == win32::kStatusNotADirectory) ||
        (expect == Expect::kFile && status == win32::kStatusFileIsADirectory)) {
        FileInfo info;
        if (Stat(name, info) && info.IsReparsePoint()) {
            return FailWith(kErrorStoppedOnSymlink);
        }
        return FailWith(expect == Expect::kFolder ? ERROR_DIRECTORY : ERROR_ACCESS_DENIED);
    }
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    if (expect == Expect::kNew) {
        return true;
    }
    if (!win32::FillKind(dir.get(), path, h.get(), name, kind)) {
        return false;
    }
    if (expect == Expect::kAny) {
        return true;
    }
    if (kind.link) {
        return FailWith(kErrorStoppedOnSymlink);
    }
    if (expect == Expect::kFolder && (!kind.directory() || kind.device)) {
        return FailWith(ERROR_DIRECTORY);
    }
    if (expect == Expect::kFile && !kind.regular()) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

bool DirHandle::Impl::Stat(const std::wstring& name, FileInfo& info) const {
    info = FileInfo{};
    Handle h;
    EntryKind kind;
    if (!Open(name, AsItself(FILE_READ_ATTRIBUTES), Expect::kAny, h, kind)) {
        return false;
    }
    info.attributes = kind.attributes;
    if (kind.link) {
        return true;
    }
    if (kind.device) {
        info.attributes |= kAttrDevice;
        return true;
    }
    if (!kind.directory()) {
        FILE_STANDARD_INFO standard{};
        if (!::GetFileInformationByHandleEx(h.get(), FileStandardInfo, &standard,
                                            sizeof(standard))) {
            return false;
        }
        info.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    }
    return true;
}

DirHandle::DirHandle() : impl_(std::make_unique<Impl>()) {}
DirHandle::~DirHandle() = default;
DirHandle::DirHandle(DirHandle&& other) noexcept : impl_(std::make_unique<Impl>()) {
    std::swap(impl_, other.impl_);
}
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept {
    if (this != &other) {
        Close();
        std::swap(impl_, other.impl_);
    }
    return *this;
}

bool DirHandle::IsOpen() const {
    return impl_->dir.valid();
}

void DirHandle::Close() {
    impl_->dir.Reset();
    impl_->path.clear();
}

bool DirHandle::OpenAnchor(const std::wstring& path) {
    auto fresh = std::make_unique<Impl>();
    // Backup semantics open a folder; without FILE_FLAG_OPEN_REPARSE_POINT a
    // link at the anchor is followed, as the client folder may be one.
    fresh->dir.Reset(::CreateFileW(path.c_str(), win32::kDirectoryAccess, kShareAll, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fresh->dir.valid()) {
        return false;
    }
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(fresh->dir.get(), FileAttributeTagInfo, &tag,
                                        sizeof(tag))) {
        return false;
    }
    if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return FailWith(ERROR_DIRECTORY);
    }
    if (!win32::FinalPath(fresh->dir.get(), fresh->path)) {
        return false;
    }
    impl_ = std::move(fresh);
    return true;
}

bool DirHandle::OpenChild(const DirHandle& parent, const std::wstring& name) {
    const OpenRequest how{win32::kDirectoryAccess, kShareAll, FILE_OPEN,
                          FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT};
    auto fresh = std::make_unique<Impl>();
    if (!parent.impl_->Open(name, how, Expect::kFolder, fresh->dir)) {
        return false;
    }
    if (!win32::FinalPath(fresh->dir.get(), fresh->path)) {
        return false;
    }
    impl_ = std::move(fresh);
    return true;
}

bool DirHandle::Stat(const std::wstring& name, FileInfo& info) const {
    return impl_->Stat(name, info);
}

bool DirHandle::List(std::vector<DirEntry>& entries, ListDetail /*detail*/) const {
    // The records carry every attribute: kKinds reports them in full too.
    entries.clear();
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    // DWORD-aligned as the records inside it are.
    std::vector<DWORD> buffer(64 * 1024 / sizeof(DWORD));
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileFullDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(impl_->dir.get(), infoClass, buffer.data(),
                                            static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
            if (::GetLastError() == ERROR_NO_MORE_FILES) {
                return true;
            }
            return false;
        }
        infoClass = FileFullDirectoryInfo;
        const auto* base = reinterpret_cast<const unsigned char*>(buffer.data());
        for (size_t offset = 0;;) {
            const auto* record = reinterpret_cast<const FILE_FULL_DIR_INFO*>(base + offset);
            std::wstring name(record->FileName, record->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                DirEntry entry;
                entry.name = std::move(name);
                entry.attributes = record->FileAttributes;
                entries.push_back(std::move(entry));
            }
            if (record->NextEntryOffset == 0) {
                break;
            }
            offset += record->NextEntryOffset;
        }
    }
}

bool DirHandle::MakeChildDirectory(const std::wstring& name) const {
    Handle h;
    return impl_->Open(name, {FILE_LIST_DIRECTORY, kShareAll, FILE_CREATE, FILE_DIRECTORY_FILE},
                       Expect::kNew, h);
}

bool DirHandle::RemoveChild(const std::wstring& name) const {
    Handle h;
    EntryKind kind;
    if (!impl_->Open(name, AsItself(kDeleteAccess), Expect::kAny, h, kind)) {
        return false;
    }
    if (kind.followed) {
        // The handle is the link's target: deleting through it would delete the
        // target. Only a link to a folder cannot be replaced by a file.
        h.Reset();
        if (kind.directory()) {
            return FailWith(kErrorStoppedOnSymlink);
        }
        return win32::ReplaceEntryAndDelete(impl_->dir.get(), name);
    }
    if (kind.directory() && !kind.link) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return win32::DeleteEntry(h, kind.attributes);
}

bool DirHandle::RemoveChildDirectory(const std::wstring& name) const {
    Handle h;
    EntryKind kind;
    return impl_->Open(name, AsItself(kDeleteAccess), Expect::kFolder, h, kind) &&
           win32::DeleteEntry(h, kind.attributes);
}

bool DirHandle::Rename(const std::wstring& name, const DirHandle& toDir, const std::wstring& toName,
                       bool replaceExisting) const {
    if (!IsOpen() || !toDir.IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!win32::CheckName(name) || !win32::CheckName(toName)) {
        return false;
    }
    Handle h;
    EntryKind kind;
    if (!impl_->Open(name, AsItself(DELETE | FILE_READ_ATTRIBUTES), Expect::kAny, h, kind)) {
        return false;
    }
    if (kind.followed) {
        // Renaming through this handle would move the link's target.
        return FailWith(kErrorStoppedOnSymlink);
    }
    FileInfo target;
    bool targetExists = replaceExisting && toDir.Stat(toName, target);
    if (targetExists && target.IsDirectory()) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    HANDLE to = toDir.impl_->dir.get();
    if (win32::RenameHandle(h.get(), to, toName, replaceExisting)) {
        return true;
    }
    // Before Windows 10 1809 a read-only file is only replaced once writable.
    if (!targetExists || ::GetLastError() != ERROR_ACCESS_DENIED || !target.IsRegularFile() ||
        (target.attributes & kAttrReadOnly) == 0 || !toDir.SetNormalAttributes(toName)) {
        return false;
    }
    return win32::RenameHandle(h.get(), to, toName, replaceExisting);
}

bool DirHandle::SetNormalAttributes(const std::wstring& name) const {
    Handle h;
    EntryKind kind;
    if (!impl_->Open(name, AsItself(FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES), Expect::kAny, h,
                     kind)) {
        return false;
    }
    if (kind.link || kind.device) {
        return true;
    }
    return win32::ClearOwnAttributes(h.get(), kind.attributes);
}

bool DirHandle::OpenFileForRead(const std::wstring& name, FileReader& reader) const {
    reader.Close();
    const OpenRequest how{FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY};
    return impl_->Open(name, how, Expect::kFile, reader.impl_->file);
}

bool DirHandle::CreateNewFile(const std::wstring& name, FileWriter& writer) const {
    writer.Close();
    // FILE_CREATE fails on any existing entry, a dangling link included, so
    // nothing is ever created through a link.
    const OpenRequest how{FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE,
                          FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY};
    return impl_->Open(name, how, Expect::kNew, writer.impl_->file);
}

bool DirHandle::OpenFileForAppend(const std::wstring& name, FileWriter& writer,
                                  uint64_t& size) const {
    writer.Close();
    size = 0;
    const OpenRequest how{FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                          FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY};
    Handle h;
    if (!impl_->Open(name, how, Expect::kFile, h)) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h.get(), &info)) {
        return false;
    }
    if (info.nNumberOfLinks != 1) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    LARGE_INTEGER end{};
    if (!::SetFilePointerEx(h.get(), LARGE_INTEGER{}, &end, FILE_END)) {
        return false;
    }
    size = static_cast<uint64_t>(end.QuadPart);
    writer.impl_->file.Reset(h.Release());
    return true;
}

bool DirHandle::AppendToChild(const std::wstring& name, const std::string& bytes) const {
    if (!impl_->Usable(name)) {
        return false;
    }
    // Open an existing file, else create a new one, never FILE_OPEN_IF: Wine
    // follows a dangling link on FILE_OPEN_IF and creates its target.
    constexpr ACCESS_MASK kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
    Handle h;
    NTSTATUS status = win32::kStatusObjectNameNotFound;
    for (int attempt = 0; attempt < 4; ++attempt) {
        status = impl_->OpenRaw(name, {kAccess, FILE_SHARE_READ, FILE_OPEN, kOptions}, h);
        if (status != win32::kStatusObjectNameNotFound) {
            break;
        }
        status = impl_->OpenRaw(name, {kAccess, FILE_SHARE_READ, FILE_CREATE, kOptions}, h);
        if (status != win32::kStatusObjectNameCollision) {
            break;
        }
    }
    EntryKind kind;
    if (!impl_->Accept(status, name, Expect::kFile, h, kind)) {
        return false;
    }
    DWORD written = 0;
    if (!::WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return false;
    }
    if (written != bytes.size()) {
        return FailWith(ERROR_HANDLE_DISK_FULL);
    }
    return h.Reset();
}

}  // namespace rr::platform
