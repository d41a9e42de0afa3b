#pragma once
#include <string>
#include <vector>

namespace rr {

// The rule key of a path relative to the client directory: '/' turned into
// '\', every trailing '\' removed, ASCII letters folded. Nothing else.
std::wstring MakeRuleKey(const std::wstring& path);

// The same with letter case compared as a Windows volume does (VolumeFold):
// the key of a file's identity, where two names must not be one file.
std::wstring MakeNameKey(const std::wstring& path);

// The key's text from its last '.' on equals the extension exactly (".dll");
// a key without a '.' has no extension.
bool KeyHasExtension(const std::wstring& ruleKey, const std::wstring& extension);

// A rule ending in '\' or '/' covers that folder and everything below it; any
// other rule covers exactly one path. An empty rule, or one made only of
// separators, covers nothing.
bool PreserveRuleMatches(const std::wstring& ruleKey, const std::wstring& rule);

// Repair dry-run: the manifest's own preserve list first (null when there is
// no manifest), then the built-in rules (logs, screenshots, work folders,
// configuration, executables and build leftovers).
bool IsRepairPreserved(const std::wstring& relativePath, const std::vector<std::wstring>* preserve);

// A managed root may only lie in Data (Data itself included).
bool IsInSafeRepairScope(const std::wstring& managedRoot);

// The built-in rules of the full-client modes, in the order the compare lists
// them.
const std::vector<std::wstring>& FullClientPreserveRules();

// Full-client compare and apply: the built-in rules only.
bool IsFullClientPreserved(const std::wstring& relativePath);

// How the empty-folder removal treats a folder relative to the client directory.
enum : int {
    kFolderOrdinary = 0,    // may be removed when empty
    kFolderWalkedOnly = 1,  // the client directory itself and Data: entered, never removed
    kFolderProtected = 2,   // kept with everything below it
};
int ProtectedFolderKind(const std::wstring& folderPath);

}  // namespace rr
