#pragma once
#include <string>

#include "base/path.h"

namespace rr {

// The answer of the incremental allowlist: may this manifest entry be updated,
// and the reason code that decided it (never empty after a decision).
struct PathPolicyDecision {
    bool allowed = false;
    std::wstring reason;
};

// Classifies one relative path of an incremental manifest (already put through
// ValidateRelativePath). The ordered rules stop at the first match; the result
// equals decision.allowed.
bool ClassifyIncrementalPath(const std::wstring& relativePath, PathPolicyDecision& decision);

// True only for the game executable at the client root, in any letter case.
bool IsMainExePath(const std::wstring& relativePath);

// The path begins with the prefix (which ends in '\'), is longer than it, and
// the rest holds no further '\'. Exact comparison: callers pass folded text.
bool IsDirectChildOf(const std::wstring& path, const std::wstring& folderPrefix);

// The path begins with "data\" + word, then one or more ASCII digits, then '\'.
// Exact comparison: callers pass folded text and a lower-case word.
bool IsNumberedDataFolderPath(const std::wstring& path, const std::wstring& folderWord);

// Finds the first segment (the file name included) that names a tool, build,
// temp or work folder; reason becomes "blocked-directory:" + the folded segment.
bool FindBlockedDirectorySegment(const std::wstring& path, std::wstring& reason);

// The one-line summary of the rules written to the log.
const std::wstring& IncrementalPolicySentence();

}  // namespace rr
