#include <windows.h>

#include "platform/fs.h"
#include "platform/fs_handles_win32.h"

namespace rr::platform {

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

bool FileWriter::CopyModeFrom(const FileReader&) {
    return true;  // attributes are not copied: a read-only source must not make a read-only copy
}

bool FileWriter::MakeExecutable() {
    return true;
}

}  // namespace rr::platform
