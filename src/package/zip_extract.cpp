#include "package/zip_extract.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "fs/tree_walk.h"
#include "log/delete_under_root.h"
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

// Counts what the extractor wrote: real folders and regular files only, all
// below _full_extract. The first refusal is logged and ends the scan.
class ExtractedScan : public TreeVisitor {
  public:
    ExtractedScan(const std::wstring& extractDir, ExtractedCounts& counts)
        : extractDir_(extractDir), counts_(counts) {}

    bool Ok() const { return ok_; }

    WalkStep Visit(const WalkItem& item) override {
        if (!ok_) {
            return WalkStep::kStop;
        }
        const std::wstring child = JoinPath(extractDir_, item.relative);
        if (!IsPathUnderRoot(child, extractDir_)) {
            return Refuse(L"Extracted path escaped _full_extract: " + child);
        }
        std::wstring relative;
        if (!RelativePathUnderRoot(extractDir_, child, relative)) {
            return Refuse(L"Extracted path failed safety validation: " + child);
        }
        if (item.IsReparsePoint()) {
            return Refuse(L"Rejected extracted reparse point: " + child);
        }
        if (item.IsDirectory()) {
            ++counts_.folders;
            return WalkStep::kEnter;
        }
        platform::FileInfo info;
        if (!item.folder.Stat(item.name, info)) {
            return Refuse(L"Failed to read extracted file. error=" +
                          ToDecimal(platform::LastError()) + L" path=" + child);
        }
        if (info.IsReparsePoint()) {
            return Refuse(L"Rejected extracted reparse point: " + child);
        }
        if (!info.IsRegularFile()) {
            return Refuse(L"Rejected extracted special file: " + child);
        }
        ++counts_.files;
        counts_.bytes += info.size;
        return WalkStep::kSkip;
    }

    // A folder gone since it was listed is no error: the count check after
    // the scan tells whether it mattered.
    void Unreadable(const std::wstring& relative, const Error& err) override {
        if (!ok_) {
            return;
        }
        if (err.stop == WalkStop::kLink) {
            // Swapped for a link after it was listed.
            Refuse(L"Rejected extracted reparse point: " + PathOf(relative));
        } else if (!IsNotFound(err.code)) {
            Refuse(L"Failed to open extracted folder. error=" + ToDecimal(err.code) + L" path=" +
                   PathOf(relative));
        }
    }

    void Unlisted(const std::wstring& relative, const Error& err) override {
        if (ok_ && !IsNotFound(err.code)) {
            Refuse(L"Failed to list extracted folder. error=" + ToDecimal(err.code) + L" path=" +
                   PathOf(relative));
        }
    }

  private:
    std::wstring PathOf(const std::wstring& relative) const {
        return relative.empty() ? extractDir_ : JoinPath(extractDir_, relative);
    }

    WalkStep Refuse(const std::wstring& line) {
        LogMain(line);
        ok_ = false;
        return WalkStep::kStop;
    }

    const std::wstring& extractDir_;
    ExtractedCounts& counts_;
    bool ok_ = true;
};

// The extracted tree as it is on disk, walked from the client folder without
// following any link.
bool ScanExtractedTree(const ClientFolder& client, const std::wstring& extractDir,
                       ExtractedCounts& counts) {
    std::wstring relative;
    if (!RelativePathUnderRoot(client.Resolved(), extractDir, relative)) {
        LogMain(L"Extracted scan refused outside _full_extract: " + extractDir);
        return false;
    }
    platform::DirHandle folder;
    Error err;
    if (!OpenFolderBelow(client, relative, false, folder, &err)) {
        if (err.stop == WalkStop::kMissing) {
            return true;
        }
        if (err.stop == WalkStop::kLink) {
            LogMain(L"Rejected extracted reparse point: " + extractDir);
            return false;
        }
        LogMain(L"Failed to open _full_extract. error=" + ToDecimal(err.code) + L" (" +
                WalkStopText(err.stop) + L")");
        return false;
    }
    ExtractedScan scan(extractDir, counts);
    WalkOpenFolder(std::move(folder), std::wstring(), scan);
    return scan.Ok();
}

// The extractor has finished when this runs: one scan of what it wrote is the
// safety check that the tree holds every listed file and nothing more (two
// names one volume takes for the same file would leave one short).
bool CheckExtractedTree(const ClientFolder& client, const std::wstring& extractDir,
                        const ZipEntryCounts& listed, ExtractedCounts& counts) {
    counts = ExtractedCounts{};
    if (!ScanExtractedTree(client, extractDir, counts)) {
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
                    const ClientFolder& client, const std::wstring& target, uint64_t& written) {
    platform::FileWriter writer;
    Error err;
    if (!CreateFileBelow(client, target, writer, &err)) {
        LogMain(L"Failed to create extracted file. error=" + ToDecimal(err.code) + L" path=" +
                target + L" (" + WalkStopText(err.stop) + L")");
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
    DeleteTreeUnderRoot(target, client);
    return false;
}

bool WriteEntries(platform::ZipReader& reader, const std::vector<CheckedZipEntry>& entries,
                  const ClientFolder& client, const std::wstring& extractDir, uint32_t expected) {
    uint32_t files = 0;
    uint64_t written = 0;
    for (const CheckedZipEntry& checked : entries) {
        const std::wstring target = JoinPath(extractDir, checked.relativePath);
        if (!IsPathUnderRoot(target, extractDir) || IsSamePath(target, extractDir)) {
            LogMain(L"Extracted path escaped _full_extract: " + target);
            return false;
        }
        if (checked.folder) {
            Error err;
            if (!CreateFolderBelow(client, target, &err)) {
                LogMain(L"Failed to create extracted folder. error=" + ToDecimal(err.code) +
                        L" path=" + target + L" (" + WalkStopText(err.stop) + L")");
                return false;
            }
            continue;
        }
        if (!WriteFileEntry(reader, checked, client, target, written)) {
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

bool IsMainExeFile(const WalkItem& item) {
    return item.IsRegularFile() && FoldCase(item.name) == kMainExeName;
}

// Looks for Main.exe in the extract folder, then in its one and only real
// subfolder, in one walk: the files of a folder come before its folders, so
// Main.exe at the top ends the walk before any folder is entered, and a
// second subfolder ends it as soon as it is met.
class PackageRootSearch : public TreeVisitor {
  public:
    bool FilesFirst() const override { return true; }

    WalkStep Visit(const WalkItem& item) override {
        if (item.depth == 1) {
            if (IsMainExeFile(item)) {
                mainExe_ = item.name;
                return WalkStep::kStop;
            }
            if (!item.IsRealFolder()) {
                return WalkStep::kSkip;
            }
            if (!folder_.empty()) {
                severalFolders_ = true;
                return WalkStep::kStop;
            }
            folder_ = item.name;
            return WalkStep::kEnter;
        }
        if (mainExe_.empty() && IsMainExeFile(item)) {
            mainExe_ = JoinPath(folder_, item.name);
            inFolder_ = true;
        }
        return WalkStep::kSkip;
    }

    // Below the extract folder: the package root (empty for the extract
    // folder itself) and its Main.exe; false when there is none.
    bool Found(std::wstring& root, std::wstring& mainExe) const {
        if (mainExe_.empty() || severalFolders_) {
            return false;
        }
        root = inFolder_ ? folder_ : std::wstring();
        mainExe = mainExe_;
        return true;
    }

  private:
    std::wstring folder_;   // the first real subfolder's name
    std::wstring mainExe_;  // the first Main.exe found, in the extract folder or folder_
    bool inFolder_ = false;
    bool severalFolders_ = false;
};

}  // namespace

std::wstring FindPackageRoot(const ClientFolder& client, const std::wstring& extractDir,
                             std::wstring* mainExe) {
    std::wstring relative;
    if (!RelativePathUnderRoot(client.Resolved(), extractDir, relative)) {
        return std::wstring();
    }
    PackageRootSearch search;
    WalkTreeBelow(client, relative, search);
    std::wstring root;
    std::wstring exe;
    if (!search.Found(root, exe)) {
        return std::wstring();
    }
    if (mainExe != nullptr) {
        *mainExe = JoinPath(extractDir, exe);
    }
    return root.empty() ? extractDir : JoinPath(extractDir, root);
}

namespace {

// An empty _full_extract of our own: what an earlier run left there goes.
bool PrepareExtractFolder(const ClientFolder& client, const std::wstring& extractDir) {
    platform::FileInfo info;
    if (StatBelow(client, extractDir, info)) {
        LogMain(L"Cleaning previous _full_extract contents.");
        if (!DeleteTreeUnderRoot(extractDir, client)) {
            LogMain(L"Failed to clean _full_extract. No client files were touched.");
            return false;
        }
    }
    Error err;
    if (!CreateFolderBelow(client, extractDir, &err)) {
        LogMain(L"Failed to create _full_extract. error=" + ToDecimal(err.code));
        return false;
    }
    return true;
}

// Opens the package and checks its whole listing before the first write.
bool OpenAndCheckPackage(const std::wstring& packagePath, platform::ZipReader& reader,
                         ZipEntryCounts& entryCounts, std::vector<CheckedZipEntry>& entries) {
    if (!reader.OpenFile(packagePath)) {
        LogMain(L"Failed to open ZIP package: " + reader.LastErrorText() + L" path=" + packagePath);
        return false;
    }
    SetProgressState(L"Verifying ZIP entries...", L"Checking internal paths", L"",
                     kExtractEntriesPoint, false);
    std::vector<platform::ZipEntry> listing;
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
    return true;
}

// The declared sizes bound what gets written, so they can be checked
// against the disk before the first byte.
bool FitsOnDisk(const std::wstring& extractDir, const ZipEntryCounts& entryCounts) {
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
    return true;
}

}  // namespace

bool ExtractFullClientPackage(const ClientFolder& client, const std::wstring& packagePath,
                              std::wstring& extractDir, std::wstring& packageRoot,
                              ExtractedCounts& counts) {
    extractDir = JoinPath(client.Path(), kExtractFolderName);
    packageRoot.clear();
    counts = ExtractedCounts{};
    LogMain(L"extract path=" + extractDir);
    LogMain(L"extractor method=libzip");
    SetProgressState(L"Extracting full client...", L"Preparing _full_extract", L"",
                     kExtractPreparePoint, false);
    if (!PrepareExtractFolder(client, extractDir)) {
        return false;
    }

    platform::ZipReader reader;
    ZipEntryCounts entryCounts;
    std::vector<CheckedZipEntry> entries;
    if (!OpenAndCheckPackage(packagePath, reader, entryCounts, entries) ||
        !FitsOnDisk(extractDir, entryCounts)) {
        return false;
    }
    SetProgressState(L"Extracting full client...",
                     L"Archive files: " + ToDecimal(entryCounts.files),
                     L"Copying into _full_extract", kExtractCopyBand.base, false);
    if (!WriteEntries(reader, entries, client, extractDir, entryCounts.files)) {
        return false;
    }
    reader.Close();
    if (!CheckExtractedTree(client, extractDir, entryCounts, counts)) {
        return false;
    }

    SetProgressState(L"Verifying extracted package...", L"Detecting package root", L"",
                     kExtractFindRootPoint, false);
    std::wstring mainExe;
    packageRoot = FindPackageRoot(client, extractDir, &mainExe);
    if (packageRoot.empty()) {
        LogMain(L"Full client package extracted but Main.exe not found.");
        return false;
    }
    LogMain(L"extracted files=" + ToDecimal(counts.files) + L" folders=" +
            ToDecimal(counts.folders) + L" bytes=" + ToDecimal(counts.bytes));
    LogMain(L"detected package root=" + packageRoot);
    LogMain(L"Main.exe in extracted package=" + mainExe);
    return true;
}

}  // namespace rr
