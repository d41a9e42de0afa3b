#pragma once
// The read-only comparison of the extracted package with the client folder.
#include <string>

#include "fs/safe_fs.h"
#include "full_client/full_client_walk.h"

namespace rr {

// Classifies every package file OK, MISSING, DIFFERENT, BLOCKED or PRESERVED
// and every client file the package lacks EXTRA, and writes the report to
// Logs\FullClientCompare.log. Changes nothing. False only when the package
// root is not a real folder below the client folder.
bool CompareFullClient(const ClientFolder& client, const std::wstring& packageRoot,
                       const std::wstring& packagePath, FullClientCompareCounts& counts);

}  // namespace rr
