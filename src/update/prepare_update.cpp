#include "update/prepare_update.h"

#include <algorithm>

#include "fs/file_ops.h"
#include "policy/incremental_allowlist.h"
#include "base/path.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "net/download_check.h"
#include "net/http.h"
#include "net/sha256.h"
#include "platform/fs.h"
#include "ui/progress.h"

namespace rr {

std::wstring StagingRoot(const RunConfig& config) {
    return JoinPath(config.clientDir, L"_update_tmp");
}

std::wstring CopyStagingFolder(const RunConfig& config) {
    return JoinPath(StagingRoot(config), L"~copies");
}

std::wstring BackupRoot(const RunConfig& config) {
    return JoinPath(config.clientDir, L"_backup_update");
}

bool PrepareUpdateFiles(HttpClient& http, const RunConfig& config, const Manifest& manifest,
                        const std::wstring& usedManifestUrl, std::vector<PreparedFile>& prepared) {
    prepared.clear();
    const std::wstring& clientDir = config.clientDir;
    const std::wstring stagingRoot = StagingRoot(config);
    const std::wstring backupRoot = BackupRoot(config);

    DeleteTreeUnderRoot(stagingRoot, clientDir);
    // Our own work folder must be a real folder: a link there would carry
    // downloads out of the client folder.
    WalkStop stop = WalkStop::kNone;
    if (!CreateFolderBelow(clientDir, stagingRoot, &stop)) {
        LogMain(L"Failed to create temp root: " + stagingRoot +
                (stop == WalkStop::kLink ? L" reason=link" : L""));
        return false;
    }

    const int64_t n = static_cast<int64_t>(manifest.files.size());
    for (int64_t i = 1; i <= n; ++i) {
        const ManifestFile& entry = manifest.files[static_cast<size_t>(i - 1)];
        const uint32_t index = static_cast<uint32_t>(i);
        const uint32_t count = static_cast<uint32_t>(n);
        SetProgressState(L"Checking files...",
                         FormatStepText(L"Checking file", entry.path, index, count), L"",
                         BandPermille(kUpdateCheckBand, i - 1, n), false);

        std::wstring normalized;
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

        PreparedFile file;
        file.relativePath = normalized;
        file.tempPath = JoinPath(stagingRoot, normalized);
        file.destinationPath = JoinPath(clientDir, normalized);
        file.backupPath = JoinPath(backupRoot, normalized);
        if (!IsPathUnderRoot(file.tempPath, stagingRoot) ||
            !IsPathUnderRoot(file.destinationPath, clientDir) ||
            !IsPathUnderRoot(file.backupPath, backupRoot)) {
            LogMain(L"Rejected path after full normalization: " + normalized);
            return false;
        }
        // A link at the destination or on the way to it would carry the new
        // bytes to wherever it points; anything but a regular file there
        // (a folder, a FIFO, a device) cannot be hashed or replaced.
        platform::FileInfo local;
        WalkStop walk = WalkStop::kNone;
        const bool localExists = StatBelow(clientDir, file.destinationPath, local, &walk);
        if (walk == WalkStop::kLink || (localExists && local.IsReparsePoint())) {
            LogMain(L"Rejected link at update destination: " + file.destinationPath);
            return false;
        }
        if (walk == WalkStop::kNotFolder || (localExists && !local.IsRegularFile())) {
            LogMain(L"Rejected update destination that is not a regular file: " +
                    file.destinationPath);
            return false;
        }

        if (!localExists) {
            LogMain(L"Local file missing and needs update: " + normalized);
        } else {
            std::string localDigest;
            Error err;
            if (!ComputeFileSha256Below(clientDir, file.destinationPath, localDigest, &err)) {
                LogMain(err.text);
                LogMain(L"Failed to calculate local SHA256. No files will be replaced: " +
                        normalized);
                return false;
            }
            if (Sha256TextEquals(localDigest, entry.sha256)) {
                LogMain(L"Local file already up to date: " + normalized);
                SetProgressState(L"Checking files...",
                                 FormatStepText(L"Already up to date", normalized, index, count),
                                 L"", BandPermille(kUpdateCheckBand, i, n), false);
                continue;
            }
            LogMain(L"Local file differs and needs update: " + normalized);
        }

        std::vector<std::wstring> urls;
        if (!BuildFileUrls(entry, manifest, usedManifestUrl, urls)) {
            LogMain(L"No valid download URL for: " + normalized);
            return false;
        }

        bool verified = false;
        for (const std::wstring& url : urls) {
            LogMain(L"Downloading file: " + url);
            const TransferEvents events{
                [](uint32_t status) { LogMain(HttpStatusLine(HttpUse::kDownload, status)); },
                [&](uint64_t received, bool complete) {
                    ShowDownloadProgress(normalized, index, count, received, entry.size, complete);
                }};
            Error err;
            if (!DownloadUrlToFile(http, {url, clientDir, file.tempPath, entry.size + 1}, events,
                                   &err)) {
                LogMain(err.text);
                continue;
            }
            SetProgressState(
                L"Verifying...", FormatStepText(L"Verifying file", normalized, index, count),
                L"Checking size and SHA256",
                BandPermille(kUpdateVerifyBand, (i - 1) * 1000 + 500, n * 1000), false);
            if (ValidateDownloadedFile(clientDir, file.tempPath, entry.sha256, entry.size, &err)) {
                SetProgressState(L"Verifying...",
                                 FormatStepText(L"Verified file", normalized, index, count),
                                 L"SHA256 OK", BandPermille(kUpdateVerifyBand, i, n), false);
                verified = true;
                break;
            }
            LogMain(err.text);
            DeleteTreeUnderRoot(file.tempPath, clientDir);
        }
        if (!verified) {
            LogMain(L"Failed to download and validate: " + normalized);
            return false;
        }

        file.destinationExisted = localExists;
        prepared.push_back(file);
    }

    std::stable_partition(prepared.begin(), prepared.end(),
                          [](const PreparedFile& f) { return !IsMainExePath(f.relativePath); });
    return true;
}

}  // namespace rr
