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

// '/' turned into '\\' in the string itself.
void UseBackslashes(std::wstring& path) {
    for (auto& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
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

// One segment of a path being validated, [begin, end) of its text: the checks
// run on the text in place, without a copy of each segment.
struct Segment {
    const wchar_t* begin;
    const wchar_t* end;
    size_t size() const { return static_cast<size_t>(end - begin); }
    bool Is(const wchar_t* text) const {
        const wchar_t* p = begin;
        for (; p != end && *text != L'\0'; ++p, ++text) {
            if (*p != *text) {
                return false;
            }
        }
        return p == end && *text == L'\0';
    }
};

// Win32 drops trailing dots and spaces from a name, so "x.dll." would write
// "x.dll" although no rule ever looked at that name.
bool EndsInDotOrSpace(const Segment& segment) {
    return segment.begin != segment.end && (segment.end[-1] == L'.' || segment.end[-1] == L' ');
}

// The `n` units at `text` folded as FoldCase folds them equal `name`, which
// is in lower case and exactly `n` units long.
bool FoldedEquals(const wchar_t* text, size_t n, const wchar_t* name) {
    for (size_t i = 0; i < n; ++i) {
        if (name[i] == L'\0' || FoldCaseChar(text[i]) != name[i]) {
            return false;
        }
    }
    return name[n] == L'\0';
}

// Win32 opens a device, not a file, for these names whatever the extension
// ("nul.tar.gz" is NUL) and ignores spaces before the extension ("con .txt").
// It also takes the superscript digits after COM and LPT as port numbers.
bool IsDeviceName(const Segment& segment) {
    const wchar_t* baseEnd = segment.begin;
    while (baseEnd != segment.end && *baseEnd != L'.') {
        ++baseEnd;
    }
    while (baseEnd != segment.begin && baseEnd[-1] == L' ') {
        --baseEnd;
    }
    const size_t n = static_cast<size_t>(baseEnd - segment.begin);
    for (const wchar_t* name : {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"}) {
        if (FoldedEquals(segment.begin, n, name)) {
            return true;
        }
    }
    if (n != 4 ||
        (!FoldedEquals(segment.begin, 3, L"com") && !FoldedEquals(segment.begin, 3, L"lpt"))) {
        return false;
    }
    const wchar_t digit = FoldCaseChar(segment.begin[3]);
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

// The first reason `check` gives for a segment of `path` (whose separators
// are all '\\'), in order; null when it gives none. The last segment may be
// empty: the text after a closing separator.
template <typename Check>
const wchar_t* FirstSegmentFault(const std::wstring& path, Check check) {
    const wchar_t* const last = path.data() + path.size();
    for (const wchar_t* start = path.data();;) {
        const wchar_t* stop = start;
        while (stop != last && *stop != L'\\') {
            ++stop;
        }
        if (const wchar_t* why = check(Segment{start, stop}, stop == last)) {
            return why;
        }
        if (stop == last) {
            return nullptr;
        }
        start = stop + 1;
    }
}

// Why a path with '\\' separators and no invalid character is refused for
// its segments; null when none is refused.
const wchar_t* SegmentFault(const std::wstring& path) {
    const wchar_t* why = FirstSegmentFault(path, [](const Segment& s, bool last) {
        if (s.Is(L".")) {
            return kReasonDotSegment;
        }
        if (s.Is(L"..")) {
            return kReasonTraversalSegment;
        }
        return s.size() == 0 && !last ? kReasonEmptySegment : nullptr;
    });
    if (why != nullptr) {
        return why;
    }
    // A second pass, so that a path with both kinds of fault still names the
    // traversal: the incremental rules rely on that reason.
    return FirstSegmentFault(path, [](const Segment& s, bool) {
        if (EndsInDotOrSpace(s)) {
            return kReasonTrailingDotOrSpace;
        }
        return IsDeviceName(s) ? kReasonDeviceName : nullptr;
    });
}

// ValidateRelativePath of the `size` units at `input`, the text written into
// `normalized` as it is checked.
bool ValidateRelativeText(const wchar_t* input, size_t size, std::wstring& normalized,
                          std::wstring* reason) {
    normalized.clear();
    if (reason) {
        reason->clear();
    }
    if (size == 0) {
        return Fail(reason, kReasonEmptyPath);
    }
    if (input[0] == L'\\' || input[0] == L'/') {
        return Fail(reason, kReasonAbsolutePath);
    }
    if (size >= 2 && input[1] == L':') {
        return Fail(reason, kReasonAbsolutePath);
    }
    normalized.assign(input, size);
    UseBackslashes(normalized);
    const wchar_t* why = nullptr;
    if (normalized.find(L"\\\\") != std::wstring::npos) {
        why = kReasonEmptySegment;
    } else if (std::any_of(normalized.begin(), normalized.end(), IsInvalidPathChar)) {
        why = kReasonInvalidCharacter;
    } else {
        why = SegmentFault(normalized);
    }
    if (why != nullptr) {
        normalized.clear();
        return Fail(reason, why);
    }
    return true;
}

}  // namespace

bool ValidateRelativePath(const std::wstring& input, std::wstring& normalized,
                          std::wstring* reason) {
    return ValidateRelativeText(input.data(), input.size(), normalized, reason);
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

namespace {

// GetFullPath with '/' turned into '\\', in the one string.
std::wstring FullPathWithBackslashes(const std::wstring& path) {
    std::wstring full = GetFullPath(path);
    UseBackslashes(full);
    return full;
}

}  // namespace

std::wstring PathNormalForm(const std::wstring& path) {
    std::wstring key = FullPathWithBackslashes(path);
    while (key.size() > 3 && key.back() == L'\\') {
        key.pop_back();
    }
    return key;
}

std::wstring PathCompareKey(const std::wstring& path) {
    std::wstring key = PathNormalForm(path);
    for (auto& c : key) {
        c = FoldCaseChar(c);
    }
    return key;
}

bool IsSamePath(const std::wstring& a, const std::wstring& b) {
    return PathCompareKey(a) == PathCompareKey(b);
}

bool IsPathUnderRoot(const std::wstring& path, const std::wstring& root) {
    return IsPathUnderRootKey(path, PathCompareKey(root));
}

bool IsPathUnderRootKey(const std::wstring& path, const std::wstring& rootKey) {
    const std::wstring p = PathCompareKey(path);
    if (p == rootKey) {
        return true;
    }
    if (rootKey.empty() || p.compare(0, rootKey.size(), rootKey) != 0) {
        return false;
    }
    // Below the root: the root's key closes with a separator, or the path
    // goes on with one.
    return rootKey.back() == L'\\' || (p.size() > rootKey.size() && p[rootKey.size()] == L'\\');
}

ResolvedRoot ResolveRoot(const std::wstring& root) {
    ResolvedRoot resolved;
    resolved.full = FullPathWithBackslashes(root);
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
    const std::wstring full = FullPathWithBackslashes(fullPath);
    const std::wstring& key = root.key;
    if (full.size() < key.size()) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        if (FoldCaseChar(full[i]) != key[i]) {
            return false;
        }
    }
    // The key is the full root folded unit by unit: what follows it is the
    // remainder below the root.
    return ValidateRelativeText(full.data() + key.size(), full.size() - key.size(), relative,
                                nullptr);
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
