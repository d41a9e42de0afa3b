#include "dry_run/repair_dry_run.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "dry_run/dry_run_progress.h"
#include "fs/safe_fs.h"
#include "fs/tree_walk.h"
#include "log/log.h"
#include "net/sha256.h"
#include "platform/fs.h"
#include "policy/preserve_rules.h"
#include "ui/progress.h"

namespace rr {

namespace {

bool IsPreserved(const std::wstring& relative, const Manifest& manifest) {
    return IsRepairPreserved(relative, &manifest.preserve);
}

}  // namespace

std::vector<std::wstring> BuildManagedRoots(const Manifest& manifest) {
    std::vector<std::wstring> source = manifest.managedRoots;
    if (source.empty()) {
        source.push_back(L"Data\\");
    }
    std::vector<std::wstring> roots;
    std::vector<std::wstring> keys;
    for (const std::wstring& entry : source) {
        std::wstring normalized;
        std::wstring why;
        if (!ValidateRelativePath(entry, normalized, &why)) {
            LogRepairDryRun(L"Ignored unsafe managedRoot: " + entry);
            LogRepairDryRun(why + L": " + entry);
            continue;
        }
        if (!IsInSafeRepairScope(normalized)) {
            LogRepairDryRun(L"Ignored unmanaged root outside safe repair scope: " + normalized);
            continue;
        }
        std::wstring key = MakeRuleKey(normalized);
        if (std::find(keys.begin(), keys.end(), key) != keys.end()) {
            continue;
        }
        keys.push_back(key);
        roots.push_back(normalized);
    }
    return roots;
}

namespace {

// CheckScannedFile with the client folder resolved once for the whole scan.
void CheckScannedFileBelow(const ResolvedRoot& client, const Manifest& manifest,
                           const std::wstring& fullPath, const ManifestKeySet& manifestKeys,
                           RepairDryRunCounts& counts) {
    std::wstring relative;
    if (!RelativePathUnderRoot(client, fullPath, relative)) {
        LogRepairDryRun(L"Ignored scan result outside client dir: " + fullPath);
        return;
    }
    if (IsPreserved(relative, manifest)) {
        return;
    }
    if (manifestKeys.count(MakeNameKey(relative)) != 0) {
        return;
    }
    ++counts.extra;
    LogRepairDryRun(L"EXTRA: " + relative);
}

}  // namespace

void CheckScannedFile(const std::wstring& clientDir, const Manifest& manifest,
                      const std::wstring& fullPath, const ManifestKeySet& manifestKeys,
                      RepairDryRunCounts& counts) {
    CheckScannedFileBelow(ResolveRoot(clientDir), manifest, fullPath, manifestKeys, counts);
}

namespace {

// A folder's own files first, then its folders, depth first: the order the
// report has always had.
class ExtraScan : public TreeVisitor {
  public:
    ExtraScan(const std::wstring& clientDir, const Manifest& manifest,
              const ManifestKeySet& manifestKeys, RepairDryRunCounts& counts)
        : clientDir_(clientDir),
          client_(ResolveRoot(clientDir)),
          manifest_(manifest),
          keys_(manifestKeys),
          counts_(counts) {}

    bool FilesFirst() const override { return true; }
    // Every entry that is no folder is checked by its name alone, never
    // opened: whether a file is read-only or mounted changes nothing here.
    bool KindsSuffice() const override { return true; }

    WalkStep Visit(const WalkItem& item) override {
        if (!item.IsDirectory()) {
            CheckScannedFileBelow(client_, manifest_, JoinPath(clientDir_, item.relative), keys_,
                                  counts_);
            return WalkStep::kSkip;
        }
        if (IsPreserved(item.relative, manifest_)) {
            return WalkStep::kSkip;
        }
        // Directory links are never entered: what lies behind them is not
        // this client's folder, and a link cycle would never end.
        if (item.IsReparsePoint()) {
            LogRepairDryRun(L"Skipped directory link during scan: " +
                            JoinPath(clientDir_, item.relative));
            return WalkStep::kSkip;
        }
        if (++folders_ % kPumpEvery == 0) {
            PumpMessages();
        }
        return WalkStep::kEnter;
    }

    void Unreadable(const std::wstring& relative, const Error& err) override {
        if (err.stop == WalkStop::kLink) {
            LogRepairDryRun(L"Skipped directory link during scan: " +
                            (relative.empty() ? clientDir_ : JoinPath(clientDir_, relative)));
        }
    }

  private:
    static constexpr uint32_t kPumpEvery = 64;

    const std::wstring& clientDir_;
    const ResolvedRoot client_;
    const Manifest& manifest_;
    const ManifestKeySet& keys_;
    RepairDryRunCounts& counts_;
    uint32_t folders_ = 0;
};

}  // namespace

void ScanDirectoryForExtras(const std::wstring& clientDir, const Manifest& manifest,
                            const std::wstring& directory, const ManifestKeySet& manifestKeys,
                            RepairDryRunCounts& counts) {
    std::wstring relative;
    if (!IsPathUnderRoot(directory, clientDir) ||
        (!IsSamePath(directory, clientDir) &&
         !RelativePathUnderRoot(clientDir, directory, relative))) {
        LogRepairDryRun(L"Ignored scan directory outside client dir: " + directory);
        return;
    }
    ExtraScan scan(clientDir, manifest, manifestKeys, counts);
    WalkTreeBelow(clientDir, relative, scan);
    PumpMessages();
}

void ScanManagedRoots(const std::wstring& clientDir, const Manifest& manifest,
                      const ManifestKeySet& manifestKeys, RepairDryRunCounts& counts) {
    std::vector<std::wstring> roots = BuildManagedRoots(manifest);
    LogRepairDryRun(L"Managed roots:");
    for (const std::wstring& root : roots) {
        LogRepairDryRun(L" - " + root);
    }
    const int64_t n = static_cast<int64_t>(roots.size());
    for (int64_t i = 0; i < n; ++i) {
        const std::wstring& root = roots[static_cast<size_t>(i)];
        const uint32_t position = static_cast<uint32_t>(i + 1);
        SetProgressState(L"Scanning managed roots...",
                         FormatStepText(L"Scanning root", root, position, static_cast<uint32_t>(n)),
                         L"", BandPermille(kDryRunScanBand, i, n), false);
        std::wstring full = JoinPath(clientDir, root);
        if (!IsPathUnderRoot(full, clientDir)) {
            LogRepairDryRun(L"Ignored managedRoot outside client dir after normalization: " + root);
            continue;
        }
        // A trailing separator ("Data\") must not make the check look through
        // a link: the walk examines the entry itself.
        platform::FileInfo info;
        Error err;
        if (!StatBelow(clientDir, full, info, &err) && err.stop == WalkStop::kLink) {
            LogRepairDryRun(L"Skipped directory link during scan: " + full);
        } else if (info.attributes != 0) {
            if (info.IsDirectory()) {
                if (info.IsReparsePoint()) {
                    LogRepairDryRun(L"Skipped directory link during scan: " + full);
                } else {
                    ScanDirectoryForExtras(clientDir, manifest, full, manifestKeys, counts);
                }
            } else {
                CheckScannedFile(clientDir, manifest, full, manifestKeys, counts);
            }
        }
        SetProgressState(L"Scanning managed roots...",
                         FormatStepText(L"Scanned root", root, position, static_cast<uint32_t>(n)),
                         L"", BandPermille(kDryRunScanBand, i + 1, n), false);
    }
}

namespace {

// A manifest entry the dry-run can look at: a safe path with a name key and
// a digest text, strictly below the client folder. Anything else is counted
// as blocked and logged.
bool CheckManifestEntry(const std::wstring& clientDir, const std::wstring& clientKey,
                        const ManifestFile& entry, RepairDryRunCounts& counts,
                        std::wstring& normalized, std::wstring& key, std::wstring& full) {
    std::wstring why;
    if (!ValidateRelativePath(entry.path, normalized, &why)) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED unsafe manifest path: " + entry.path);
        LogRepairDryRun(why + L": " + entry.path);
        return false;
    }
    key = MakeNameKey(normalized);
    if (key.empty()) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED invalid manifest path: " + normalized);
        return false;
    }
    if (!IsValidSha256Text(entry.sha256)) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED invalid SHA256 for manifest path: " + normalized);
        return false;
    }
    full = JoinPath(clientDir, normalized);
    if (!IsPathUnderRootKey(full, clientKey)) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED path outside client dir after normalization: " + normalized);
        return false;
    }
    return true;
}

// The local file of one manifest entry: blocked, missing, different or OK.
void CompareLocalFile(const ClientFolder& client, const ManifestFile& entry,
                      const std::wstring& normalized, const std::wstring& full,
                      RepairDryRunCounts& counts) {
    platform::FileInfo info;
    Error err;
    const bool found = StatBelow(client, full, info, &err);
    // A link, on the way or at the file, leads out of the client folder;
    // a FIFO or device would never finish hashing.
    if (err.stop == WalkStop::kLink || (found && info.IsReparsePoint())) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED reparse point: " + normalized);
        return;
    }
    if (found && !info.IsDirectory() && !info.IsRegularFile()) {
        ++counts.blocked;
        LogRepairDryRun(L"BLOCKED not a regular file: " + normalized);
        return;
    }
    if (!found || info.IsDirectory()) {
        ++counts.missing;
        LogRepairDryRun(L"MISSING: " + normalized);
        return;
    }
    std::string digest;
    if (!ComputeFileSha256Below(client, full, digest, &err)) {
        LogMain(err.text);
        ++counts.different;
        LogRepairDryRun(L"DIFFERENT: " + normalized + L" (could not read local SHA256)");
        return;
    }
    if (Sha256TextEquals(entry.sha256, digest)) {
        ++counts.ok;
        LogRepairDryRun(L"OK: " + normalized);
    } else {
        ++counts.different;
        LogRepairDryRun(L"DIFFERENT: " + normalized);
    }
}

void LogDryRunSummary(const RepairDryRunCounts& counts) {
    LogRepairDryRun(L"Repair dry-run summary:");
    LogRepairDryRun(L"OK count: " + ToDecimal(counts.ok));
    LogRepairDryRun(L"missing count: " + ToDecimal(counts.missing));
    LogRepairDryRun(L"different count: " + ToDecimal(counts.different));
    LogRepairDryRun(L"extra count: " + ToDecimal(counts.extra));
    if (counts.blocked != 0) {
        LogRepairDryRun(L"blocked count: " + ToDecimal(counts.blocked));
    }
    LogRepairDryRun(
        L"Repair dry-run complete. No files were downloaded, replaced, moved, or deleted.");
}

}  // namespace

RepairDryRunCounts ReportRepairDryRun(const std::wstring& clientDir, const Manifest& manifest) {
    // Only reads: one open client folder serves every check.
    const ClientFolder client(clientDir);
    const ClientFolder::ReadPhase reading(client);
    // The client folder's comparison key, taken once for every entry.
    const std::wstring clientKey = PathCompareKey(clientDir);
    RepairDryRunCounts counts;
    ManifestKeySet manifestKeys;
    manifestKeys.reserve(manifest.files.size());
    const int64_t n = static_cast<int64_t>(manifest.files.size());
    for (int64_t i = 0; i < n; ++i) {
        const ManifestFile& entry = manifest.files[static_cast<size_t>(i)];
        // No display, nothing to show: the step text is not even made.
        if (ProgressWindowExists()) {
            SetProgressState(L"Checking files...",
                             FormatStepText(L"Checking file", entry.path,
                                            static_cast<uint32_t>(i + 1), static_cast<uint32_t>(n)),
                             L"", BandPermille(kDryRunCheckBand, i, n), false);
        }
        std::wstring normalized;
        std::wstring key;
        std::wstring full;
        if (!CheckManifestEntry(clientDir, clientKey, entry, counts, normalized, key, full)) {
            continue;
        }
        manifestKeys.insert(std::move(key));
        CompareLocalFile(client, entry, normalized, full, counts);
    }
    ScanManagedRoots(clientDir, manifest, manifestKeys, counts);
    LogDryRunSummary(counts);
    return counts;
}

bool LoadFullManifestForRepair(HttpClient& http, const std::wstring& clientDir,
                               const FullManifestUrls& urls, Manifest& manifest,
                               std::wstring& usedUrl) {
    std::vector<std::wstring> sources;
    if (!urls.url.empty()) {
        sources.push_back(urls.url);
    }
    if (!urls.fallbackUrl.empty()) {
        sources.push_back(urls.fallbackUrl);
    }
    if (sources.empty()) {
        LogRepairDryRun(L"No full manifest URL was provided for repair dry-run.");
        return false;
    }
    auto progress = [](const std::wstring& detail, uint32_t index, uint32_t count, int sub) {
        ShowBandStep(L"Repair dry-run", detail, kManifestLoadBand, index, count, sub);
    };
    return LoadManifestFromSources(http, sources, progress, kFullManifestMaxBytes, manifest,
                                   usedUrl, ManifestAcceptance{clientDir, false});
}

bool RunRepairDryRun(const RunConfig& config, RunContext& context) {
    LogRepairDryRun(L"RiveRoravav repair dry-run started");
    SetProgressState(L"Repair dry-run", L"Checking manifest...", L"", kManifestLoadBand.base,
                     false);

    Manifest manifest;
    std::wstring usedUrl;
    const FullManifestUrls urls{config.fullManifestUrl, config.fallbackFullManifestUrl};
    if (!LoadFullManifestForRepair(context.http, config.clientDir, urls, manifest, usedUrl)) {
        LogRepairDryRun(L"Failed to download a valid full manifest. No files were touched.");
        SetProgressState(L"Repair dry-run failed", L"Full manifest could not be loaded",
                         L"Check Logs\\RepairDryRun.log", kProgressComplete, true);
        return false;
    }

    LogRepairDryRun(L"Full manifest used: " + usedUrl);
    LogRepairDryRun(L"Full manifest version: " + manifest.version);
    LogRepairDryRun(L"Total files in full manifest: " + ToDecimal(manifest.files.size()));
    if (!manifest.preserve.empty()) {
        LogRepairDryRun(L"Preserve rules:");
        for (const std::wstring& rule : manifest.preserve) {
            LogRepairDryRun(L" - " + rule);
        }
    }

    RepairDryRunCounts counts = ReportRepairDryRun(config.clientDir, manifest);

    SetProgressState(L"Repair dry-run complete",
                     L"OK " + ToDecimal(counts.ok) + L" | Missing " + ToDecimal(counts.missing) +
                         L" | Different " + ToDecimal(counts.different) + L" | Extra " +
                         ToDecimal(counts.extra),
                     L"No files were changed", kProgressComplete, false);
    return true;
}

}  // namespace rr
