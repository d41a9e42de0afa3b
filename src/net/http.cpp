#include "net/http.h"

#include <cstdint>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "fs/crash_points.h"
#include "fs/file_ops.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/http.h"

namespace rr {

namespace {

constexpr wchar_t kUserAgent[] = L"RiveRoravav";
constexpr uint32_t kFetchTimeoutMs = 15000;
constexpr uint32_t kDownloadTimeoutMs = 30000;
constexpr size_t kFetchChunk = 8192;
constexpr size_t kDownloadChunk = 32768;

struct Timeouts {
    uint32_t fetchMs = kFetchTimeoutMs;
    uint32_t downloadMs = kDownloadTimeoutMs;
};

Timeouts& CurrentTimeouts() {
    static Timeouts timeouts;
    return timeouts;
}

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

std::wstring ErrorText() {
    return ToDecimal(platform::LastError());
}

void Report(const DownloadProgress& progress, uint64_t receivedBytes, bool complete) {
    if (progress) {
        progress(receivedBytes, complete);
    }
}

}  // namespace

void SetHttpTimeoutsForTesting(uint32_t fetchMs, uint32_t downloadMs) {
    Timeouts& t = CurrentTimeouts();
    t.fetchMs = fetchMs == 0 ? kFetchTimeoutMs : fetchMs;
    t.downloadMs = downloadMs == 0 ? kDownloadTimeoutMs : downloadMs;
}

bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    if (prefix.empty())
        return true;
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (FoldAscii(text[i]) != FoldAscii(prefix[i]))
            return false;
    }
    return true;
}

bool IsHttpUrl(const std::wstring& url) {
    return StartsWithNoCase(url, L"http://") || StartsWithNoCase(url, L"https://");
}

std::wstring JoinUrl(const std::wstring& base, const std::wstring& relative) {
    if (IsHttpUrl(relative) || base.empty())
        return relative;
    bool relativeHasSlash = !relative.empty() && (relative[0] == L'/' || relative[0] == L'\\');
    if (base.back() != L'/')
        return relativeHasSlash ? base + relative : base + L"/" + relative;
    return relativeHasSlash ? base + relative.substr(1) : base + relative;
}

bool FetchUrlToMemory(const std::wstring& url, std::string& body, uint64_t maxBytes) {
    body.clear();
    if (!IsHttpUrl(url)) {
        LogMain(L"Rejected non-http manifest URL: " + url);
        return false;
    }
    platform::HttpSession session;
    if (!session.Open(kUserAgent, CurrentTimeouts().fetchMs)) {
        LogMain(L"InternetOpenW failed. error=" + ErrorText());
        return false;
    }
    if (!session.OpenUrl(url)) {
        LogMain(L"InternetOpenUrlW failed. error=" + ErrorText() + L" url=" + url);
        return false;
    }
    uint32_t status = 0;
    if (!session.QueryStatus(status)) {
        LogMain(L"HttpQueryInfoA failed for manifest status. error=" + ErrorText() + L" url=" +
                url);
        return false;
    }
    LogMain(L"Manifest HTTP status=" + ToDecimal(status));
    if (status != 200)
        return false;

    std::vector<char> buffer(kFetchChunk);
    for (;;) {
        size_t got = 0;
        if (!session.Read(buffer.data(), buffer.size(), got)) {
            LogMain(L"InternetReadFile failed. error=" + ErrorText() + L" url=" + url);
            body.clear();
            return false;
        }
        if (got == 0)
            break;
        // body.size() never exceeds maxBytes, so the subtraction cannot wrap.
        if (got > maxBytes - body.size()) {
            LogMain(L"Manifest download exceeded allowed memory limit.");
            body.clear();
            return false;
        }
        body.append(buffer.data(), got);
    }
    session.Close();
    if (body.empty()) {
        LogMain(L"Manifest response is empty.");
        return false;
    }
    return true;
}

bool DownloadUrlToFile(const std::wstring& url, const std::wstring& destinationPath,
                       uint64_t maxBytes, const DownloadProgress& progress) {
    if (IsHttpUrl(url) && !EnsureParentDirectory(destinationPath)) {
        LogMain(L"Failed to create output parent directory: " + destinationPath);
        return false;
    }
    return DownloadUrlToFile(url, ParentPath(destinationPath), destinationPath, maxBytes, progress);
}

bool DownloadUrlToFile(const std::wstring& url, const std::wstring& root,
                       const std::wstring& destinationPath, uint64_t maxBytes,
                       const DownloadProgress& progress) {
    if (!IsHttpUrl(url)) {
        LogMain(L"Rejected non-http file URL: " + url);
        return false;
    }
    platform::DirHandle folder;
    std::wstring fileName;
    WalkStop stop = WalkStop::kNone;
    if (!OpenParentBelow(root, destinationPath, true, folder, fileName, &stop)) {
        LogMain(L"Failed to create output parent directory: " + destinationPath +
                (stop == WalkStop::kFailed ? std::wstring()
                                           : std::wstring(L" reason=") + WalkStopText(stop)));
        return false;
    }
    platform::HttpSession session;
    if (!session.Open(kUserAgent, CurrentTimeouts().downloadMs)) {
        LogMain(L"InternetOpenW failed. error=" + ErrorText());
        return false;
    }
    if (!session.OpenUrl(url)) {
        LogMain(L"InternetOpenUrlW failed. error=" + ErrorText() + L" url=" + url);
        return false;
    }
    uint32_t status = 0;
    if (!session.QueryStatus(status)) {
        LogMain(L"HttpQueryInfoA failed for file status. error=" + ErrorText() + L" url=" + url);
        return false;
    }
    LogMain(L"File HTTP status=" + ToDecimal(status));
    if (status != 200) {
        LogMain(L"Rejected file HTTP status=" + ToDecimal(status) + L" url=" + url);
        return false;
    }

    platform::FileWriter file;
    if ((!folder.RemoveChild(fileName) && platform::LastError() != platform::kErrorFileNotFound) ||
        !folder.CreateNewFile(fileName, file)) {
        // Nothing of ours is there to delete: the file was never opened.
        LogMain(L"Failed to create temp file. error=" + ErrorText() + L" path=" + destinationPath);
        return false;
    }
    Report(progress, 0, false);

    // From here on every failure removes the partial file, after the file and
    // both internet handles are closed.
    auto failureExit = [&]() {
        file.Close();
        session.Close();
        folder.RemoveChild(fileName);
        return false;
    };

    std::vector<char> buffer(kDownloadChunk);
    uint64_t total = 0;
    for (;;) {
        size_t got = 0;
        if (!session.Read(buffer.data(), buffer.size(), got)) {
            LogMain(L"InternetReadFile failed. error=" + ErrorText() + L" url=" + url);
            return failureExit();
        }
        if (got == 0)
            break;
        total += got;
        Report(progress, total, false);
        // The chunk that crosses the limit is never written.
        if (total > maxBytes) {
            LogMain(L"File download exceeded max bytes: " + url);
            return failureExit();
        }
        CrashPoint();
        if (!file.Write(buffer.data(), got)) {
            LogMain(L"Failed writing temp file. error=" + ErrorText());
            return failureExit();
        }
    }
    // A close that fails may have lost buffered data: that is a failed write,
    // not a finished download.
    if (!file.Close()) {
        LogMain(L"Failed writing temp file. error=" + ErrorText());
        return failureExit();
    }
    session.Close();
    Report(progress, total, true);
    return true;
}

}  // namespace rr
