#include "platform/full_path_text.h"

#include <vector>

namespace rr::platform {

namespace {

std::wstring SlashesToBackslashes(std::wstring path) {
    for (auto& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
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
        // UNC: \\server\share is the root; ".." never climbs above it.
        size_t server_end = path.find(L'\\', 2);
        if (server_end == std::wstring::npos) {
            root = path + L"\\";
            rest.clear();
            return true;
        }
        size_t share_end = path.find(L'\\', server_end + 1);
        if (share_end == std::wstring::npos) {
            root = path + L"\\";
            rest.clear();
            return true;
        }
        root = path.substr(0, share_end + 1);
        rest = path.substr(share_end + 1);
        return true;
    }
    if (!path.empty() && path[0] == L'\\') {
        root = L"\\";
        rest = path.substr(1);
        return true;
    }
    return false;
}

}  // namespace

bool ResolveFullPathText(const std::wstring& path, const std::wstring& currentDirectory,
                         std::wstring& full) {
    full.clear();
    if (path.empty()) {
        return false;
    }
    std::wstring input = SlashesToBackslashes(path);
    std::wstring root;
    std::wstring rest;
    if (!SplitRoot(input, root, rest)) {
        std::wstring cwd = SlashesToBackslashes(currentDirectory);
        if (!SplitRoot(cwd, root, rest)) {
            return false;
        }
        if (!rest.empty() && rest.back() != L'\\') {
            rest.push_back(L'\\');
        }
        rest += input;
    }
    bool trailing = !rest.empty() && rest.back() == L'\\';
    std::vector<std::wstring> kept;
    for (auto& segment : SplitBackslash(rest)) {
        if (segment.empty() || segment == L".") {
            continue;
        }
        if (segment == L"..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
            continue;
        }
        kept.push_back(segment);
    }
    full = root;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i > 0) {
            full.push_back(L'\\');
        }
        full += kept[i];
    }
    if (trailing && !kept.empty()) {
        full.push_back(L'\\');
    }
    return true;
}

}  // namespace rr::platform
