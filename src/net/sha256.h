#pragma once
// SHA-256 of files below the client folder, and the digest texts.
#include <string>

#include "base/error.h"
#include "fs/safe_fs.h"

namespace rr {

// Digest texts are 64 ASCII hexadecimal characters; the program writes them in
// lower case and accepts expected digests in either case.

// SHA-256 of a file's contents as lower-case text, for a file below the client
// folder reached without following any link below `root`; only regular files
// are read. Empties digest first. A file that cannot be opened or read to its
// end is a failure, never a digest.
bool ComputeFileSha256Below(const ClientFolder& root, const std::wstring& path, std::string& digest,
                            Error* err);

// Exactly 64 characters, each 0-9, a-f or A-F.
bool IsValidSha256Text(const std::string& text);

// Equal after folding ASCII letters to lower case.
bool Sha256TextEquals(const std::string& a, const std::string& b);

}  // namespace rr
