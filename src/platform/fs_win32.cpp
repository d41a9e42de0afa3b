#include <windows.h>

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

bool RemoveEmptyDirectory(const std::wstring& path) {
    return ::RemoveDirectoryW(path.c_str()) != FALSE;
}

bool RemoveFile(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) != FALSE;
}

bool SetNormalAttributes(const std::wstring& path) {
    return ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool CopyFileOver(const std::wstring& from, const std::wstring& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

bool MoveFileTo(const std::wstring& from, const std::wstring& to, bool replaceExisting) {
    DWORD flags = replaceExisting ? MOVEFILE_REPLACE_EXISTING : 0;
    return ::MoveFileExW(from.c_str(), to.c_str(), flags) != FALSE;
}

struct DirectoryListing::Impl {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW first{};
    bool haveFirst = false;
    ~Impl() {
        if (find != INVALID_HANDLE_VALUE)
            ::FindClose(find);
    }
};

DirectoryListing::DirectoryListing() : impl_(std::make_unique<Impl>()) {}
DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::Open(const std::wstring& directory) {
    if (impl_->find != INVALID_HANDLE_VALUE) {
        ::FindClose(impl_->find);
        impl_->find = INVALID_HANDLE_VALUE;
    }
    std::wstring pattern = directory;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') {
        pattern.push_back(L'\\');
    }
    pattern.push_back(L'*');
    impl_->find = ::FindFirstFileW(pattern.c_str(), &impl_->first);
    impl_->haveFirst = impl_->find != INVALID_HANDLE_VALUE;
    return impl_->haveFirst;
}

bool DirectoryListing::Next(DirEntry& entry) {
    if (impl_->find == INVALID_HANDLE_VALUE) {
        return false;
    }
    WIN32_FIND_DATAW data{};
    if (impl_->haveFirst) {
        data = impl_->first;
        impl_->haveFirst = false;
    } else if (!::FindNextFileW(impl_->find, &data)) {
        return false;
    }
    entry.name = data.cFileName;
    entry.attributes = data.dwFileAttributes;
    return true;
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

bool FileWriter::Create(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    impl_->file.Reset(h);
    return true;
}

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

bool FileWriter::Close() {
    return impl_->file.Reset();
}

bool FileWriter::CopyModeFrom(const FileReader&) {
    return true;  // attributes are not copied: a read-only source must not make a read-only copy
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
