#include "net/http.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "fs/crash_points.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "platform/error.h"
#include "platform/fs.h"

namespace rr {

namespace {

constexpr size_t kFetchChunk = 8192;
constexpr size_t kDownloadChunk = 32768;

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

// A failure with the platform's last error in the code and the text.
bool FailWithLastError(Error* err, const std::wstring& what, const std::wstring& tail = {}) {
    const uint32_t code = platform::LastError();
    return Fail(err, code, what + L" error=" + ToDecimal(code) + tail);
}

std::wstring RequestFailureText(HttpStep step, HttpUse use, uint32_t code,
                                const std::wstring& url) {
    switch (step) {
        case HttpStep::kOpenSession:
            return L"InternetOpenW failed. error=" + ToDecimal(code);
        case HttpStep::kOpenUrl:
            return L"InternetOpenUrlW failed. error=" + ToDecimal(code) + L" url=" + url;
        case HttpStep::kQueryStatus:
            break;
    }
    return std::wstring(L"HttpQueryInfoA failed for ") +
           (use == HttpUse::kFetch ? L"manifest" : L"file") + L" status. error=" + ToDecimal(code) +
           L" url=" + url;
}

// Sends the GET and tells the status it got.
std::unique_ptr<HttpResponse> Request(HttpClient& http, const std::wstring& url, HttpUse use,
                                      const TransferEvents& events, Error* err) {
    HttpStep failed = HttpStep::kOpenSession;
    Error why;
    std::unique_ptr<HttpResponse> response = http.Get(HttpRequest{url, use}, failed, &why);
    if (response == nullptr) {
        Fail(err, why.code, RequestFailureText(failed, use, why.code, url));
        return nullptr;
    }
    if (events.status) {
        events.status(response->Status());
    }
    return response;
}

bool ReadFailure(Error* err, const Error& why, const std::wstring& url) {
    return Fail(err, why.code,
                L"InternetReadFile failed. error=" + ToDecimal(why.code) + L" url=" + url);
}

bool ReadBodyToMemory(HttpResponse& response, const std::wstring& url, uint64_t maxBytes,
                      std::string& body, Error* err) {
    std::vector<char> buffer(kFetchChunk);
    for (;;) {
        size_t got = 0;
        Error why;
        if (!response.Read(buffer.data(), buffer.size(), got, &why)) {
            return ReadFailure(err, why, url);
        }
        if (got == 0) {
            return true;
        }
        // body.size() never exceeds maxBytes, so the subtraction cannot wrap.
        if (got > maxBytes - body.size()) {
            return Fail(err, platform::kErrorSuccess,
                        L"Manifest download exceeded allowed memory limit.");
        }
        body.append(buffer.data(), got);
    }
}

void Report(const DownloadProgress& progress, uint64_t receivedBytes, bool complete) {
    if (progress) {
        progress(receivedBytes, complete);
    }
}

// The destination's folder, made and entered from the root.
bool OpenDestinationFolder(const DownloadRequest& request, platform::DirHandle& folder,
                           std::wstring& fileName, Error* err) {
    WalkStop stop = WalkStop::kNone;
    if (OpenParentBelow(request.root, request.destination, true, folder, fileName, &stop)) {
        return true;
    }
    return Fail(err, platform::LastError(),
                L"Failed to create output parent directory: " + request.destination +
                    (stop == WalkStop::kFailed ? std::wstring()
                                               : std::wstring(L" reason=") + WalkStopText(stop)),
                stop);
}

// Whatever stands at the destination goes first: the file is always new.
bool CreateDestinationFile(platform::DirHandle& folder, const std::wstring& fileName,
                           const std::wstring& destination, platform::FileWriter& file,
                           Error* err) {
    if ((!folder.RemoveChild(fileName) && platform::LastError() != platform::kErrorFileNotFound) ||
        !folder.CreateNewFile(fileName, file)) {
        // Nothing of ours is there to delete: the file was never opened.
        return FailWithLastError(err, L"Failed to create temp file.", L" path=" + destination);
    }
    return true;
}

// The body into the open file, chunk by chunk; `total` counts what was read.
bool WriteBodyToFile(HttpResponse& response, const DownloadRequest& request,
                     const DownloadProgress& progress, platform::FileWriter& file, uint64_t& total,
                     Error* err) {
    std::vector<char> buffer(kDownloadChunk);
    for (;;) {
        size_t got = 0;
        Error why;
        if (!response.Read(buffer.data(), buffer.size(), got, &why)) {
            return ReadFailure(err, why, request.url);
        }
        if (got == 0) {
            return true;
        }
        total += got;
        Report(progress, total, false);
        // The chunk that crosses the limit is never written.
        if (total > request.maxBytes) {
            return Fail(err, platform::kErrorSuccess,
                        L"File download exceeded max bytes: " + request.url);
        }
        CrashPoint();
        if (!file.Write(buffer.data(), got)) {
            return FailWithLastError(err, L"Failed writing temp file.");
        }
    }
}

// Writes the body to a new file in `folder`; on failure the partial file is
// removed once it is closed.
bool ReceiveFile(HttpResponse& response, const DownloadRequest& request,
                 const DownloadProgress& progress, platform::DirHandle& folder,
                 const std::wstring& fileName, Error* err) {
    platform::FileWriter file;
    if (!CreateDestinationFile(folder, fileName, request.destination, file, err)) {
        return false;
    }
    Report(progress, 0, false);
    uint64_t total = 0;
    bool written = WriteBodyToFile(response, request, progress, file, total, err);
    // A close that fails may have lost buffered data: that is a failed write,
    // not a finished download.
    if (written && !file.Close()) {
        written = FailWithLastError(err, L"Failed writing temp file.");
    }
    if (!written) {
        file.Close();
        folder.RemoveChild(fileName);
        return false;
    }
    Report(progress, total, true);
    return true;
}

}  // namespace

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

std::wstring HttpStatusLine(HttpUse use, uint32_t status) {
    return (use == HttpUse::kFetch ? L"Manifest HTTP status=" : L"File HTTP status=") +
           ToDecimal(status);
}

bool FetchUrlToMemory(HttpClient& http, const std::wstring& url, uint64_t maxBytes,
                      std::string& body, const TransferEvents& events, Error* err) {
    body.clear();
    if (!IsHttpUrl(url)) {
        return Fail(err, platform::kErrorSuccess, L"Rejected non-http manifest URL: " + url);
    }
    std::unique_ptr<HttpResponse> response = Request(http, url, HttpUse::kFetch, events, err);
    if (response == nullptr) {
        return false;
    }
    if (response->Status() != 200) {
        return Fail(err, platform::kErrorSuccess);
    }
    if (!ReadBodyToMemory(*response, url, maxBytes, body, err)) {
        body.clear();
        return false;
    }
    if (body.empty()) {
        return Fail(err, platform::kErrorSuccess, L"Manifest response is empty.");
    }
    return true;
}

bool DownloadUrlToFile(HttpClient& http, const DownloadRequest& request,
                       const TransferEvents& events, Error* err) {
    if (!IsHttpUrl(request.url)) {
        return Fail(err, platform::kErrorSuccess, L"Rejected non-http file URL: " + request.url);
    }
    platform::DirHandle folder;
    std::wstring fileName;
    if (!OpenDestinationFolder(request, folder, fileName, err)) {
        return false;
    }
    std::unique_ptr<HttpResponse> response =
        Request(http, request.url, HttpUse::kDownload, events, err);
    if (response == nullptr) {
        return false;
    }
    const uint32_t status = response->Status();
    if (status != 200) {
        return Fail(err, platform::kErrorSuccess,
                    L"Rejected file HTTP status=" + ToDecimal(status) + L" url=" + request.url);
    }
    return ReceiveFile(*response, request, events.progress, folder, fileName, err);
}

}  // namespace rr
