#pragma once
#include <cstdint>
#include <unordered_set>
#include <string>
#include <vector>

#include "manifest/manifest.h"
#include "run/run_config.h"
#include "run/run_context.h"

namespace rr {

struct RepairDryRunCounts {
    uint32_t ok = 0;
    uint32_t missing = 0;
    uint32_t different = 0;
    uint32_t extra = 0;
    uint32_t blocked = 0;
};

using ManifestKeySet = std::unordered_set<std::wstring>;

// Compares the client with the full manifest and reports OK, MISSING,
// DIFFERENT, EXTRA and BLOCKED entries. Changes nothing on disk; false only
// when no full manifest could be loaded.
bool RunRepairDryRun(const RunConfig& config, RunContext& context);

// Where the full manifest comes from: its URL, then its fallback (either may
// be empty).
struct FullManifestUrls {
    std::wstring url;
    std::wstring fallbackUrl;
};

// The full manifest URL, then its fallback, checked against the sequence
// recorded for clientDir (empty: against none) without raising it.
bool LoadFullManifestForRepair(HttpClient& http, const std::wstring& clientDir,
                               const FullManifestUrls& urls, Manifest& manifest,
                               std::wstring& usedUrl);

// The same report for an already loaded manifest (the run after loading).
RepairDryRunCounts ReportRepairDryRun(const std::wstring& clientDir, const Manifest& manifest);

std::vector<std::wstring> BuildManagedRoots(const Manifest& manifest);
void ScanManagedRoots(const std::wstring& clientDir, const Manifest& manifest,
                      const ManifestKeySet& manifestKeys, RepairDryRunCounts& counts);
void ScanDirectoryForExtras(const std::wstring& clientDir, const Manifest& manifest,
                            const std::wstring& directory, const ManifestKeySet& manifestKeys,
                            RepairDryRunCounts& counts);
void CheckScannedFile(const std::wstring& clientDir, const Manifest& manifest,
                      const std::wstring& fullPath, const ManifestKeySet& manifestKeys,
                      RepairDryRunCounts& counts);

}  // namespace rr
