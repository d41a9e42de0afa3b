// Feeds arbitrary text to the relative-path validation and the containment
// helpers: nothing may crash, and every accepted path must be a plain relative
// path that cannot leave the folder it is joined to and that Win32 writes under
// exactly that name (no trailing dot or space, no device).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "base/path.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Every name Win32 maps to a device, spelled out rather than derived.
bool NamesDevice(const std::wstring& segment) {
    std::wstring base = segment.substr(0, segment.find(L'.'));
    while (!base.empty() && base.back() == L' ') {
        base.pop_back();
    }
    for (auto& c : base) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<wchar_t>(c + 32);
        }
    }
    static const std::set<std::wstring> devices = [] {
        std::set<std::wstring> names{L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
        for (const wchar_t* port : {L"com", L"lpt"}) {
            for (wchar_t digit : std::wstring(L"0123456789\u00b9\u00b2\u00b3")) {
                names.insert(port + std::wstring(1, digit));
            }
        }
        return names;
    }();
    return devices.count(base) != 0;
}

void CheckAcceptedRelative(const std::wstring& normalized) {
    Check(!normalized.empty());
    Check(normalized[0] != L'\\' && normalized[0] != L'/');
    Check(normalized.size() < 2 || normalized[1] != L':');
    for (wchar_t c : normalized) {
        Check(c != L'/');
        Check(static_cast<unsigned long>(c) >= 0x20);
        Check(c != L':' && c != L'*' && c != L'?' && c != L'<' && c != L'>' && c != L'|' &&
              c != L'"');
    }
    size_t start = 0;
    for (;;) {
        size_t pos = normalized.find(L'\\', start);
        std::wstring segment =
            normalized.substr(start, pos == std::wstring::npos ? pos : pos - start);
        bool last = pos == std::wstring::npos || pos + 1 == normalized.size();
        Check(segment != L"." && segment != L"..");
        Check(!segment.empty());
        Check(segment.back() != L'.' && segment.back() != L' ');
        Check(!NamesDevice(segment));
        if (pos == std::wstring::npos || last) {
            break;
        }
        start = pos + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two bytes per code unit so that any UTF-16 unit (NUL included) can occur.
    std::wstring input;
    for (size_t i = 0; i + 1 < size; i += 2) {
        input.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    }
    std::wstring normalized;
    std::wstring reason;
    if (rr::ValidateRelativePath(input, normalized, &reason)) {
        Check(reason.empty());
        CheckAcceptedRelative(normalized);
        const std::wstring root = L"C:\\Game";
        std::wstring joined = rr::JoinPath(root, normalized);
        Check(rr::IsPathUnderRoot(joined, root));
    } else {
        Check(normalized.empty());
        Check(!reason.empty());
    }
    std::wstring relative;
    std::wstring full = L"C:\\Game\\" + input;
    if (rr::RelativePathUnderRoot(L"C:\\Game", full, relative)) {
        CheckAcceptedRelative(relative);
        Check(rr::IsPathUnderRoot(rr::JoinPath(L"C:\\Game", relative), L"C:\\Game"));
    } else {
        Check(relative.empty());
    }
    rr::HasDoubleDotName(input);
    rr::PathCompareKey(input);
    return 0;
}
