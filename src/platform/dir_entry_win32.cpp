#include "platform/dir_entry_win32.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace rr::platform::win32 {

namespace {

constexpr NTSTATUS kStatusNotImplemented = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS kStatusInvalidInfoClass = static_cast<NTSTATUS>(0xC0000003);
constexpr NTSTATUS kStatusInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kStatusNotSupported = static_cast<NTSTATUS>(0xC00000BB);

constexpr DWORD kOwnAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
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

}  // namespace

bool FailWithStatus(NTSTATUS status) {
    return FailWith(::RtlNtStatusToDosError(status));
}

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

bool DeleteEntry(Handle& h, DWORD attributes) {
    return ClearOwnAttributes(h.get(), attributes) && DeleteOnClose(h);
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

}  // namespace rr::platform::win32
