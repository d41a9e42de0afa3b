#include "platform/path_posix.h"

#include <utility>
#include <vector>

#include "platform/text.h"

namespace rr::platform::posix {

namespace {

std::wstring WithBackslashes(std::wstring path) {
    for (auto& c : path) {
        if (c == L'/')
            c = L'\\';
    }
    return path;
}

bool IsAsciiLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// Splits an absolute path into its root ("C:\", "\\server\share\", "\") and
// the rest. False when the path is not absolute.
bool SplitRoot(const std::wstring& path, std::wstring& root, std::wstring& rest) {
    if (path.size() >= 2 && IsAsciiLetter(path[0]) && path[1] == L':') {
        root = path.substr(0, 2) + L"\\";
        rest = path.substr(2);
        return true;
    }
    if (path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\') {
        const size_t serverEnd = path.find(L'\\', 2);
        const size_t shareEnd =
            serverEnd == std::wstring::npos ? serverEnd : path.find(L'\\', serverEnd + 1);
        if (shareEnd == std::wstring::npos) {
            root = path + L"\\";
            rest.clear();
        } else {
            root = path.substr(0, shareEnd + 1);
            rest = path.substr(shareEnd + 1);
        }
        return true;
    }
    if (!path.empty() && path[0] == L'\\') {
        root = L"\\";
        rest = path.substr(1);
        return true;
    }
    return false;
}

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// True when every segment of the `size` units at `rest` is a name (not
// empty, "." or ".."), except that the last may be empty: the text after a
// closing separator. Either slash separates.
bool IsPlainRest(const wchar_t* rest, size_t size) {
    size_t start = 0;
    for (;;) {
        size_t end = start;
        while (end != size && !IsSeparator(rest[end])) {
            ++end;
        }
        const size_t length = end - start;
        const bool dots = (length == 1 && rest[start] == L'.') ||
                          (length == 2 && rest[start] == L'.' && rest[start + 1] == L'.');
        if (end == size) {
            return length == 0 || !dots;
        }
        if (length == 0 || dots) {
            return false;
        }
        start = end + 1;
    }
}

}  // namespace

std::string ToNativePath(const std::wstring& path) {
    std::string bytes = WideToUtf8(path);
    for (auto& c : bytes) {
        if (c == '\\')
            c = '/';
    }
    return bytes;
}

std::wstring FromNativePath(const std::string& path) {
    return WithBackslashes(Utf8ToWide(path));
}

bool ResolvePathText(const std::wstring& path, const std::wstring& currentDirectory,
                     std::wstring& full) {
    full.clear();
    if (path.empty()) {
        return false;
    }
    // The common case, a path below the "\\" root with nothing to fold (every
    // segment a name, at most a closing separator), is its own full form.
    if (IsSeparator(path[0]) && (path.size() == 1 || !IsSeparator(path[1])) &&
        IsPlainRest(path.data() + 1, path.size() - 1)) {
        full = WithBackslashes(path);
        return true;
    }
    const std::wstring input = WithBackslashes(path);
    std::wstring root;
    std::wstring rest;
    if (!SplitRoot(input, root, rest)) {
        if (!SplitRoot(WithBackslashes(currentDirectory), root, rest)) {
            return false;
        }
        if (!rest.empty() && rest.back() != L'\\') {
            rest.push_back(L'\\');
        }
        rest += input;
    }
    const bool trailing = !rest.empty() && rest.back() == L'\\';
    // The segments kept, as (start, length) in `rest`.
    std::vector<std::pair<size_t, size_t>> kept;
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find(L'\\', start);
        if (end == std::wstring::npos) {
            end = rest.size();
        }
        const size_t length = end - start;
        if (length == 2 && rest[start] == L'.' && rest[start + 1] == L'.') {
            if (!kept.empty()) {
                kept.pop_back();
            }
        } else if (length != 0 && !(length == 1 && rest[start] == L'.')) {
            kept.emplace_back(start, length);
        }
        start = end + 1;
    }
    full = root;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) {
            full.push_back(L'\\');
        }
        full.append(rest, kept[i].first, kept[i].second);
    }
    if (trailing && !kept.empty()) {
        full.push_back(L'\\');
    }
    return true;
}

}  // namespace rr::platform::posix
