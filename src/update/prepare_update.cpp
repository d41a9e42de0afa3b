#include "update/prepare_update.h"

#include <algorithm>

#include "base/text.h"
#include "log/delete_under_root.h"
#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "net/download_check.h"
#include "net/http.h"
#include "net/sha256.h"
#include "platform/fs.h"
#include "ui/progress.h"
#include "update/update_progress.h"

namespace rr {

std::wstring StagingRoot(const ClientFolder& client) {
    return JoinPath(client.Path(), L"_update_tmp");
}

std::wstring CopyStagingFolder(const ClientFolder& client) {
    return JoinPath(StagingRoot(client), L"~copies");
}

std::wstring BackupRoot(const ClientFolder& client) {
    return JoinPath(client.Path(), L"_backup_update");
}

namespace {

// One manifest entry on its way through the check: its place in the run
// for the progress bar, and the file it will become.
struct EntryStep {
    const ManifestFile& entry;
    int64_t i;  // 1-based
    int64_t n;
    uint32_t Index() const { return static_cast<uint32_t>(i); }
    uint32_t Count() const { return static_cast<uint32_t>(n); }
};

enum class LocalState { kMissing, kDiffers, kUpToDate, kFailed };

// Starts every run with an empty work folder of our own.
bool MakeStagingRoot(const ClientFolder& client, const std::wstring& stagingRoot) {
    DeleteTreeUnderRoot(stagingRoot, client);
    // Our own work folder must be a real folder: a link there would carry
    // downloads out of the client folder.
    Error err;
    if (!CreateFolderBelow(client, stagingRoot, &err)) {
        LogMain(L"Failed to create temp root: " + stagingRoot +
                (err.stop == WalkStop::kLink ? L" reason=link" : L""));
        return false;
    }
    return true;
}

// The entry's path, its place under the update policy, its size and digest
// text; `normalized` is the path the update uses.
bool ValidateEntry(const ManifestFile& entry, std::wstring& normalized) {
    std::wstring why;
    if (!ValidateRelativePath(entry.path, normalized, &why)) {
        LogMain(L"Rejected unsafe manifest path: " + entry.path);
        LogMain(why + L": " + entry.path);
        LogMain(L"BLOCKED manifest file not allowed: " + entry.path +
                L" reason=invalid-relative-path");
        LogMain(L"PrepareUpdateFiles failed due to blocked path: " + entry.path);
        return false;
    }
    PathPolicyDecision decision;
    ClassifyIncrementalPath(normalized, decision);
    if (!decision.allowed) {
        LogMain(L"BLOCKED manifest file not allowed: " + normalized + L" reason=" +
                decision.reason);
        LogMain(L"PrepareUpdateFiles failed due to blocked path: " + normalized);
        LogMain(IncrementalPolicySentence());
        return false;
    }
    if (entry.size > kMaxIncrementalFileBytes) {
        LogMain(L"Rejected oversized test file: " + ToDecimal(entry.size));
        return false;
    }
    if (!IsValidSha256Text(entry.sha256)) {
        LogMain(L"Rejected file entry with invalid SHA256 text.");
        return false;
    }
    return true;
}

// Where the file is staged, replaced and backed up, each checked to lie in
// its own folder.
bool PlanFilePaths(const ClientFolder& client, const std::wstring& normalized, PreparedFile& file) {
    const std::wstring stagingRoot = StagingRoot(client);
    const std::wstring backupRoot = BackupRoot(client);
    file.relativePath = normalized;
    file.tempPath = JoinPath(stagingRoot, normalized);
    file.destinationPath = JoinPath(client.Path(), normalized);
    file.backupPath = JoinPath(backupRoot, normalized);
    if (!IsPathUnderRoot(file.tempPath, stagingRoot) ||
        !IsPathUnderRoot(file.destinationPath, client.Path()) ||
        !IsPathUnderRoot(file.backupPath, backupRoot)) {
        LogMain(L"Rejected path after full normalization: " + normalized);
        return false;
    }
    return true;
}

// What stands at the destination now, compared with the entry's digest.
LocalState ReadLocalState(const ClientFolder& client, const EntryStep& step, PreparedFile& file) {
    // A link at the destination or on the way to it would carry the new
    // bytes to wherever it points; anything but a regular file there
    // (a folder, a FIFO, a device) cannot be hashed or replaced.
    const std::wstring& normalized = file.relativePath;
    platform::FileInfo local;
    Error err;
    const bool localExists = StatBelow(client, file.destinationPath, local, &err);
    if (err.stop == WalkStop::kLink || (localExists && local.IsReparsePoint())) {
        LogMain(L"Rejected link at update destination: " + file.destinationPath);
        return LocalState::kFailed;
    }
    if (err.stop == WalkStop::kNotFolder || (localExists && !local.IsRegularFile())) {
        LogMain(L"Rejected update destination that is not a regular file: " + file.destinationPath);
        return LocalState::kFailed;
    }
    file.destinationExisted = localExists;
    if (!localExists) {
        LogMain(L"Local file missing and needs update: " + normalized);
        return LocalState::kMissing;
    }
    std::string localDigest;
    if (!ComputeFileSha256Below(client, file.destinationPath, localDigest, &err)) {
        LogMain(err.text);
        LogMain(L"Failed to calculate local SHA256. No files will be replaced: " + normalized);
        return LocalState::kFailed;
    }
    if (Sha256TextEquals(localDigest, step.entry.sha256)) {
        LogMain(L"Local file already up to date: " + normalized);
        SetProgressState(
            L"Checking files...",
            FormatStepText(L"Already up to date", normalized, step.Index(), step.Count()), L"",
            BandPermille(kUpdateCheckBand, step.i, step.n), false);
        return LocalState::kUpToDate;
    }
    LogMain(L"Local file differs and needs update: " + normalized);
    return LocalState::kDiffers;
}

// One download into the staging file, then its size and digest; a copy that
// does not match is deleted.
bool DownloadOneCopy(HttpClient& http, const ClientFolder& client, const EntryStep& step,
                     const PreparedFile& file, const std::wstring& url, RetryCause& cause) {
    const std::wstring& normalized = file.relativePath;
    const ManifestFile& entry = step.entry;
    LogMain(L"Downloading file: " + url);
    const TransferEvents events{
        [](uint32_t status) { LogMain(HttpStatusLine(HttpUse::kDownload, status)); },
        [&](uint64_t received, bool complete) {
            ShowDownloadProgress(normalized, step.Index(), step.Count(), received, entry.size,
                                 complete);
        },
        &cause};
    Error err;
    if (!DownloadUrlToFile(http, {url, client, file.tempPath, entry.size + 1}, events, &err)) {
        LogMain(err.text);
        return false;
    }
    SetProgressState(
        L"Verifying...", FormatStepText(L"Verifying file", normalized, step.Index(), step.Count()),
        L"Checking size and SHA256",
        BandPermille(kUpdateVerifyBand, (step.i - 1) * 1000 + 500, step.n * 1000), false);
    if (ValidateDownloadedFile(client, file.tempPath, entry.sha256, entry.size, &err)) {
        SetProgressState(L"Verifying...",
                         FormatStepText(L"Verified file", normalized, step.Index(), step.Count()),
                         L"SHA256 OK", BandPermille(kUpdateVerifyBand, step.i, step.n), false);
        return true;
    }
    LogMain(err.text);
    DeleteTreeUnderRoot(file.tempPath, client);
    return false;
}

// Tries the entry's URLs in order until one gives a verified copy; a passing
// failure is tried again on the same URL first.
bool DownloadVerifiedCopy(HttpClient& http, const ClientFolder& client, const Manifest& manifest,
                          const std::wstring& usedManifestUrl, const EntryStep& step,
                          const PreparedFile& file) {
    std::vector<std::wstring> urls;
    if (!BuildFileUrls(step.entry, manifest, usedManifestUrl, urls)) {
        LogMain(L"No valid download URL for: " + file.relativePath);
        return false;
    }
    for (const std::wstring& url : urls) {
        if (WithRetries(http.Retries(), url, [&](RetryCause& cause) {
                return DownloadOneCopy(http, client, step, file, url, cause);
            })) {
            return true;
        }
    }
    LogMain(L"Failed to download and validate: " + file.relativePath);
    return false;
}

}  // namespace

bool PrepareUpdateFiles(HttpClient& http, const ClientFolder& client, const Manifest& manifest,
                        const std::wstring& usedManifestUrl, std::vector<PreparedFile>& prepared) {
    prepared.clear();
    if (!MakeStagingRoot(client, StagingRoot(client))) {
        return false;
    }
    const int64_t n = static_cast<int64_t>(manifest.files.size());
    for (int64_t i = 1; i <= n; ++i) {
        const EntryStep step{manifest.files[static_cast<size_t>(i - 1)], i, n};
        SetProgressState(
            L"Checking files...",
            FormatStepText(L"Checking file", step.entry.path, step.Index(), step.Count()), L"",
            BandPermille(kUpdateCheckBand, i - 1, n), false);
        std::wstring normalized;
        PreparedFile file;
        if (!ValidateEntry(step.entry, normalized) || !PlanFilePaths(client, normalized, file)) {
            return false;
        }
        const LocalState local = ReadLocalState(client, step, file);
        if (local == LocalState::kFailed) {
            return false;
        }
        if (local == LocalState::kUpToDate) {
            continue;
        }
        if (!DownloadVerifiedCopy(http, client, manifest, usedManifestUrl, step, file)) {
            return false;
        }
        prepared.push_back(file);
    }

    std::stable_partition(prepared.begin(), prepared.end(),
                          [](const PreparedFile& f) { return !IsMainExePath(f.relativePath); });
    return true;
}

}  // namespace rr
