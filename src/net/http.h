#pragma once
// Transfers over an HttpClient: a small body into memory, a file to disk below
// the client folder. Nothing here logs: a failure comes back as an Error whose
// text is the log line, and what a transfer sees while it runs (the status,
// the bytes so far) is told to the caller's TransferEvents as it happens.
#include <cstdint>
#include <functional>
#include <string>

#include "base/error.h"
#include "fs/safe_fs.h"
#include "net/download_resume.h"
#include "net/http_client.h"
#include "net/retry.h"

namespace rr {

// True when prefix is empty or text begins with it, ignoring ASCII letter case.
bool StartsWithNoCase(const std::wstring& text, const std::wstring& prefix);
// "http://" or "https://" in any letter case.
bool IsHttpUrl(const std::wstring& url);
std::wstring JoinUrl(const std::wstring& base, const std::wstring& relative);

// Told the bytes received so far while a download runs: once with 0 when the
// destination file has been made, after every chunk read (before that chunk is
// checked against the limit and written), and once more with `complete` set
// after the file was written and closed. Never told anything about a request
// that fails before the file exists.
using DownloadProgress = std::function<void(uint64_t receivedBytes, bool complete)>;

// The log's line for the status a transfer was told: "Manifest HTTP status=200"
// for a fetch, "File HTTP status=200" for a download.
std::wstring HttpStatusLine(HttpUse use, uint32_t status);

// Each member may be empty.
struct TransferEvents {
    // The final response's status, once, as soon as it is known: before the
    // status is judged and before any byte of the body.
    std::function<void(uint32_t status)> status;
    // Downloads only.
    DownloadProgress progress;
    // Filled when the transfer fails in a way another attempt may get past
    // (see retry.h); left alone otherwise.
    RetryCause* retry = nullptr;
    // Resumable downloads only: the rest of the file from `offset` on is
    // about to be asked for.
    std::function<void(uint64_t offset)> resuming;
    // Resumable downloads only: asked for the rest, the server sent the whole
    // file, which is now written from its first byte.
    std::function<void()> restarted;
};

// GET into memory, status 200 only, at most maxBytes (a body of exactly
// maxBytes is allowed); `body` is empty after any failure. A body that ends
// before its announced length is a failure, not a short body. A status other
// than 200 fails with an empty text: the status told to `events` says it all.
bool FetchUrlToMemory(HttpClient& http, const std::wstring& url, uint64_t maxBytes,
                      std::string& body, const TransferEvents& events, Error* err);

struct DownloadRequest {
    std::wstring url;
    const ClientFolder& root;  // the client folder
    std::wstring destination;  // the file to write, below root
    uint64_t maxBytes = 0;     // a body of exactly maxBytes is allowed
};

// GET streamed into the destination under the byte limit. The destination's
// folders are made and entered from the root without following links, and the
// file is always a new one, so a link or hard link standing there is
// replaced, never written through. A body that ends before its announced
// length fails. A failure never leaves the file behind.
bool DownloadUrlToFile(HttpClient& http, const DownloadRequest& request,
                       const TransferEvents& events, Error* err);

// DownloadUrlToFile for a file of known size and digest that may come in
// several goes. The validator of a response that starts the file is kept
// beside it before the first byte is written (see download_resume.h); a body
// that breaks off then leaves the file and its validator for the next
// attempt, and tells `retry` that it progressed when it grew. When the
// destination is shorter than the target and its validator is there, only
// the rest is asked for (Range, If-Range): a 206 for exactly that rest is
// appended; a 200 is written from the start; a 206 for another range, or a
// 416, fails and removes the partial file and its validator. A download that
// completes removes the validator.
bool DownloadResumable(HttpClient& http, const DownloadRequest& request, const ResumeTarget& target,
                       const TransferEvents& events, Error* err);

}  // namespace rr
