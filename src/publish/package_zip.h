#pragma once
#include <string>
#include <vector>

#include "base/error.h"

namespace rr::publish {

struct PackageEntry {
    std::wstring name;    // release-relative path with '\' separators
    std::wstring source;  // the file whose bytes the entry holds (full path)
};

// Writes a new ZIP (refused when the path exists) with the entries in the
// order given, each deflated, named with '/' and UTF-8, all with one fixed
// time stamp and fixed attributes: the same files give the same bytes on any
// machine, in any time zone. On failure the partial file is removed.
bool WriteClientPackage(const std::wstring& zipPath, const std::vector<PackageEntry>& entries,
                        Error* err);

}  // namespace rr::publish
