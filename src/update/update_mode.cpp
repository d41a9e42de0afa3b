#include "update/update_mode.h"

#include <vector>

#include "log/delete_under_root.h"
#include "log/log.h"
#include "manifest/manifest.h"
#include "policy/incremental_allowlist.h"
#include "ui/progress.h"
#include "update/apply_update.h"
#include "update/prepare_update.h"

namespace rr {

namespace {

bool Fail(const std::wstring& detail) {
    SetProgressState(L"Update failed", detail, L"Check Logs\\RiveRoravav.log", kProgressComplete,
                     true);
    return false;
}

}  // namespace

bool RunUpdateMode(const RunConfig& config, RunContext& context) {
    LogMain(L"RiveRoravav V2-C4.3 safe Main/Data update mode started");
    LogMain(IncrementalPolicySentence());
    SetProgressState(L"Checking updates...", L"Downloading manifest", L"", kManifestLoadBand.base,
                     false);

    std::vector<std::wstring> sources;
    if (!config.manifestUrl.empty()) {
        sources.push_back(config.manifestUrl);
    }
    if (!config.fallbackManifestUrl.empty()) {
        sources.push_back(config.fallbackManifestUrl);
    }
    Manifest manifest;
    std::wstring usedUrl;
    auto progress = [](const std::wstring& detail, uint32_t index, uint32_t count, int sub) {
        ShowBandStep(L"Checking updates...", detail, kManifestLoadBand, index, count, sub);
    };
    if (!LoadManifestFromSources(context.http, sources, progress, kUpdateManifestMaxBytes, manifest,
                                 usedUrl, ManifestAcceptance{config.clientDir, true})) {
        LogMain(
            L"Failed to download a valid manifest from primary and fallback URL. No files will be "
            L"touched.");
        return Fail(L"Manifest could not be loaded");
    }

    LogMain(L"Manifest version=" + manifest.version);
    if (!manifest.minimumUpdaterVersion.empty()) {
        LogMain(L"Manifest minimumUpdaterVersion=" + manifest.minimumUpdaterVersion);
    }
    SetProgressState(L"Checking files...", L"Manifest version " + manifest.version, L"",
                     kManifestLoadBand.end(), false);

    // Opened once: every download, backup and replacement starts from it.
    const ClientFolder client(config.clientDir);
    std::vector<PreparedFile> prepared;
    if (!PrepareUpdateFiles(context.http, client, manifest, usedUrl, prepared)) {
        LogMain(L"PrepareUpdateFiles failed. No files were replaced.");
        return Fail(L"Could not prepare files");
    }

    if (prepared.empty()) {
        DeleteTreeUnderRoot(StagingRoot(client), client);
        LogMain(L"All files already up to date.");
        SetProgressState(L"Finished", L"All files already up to date", L"", kProgressComplete,
                         false);
        return true;
    }

    if (!ApplyPreparedFiles(client, prepared)) {
        LogMain(L"ApplyPreparedFiles failed.");
        return Fail(L"Could not apply files");
    }

    LogMain(L"RiveRoravav V2-C4.3 Main/Data update finished successfully");
    SetProgressState(L"Finished", L"Update complete", L"", kProgressComplete, false);
    return true;
}

}  // namespace rr
