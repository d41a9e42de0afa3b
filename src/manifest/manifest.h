#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_config.h"

namespace rr {

// Body limits of the two manifest kinds.
constexpr uint64_t kUpdateManifestMaxBytes = 262144;
constexpr uint64_t kFullManifestMaxBytes = 16777216;

struct ManifestFile {
    std::wstring path;  // relative, as written; validated by the caller
    std::wstring url;   // absolute http(s), or relative to a mirror or the manifest
    uint64_t size = 0;
    std::string sha256;  // the expected digest text exactly as written
};

struct Manifest {
    std::wstring version;
    std::wstring minimumUpdaterVersion;
    std::vector<std::wstring> mirrors;
    std::vector<std::wstring> managedRoots;
    std::vector<std::wstring> preserve;
    std::vector<ManifestFile> files;  // never empty in a loaded manifest
};

// Parses and validates a manifest body. The output is reset first; after a
// failure it may hold a part and must not be used.
bool ParseManifest(std::string_view body, Manifest& manifest);

// Tries the sources in order until one yields a valid manifest; the first that
// does wins and later ones are never fetched. statusText is the display's
// status line while loading. usedUrl names the source that produced it.
bool LoadManifestFromSources(const std::vector<std::wstring>& sources,
                             const std::wstring& statusText, uint64_t maxBytes, Manifest& manifest,
                             std::wstring& usedUrl);

// The repair dry-run's manifest: the full manifest URL, then its fallback.
bool LoadFullManifestForRepair(const RunConfig& config, Manifest& manifest, std::wstring& usedUrl);

// The ordered URLs to download one entry from: its own absolute URL, else each
// http(s) mirror joined with it, else the manifest's own folder joined with it.
bool BuildFileUrls(const ManifestFile& file, const Manifest& manifest, const std::wstring& usedUrl,
                   std::vector<std::wstring>& urls);

}  // namespace rr
