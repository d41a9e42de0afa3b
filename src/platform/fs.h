#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rr::platform {

constexpr uint32_t kAttrReadOnly = 0x1;
constexpr uint32_t kAttrHidden = 0x2;
constexpr uint32_t kAttrSystem = 0x4;
constexpr uint32_t kAttrDirectory = 0x10;
constexpr uint32_t kAttrDevice = 0x40;  // anything that is neither file, folder nor link
constexpr uint32_t kAttrNormal = 0x80;
constexpr uint32_t kAttrReparsePoint = 0x400;

struct FileInfo {
    uint32_t attributes = 0;
    uint64_t size = 0;
    bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
    bool IsReparsePoint() const { return (attributes & kAttrReparsePoint) != 0; }
    bool IsRegularFile() const {
        return (attributes & (kAttrDirectory | kAttrReparsePoint | kAttrDevice)) == 0;
    }
};

// Attributes and size of a path without following a final link
// (GetFileAttributesExW). A POSIX symbolic link reports kAttrReparsePoint, plus
// kAttrDirectory when it points to a directory, as a Windows directory link does.
bool ReadFileInfo(const std::wstring& path, FileInfo& info);

bool MakeDirectory(const std::wstring& path);  // CreateDirectoryW, one level
bool RemoveFile(const std::wstring& path);     // DeleteFileW; removes a link, never its target

// How much DirHandle::List tells of each entry.
enum class ListDetail {
    kFull,  // attributes as Stat gives them
    // For a scan that only tells files from folders: an entry the listing
    // itself shows to be a plain file may report kAttrNormal alone, its
    // read-only bit and (POSIX) whether it is the root of another mount
    // unknown; an open of it (OpenFileForRead) still refuses a mount. Every
    // other entry, folders and links included, reports as with kFull. POSIX
    // then looks at no plain file; Windows lists every attribute anyway.
    kKinds,
};

struct DirEntry {
    std::wstring name;
    uint32_t attributes = 0;
    bool IsDirectory() const { return (attributes & kAttrDirectory) != 0; }
    bool IsReparsePoint() const { return (attributes & kAttrReparsePoint) != 0; }
    bool IsRegularFile() const {
        return (attributes & (kAttrDirectory | kAttrReparsePoint | kAttrDevice)) == 0;
    }
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
    friend class DirHandle;
    friend class FileWriter;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A new file, opened by DirHandle::CreateNewFile (never by a path of its own).
class FileWriter {
  public:
    FileWriter();
    ~FileWriter();
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    bool Write(const void* data, size_t size);  // false also on a short write
    bool Close();
    // Flushes written data to the disk before a rename makes it visible.
    bool Flush();
    // Gives the new file the permission bits of the source (POSIX: the
    // executable bit of Main.exe must survive a copy); nothing on Windows.
    bool CopyModeFrom(const FileReader& source);
    // Lets whoever may read the new file run it (POSIX: the executable bits
    // beside the read bits); nothing on Windows, where a .exe runs by its name.
    bool MakeExecutable();

  private:
    friend class DirHandle;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A handle on one directory. Every name handed to its operations is a single
// path component (no separator, not "." or ".."), and no operation follows a
// link at that name: a link is refused, or removed as an entry of its own. A
// walk that goes one folder at a time through these handles cannot be sent
// elsewhere by a folder renamed or swapped for a link while it runs.
// Failures set LastError(); a link where a folder or file was expected gives
// kErrorStoppedOnSymlink.
class DirHandle {
  public:
    DirHandle();
    ~DirHandle();
    DirHandle(DirHandle&& other) noexcept;
    DirHandle& operator=(DirHandle&& other) noexcept;
    DirHandle(const DirHandle&) = delete;
    DirHandle& operator=(const DirHandle&) = delete;

    // Opens a folder by its full path, following links on the way: only for
    // the anchor of a walk (the client folder may itself be a link).
    bool OpenAnchor(const std::wstring& path);
    // Opens the folder `name` inside `parent`; a link there is refused.
    bool OpenChild(const DirHandle& parent, const std::wstring& name);
    bool IsOpen() const;
    void Close();

    // Attributes and size of the entry `name`, the entry itself, never what a
    // link points to (a link reports kAttrReparsePoint, with kAttrDirectory
    // when it points to a folder). A FIFO, socket or device reports kAttrDevice.
    bool Stat(const std::wstring& name, FileInfo& info) const;
    // Every entry except "." and "..", attributes as Stat gives them (for
    // plain files with kKinds, see ListDetail).
    bool List(std::vector<DirEntry>& entries, ListDetail detail = ListDetail::kFull) const;

    bool MakeChildDirectory(const std::wstring& name) const;  // kErrorAlreadyExists when taken
    // Removes a file, or a link of any kind as an entry; never a real folder.
    bool RemoveChild(const std::wstring& name) const;
    // Removes an empty real folder; a link is refused.
    bool RemoveChildDirectory(const std::wstring& name) const;
    // Renames the entry `name` (a file or a folder) to `toName` in `toDir`
    // (possibly the same handle). replaceExisting replaces a file only, never a
    // folder; without it an existing target fails with kErrorAlreadyExists.
    bool Rename(const std::wstring& name, const DirHandle& toDir, const std::wstring& toName,
                bool replaceExisting) const;
    // Clears read-only, hidden and system on the entry; a link is left alone.
    bool SetNormalAttributes(const std::wstring& name) const;

    // Opens a regular file for reading; a link, folder, FIFO or device is
    // refused without blocking.
    bool OpenFileForRead(const std::wstring& name, class FileReader& reader) const;
    // Creates a new file; fails when any entry of that name exists.
    bool CreateNewFile(const std::wstring& name, class FileWriter& writer) const;
    // Opens an existing regular file to write at its end, and tells its size
    // then. A link, folder or device is refused, and so is a file with more
    // than one name (a hard link): what is written must not change another.
    bool OpenFileForAppend(const std::wstring& name, class FileWriter& writer,
                           uint64_t& size) const;
    // One append to a regular file, created when missing; never through a link.
    bool AppendToChild(const std::wstring& name, const std::string& bytes) const;

  private:
    friend class FileReader;
    friend class FileWriter;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// One append of bytes at the end of a file, created when missing: open, write,
// close. Read sharing only on Windows. Failures are silent; the result says.
bool AppendToFile(const std::wstring& path, const std::string& bytes);

// Free bytes that this user may fill on the volume holding `path`
// (GetDiskFreeSpaceExW; statvfs f_bavail). False: LastError() tells why.
bool FreeSpaceOnVolume(const std::wstring& path, uint64_t& bytes);

// The path as a library that opens files by a narrow name takes it: UTF-8 in
// the system's own form (libzip on Windows turns UTF-8 into UTF-16 itself).
std::string NativePathUtf8(const std::wstring& path);

}  // namespace rr::platform
