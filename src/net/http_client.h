#pragma once
// The HTTP that the transfer code (http.h) talks to, behind a small interface:
// the program uses the client over the platform layer (system_http_client.h),
// unit tests an in-memory one. A client sends one GET at a time and hands the
// response over as it arrives; what to do with it (limits, files, log lines,
// retries) is the transfer code's business.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/error.h"
#include "net/retry.h"

namespace rr {

// What a request is for; the client picks its time-out by it.
enum class HttpUse {
    kFetch,     // a small body read into memory: a manifest, a signature
    kDownload,  // a file streamed to disk
};

// One GET. A resumed download asks for the body from `firstByte` on
// ("Range: bytes=N-") and only while the file is still the one `ifRange`
// names ("If-Range": an ETag or a Last-Modified date). A client that cannot
// send them must refuse such a request rather than answer with the whole body.
struct HttpRequest {
    std::wstring url;
    HttpUse use = HttpUse::kFetch;
    uint64_t firstByte = 0;  // 0: the whole body, no Range header
    std::wstring ifRange;    // sent only with a Range
};

// The step a GET failed at before its response was there.
enum class HttpStep {
    kOpenSession,  // no session (InternetOpenW)
    kOpenUrl,      // no final response: connect, send, redirects (InternetOpenUrlW)
    kQueryStatus,  // a response without a readable status (HttpQueryInfoA)
};

// A response whose headers have arrived.
class HttpResponse {
  public:
    virtual ~HttpResponse() = default;
    // The final response's status, after every redirect was followed.
    virtual uint32_t Status() const = 0;
    // The body length the response announced (Content-Length); false when it
    // announced none.
    virtual bool ContentLength(uint64_t& bytes) const = 0;
    // The Retry-After header's text; false when there is none.
    virtual bool RetryAfter(std::wstring& value) const = 0;
    // The Content-Range, ETag and Last-Modified headers' texts, as sent;
    // false when the response has none.
    virtual bool ContentRange(std::wstring& value) const = 0;
    virtual bool ETag(std::wstring& value) const = 0;
    virtual bool LastModified(std::wstring& value) const = 0;
    // The next bytes of the body: got == 0 with true at its end. A failure
    // leaves the platform's error code in err->code.
    virtual bool Read(void* buffer, size_t capacity, size_t& got, Error* err) = 0;
};

class HttpClient {
  public:
    virtual ~HttpClient() = default;
    // Sends the GET and waits for the final response's headers. Null on
    // failure, with the step in `failed` and the error code in err->code.
    virtual std::unique_ptr<HttpResponse> Get(const HttpRequest& request, HttpStep& failed,
                                              Error* err) = 0;
    // How transfers over this client are tried again after a passing failure.
    virtual const RetryPolicy& Retries() const = 0;
};

}  // namespace rr
