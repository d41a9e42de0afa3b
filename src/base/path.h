#pragma once
#include <string>

namespace rr {

// The program's only case folding: ASCII 'A'..'Z' to lower case, every other
// code unit unchanged (what towlower does in the "C" locale).
wchar_t FoldCaseChar(wchar_t c);
std::wstring FoldCase(const std::wstring& text);

// Whether two names are one name on a Windows volume: each UTF-16 unit is
// upper-cased by the Unicode simple mapping (the data a volume's table is made
// from), then ASCII letters are folded as FoldCase does, so the key agrees with
// FoldCase on ASCII names. Equal keys: the same file on the players' disks.
std::wstring VolumeFold(const std::wstring& text);

// Refusal reasons of ValidateRelativePath.
extern const wchar_t* const kReasonEmptyPath;
extern const wchar_t* const kReasonAbsolutePath;
extern const wchar_t* const kReasonEmptySegment;
extern const wchar_t* const kReasonInvalidCharacter;
extern const wchar_t* const kReasonDotSegment;
extern const wchar_t* const kReasonTraversalSegment;
extern const wchar_t* const kReasonTrailingDotOrSpace;
extern const wchar_t* const kReasonDeviceName;

// Accepts a relative path from outside (manifest, package, managed root,
// cleanup target). On success `normalized` holds the path with '\' separators
// and its letter case kept; on failure it is empty and `reason` (when given)
// names the refusal.
bool ValidateRelativePath(const std::wstring& input, std::wstring& normalized,
                          std::wstring* reason = nullptr);

// True when a segment other than ".." itself contains "..".
bool HasDoubleDotName(const std::wstring& path);

std::wstring JoinPath(const std::wstring& base, const std::wstring& name);

// Both paths with '/' turned into '\' and ASCII letters folded are equal.
bool PathEqualsNoCase(const std::wstring& a, const std::wstring& b);

// The text after the last '\'; the whole path when it has none.
std::wstring PathFileName(const std::wstring& path);

// The file name's text from its last '.' on, dot included; empty without a dot.
std::wstring PathExtension(const std::wstring& path);

// Absolute form of a path (the platform resolves "." and ".." without touching
// the disk); the input unchanged when that fails.
std::wstring GetFullPath(const std::wstring& path);

// Full path, '/' turned into '\', trailing '\' removed while longer than three
// code units; letter case kept.
std::wstring PathNormalForm(const std::wstring& path);

// PathNormalForm folded: the key every path comparison uses.
std::wstring PathCompareKey(const std::wstring& path);

bool IsSamePath(const std::wstring& a, const std::wstring& b);

// True when the path is the root or lies below it.
bool IsPathUnderRoot(const std::wstring& path, const std::wstring& root);
// The same for a root whose PathCompareKey was taken once, for many paths.
bool IsPathUnderRootKey(const std::wstring& path, const std::wstring& rootKey);

// A root resolved once for many RelativePathUnderRoot questions: its full
// path with a closing backslash, and the same folded for comparison.
struct ResolvedRoot {
    std::wstring full;
    std::wstring key;
};
ResolvedRoot ResolveRoot(const std::wstring& root);

// The valid relative path of a full path that lies strictly below the root.
bool RelativePathUnderRoot(const ResolvedRoot& root, const std::wstring& fullPath,
                           std::wstring& relative);
bool RelativePathUnderRoot(const std::wstring& root, const std::wstring& fullPath,
                           std::wstring& relative);

// The directory part of a path: "C:\" for "C:\a", "\" for "\a", empty for "a".
std::wstring ParentPath(const std::wstring& path);

}  // namespace rr
