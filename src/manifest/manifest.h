#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/http_client.h"

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
    // Read for signed builds only (freeze and rollback protection); an
    // unsigned build ignores both, present or not, well formed or not.
    std::wstring expires;      // "YYYY-MM-DDTHH:MM:SSZ" as written; empty when absent
    bool hasSequence = false;  // a JSON number of decimal digits that fits 64 bits
    uint64_t sequence = 0;
};

// Where a signed build keeps the highest manifest sequence it accepted for a
// client folder, and whether accepting a manifest may raise it. The update
// mode raises it; the repair dry-run, which changes nothing, only checks it.
// An empty clientDir checks against no record at all.
struct ManifestAcceptance {
    std::wstring clientDir;
    bool recordAccepted = false;
};

// Parses and validates a manifest body. The output is reset first; after a
// failure it may hold a part and must not be used.
bool ParseManifest(std::string_view body, Manifest& manifest);

// How far loading has come, for the display: the detail line, and step `index`
// (1-based) of `count` sources with that step `subPermille` done; a loaded
// manifest is the last step done.
using ManifestProgress = std::function<void(const std::wstring& detail, uint32_t index,
                                            uint32_t count, int subPermille)>;

// Tries the sources in order until one yields a valid manifest; the first that
// does wins and later ones are never fetched. `progress` (may be empty) hears
// of each step. usedUrl names the source that produced it. In a
// build with a publisher key a source also fails when its signature, expiry or
// sequence is refused (see manifest_signature.h, manifest_freshness.h).
bool LoadManifestFromSources(HttpClient& http, const std::vector<std::wstring>& sources,
                             const ManifestProgress& progress, uint64_t maxBytes,
                             Manifest& manifest, std::wstring& usedUrl,
                             const ManifestAcceptance& acceptance = ManifestAcceptance{});

// The ordered URLs to download one entry from: its own absolute URL, else each
// http(s) mirror joined with it, else the manifest's own folder joined with it.
bool BuildFileUrls(const ManifestFile& file, const Manifest& manifest, const std::wstring& usedUrl,
                   std::vector<std::wstring>& urls);

}  // namespace rr
