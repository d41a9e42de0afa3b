#include "net/http.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "base/path.h"
#include "base/text.h"
#include "fs/crash_points.h"
#include "fs/safe_fs.h"
#include "log/log.h"
#include "net/download_resume.h"
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
std::unique_ptr<HttpResponse> Request(HttpClient& http, const HttpRequest& request,
                                      const TransferEvents& events, Error* err) {
    HttpStep failed = HttpStep::kOpenSession;
    Error why;
    std::unique_ptr<HttpResponse> response = http.Get(request, failed, &why);
    if (response == nullptr) {
        if (failed == HttpStep::kOpenUrl) {
            MarkNetworkFailure(events, why.code);
        }
        Fail(err, why.code, RequestFailureText(failed, request.use, why.code, request.url));
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
    Error open;
    if (OpenParentBelow(request.root, request.destination, true, folder, fileName, &open)) {
        return true;
    }
    return Fail(
        err, open.code,
        L"Failed to create output parent directory: " + request.destination +
            (open.stop == WalkStop::kFailed ? std::wstring()
                                            : std::wstring(L" reason=") + WalkStopText(open.stop)),
        open.stop);
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

// The body into the open file, chunk by chunk, after the `offset` bytes the
// file already holds; `received` counts what was read. `cut` tells a body that
// broke off (the connection failed or closed early) from other failures.
bool WriteBodyToFile(HttpResponse& response, const DownloadRequest& request,
                     const TransferEvents& events, platform::FileWriter& file, uint64_t offset,
                     uint64_t& received, bool& cut, Error* err) {
    std::vector<char> buffer(kDownloadChunk);
    for (;;) {
        size_t got = 0;
        Error why;
        if (!response.Read(buffer.data(), buffer.size(), got, &why)) {
            cut = true;
            return ReadFailure(events, err, why, request.url);
        }
        if (got == 0) {
            cut = !CheckBodyComplete(response, received, L"File", request.url, events, err);
            return !cut;
        }
        received += got;
        Report(events.progress, offset + received, false);
        // The chunk that crosses the limit is never written.
        if (offset + received > request.maxBytes) {
            return Fail(err, platform::kErrorSuccess,
                        L"File download exceeded max bytes: " + request.url);
        }
        CrashPoint();
        if (!file.Write(buffer.data(), got)) {
            return FailWithLastError(err, L"Failed writing temp file.");
        }
    }
}

// How a body went into its file.
struct BodyOutcome {
    uint64_t received = 0;  // bytes of this body written
    bool kept = false;      // failed, and the file stays for a resumed attempt
};

// Writes the body into the open file, which holds `offset` bytes, and closes
// it. On failure the file is removed, unless `keepCut` and the body was cut.
bool FinishFile(HttpResponse& response, const DownloadRequest& request,
                const TransferEvents& events, const platform::DirHandle& folder,
                const std::wstring& fileName, platform::FileWriter& file, uint64_t offset,
                bool keepCut, BodyOutcome& outcome, Error* err) {
    Report(events.progress, offset, false);
    bool cut = false;
    bool written =
        WriteBodyToFile(response, request, events, file, offset, outcome.received, cut, err);
    // A close that fails may have lost buffered data: that is a failed write,
    // not a finished download.
    if (written && !file.Close()) {
        written = FailWithLastError(err, L"Failed writing temp file.");
        cut = false;
    }
    if (!written) {
        file.Close();
        outcome.kept = keepCut && cut;
        if (!outcome.kept) {
            folder.RemoveChild(fileName);
        }
        return false;
    }
    Report(events.progress, offset + outcome.received, true);
    return true;
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
    BodyOutcome outcome;
    return FinishFile(response, request, events, folder, fileName, file, 0, false, outcome, err);
}

// A rejected status, told to the retry rules first.
bool RejectStatus(const HttpResponse& response, const DownloadRequest& request,
                  const TransferEvents& events, Error* err) {
    MarkPassingStatus(events, response);
    return Fail(
        err, platform::kErrorSuccess,
        L"Rejected file HTTP status=" + ToDecimal(response.Status()) + L" url=" + request.url);
}

// The whole file from its first byte: a 200 response, or null with the
// request's failure or the refused status in `err`.
std::unique_ptr<HttpResponse> RequestWhole(HttpClient& http, const DownloadRequest& request,
                                           const TransferEvents& events, Error* err) {
    std::unique_ptr<HttpResponse> response =
        Request(http, HttpRequest{request.url, HttpUse::kDownload}, events, err);
    if (response != nullptr && response->Status() != 200) {
        RejectStatus(*response, request, events, err);
        return nullptr;
    }
    return response;
}

// The destination of a resumable download, its folder open.
struct ResumableFile {
    const DownloadRequest& request;
    const ResumeTarget& target;
    const TransferEvents& events;
    platform::DirHandle folder;
    std::wstring fileName;
    std::wstring validatorName;
};

// After a resumable body failed or succeeded: a kept file goes on next time
// (worth telling the retry rules when it grew), a finished one needs its
// validator no more, and a removed one must not leave its validator behind.
bool SettleResumable(const ResumableFile& f, bool ok, const BodyOutcome& outcome) {
    if (!ok && outcome.kept) {
        if (outcome.received > 0 && f.events.retry != nullptr) {
            f.events.retry->progressed = true;
        }
        return false;
    }
    RemoveValidator(f.folder, f.validatorName);
    return ok;
}

// A 200 for a resumable download: the file is written from its first byte,
// and the response's validator is kept beside it before any byte arrives.
bool StartResumable(HttpResponse& response, ResumableFile& f, Error* err) {
    // What was kept about the old bytes goes before they do.
    const bool oldGone = RemoveValidator(f.folder, f.validatorName);
    platform::FileWriter file;
    if (!CreateDestinationFile(f.folder, f.fileName, f.request.destination, file, err)) {
        return false;
    }
    const std::wstring validator = PickValidator(response);
    const bool keep = oldGone && !validator.empty() &&
                      WriteValidator(f.folder, f.validatorName, f.target, validator);
    BodyOutcome outcome;
    const bool ok = FinishFile(response, f.request, f.events, f.folder, f.fileName, file, 0, keep,
                               outcome, err);
    return SettleResumable(f, ok, outcome);
}

// Asks for the rest of the partial file from `offset` on, while the server's
// file is still the one `validator` names. Anything but exactly that rest is
// never appended: a 200 starts the file again, a 206 for another range (or a
// 416) removes the partial file so that the next attempt starts from 0.
bool ResumeFile(HttpClient& http, ResumableFile& f, platform::FileWriter& partial, uint64_t offset,
                const std::wstring& validator, Error* err) {
    if (f.events.resuming) {
        f.events.resuming(offset);
    }
    std::unique_ptr<HttpResponse> response = Request(
        http, HttpRequest{f.request.url, HttpUse::kDownload, offset, validator}, f.events, err);
    if (response == nullptr) {
        return false;
    }
    const uint32_t status = response->Status();
    if (status == 200) {
        partial.Close();
        if (f.events.restarted) {
            f.events.restarted();
        }
        return StartResumable(*response, f, err);
    }
    std::wstring range;
    if (status == 206 && response->ContentRange(range) &&
        IsRestOfFile(range, offset, f.target.size)) {
        BodyOutcome outcome;
        const bool ok = FinishFile(*response, f.request, f.events, f.folder, f.fileName, partial,
                                   offset, true, outcome, err);
        return SettleResumable(f, ok, outcome);
    }
    partial.Close();
    if (status != 206 && status != 416) {
        return RejectStatus(*response, f.request, f.events, err);
    }
    f.folder.RemoveChild(f.fileName);
    RemoveValidator(f.folder, f.validatorName);
    if (status == 416) {
        return RejectStatus(*response, f.request, f.events, err);
    }
    return Fail(err, platform::kErrorSuccess,
                L"Rejected file Content-Range. expected=bytes " + ToDecimal(offset) + L"-" +
                    ToDecimal(f.target.size - 1) + L"/" + ToDecimal(f.target.size) + L" actual=" +
                    range + L" url=" + f.request.url);
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
    std::unique_ptr<HttpResponse> response =
        Request(http, HttpRequest{url, HttpUse::kFetch}, events, err);
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
    std::unique_ptr<HttpResponse> response = RequestWhole(http, request, events, err);
    return response != nullptr && ReceiveFile(*response, request, events, folder, fileName, err);
}

bool DownloadResumable(HttpClient& http, const DownloadRequest& request, const ResumeTarget& target,
                       const TransferEvents& events, Error* err) {
    if (!IsHttpUrl(request.url)) {
        return Fail(err, platform::kErrorSuccess, L"Rejected non-http file URL: " + request.url);
    }
    ResumableFile f{request, target, events, {}, {}, {}};
    if (!OpenDestinationFolder(request, f.folder, f.fileName, err)) {
        return false;
    }
    f.validatorName = ValidatorFileName(f.fileName);
    std::wstring validator;
    platform::FileWriter partial;
    uint64_t offset = 0;
    if (target.size > 0 && ReadValidator(f.folder, f.validatorName, target, validator) &&
        f.folder.OpenFileForAppend(f.fileName, partial, offset) && offset > 0 &&
        offset < target.size) {
        return ResumeFile(http, f, partial, offset, validator, err);
    }
    partial.Close();
    std::unique_ptr<HttpResponse> response = RequestWhole(http, request, events, err);
    return response != nullptr && StartResumable(*response, f, err);
}

}  // namespace rr
