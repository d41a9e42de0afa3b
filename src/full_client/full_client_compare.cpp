#include "full_client/full_client_compare.h"

#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "full_client/full_client_progress.h"
#include "policy/preserve_rules.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

namespace {

const wchar_t* const kComparingStatus = L"Comparing full client...";

// Real folder strictly below the client folder, reached without a link.
bool IsUsablePackageRoot(const ClientFolder& client, const std::wstring& packageRoot) {
    platform::FileInfo info;
    return IsPathUnderRoot(packageRoot, client.Path()) && StatBelow(client, packageRoot, info) &&
           info.IsDirectory() && !info.IsReparsePoint();
}

void ClassifyPackageFile(const ClientFolder& client, const PackageFile& file,
                         FullClientCompareCounts& counts) {
    const std::wstring& relative = file.relativePath;
    if (IsFullClientPreserved(relative)) {
        ++counts.preserved;
        LogFullClientCompare(L"WARNING: package contains preserved file and it will be ignored: " +
                             relative);
        LogFullClientCompare(L"PRESERVED/SKIPPED: " + relative);
        return;
    }
    const std::wstring clientPath = JoinPath(client.Path(), relative);
    if (!IsPathUnderRoot(clientPath, client.Path())) {
        ++counts.blocked;
        LogFullClientCompare(L"BLOCKED mapped client path outside clientDir: " + clientPath);
        return;
    }
    uint64_t clientSize = 0;
    switch (MatchClientFile(client, file, clientPath, clientSize)) {
        case FileMatch::kSame:
            ++counts.ok;
            return;
        case FileMatch::kMissing:
            ++counts.missing;
            LogFullClientCompare(L"MISSING: " + relative);
            return;
        case FileMatch::kUnreadable:
            ++counts.blocked;
            LogFullClientCompare(L"BLOCKED could not read local size: " + relative);
            return;
        case FileMatch::kSizeDiffers:
            ++counts.different;
            LogFullClientCompare(L"DIFFERENT: " + relative + L" (size package=" +
                                 ToDecimal(file.size) + L" client=" + ToDecimal(clientSize) + L")");
            return;
        case FileMatch::kHashFailed:
            ++counts.blocked;
            LogFullClientCompare(L"BLOCKED could not hash file: " + relative);
            return;
        case FileMatch::kContentDiffers:
            ++counts.different;
            LogFullClientCompare(L"DIFFERENT: " + relative + L" (sha256 mismatch)");
            return;
    }
}

void LogSummary(const FullClientCompareCounts& counts) {
    LogFullClientCompare(L"Full client compare summary:");
    LogFullClientCompare(L"Package files: " + ToDecimal(counts.packageFiles));
    LogFullClientCompare(L"Client files scanned for extras: " +
                         ToDecimal(counts.clientFilesScanned));
    LogFullClientCompare(L"OK count: " + ToDecimal(counts.ok));
    LogFullClientCompare(L"MISSING count: " + ToDecimal(counts.missing));
    LogFullClientCompare(L"DIFFERENT count: " + ToDecimal(counts.different));
    LogFullClientCompare(L"EXTRA count: " + ToDecimal(counts.extra));
    LogFullClientCompare(L"BLOCKED count: " + ToDecimal(counts.blocked));
    LogFullClientCompare(L"PRESERVED count: " + ToDecimal(counts.preserved));
    LogFullClientCompare(
        L"Full client compare dry-run complete. No files were replaced, moved, or deleted.");
    LogMain(L"Full client compare dry-run summary: OK=" + ToDecimal(counts.ok) + L" MISSING=" +
            ToDecimal(counts.missing) + L" DIFFERENT=" + ToDecimal(counts.different) + L" EXTRA=" +
            ToDecimal(counts.extra) + L" BLOCKED=" + ToDecimal(counts.blocked) + L" PRESERVED=" +
            ToDecimal(counts.preserved));
}

}  // namespace

bool CompareFullClient(const ClientFolder& client, const std::wstring& packageRoot,
                       const std::wstring& packagePath, FullClientCompareCounts& counts) {
    LogFullClientCompare(std::wstring(60, L'='));
    LogFullClientCompare(L"Full client compare dry-run started");
    LogFullClientCompare(L"ZIP path: " + packagePath);
    LogFullClientCompare(L"packageRoot: " + packageRoot);
    LogFullClientCompare(L"clientDir: " + client.Path());
    LogFullClientCompare(L"Preserve rules:");
    for (const std::wstring& rule : FullClientPreserveRules()) {
        LogFullClientCompare(L" - " + rule);
    }
    if (!IsUsablePackageRoot(client, packageRoot)) {
        ++counts.blocked;
        LogFullClientCompare(L"BLOCKED packageRoot is invalid or outside clientDir.");
        return false;
    }

    SetProgressState(kComparingStatus, L"Collecting package files", L"", kCompareBand.base, false);
    std::vector<PackageFile> files;
    PackageKeySet keys;
    CollectPackageFiles(client, packageRoot, packageRoot, files, keys, counts,
                        LogFullClientCompare);
    LogFullClientCompare(L"Total package files: " + ToDecimal(files.size()));

    // Only reads: one open client folder serves every file's check.
    const ClientFolder::ReadPhase reading(client);
    const uint32_t total = static_cast<uint32_t>(files.size());
    for (uint32_t n = 1; n <= total; ++n) {
        const PackageFile& file = files[n - 1];
        if (n % 25 == 1 || n == total) {
            SetProgressState(
                kComparingStatus,
                FormatStepText(L"Checking extracted file", file.relativePath, n, total), L"",
                BandPermille(kCompareBand, n - 1, total), false);
        }
        ClassifyPackageFile(client, file, counts);
    }

    SetProgressState(L"Scanning local extras...", L"Checking client files not present in package",
                     L"", kCompareExtrasPoint, false);
    ScanLocalExtras(client.Path(), client, keys, counts, LogFullClientCompare);
    LogSummary(counts);
    return true;
}

}  // namespace rr
