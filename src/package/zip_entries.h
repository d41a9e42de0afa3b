#pragma once
// The checks every entry of a full client package passes before anything of
// it is written. Pure: reads the listing, writes log lines, touches no disk.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/zip.h"

namespace rr {

// Counts of the listing: files, folders (named by an entry or implied by the
// path of one, each counted once) and the sum of the declared file sizes.
struct ZipEntryCounts {
    uint32_t files = 0;
    uint32_t folders = 0;
    uint64_t bytes = 0;
};

// An entry that passed every check, with the path it is written under.
struct CheckedZipEntry {
    platform::ZipEntry entry;
    std::wstring relativePath;  // validated, '\' separators, letter case kept
    bool folder = false;
};

// Checks the whole listing and stops at the first refusal, which it logs:
// unsafe names (per '/'-separated segment), unsafe relative paths, links,
// encrypted entries, compression methods other than stored and deflate, and
// two entries (or an entry and a folder implied by another's path) that name
// the same place after case folding. On true `accepted` holds every entry in
// listing order; on false it is empty.
bool ValidateZipEntries(const std::vector<platform::ZipEntry>& entries, ZipEntryCounts& counts,
                        std::vector<CheckedZipEntry>& accepted);

}  // namespace rr
