#pragma once
// What the compare and the repair plan read: the files of the extracted
// package, the client files the package does not have, and how a client file
// matches its package file. All of it goes one folder at a time from the
// client folder through directory handles and never follows a link; the walks
// count every refusal as BLOCKED.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "fs/safe_fs.h"

namespace rr {

struct FullClientCompareCounts {
    uint32_t packageFiles = 0;
    uint32_t clientFilesScanned = 0;
    uint32_t ok = 0;
    uint32_t missing = 0;
    uint32_t different = 0;
    uint32_t extra = 0;
    uint32_t blocked = 0;
    uint32_t preserved = 0;
};

struct PackageFile {
    std::wstring relativePath;  // validated, '\' separators
    std::wstring fullPath;      // inside the package root
    uint64_t size = 0;
};

// Rule keys of every package file: what makes a client file not EXTRA.
using PackageKeySet = std::set<std::wstring>;

// Where the walk's report lines go (the compare log or the apply log).
using RepairLog = void (*)(const std::wstring& text);

// Appends every file below `dir` (the package root or a folder in it) to
// `files` and its rule key to `keys`, in the order the walk meets them.
void CollectPackageFiles(const ClientFolder& client, const std::wstring& dir,
                         const std::wstring& packageRoot, std::vector<PackageFile>& files,
                         PackageKeySet& keys, FullClientCompareCounts& counts, RepairLog log);

// Counts the client files below `dir` (the client folder or a folder in it)
// and reports those whose rule key is not in `keys` as EXTRA; preserved files
// and folders (the work folders among them) are reported and not entered.
// With `extras`, the relative path of every EXTRA file is kept there too.
void ScanLocalExtras(const std::wstring& dir, const ClientFolder& client, const PackageKeySet& keys,
                     FullClientCompareCounts& counts, RepairLog log,
                     std::vector<std::wstring>* extras = nullptr);

// How a client file stands against its package file.
enum class FileMatch {
    kSame,     // same size and SHA-256
    kMissing,  // nothing there, or a folder
    kSizeDiffers,
    kContentDiffers,  // same size, other SHA-256
    kUnreadable,      // a link at it or on the way, not a regular file, or not readable
    kHashFailed,      // one of the two could not be hashed
};

// `clientSize` receives the client file's size when it could be read.
FileMatch MatchClientFile(const ClientFolder& client, const PackageFile& file,
                          const std::wstring& clientPath, uint64_t& clientSize);

}  // namespace rr
