#include "package/zip_extract.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "fs/file_ops.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "package/package_progress.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "platform/zip.h"
#include "package/zip_entries.h"
#include "ui/progress.h"

namespace rr {

namespace {

constexpr wchar_t kExtractFolderName[] = L"_full_extract";
constexpr wchar_t kMainExeName[] = L"main.exe";  // folded

int CopyPermille(uint32_t files, uint32_t expected) {
    // The share of files is truncated to whole per mille first, then placed
    // in the band.
    const uint64_t p =
        expected == 0 ? 0 : std::min<uint64_t>(1000, uint64_t{files} * 1000 / expected);
    return BandPermille(kExtractCopyBand, static_cast<int64_t>(p), 1000);
}

void ShowCopyProgress(uint32_t files, uint32_t expected, uint64_t bytes) {
    std::wstring detail = L"Extracted files " + ToDecimal(files);
    if (expected != 0) {
        detail += L" / " + ToDecimal(expected);
    }
    SetProgressState(L"Extracting full client...", detail, FormatMegabytes(bytes),
                     CopyPermille(files, expected), false);
}

// Walks one extracted folder through its handle and adds what it holds.
bool ScanFolder(const platform::DirHandle& folder, const std::wstring& dir,
                const std::wstring& extractDir, ExtractedCounts& counts) {
    if (!IsPathUnderRoot(dir, extractDir)) {
        LogMain(L"Extracted scan refused outside _full_extract: " + dir);
        return false;
    }
    std::vector<platform::DirEntry> entries;
    if (!folder.List(entries)) {
        const uint32_t error = platform::LastError();
        if (IsNotFound(error)) {
            return true;
        }
        LogMain(L"Failed to list extracted folder. error=" + ToDecimal(error) + L" path=" + dir);
        return false;
    }
    for (const platform::DirEntry& entry : entries) {
        const std::wstring child = JoinPath(dir, entry.name);
        if (!IsPathUnderRoot(child, extractDir)) {
            LogMain(L"Extracted path escaped _full_extract: " + child);
            return false;
        }
        std::wstring relative;
        if (!RelativePathUnderRoot(extractDir, child, relative)) {
            LogMain(L"Extracted path failed safety validation: " + child);
            return false;
        }
        if (entry.IsReparsePoint()) {
            LogMain(L"Rejected extracted reparse point: " + child);
            return false;
        }
        if (entry.IsDirectory()) {
            ++counts.folders;
            platform::DirHandle sub;
            if (!sub.OpenChild(folder, entry.name)) {
                const uint32_t error = platform::LastError();
                if (error == platform::kErrorStoppedOnSymlink) {
                    // Swapped for a link after it was listed.
                    LogMain(L"Rejected extracted reparse point: " + child);
                    return false;
                }
                if (IsNotFound(error)) {
                    continue;
                }
                LogMain(L"Failed to open extracted folder. error=" + ToDecimal(error) + L" path=" +
                        child);
                return false;
            }
            if (!ScanFolder(sub, child, extractDir, counts)) {
                return false;
            }
            continue;
        }
        platform::FileInfo info;
        if (!folder.Stat(entry.name, info)) {
            LogMain(L"Failed to read extracted file. error=" + ToDecimal(platform::LastError()) +
                    L" path=" + child);
            return false;
        }
        if (info.IsReparsePoint()) {
            LogMain(L"Rejected extracted reparse point: " + child);
            return false;
        }
        if (!info.IsRegularFile()) {
            LogMain(L"Rejected extracted special file: " + child);
            return false;
        }
        ++counts.files;
        counts.bytes += info.size;
    }
    return true;
}

// The extracted tree as it is on disk, walked from the client folder without
// following any link.
bool ScanExtractedTree(const std::wstring& clientDir, const std::wstring& extractDir,
                       ExtractedCounts& counts) {
    std::wstring relative;
    if (!RelativePathUnderRoot(clientDir, extractDir, relative)) {
        LogMain(L"Extracted scan refused outside _full_extract: " + extractDir);
        return false;
    }
    platform::DirHandle folder;
    WalkStop stop = WalkStop::kNone;
    if (!OpenFolderBelow(clientDir, relative, false, folder, &stop)) {
        if (stop == WalkStop::kMissing) {
            return true;
        }
        if (stop == WalkStop::kLink) {
            LogMain(L"Rejected extracted reparse point: " + extractDir);
            return false;
        }
        LogMain(L"Failed to open _full_extract. error=" + ToDecimal(platform::LastError()) + L" (" +
                WalkStopText(stop) + L")");
        return false;
    }
    return ScanFolder(folder, extractDir, extractDir, counts);
}

// The extractor has finished when this runs: one scan of what it wrote is the
// safety check that the tree holds every listed file and nothing more (two
// names one volume takes for the same file would leave one short).
bool CheckExtractedTree(const std::wstring& clientDir, const std::wstring& extractDir,
                        const ZipEntryCounts& listed, ExtractedCounts& counts) {
    counts = ExtractedCounts{};
    if (!ScanExtractedTree(clientDir, extractDir, counts)) {
        return false;
    }
    ShowCopyProgress(counts.files, listed.files, counts.bytes);
    if (counts.files != listed.files || counts.bytes != listed.bytes) {
        LogMain(L"Extracted tree does not match the package listing. expected files=" +
                ToDecimal(listed.files) + L" bytes=" + ToDecimal(listed.bytes) + L" actual files=" +
                ToDecimal(counts.files) + L" bytes=" + ToDecimal(counts.bytes));
        return false;
    }
    return true;
}

// Writes one file entry below the extract directory; a body that does not
// match its declaration leaves no file behind.
bool WriteFileEntry(platform::ZipReader& reader, const CheckedZipEntry& checked,
                    const std::wstring& clientDir, const std::wstring& target, uint64_t& written) {
    platform::FileWriter writer;
    WalkStop stop = WalkStop::kNone;
    if (!CreateFileBelow(clientDir, target, writer, &stop)) {
        LogMain(L"Failed to create extracted file. error=" + ToDecimal(platform::LastError()) +
                L" path=" + target + L" (" + WalkStopText(stop) + L")");
        return false;
    }
    uint32_t writeError = 0;
    uint64_t sincePump = 0;
    const bool read = reader.ReadEntry(checked.entry, [&](const void* data, size_t size) {
        if (!writer.Write(data, size)) {
            writeError = platform::LastError();
            return false;
        }
        written += size;
        sincePump += size;
        if (sincePump >= (8u << 20)) {
            sincePump = 0;
            PumpMessages();
        }
        return true;
    });
    const bool closed = writer.Close();
    if (read && closed) {
        return true;
    }
    if (!read && reader.LastError() == platform::ZipError::kSink) {
        LogMain(L"Failed to write extracted file. error=" + ToDecimal(writeError) + L" path=" +
                target);
    } else if (!read) {
        LogMain(L"ZIP entry read failed: " + reader.LastErrorText() + L" entry=" +
                checked.entry.name);
    } else {
        LogMain(L"Failed to write extracted file. error=" + ToDecimal(platform::LastError()) +
                L" path=" + target);
    }
    DeleteTreeUnderRoot(target, clientDir);
    return false;
}

bool WriteEntries(platform::ZipReader& reader, const std::vector<CheckedZipEntry>& entries,
                  const std::wstring& clientDir, const std::wstring& extractDir,
                  uint32_t expected) {
    uint32_t files = 0;
    uint64_t written = 0;
    for (const CheckedZipEntry& checked : entries) {
        const std::wstring target = JoinPath(extractDir, checked.relativePath);
        if (!IsPathUnderRoot(target, extractDir) || IsSamePath(target, extractDir)) {
            LogMain(L"Extracted path escaped _full_extract: " + target);
            return false;
        }
        if (checked.folder) {
            WalkStop stop = WalkStop::kNone;
            if (!CreateFolderBelow(clientDir, target, &stop)) {
                LogMain(L"Failed to create extracted folder. error=" +
                        ToDecimal(platform::LastError()) + L" path=" + target + L" (" +
                        WalkStopText(stop) + L")");
                return false;
            }
            continue;
        }
        if (!WriteFileEntry(reader, checked, clientDir, target, written)) {
            return false;
        }
        ++files;
        if (files % 100 == 0) {
            ShowCopyProgress(files, expected, written);
        }
    }
    return true;
}

}  // namespace

namespace {

bool OpenBelowClient(const std::wstring& clientDir, const std::wstring& path,
                     platform::DirHandle& folder) {
    std::wstring relative;
    return RelativePathUnderRoot(clientDir, path, relative) &&
           OpenFolderBelow(clientDir, relative, false, folder);
}

// The full path of Main.exe in `folderPath`, in whatever letter case it has
// there, as Windows would find it; only a real file counts, never a link or
// folder of that name. Empty when there is none.
std::wstring MainExeIn(const std::wstring& clientDir, const std::wstring& folderPath) {
    platform::DirHandle folder;
    std::vector<platform::DirEntry> entries;
    if (!OpenBelowClient(clientDir, folderPath, folder) || !folder.List(entries)) {
        return std::wstring();
    }
    for (const platform::DirEntry& entry : entries) {
        if (entry.IsRegularFile() && FoldCase(entry.name) == kMainExeName) {
            return JoinPath(folderPath, entry.name);
        }
    }
    return std::wstring();
}

}  // namespace

std::wstring FindPackageRoot(const std::wstring& clientDir, const std::wstring& extractDir) {
    if (!MainExeIn(clientDir, extractDir).empty()) {
        return extractDir;
    }
    platform::DirHandle folder;
    std::vector<platform::DirEntry> entries;
    if (!OpenBelowClient(clientDir, extractDir, folder) || !folder.List(entries)) {
        return std::wstring();
    }
    const platform::DirEntry* only = nullptr;
    for (const platform::DirEntry& entry : entries) {
        if (entry.IsDirectory() && !entry.IsReparsePoint()) {
            if (only) {
                return std::wstring();
            }
            only = &entry;
        }
    }
    if (!only) {
        return std::wstring();
    }
    const std::wstring candidate = JoinPath(extractDir, only->name);
    return MainExeIn(clientDir, candidate).empty() ? std::wstring() : candidate;
}

bool ExtractFullClientPackage(const std::wstring& packagePath, const RunConfig& config,
                              std::wstring& extractDir, std::wstring& packageRoot,
                              ExtractedCounts& counts) {
    const std::wstring& clientDir = config.clientDir;
    extractDir = JoinPath(clientDir, kExtractFolderName);
    packageRoot.clear();
    counts = ExtractedCounts{};
    LogMain(L"extract path=" + extractDir);
    LogMain(L"extractor method=libzip");
    SetProgressState(L"Extracting full client...", L"Preparing _full_extract", L"",
                     kExtractPreparePoint, false);

    platform::FileInfo info;
    if (StatBelow(clientDir, extractDir, info)) {
        LogMain(L"Cleaning previous _full_extract contents.");
        if (!DeleteTreeUnderRoot(extractDir, clientDir)) {
            LogMain(L"Failed to clean _full_extract. No client files were touched.");
            return false;
        }
    }
    if (!CreateFolderBelow(clientDir, extractDir)) {
        LogMain(L"Failed to create _full_extract. error=" + ToDecimal(platform::LastError()));
        return false;
    }

    platform::ZipReader reader;
    if (!reader.OpenFile(packagePath)) {
        LogMain(L"Failed to open ZIP package: " + reader.LastErrorText() + L" path=" + packagePath);
        return false;
    }
    SetProgressState(L"Verifying ZIP entries...", L"Checking internal paths", L"",
                     kExtractEntriesPoint, false);
    std::vector<platform::ZipEntry> listing;
    ZipEntryCounts entryCounts;
    std::vector<CheckedZipEntry> entries;
    bool valid = reader.List(listing);
    if (!valid) {
        LogMain(L"Failed to list ZIP entries: " + reader.LastErrorText());
    } else {
        valid = ValidateZipEntries(listing, entryCounts, entries);
    }
    LogMain(L"zip entries files=" + ToDecimal(entryCounts.files) + L" folders=" +
            ToDecimal(entryCounts.folders) + L" approximate bytes=" + ToDecimal(entryCounts.bytes));
    if (!valid || entryCounts.files == 0) {
        LogMain(L"ZIP entry validation failed or ZIP contains no files.");
        return false;
    }
    // The declared sizes bound what gets written, so they can be checked
    // against the disk before the first byte.
    uint64_t freeBytes = 0;
    if (!platform::FreeSpaceOnVolume(extractDir, freeBytes)) {
        LogMain(L"Failed to read free disk space. error=" + ToDecimal(platform::LastError()) +
                L" path=" + extractDir);
        return false;
    }
    if (entryCounts.bytes > freeBytes) {
        LogMain(L"ZIP declared size exceeds free disk space. bytes=" +
                ToDecimal(entryCounts.bytes) + L" free=" + ToDecimal(freeBytes));
        return false;
    }

    SetProgressState(L"Extracting full client...",
                     L"Archive files: " + ToDecimal(entryCounts.files),
                     L"Copying into _full_extract", kExtractCopyBand.base, false);
    if (!WriteEntries(reader, entries, clientDir, extractDir, entryCounts.files)) {
        return false;
    }
    reader.Close();
    if (!CheckExtractedTree(clientDir, extractDir, entryCounts, counts)) {
        return false;
    }

    SetProgressState(L"Verifying extracted package...", L"Detecting package root", L"",
                     kExtractFindRootPoint, false);
    packageRoot = FindPackageRoot(clientDir, extractDir);
    if (packageRoot.empty()) {
        LogMain(L"Full client package extracted but Main.exe not found.");
        return false;
    }
    LogMain(L"extracted files=" + ToDecimal(counts.files) + L" folders=" +
            ToDecimal(counts.folders) + L" bytes=" + ToDecimal(counts.bytes));
    LogMain(L"detected package root=" + packageRoot);
    LogMain(L"Main.exe in extracted package=" + MainExeIn(clientDir, packageRoot));
    return true;
}

}  // namespace rr
