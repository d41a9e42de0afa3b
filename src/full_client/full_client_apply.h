#pragma once
// The apply half of the full-client-apply mode, after the package was
// downloaded, validated, extracted and compared.
#include <string>

#include "cleanup/artifact_cleanup.h"
#include "fs/safe_fs.h"

namespace rr {

// Plans, refuses a plan with any BLOCKED entry, applies it, then either moves
// the extras into quarantine and removes empty extra folders (with
// `quarantine`, the run's --quarantine-extras) or only lists them; a clean
// quarantine run ends with the automatic removal of the four work folders.
// True when the files were applied (quarantine and cleanup problems are
// warnings, not failures).
bool RunFullClientApply(const ClientFolder& client, const std::wstring& packageRoot,
                        const std::wstring& packagePath, bool quarantine);

}  // namespace rr
