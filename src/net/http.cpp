// Placeholder until the real transfer lands: the pure URL text routines, and
// transfers that fail the way a machine without an internet library would.
#include "net/http.h"

#include "log/log.h"

namespace rr {

namespace {

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

}  // namespace

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool IsHttpUrl(const std::wstring& url) {
    return StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://");
}

std::wstring JoinUrl(const std::wstring& base, const std::wstring& relative) {
    if (IsHttpUrl(relative) || base.empty()) {
        return relative;
    }
    bool relativeHasSlash = !relative.empty() && (relative[0] == L'/' || relative[0] == L'\\');
    if (base.back() != L'/') {
        return relativeHasSlash ? base + relative : base + L"/" + relative;
    }
    return relativeHasSlash ? base + relative.substr(1) : base + relative;
}

bool FetchUrlToMemory(const std::wstring& url, std::string& body, uint64_t maxBytes) {
    (void)url;
    (void)maxBytes;
    body.clear();
    LogMain(L"InternetOpenW failed. error=50");
    return false;
}

bool DownloadUrlToFile(const std::wstring& url, const std::wstring& destinationPath,
                       uint64_t maxBytes, const std::wstring& displayName, uint32_t fileIndex,
                       uint32_t fileCount, uint64_t expectedBytes) {
    (void)url;
    (void)destinationPath;
    (void)maxBytes;
    (void)displayName;
    (void)fileIndex;
    (void)fileCount;
    (void)expectedBytes;
    LogMain(L"InternetOpenW failed. error=50");
    return false;
}

}  // namespace rr
