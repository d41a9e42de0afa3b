#pragma once
#include <string>
#include <vector>

#include "fs/safe_fs.h"
#include "manifest/manifest.h"
#include "net/http_client.h"

namespace rr {

// One file of the incremental update, from verified download to replacement.
struct PreparedFile {
    std::wstring relativePath;
    std::wstring tempPath;
    std::wstring destinationPath;
    std::wstring backupPath;
    bool destinationExisted = false;
};

// The largest file the incremental update accepts.
constexpr uint64_t kMaxIncrementalFileBytes = 52428800;

std::wstring StagingRoot(const ClientFolder& client);
std::wstring BackupRoot(const ClientFolder& client);
// Where the apply writes each new file before it renames it into place:
// inside _update_tmp, which every update run empties at its start and end.
std::wstring CopyStagingFolder(const ClientFolder& client);

// Checks every manifest entry and downloads and verifies each changed file
// into _update_tmp. Touches nothing else in the client folder; the first
// problem ends it with false. Main.exe comes last in the result.
bool PrepareUpdateFiles(HttpClient& http, const ClientFolder& client, const Manifest& manifest,
                        const std::wstring& usedManifestUrl, std::vector<PreparedFile>& prepared);

}  // namespace rr
