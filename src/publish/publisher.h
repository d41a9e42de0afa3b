#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "publish/publish_options.h"

namespace rr::publish {

// The fixed names of the output folder.
extern const wchar_t* const kUpdateManifestName;  // manifest.json
extern const wchar_t* const kFullManifestName;    // full-manifest.json
extern const wchar_t* const kPackageName;         // Orvella_Client.zip
extern const wchar_t* const kContentFolder;       // files

struct LeftOutFile {
    std::wstring path;
    std::wstring reason;  // the allowlist's reason code
};

struct PublishReport {
    std::vector<std::wstring> refusals;  // why the release folder was refused
    Error error;                         // why publishing failed otherwise
    size_t fileCount = 0;
    size_t updateCount = 0;
    std::vector<LeftOutFile> leftOut;  // not in the update manifest
    std::wstring packageUrl;
    std::string packageSha256;
    uint64_t packageSize = 0;
};

// Publishes the release folder into the output folder: the update manifest
// (what the allowlist lets the update mode replace), the full manifest (every
// file, managed roots, preserve rules), the files under files/<2 hex>/<sha256>
// (named by content, so mirrors serve them as static files and a file shared
// by two paths or kept across releases is stored once), the full client
// package and, with a key, a .sig beside each manifest. Everything that can
// refuse the release is checked before the first byte is written, and each
// manifest is read back with the updater's own parser before it is kept.
bool PublishRelease(const PublishOptions& options, PublishReport& report);

}  // namespace rr::publish
