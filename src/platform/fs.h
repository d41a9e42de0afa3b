#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace rr::platform {

constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrReparsePoint = 0x400;

struct FileInfo {
    uint32_t attributes = 0;
    uint64_t size = 0;
    bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
    bool IsReparsePoint() const { return (attributes & kAttrReparsePoint) != 0; }
};

// Attributes and size of a path without following a final link
// (GetFileAttributesExW). A POSIX symbolic link reports kAttrReparsePoint, plus
// kAttrDirectory when it points to a directory, as a Windows directory link does.
bool ReadFileInfo(const std::wstring& path, FileInfo& info);

bool MakeDirectory(const std::wstring& path);         // CreateDirectoryW, one level
bool RemoveEmptyDirectory(const std::wstring& path);  // RemoveDirectoryW
bool RemoveFile(const std::wstring& path);  // DeleteFileW; removes a link, never its target
bool SetNormalAttributes(const std::wstring& path);  // clears read-only, hidden, system
bool CopyFileOver(const std::wstring& from, const std::wstring& to);  // CopyFileW, overwrite
bool MoveFileTo(const std::wstring& from, const std::wstring& to, bool replaceExisting);

struct DirEntry {
    std::wstring name;
    uint32_t attributes = 0;
    bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
    bool IsReparsePoint() const { return (attributes & kAttrReparsePoint) != 0; }
};

// Lists one directory, "." and ".." included as on Windows (FindFirstFileW on
// dir\*). On POSIX names that hold a backslash are left out: the core could not
// name them.
class DirectoryListing {
  public:
    DirectoryListing();
    ~DirectoryListing();
    DirectoryListing(const DirectoryListing&) = delete;
    DirectoryListing& operator=(const DirectoryListing&) = delete;

    bool Open(const std::wstring& directory);  // false: LastError() tells why
    bool Next(DirEntry& entry);                // false at the end

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Plain sequential file access with RAII handles.
class FileReader {
  public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    bool Open(const std::wstring& path);  // GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING
    // false on a read error; got == 0 with true at the end of the file.
    bool Read(void* buffer, size_t capacity, size_t& got);
    void Close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class FileWriter {
  public:
    FileWriter();
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool Create(const std::wstring& path);      // GENERIC_WRITE, no sharing, CREATE_ALWAYS
    bool Write(const void* data, size_t size);  // false also on a short write
    bool Close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One append of bytes at the end of a file, created when missing: open, write,
// close. Read sharing only on Windows. Failures are silent; the result says.
bool AppendToFile(const std::wstring& path, const std::string& bytes);

}  // namespace rr::platform
