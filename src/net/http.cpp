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
#include "platform/http.h"

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

// The name of a network failure that may pass: no name, no connection, a
// time-out, a connection that broke. Certificate and TLS failures, and
// anything else, are there to stay: null.
const wchar_t* PassingNetworkFailure(uint32_t code) {
    switch (code) {
        case platform::kInternetTimeout:
            return L"time-out";
        case platform::kInternetNameNotResolved:
            return L"name not resolved";
        case platform::kInternetCannotConnect:
            return L"connect failure";
        case platform::kInternetConnectionAborted:
            return L"connection aborted";
        case platform::kInternetConnectionReset:
            return L"connection reset";
        case platform::kHttpInvalidServerResponse:
            return L"no valid response";
        default:
            return nullptr;
    }
}

void MarkRetryable(const TransferEvents& events, std::wstring reason) {
    if (events.retry != nullptr) {
        events.retry->retryable = true;
        events.retry->reason = std::move(reason);
    }
}

void MarkNetworkFailure(const TransferEvents& events, uint32_t code) {
    if (const wchar_t* name = PassingNetworkFailure(code)) {
        MarkRetryable(events, std::wstring(name) + L" (error " + ToDecimal(code) + L")");
    }
}

// Statuses that ask to come back later; the server's Retry-After, when it
// gives seconds, goes with the cause.
void MarkPassingStatus(const TransferEvents& events, const HttpResponse& response) {
    const uint32_t status = response.Status();
    if (status != 408 && status != 429 && status != 500 && status != 502 && status != 503 &&
        status != 504) {
        return;
    }
    MarkRetryable(events, L"HTTP status " + ToDecimal(status));
    std::wstring value;
    uint32_t seconds = 0;
    if (events.retry != nullptr && response.RetryAfter(value) &&
        ParseRetryAfterSeconds(value, seconds)) {
        events.retry->hasRetryAfter = true;
        events.retry->retryAfterSeconds = seconds;
    }
}

// A body that ended before the length its response announced was cut: the
// connection closed early. That is a failure worth another attempt.
bool CheckBodyComplete(const HttpResponse& response, uint64_t received, const wchar_t* what,
                       const std::wstring& url, const TransferEvents& events, Error* err) {
    uint64_t announced = 0;
    if (!response.ContentLength(announced) || received >= announced) {
        return true;
    }
    MarkRetryable(events, L"body cut short at " + ToDecimal(received) + L" of " +
                              ToDecimal(announced) + L" bytes");
    return Fail(err, platform::kErrorSuccess,
                std::wstring(what) + L" download ended early. received=" + ToDecimal(received) +
                    L" expected=" + ToDecimal(announced) + L" url=" + url);
}

// Sends the GET and tells the status it got.
std::unique_ptr<HttpResponse> Request(HttpClient& http, const std::wstring& url, HttpUse use,
                                      const TransferEvents& events, Error* err) {
    HttpStep failed = HttpStep::kOpenSession;
    Error why;
    std::unique_ptr<HttpResponse> response = http.Get(HttpRequest{url, use}, failed, &why);
    if (response == nullptr) {
        if (failed == HttpStep::kOpenUrl) {
            MarkNetworkFailure(events, why.code);
        }
        Fail(err, why.code, RequestFailureText(failed, use, why.code, url));
        return nullptr;
    }
    if (events.status) {
        events.status(response->Status());
    }
    return response;
}

bool ReadFailure(const TransferEvents& events, Error* err, const Error& why,
                 const std::wstring& url) {
    MarkNetworkFailure(events, why.code);
    return Fail(err, why.code,
                L"InternetReadFile failed. error=" + ToDecimal(why.code) + L" url=" + url);
}

bool ReadBodyToMemory(HttpResponse& response, const std::wstring& url, uint64_t maxBytes,
                      std::string& body, const TransferEvents& events, Error* err) {
    std::vector<char> buffer(kFetchChunk);
    for (;;) {
        size_t got = 0;
        Error why;
        if (!response.Read(buffer.data(), buffer.size(), got, &why)) {
            return ReadFailure(events, err, why, url);
        }
        if (got == 0) {
            return CheckBodyComplete(response, body.size(), L"Manifest", url, events, err);
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
                     const TransferEvents& events, platform::FileWriter& file, uint64_t& total,
                     Error* err) {
    std::vector<char> buffer(kDownloadChunk);
    for (;;) {
        size_t got = 0;
        Error why;
        if (!response.Read(buffer.data(), buffer.size(), got, &why)) {
            return ReadFailure(events, err, why, request.url);
        }
        if (got == 0) {
            return CheckBodyComplete(response, total, L"File", request.url, events, err);
        }
        total += got;
        Report(events.progress, total, false);
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
                 const TransferEvents& events, platform::DirHandle& folder,
                 const std::wstring& fileName, Error* err) {
    platform::FileWriter file;
    if (!CreateDestinationFile(folder, fileName, request.destination, file, err)) {
        return false;
    }
    Report(events.progress, 0, false);
    uint64_t total = 0;
    bool written = WriteBodyToFile(response, request, events, file, total, err);
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
    Report(events.progress, total, true);
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
        MarkPassingStatus(events, *response);
        return Fail(err, platform::kErrorSuccess);
    }
    if (!ReadBodyToMemory(*response, url, maxBytes, body, events, err)) {
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
        MarkPassingStatus(events, *response);
        return Fail(err, platform::kErrorSuccess,
                    L"Rejected file HTTP status=" + ToDecimal(status) + L" url=" + request.url);
    }
    return ReceiveFile(*response, request, events, folder, fileName, err);
}

}  // namespace rr
