#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/fs.h"

namespace rr::platform {

namespace {

// Closes a file handle on every exit path.
class Handle {
  public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~Handle() { Reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE Release() {
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    bool Reset(HANDLE h = INVALID_HANDLE_VALUE) {
        bool ok = true;
        if (valid())
            ok = ::CloseHandle(h_) != FALSE;
        h_ = h;
        return ok;
    }

  private:
    HANDLE h_;
};

}  // namespace

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

struct FileReader::Impl {
    Handle file;
};

FileReader::FileReader() : impl_(std::make_unique<Impl>()) {}
FileReader::~FileReader() = default;

bool FileReader::Open(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    impl_->file.Reset(h);
    return true;
}

bool FileReader::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    DWORD chunk = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
    DWORD read = 0;
    if (!::ReadFile(impl_->file.get(), buffer, chunk, &read, nullptr)) {
        return false;
    }
    got = read;
    return true;
}

void FileReader::Close() {
    impl_->file.Reset();
}

struct FileWriter::Impl {
    Handle file;
};

FileWriter::FileWriter() : impl_(std::make_unique<Impl>()) {}
FileWriter::~FileWriter() = default;

bool FileWriter::Write(const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(impl_->file.get(), p, chunk, &written, nullptr)) {
            return false;
        }
        if (written != chunk) {
            ::SetLastError(ERROR_HANDLE_DISK_FULL);
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

bool FileWriter::Flush() {
    return ::FlushFileBuffers(impl_->file.get()) != FALSE;
}

bool FileWriter::Close() {
    return impl_->file.Reset();
}

// --- DirHandle -------------------------------------------------------------
//
// Every entry is opened relative to the directory handle with NtCreateFile
// (RootDirectory + one name), so a folder renamed or swapped above us cannot
// redirect the walk. FILE_OPEN_REPARSE_POINT makes Windows open a link as
// itself. Wine 8 ignores that flag and opens what a Unix link points to (the
// handle then reports the target's attributes, and deleting or renaming
// through it acts on the target), so every open is also checked for identity:
// the handle's final path must be the directory's final path plus the name.
// A mismatch means the system followed a link, and the handle is not used to
// change anything.

namespace {

constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusFileIsADirectory = static_cast<NTSTATUS>(0xC00000BA);
constexpr NTSTATUS kStatusNotADirectory = static_cast<NTSTATUS>(0xC0000103);
constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kDirectoryAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kOwnAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool FailWith(DWORD code) {
    ::SetLastError(code);
    return false;
}

bool FailWithStatus(NTSTATUS status) {
    return FailWith(::RtlNtStatusToDosError(status));
}

// One component only: a separator would let the system walk (and follow links)
// on our behalf, a colon would name an alternate data stream.
bool CheckName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") {
        return FailWith(ERROR_INVALID_NAME);
    }
    if (name.find_first_of(std::wstring(L"\\/:\0", 4)) != std::wstring::npos) {
        return FailWith(ERROR_INVALID_NAME);
    }
    if (name.size() > 255) {
        return FailWith(ERROR_FILENAME_EXCED_RANGE);
    }
    return true;
}

NTSTATUS OpenRelative(HANDLE root, const std::wstring& name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options, Handle& out) {
    UNICODE_STRING objectName;
    objectName.Buffer = const_cast<PWSTR>(name.c_str());
    objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, root, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE h = nullptr;
    NTSTATUS status =
        ::NtCreateFile(&h, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                       share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (NT_SUCCESS(status)) {
        out.Reset(h);
    }
    return status;
}

// The NT form of the path a handle stands for ("\Device\HarddiskVolume2\a\b"):
// no drive letter lookup, and, as opened, no short names expanded nor rights
// on the folders above needed. Wine gives the resolved Unix path.
bool FinalPath(HANDLE h, std::wstring& out) {
    std::vector<wchar_t> buffer(512);
    for (;;) {
        DWORD n = ::GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_OPENED | VOLUME_NAME_NT);
        if (n == 0) {
            return false;
        }
        if (n < buffer.size()) {
            out.assign(buffer.data(), n);
            while (!out.empty() && out.back() == L'\\') {
                out.pop_back();
            }
            return true;
        }
        buffer.resize(n + 1);
    }
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

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

bool FillKind(HANDLE parent, const std::wstring& parentPath, HANDLE h, const std::wstring& name,
              EntryKind& kind) {
    kind = EntryKind{};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof(tag))) {
        return false;
    }
    kind.attributes = tag.FileAttributes;
    kind.link = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    // Wine opens a FIFO or device without blocking and reports it as a pipe or
    // character device, with ordinary file attributes.
    kind.device =
        (tag.FileAttributes & FILE_ATTRIBUTE_DEVICE) != 0 || ::GetFileType(h) != FILE_TYPE_DISK;

    std::wstring actual;
    if (!FinalPath(h, actual)) {
        return false;
    }
    std::wstring expected = parentPath + L"\\" + name;
    if (!SamePath(actual, expected)) {
        // The directory itself may have been renamed since it was opened.
        std::wstring parentNow;
        if (!FinalPath(parent, parentNow)) {
            return false;
        }
        if (!SamePath(actual, parentNow + L"\\" + name)) {
            kind.link = true;
            kind.followed = true;
            kind.attributes =
                FILE_ATTRIBUTE_REPARSE_POINT | (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        }
    }
    return true;
}

bool ClearOwnAttributes(HANDLE h, DWORD attributes) {
    if ((attributes & kOwnAttributes) == 0) {
        return true;
    }
    FILE_BASIC_INFO basic{};  // zero times: left unchanged
    basic.FileAttributes = attributes & ~kOwnAttributes;
    if (basic.FileAttributes == 0) {
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    }
    return ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool DeleteOnClose(Handle& h) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    if (!::SetFileInformationByHandle(h.get(), FileDispositionInfo, &disposition,
                                      sizeof(disposition))) {
        return false;
    }
    return h.Reset();
}

NTSTATUS SetRenameInformation(HANDLE h, HANDLE toDir, const std::wstring& toName, ULONG flags,
                              FILE_INFORMATION_CLASS infoClass) {
    size_t nameBytes = toName.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes +
                                      sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    // ReplaceIfExists shares its place with the flags of the Ex form.
    std::memcpy(buffer.data(), &flags, sizeof(flags));
    info->RootDirectory = toDir;
    info->FileNameLength = static_cast<ULONG>(nameBytes);
    std::copy(toName.begin(), toName.end(), info->FileName);
    IO_STATUS_BLOCK io{};
    return ::NtSetInformationFile(h, &io, info, static_cast<ULONG>(buffer.size()), infoClass);
}

// NtSetInformationFile rather than SetFileInformationByHandle: Wine's
// kernelbase turns the name into a full path and rejects a RootDirectory.
// Windows 10 1809 and later replace a read-only file when told to ignore the
// attribute; older systems and Wine do not know that form and get the plain one.
bool RenameHandle(HANDLE h, HANDLE toDir, const std::wstring& toName, bool replaceExisting) {
    constexpr ULONG kReplaceIfExists = 0x1;
    constexpr ULONG kIgnoreReadOnly = 0x40;
    constexpr auto kRenameInformationEx = static_cast<FILE_INFORMATION_CLASS>(65);
    NTSTATUS status = kStatusNotImplemented;
    if (replaceExisting) {
        status = SetRenameInformation(h, toDir, toName, kReplaceIfExists | kIgnoreReadOnly,
                                      kRenameInformationEx);
    }
    if (status == kStatusNotImplemented || status == kStatusInvalidInfoClass ||
        status == kStatusInvalidParameter || status == kStatusNotSupported) {
        status =
            SetRenameInformation(h, toDir, toName, replaceExisting ? 1 : 0, FileRenameInformation);
    }
    return NT_SUCCESS(status) || FailWithStatus(status);
}

// Removes the entry `name` when the system will only open what it points to:
// a fresh empty file of our own is renamed over the entry, which replaces the
// directory entry and never touches a link's target, and is then deleted.
bool ReplaceEntryAndDelete(HANDLE dir, const std::wstring& name) {
    static LONG counter = 0;
    Handle temp;
    for (int attempt = 0; attempt < 16 && !temp.valid(); ++attempt) {
        std::wstring tempName = L".rr-unlink-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                std::to_wstring(::InterlockedIncrement(&counter)) + L"-" +
                                std::to_wstring(::GetTickCount64());
        NTSTATUS status = OpenRelative(dir, tempName, DELETE | FILE_READ_ATTRIBUTES, 0, FILE_CREATE,
                                       FILE_NON_DIRECTORY_FILE, temp);
        if (!NT_SUCCESS(status) && status != kStatusObjectNameCollision) {
            return FailWithStatus(status);
        }
    }
    if (!temp.valid()) {
        return FailWith(ERROR_ALREADY_EXISTS);
    }
    if (!RenameHandle(temp.get(), dir, name, true)) {
        DWORD error = ::GetLastError();
        DeleteOnClose(temp);
        return FailWith(error);
    }
    return DeleteOnClose(temp);
}

// After an open that asked for a file: only a regular file reached by its own
// name is kept; a folder, a link or a device there is refused.
bool AcceptRegularFile(const DirHandle& dir, HANDLE parent, const std::wstring& parentPath,
                       NTSTATUS status, const Handle& h, const std::wstring& name) {
    if (status == kStatusFileIsADirectory) {
        FileInfo info;
        if (dir.Stat(name, info) && info.IsReparsePoint()) {
            return FailWith(kErrorStoppedOnSymlink);
        }
        return FailWith(ERROR_ACCESS_DENIED);
    }
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(parent, parentPath, h.get(), name, kind)) {
        return false;
    }
    if (kind.link) {
        return FailWith(kErrorStoppedOnSymlink);
    }
    if (!kind.regular()) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    return true;
}

}  // namespace

struct DirHandle::Impl {
    Handle dir;
    std::wstring path;  // final NT path when opened, no trailing separator
};

DirHandle::DirHandle() : impl_(std::make_unique<Impl>()) {}
DirHandle::~DirHandle() = default;
DirHandle::DirHandle(DirHandle&& other) noexcept = default;
DirHandle& DirHandle::operator=(DirHandle&& other) noexcept = default;

bool DirHandle::IsOpen() const {
    return impl_ && impl_->dir.valid();
}

void DirHandle::Close() {
    if (impl_) {
        impl_->dir.Reset();
        impl_->path.clear();
    }
}

bool DirHandle::OpenAnchor(const std::wstring& path) {
    auto fresh = std::make_unique<Impl>();
    // Backup semantics open a folder; without FILE_FLAG_OPEN_REPARSE_POINT a
    // link at the anchor is followed, as the client folder may be one.
    fresh->dir.Reset(::CreateFileW(path.c_str(), kDirectoryAccess, kShareAll, nullptr,
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
    if (!FinalPath(fresh->dir.get(), fresh->path)) {
        return false;
    }
    impl_ = std::move(fresh);
    return true;
}

bool DirHandle::OpenChild(const DirHandle& parent, const std::wstring& name) {
    if (!parent.IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    auto fresh = std::make_unique<Impl>();
    NTSTATUS status =
        OpenRelative(parent.impl_->dir.get(), name, kDirectoryAccess, kShareAll, FILE_OPEN,
                     FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, fresh->dir);
    if (status == kStatusNotADirectory) {
        // A link to a file is "not a directory" too; name it as a link.
        FileInfo info;
        if (parent.Stat(name, info) && info.IsReparsePoint()) {
            return FailWith(kErrorStoppedOnSymlink);
        }
        return FailWith(ERROR_DIRECTORY);
    }
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(parent.impl_->dir.get(), parent.impl_->path, fresh->dir.get(), name, kind)) {
        return false;
    }
    if (kind.link) {
        return FailWith(kErrorStoppedOnSymlink);
    }
    if (!kind.directory() || kind.device) {
        return FailWith(ERROR_DIRECTORY);
    }
    if (!FinalPath(fresh->dir.get(), fresh->path)) {
        return false;
    }
    impl_ = std::move(fresh);
    return true;
}

bool DirHandle::Stat(const std::wstring& name, FileInfo& info) const {
    info = FileInfo{};
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status = OpenRelative(impl_->dir.get(), name, FILE_READ_ATTRIBUTES, kShareAll,
                                   FILE_OPEN, FILE_OPEN_REPARSE_POINT, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(impl_->dir.get(), impl_->path, h.get(), name, kind)) {
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

bool DirHandle::List(std::vector<DirEntry>& entries) const {
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
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status = OpenRelative(impl_->dir.get(), name, FILE_LIST_DIRECTORY, kShareAll,
                                   FILE_CREATE, FILE_DIRECTORY_FILE, h);
    return NT_SUCCESS(status) || FailWithStatus(status);
}

bool DirHandle::RemoveChild(const std::wstring& name) const {
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status =
        OpenRelative(impl_->dir.get(), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(impl_->dir.get(), impl_->path, h.get(), name, kind)) {
        return false;
    }
    if (kind.followed) {
        // The handle is the link's target: deleting through it would delete the
        // target. Only a link to a folder cannot be replaced by a file.
        h.Reset();
        if (kind.directory()) {
            return FailWith(kErrorStoppedOnSymlink);
        }
        return ReplaceEntryAndDelete(impl_->dir.get(), name);
    }
    if (kind.directory() && !kind.link) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    // Windows refuses to delete a read-only entry.
    if (!ClearOwnAttributes(h.get(), kind.attributes)) {
        return false;
    }
    return DeleteOnClose(h);
}

bool DirHandle::RemoveChildDirectory(const std::wstring& name) const {
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status =
        OpenRelative(impl_->dir.get(), name, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(impl_->dir.get(), impl_->path, h.get(), name, kind)) {
        return false;
    }
    if (kind.link) {
        return FailWith(kErrorStoppedOnSymlink);
    }
    if (!kind.directory() || kind.device) {
        return FailWith(ERROR_DIRECTORY);
    }
    if (!ClearOwnAttributes(h.get(), kind.attributes)) {
        return false;
    }
    return DeleteOnClose(h);
}

bool DirHandle::Rename(const std::wstring& name, const DirHandle& toDir, const std::wstring& toName,
                       bool replaceExisting) const {
    if (!IsOpen() || !toDir.IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name) || !CheckName(toName)) {
        return false;
    }
    Handle h;
    NTSTATUS status = OpenRelative(impl_->dir.get(), name, DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                                   FILE_OPEN, FILE_OPEN_REPARSE_POINT, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(impl_->dir.get(), impl_->path, h.get(), name, kind)) {
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
    if (RenameHandle(h.get(), toDir.impl_->dir.get(), toName, replaceExisting)) {
        return true;
    }
    // Before Windows 10 1809 a read-only file is only replaced once writable.
    if (!targetExists || ::GetLastError() != ERROR_ACCESS_DENIED || !target.IsRegularFile() ||
        (target.attributes & kAttrReadOnly) == 0 || !toDir.SetNormalAttributes(toName)) {
        return false;
    }
    return RenameHandle(h.get(), toDir.impl_->dir.get(), toName, replaceExisting);
}

bool DirHandle::SetNormalAttributes(const std::wstring& name) const {
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status =
        OpenRelative(impl_->dir.get(), name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                     kShareAll, FILE_OPEN, FILE_OPEN_REPARSE_POINT, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    EntryKind kind;
    if (!FillKind(impl_->dir.get(), impl_->path, h.get(), name, kind)) {
        return false;
    }
    if (kind.link || kind.device) {
        return true;
    }
    return ClearOwnAttributes(h.get(), kind.attributes);
}

bool DirHandle::OpenFileForRead(const std::wstring& name, FileReader& reader) const {
    reader.Close();
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    Handle h;
    NTSTATUS status =
        OpenRelative(impl_->dir.get(), name, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_OPEN,
                     FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT | FILE_SEQUENTIAL_ONLY, h);
    if (!AcceptRegularFile(*this, impl_->dir.get(), impl_->path, status, h, name)) {
        return false;
    }
    reader.impl_->file.Reset(h.Release());
    return true;
}

bool DirHandle::CreateNewFile(const std::wstring& name, FileWriter& writer) const {
    writer.Close();
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    // FILE_CREATE fails on any existing entry, a dangling link included, so
    // nothing is ever created through a link.
    Handle h;
    NTSTATUS status =
        OpenRelative(impl_->dir.get(), name, FILE_GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_DELETE, FILE_CREATE,
                     FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY, h);
    if (!NT_SUCCESS(status)) {
        return FailWithStatus(status);
    }
    writer.impl_->file.Reset(h.Release());
    return true;
}

bool DirHandle::AppendToChild(const std::wstring& name, const std::string& bytes) const {
    if (!IsOpen()) {
        return FailWith(ERROR_INVALID_HANDLE);
    }
    if (!CheckName(name)) {
        return false;
    }
    // Open an existing file, else create a new one, never FILE_OPEN_IF: Wine
    // follows a dangling link on FILE_OPEN_IF and creates its target.
    constexpr ACCESS_MASK kAccess = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    constexpr ULONG kOptions = FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT;
    Handle h;
    NTSTATUS status = kStatusObjectNameNotFound;
    for (int attempt = 0; attempt < 4; ++attempt) {
        status =
            OpenRelative(impl_->dir.get(), name, kAccess, FILE_SHARE_READ, FILE_OPEN, kOptions, h);
        if (status != kStatusObjectNameNotFound) {
            break;
        }
        status = OpenRelative(impl_->dir.get(), name, kAccess, FILE_SHARE_READ, FILE_CREATE,
                              kOptions, h);
        if (status != kStatusObjectNameCollision) {
            break;
        }
    }
    if (!AcceptRegularFile(*this, impl_->dir.get(), impl_->path, status, h, name)) {
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

bool FileWriter::CopyModeFrom(const FileReader&) {
    return true;  // attributes are not copied: a read-only source must not make a read-only copy
}

bool FileWriter::MakeExecutable() {
    return true;
}

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    Handle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        return false;
    }
    DWORD written = 0;
    BOOL ok =
        ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

}  // namespace rr::platform
