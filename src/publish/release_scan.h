#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace rr::publish {

struct ReleaseFile {
    std::wstring relative;  // as the updater will name it: '\' separators, case kept
    uint64_t size = 0;
};

// Walks the release folder through folder handles, following no link, and
// lists its regular files in the published order (the folded path, then the
// path itself). A release the updater could not reproduce exactly is refused:
// every link, every entry that is neither file nor folder, every name the
// updater's path rules refuse (or that it cannot even name) and every pair of
// paths equal after case folding adds one line to `refusals`. True only when
// there is none. Nothing is written.
bool ScanReleaseFolder(const std::wstring& releaseDir, std::vector<ReleaseFile>& files,
                       std::vector<std::wstring>& refusals);

}  // namespace rr::publish
