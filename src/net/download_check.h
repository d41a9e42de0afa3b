#pragma once
// Checks of a downloaded file against what its source promised: its size and
// SHA-256. The file lies below the client folder and is reached without
// following any link below `root`; only a regular file passes.
#include <cstdint>
#include <string>

#include "base/error.h"
#include "fs/safe_fs.h"

namespace rr {

// A freshly downloaded update file: size first (no hashing when it differs),
// then the digest.
bool ValidateDownloadedFile(const ClientFolder& root, const std::wstring& path,
                            const std::string& expectedSha256, uint64_t expectedSize, Error* err);

// The full client package's size; passes at once when no size is configured.
bool ValidateFileSize(const ClientFolder& root, const std::wstring& path, bool sizeConfigured,
                      uint64_t expectedSize, Error* err);

// The full client package's digest; `actual` gets the file's digest. An empty
// expected text passes without reading the file: the caller forbids
// extraction and apply when no digest is given.
bool ValidatePackageSha256(const ClientFolder& root, const std::wstring& path,
                           const std::string& expectedSha256, std::string& actual, Error* err);

}  // namespace rr
