#include "base/path.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include "base/upcase_table.h"
#include "platform/system.h"

namespace rr {

const wchar_t* const kReasonEmptyPath = L"blocked empty path";
const wchar_t* const kReasonAbsolutePath = L"blocked absolute path";
const wchar_t* const kReasonEmptySegment = L"blocked empty path segment";
const wchar_t* const kReasonInvalidCharacter = L"blocked invalid path character";
const wchar_t* const kReasonDotSegment = L"blocked dot path segment";
const wchar_t* const kReasonTraversalSegment = L"blocked traversal segment";
const wchar_t* const kReasonTrailingDotOrSpace = L"blocked trailing dot or space";
const wchar_t* const kReasonDeviceName = L"blocked device name";

wchar_t FoldCaseChar(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring FoldCase(const std::wstring& text) {
    std::wstring out = text;
    for (auto& c : out) {
        c = FoldCaseChar(c);
    }
    return out;
}

std::wstring VolumeFold(const std::wstring& text) {
    std::wstring out = text;
    for (auto& c : out) {
        const uint32_t unit = static_cast<uint32_t>(c);
        if (unit < 0x80 || unit > 0xFFFF) {
            c = FoldCaseChar(c);
            continue;
        }
        const UpcasePair* end = std::end(kUpcaseTable);
        const UpcasePair* it = std::lower_bound(
            std::begin(kUpcaseTable), end, unit,
            [](const UpcasePair& pair, uint32_t value) { return pair.from < value; });
        if (it != end && it->from == unit) {
            c = FoldCaseChar(static_cast<wchar_t>(it->to));
        }
    }
    return out;
}

namespace {

std::wstring SlashesToBackslashes(const std::wstring& path) {
    std::wstring out = path;
    for (auto& c : out) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return out;
}

bool IsInvalidPathChar(wchar_t c) {
    if (static_cast<unsigned long>(c) < 0x20) {
        return true;
    }
    switch (c) {
        case L':':
        case L'*':
        case L'?':
        case L'<':
        case L'>':
        case L'|':
        case L'"':
            return true;
        default:
            return false;
    }
}

bool Fail(std::wstring* reason, const wchar_t* text) {
    if (reason) {
        *reason = text;
    }
    return false;
}

std::vector<std::wstring> SplitBackslash(const std::wstring& path) {
    std::vector<std::wstring> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = path.find(L'\\', start);
        if (pos == std::wstring::npos) {
            parts.push_back(path.substr(start));
            return parts;
        }
        parts.push_back(path.substr(start, pos - start));
        start = pos + 1;
    }
}

// Win32 drops trailing dots and spaces from a name, so "x.dll." would write
// "x.dll" although no rule ever looked at that name.
bool EndsInDotOrSpace(const std::wstring& segment) {
    return !segment.empty() && (segment.back() == L'.' || segment.back() == L' ');
}

// Win32 opens a device, not a file, for these names whatever the extension
// ("nul.tar.gz" is NUL) and ignores spaces before the extension ("con .txt").
// It also takes the superscript digits after COM and LPT as port numbers.
bool IsDeviceName(const std::wstring& segment) {
    std::wstring base = FoldCase(segment.substr(0, segment.find(L'.')));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (const wchar_t* name : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
        if (base == name) {
            return true;
        }
    }
    if (base.size() != 4 || (base.compare(0, 3, L"com") != 0 && base.compare(0, 3, L"lpt") != 0)) {
        return false;
    }
    const wchar_t digit = base[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

}  // namespace

bool ValidateRelativePath(const std::wstring& input, std::wstring& normalized,
                          std::wstring* reason) {
    normalized.clear();
    if (reason) {
        reason->clear();
    }
    if (input.empty()) {
        return Fail(reason, kReasonEmptyPath);
    }
    if (input[0] == L'\\' || input[0] == L'/') {
        return Fail(reason, kReasonAbsolutePath);
    }
    if (input.size() >= 2 && input[1] == L':') {
        return Fail(reason, kReasonAbsolutePath);
    }
    std::wstring copy = SlashesToBackslashes(input);
    if (copy.find(L"\\\\") != std::wstring::npos) {
        return Fail(reason, kReasonEmptySegment);
    }
    for (wchar_t c : copy) {
        if (IsInvalidPathChar(c)) {
            return Fail(reason, kReasonInvalidCharacter);
        }
    }
    std::vector<std::wstring> segments = SplitBackslash(copy);
    for (size_t i = 0; i < segments.size(); ++i) {
        const std::wstring& s = segments[i];
        if (s == L".") {
            return Fail(reason, kReasonDotSegment);
        }
        if (s == L"..") {
            return Fail(reason, kReasonTraversalSegment);
        }
        if (s.empty() && i + 1 != segments.size()) {
            return Fail(reason, kReasonEmptySegment);
        }
    }
    // A second pass, so that a path with both kinds of fault still names the
    // traversal: the incremental rules rely on that reason.
    for (const std::wstring& s : segments) {
        if (EndsInDotOrSpace(s)) {
            return Fail(reason, kReasonTrailingDotOrSpace);
        }
        if (IsDeviceName(s)) {
            return Fail(reason, kReasonDeviceName);
        }
    }
    normalized = copy;
    return true;
}

bool HasDoubleDotName(const std::wstring& path) {
    for (const auto& segment : SplitBackslash(path)) {
        if (segment == L"..") {
            continue;
        }
        if (segment.find(L"..") != std::wstring::npos) {
            return true;
        }
    }
    return false;
}

std::wstring JoinPath(const std::wstring& base, const std::wstring& name) {
    if (base.empty()) {
        return name;
    }
    wchar_t last = base.back();
    if (last == L'\\' || last == L'/') {
        return base + name;
    }
    return base + L"\\" + name;
}

bool PathEqualsNoCase(const std::wstring& a, const std::wstring& b) {
    auto backslashes = [](std::wstring text) {
        for (auto& c : text) {
            if (c == L'/') {
                c = L'\\';
            }
        }
        return text;
    };
    return FoldCase(backslashes(a)) == FoldCase(backslashes(b));
}

std::wstring PathFileName(const std::wstring& path) {
    size_t pos = path.rfind(L'\\');
    return pos == std::wstring::npos ? path : path.substr(pos + 1);
}

std::wstring PathExtension(const std::wstring& path) {
    std::wstring name = PathFileName(path);
    size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : name.substr(dot);
}

std::wstring GetFullPath(const std::wstring& path) {
    std::wstring full;
    if (!platform::ResolveFullPath(path, full)) {
        return path;
    }
    return full;
}

std::wstring PathNormalForm(const std::wstring& path) {
    std::wstring key = SlashesToBackslashes(GetFullPath(path));
    while (key.size() > 3 && key.back() == L'\\') {
        key.pop_back();
    }
    return key;
}

std::wstring PathCompareKey(const std::wstring& path) {
    return FoldCase(PathNormalForm(path));
}

bool IsSamePath(const std::wstring& a, const std::wstring& b) {
    return PathCompareKey(a) == PathCompareKey(b);
}

bool IsPathUnderRoot(const std::wstring& path, const std::wstring& root) {
    std::wstring p = PathCompareKey(path);
    std::wstring r = PathCompareKey(root);
    if (p == r) {
        return true;
    }
    if (r.empty()) {
        return false;
    }
    if (r.back() != L'\\') {
        r.push_back(L'\\');
    }
    return p.compare(0, r.size(), r) == 0;
}

ResolvedRoot ResolveRoot(const std::wstring& root) {
    ResolvedRoot resolved;
    resolved.full = SlashesToBackslashes(GetFullPath(root));
    resolved.key = FoldCase(resolved.full);
    if (!resolved.key.empty() && resolved.key.back() != L'\\') {
        resolved.key.push_back(L'\\');
        resolved.full.push_back(L'\\');
    }
    return resolved;
}

bool RelativePathUnderRoot(const std::wstring& root, const std::wstring& fullPath,
                           std::wstring& relative) {
    return RelativePathUnderRoot(ResolveRoot(root), fullPath, relative);
}

bool RelativePathUnderRoot(const ResolvedRoot& root, const std::wstring& fullPath,
                           std::wstring& relative) {
    relative.clear();
    const std::wstring B = SlashesToBackslashes(GetFullPath(fullPath));
    const std::wstring b = FoldCase(B);
    const std::wstring& a = root.key;
    if (b.size() < a.size() || b.compare(0, a.size(), a) != 0) {
        return false;
    }
    std::wstring remainder = B.substr(root.full.size());
    std::wstring normalized;
    if (!ValidateRelativePath(remainder, normalized)) {
        return false;
    }
    relative = normalized;
    return true;
}

std::wstring ParentPath(const std::wstring& path) {
    size_t pos = path.find_last_of(L"\\/");
    if (pos == std::wstring::npos) {
        return std::wstring();
    }
    if (pos == 2 && path.size() >= 3 && path[1] == L':') {
        return path.substr(0, 3);
    }
    if (pos == 0) {
        return path.substr(0, 1);
    }
    return path.substr(0, pos);
}

}  // namespace rr
