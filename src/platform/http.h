#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace rr::platform {

// WinINet error codes; the POSIX layer reports libcurl failures with them so
// that log lines read the same on both platforms.
constexpr uint32_t kInternetTimeout = 12002;
constexpr uint32_t kInternetInternalError = 12004;
constexpr uint32_t kInternetInvalidUrl = 12005;
constexpr uint32_t kInternetUnrecognizedScheme = 12006;
constexpr uint32_t kInternetNameNotResolved = 12007;
constexpr uint32_t kInternetOperationCancelled = 12017;
constexpr uint32_t kInternetCannotConnect = 12029;
constexpr uint32_t kInternetConnectionAborted = 12030;
constexpr uint32_t kInternetConnectionReset = 12031;
constexpr uint32_t kInternetInvalidCa = 12045;
constexpr uint32_t kHttpInvalidServerResponse = 12152;
constexpr uint32_t kHttpRedirectFailed = 12156;
constexpr uint32_t kInternetSecurityChannelError = 12157;

// The response headers beside the status and the length that a transfer reads.
enum class HttpHeader {
    kRetryAfter,    // HTTP_QUERY_RETRY_AFTER
    kContentRange,  // HTTP_QUERY_CONTENT_RANGE
    kETag,          // HTTP_QUERY_ETAG
    kLastModified,  // HTTP_QUERY_LAST_MODIFIED
};

// One HTTP(S) GET: a session, one URL opened in it, its status, then its body
// pulled chunk by chunk. The handles close in reverse order on Close() and in
// the destructor. Every false result leaves the reason in LastError().
class HttpSession {
  public:
    HttpSession();
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    // InternetOpenW with the system's proxy configuration, then the connect,
    // receive and send time-outs (their results are ignored).
    bool Open(const std::wstring& userAgent, uint32_t timeoutMs);
    // InternetOpenUrlW: no cache, no cookies, no UI, redirects followed.
    // Returns once the final response's headers have arrived. A firstByte
    // above 0 adds "Range: bytes=firstByte-" and, when ifRange is not empty,
    // "If-Range: ifRange"; an ifRange with a control character is refused.
    bool OpenUrl(const std::wstring& url, uint64_t firstByte = 0, const std::wstring& ifRange = {});
    // The final response's status code (HttpQueryInfoA as a number).
    bool QueryStatus(uint32_t& status);
    // The announced body length (HTTP_QUERY_CONTENT_LENGTH); false when the
    // response has none.
    bool QueryContentLength(uint64_t& bytes);
    // The header's text as the server sent it; false when the response has
    // none.
    bool QueryHeader(HttpHeader header, std::wstring& value);
    // InternetReadFile: got == 0 with true at the end of the body.
    bool Read(void* buffer, size_t capacity, size_t& got);
    void Close();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace rr::platform
