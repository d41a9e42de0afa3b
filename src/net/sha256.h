#pragma once
#include <cstdint>
#include <string>

#include "fs/safe_fs.h"

namespace rr {

// Digest texts are 64 ASCII hexadecimal characters; the program writes them in
// lower case and accepts expected digests in either case.

// SHA-256 of a file's contents as lower-case text. Empties digest first. A file
// that cannot be opened or read to its end is a logged failure, never a digest.
bool ComputeFileSha256(const std::wstring& path, std::string& digest);
// The same for a file below the client folder, reached without following any
// link below `root`; only regular files are read.
bool ComputeFileSha256Below(const ClientFolder& root, const std::wstring& path,
                            std::string& digest);

// Exactly 64 characters, each 0-9, a-f or A-F.
bool IsValidSha256Text(const std::string& text);

// Equal after folding ASCII letters to lower case.
bool Sha256TextEquals(const std::string& a, const std::string& b);

// A freshly downloaded file: size first (no hashing when it differs), then the
// digest. Logs only failures.
bool ValidateDownloadedFile(const std::wstring& root, const std::wstring& path,
                            const std::string& expectedSha256, uint64_t expectedSize);
// The same with the file's own folder as the root.
bool ValidateDownloadedFile(const std::wstring& path, const std::string& expectedSha256,
                            uint64_t expectedSize);

// The full client package's size; passes silently when no size is configured.
// Only a regular file reached without following a link below `root` passes.
bool ValidateFileSize(const std::wstring& root, const std::wstring& path, bool sizeConfigured,
                      uint64_t expectedSize);
// The same with the file's own folder as the root.
bool ValidateFileSize(const std::wstring& path, bool sizeConfigured, uint64_t expectedSize);

// The full client package's digest. An empty expected text passes with a
// warning: the caller forbids extraction and apply when no digest is given.
bool ValidatePackageSha256(const std::wstring& root, const std::wstring& path,
                           const std::string& expectedSha256);
// The same with the file's own folder as the root.
bool ValidatePackageSha256(const std::wstring& path, const std::string& expectedSha256);

}  // namespace rr
