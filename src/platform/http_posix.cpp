#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/http.h"
#include "platform/text.h"

// libcurl stands in for WinINet here. The core pulls the body chunk by chunk
// as it does with InternetReadFile, so the transfer runs on the multi interface:
// the write callback fills a bounded buffer and pauses the transfer when it is
// full, which keeps memory bounded whatever the size of the file.

namespace rr::platform {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kHttpHeaderNotFound = 12150;
// Body bytes held between libcurl and the reader; the transfer pauses above it.
constexpr size_t kPendingCapacity = 256 * 1024;
constexpr long kMaxRedirects = 20;
constexpr size_t kHeaderCount = 4;  // the values of HttpHeader

void GlobalInit() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

uint32_t TranslateCurlCode(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return kErrorSuccess;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return kInternetUnrecognizedScheme;
        case CURLE_URL_MALFORMAT:
            return kInternetInvalidUrl;
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_RESOLVE_HOST:
            return kInternetNameNotResolved;
        case CURLE_COULDNT_CONNECT:
            return kInternetCannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return kInternetTimeout;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_GOT_NOTHING:
        case CURLE_BAD_CONTENT_ENCODING:
            return kHttpInvalidServerResponse;
        case CURLE_TOO_MANY_REDIRECTS:
            return kHttpRedirectFailed;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR:
            return kInternetConnectionAborted;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_SHUTDOWN_FAILED:
            return kInternetSecurityChannelError;
        case CURLE_PEER_FAILED_VERIFICATION:
            return kInternetInvalidCa;
        case CURLE_OUT_OF_MEMORY:
            return kErrorNotEnoughMemory;
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_WRITE_ERROR:
            return kInternetOperationCancelled;
        default:
            return kInternetInternalError;
    }
}

bool IsFollowedRedirect(long code) {
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

bool StartsWithNoCase(const char* data, size_t size, const char* prefix) {
    size_t n = std::strlen(prefix);
    if (size < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

// The text after the colon of one header line, without the blanks around it.
std::string HeaderValue(const char* data, size_t size) {
    const char* end = data + size;
    const char* p = std::find(data, end, ':');
    if (p < end)
        ++p;
    while (p < end && (*p == ' ' || *p == '\t'))
        ++p;
    while (end > p && (end[-1] == '\r' || end[-1] == '\n' || end[-1] == ' ' || end[-1] == '\t'))
        --end;
    return std::string(p, end);
}

// A header value must stay on its line.
bool HasControlCharacter(const std::wstring& text) {
    return std::any_of(text.begin(), text.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; });
}

// A Content-Length value: decimal digits only, else -1.
int64_t ParseLength(const std::string& text) {
    if (text.empty() || text.size() > 18)
        return -1;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

struct HttpSession::Impl {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    bool sessionOpen = false;
    std::string userAgent;
    uint32_t timeoutMs = 0;

    // State of the one transfer.
    std::vector<char> pending;
    size_t pendingStart = 0;
    bool paused = false;
    long responseCode = 0;
    bool sawLocation = false;
    // The final response's Content-Length (-1: none) and the headers of
    // HttpHeader, by its value.
    int64_t contentLength = -1;
    bool hasHeader[kHeaderCount] = {};
    std::string header[kHeaderCount];
    bool headersDone = false;
    bool done = false;
    CURLcode result = CURLE_OK;
    Clock::time_point lastActivity;

    ~Impl() { Release(); }

    void ReleaseTransfer() {
        if (easy != nullptr) {
            if (multi != nullptr)
                curl_multi_remove_handle(multi, easy);
            curl_easy_cleanup(easy);
            easy = nullptr;
        }
        if (headers != nullptr) {
            curl_slist_free_all(headers);
            headers = nullptr;
        }
        std::vector<char>().swap(pending);
        pendingStart = 0;
        paused = false;
        responseCode = 0;
        sawLocation = false;
        ClearHeaders();
        headersDone = false;
        done = false;
        result = CURLE_OK;
    }

    void Release() {
        ReleaseTransfer();
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
            multi = nullptr;
        }
        sessionOpen = false;
    }

    void ClearHeaders() {
        contentLength = -1;
        for (size_t i = 0; i < kHeaderCount; ++i) {
            hasHeader[i] = false;
            header[i].clear();
        }
    }

    void Keep(HttpHeader which, const char* data, size_t size) {
        const size_t i = static_cast<size_t>(which);
        hasHeader[i] = true;
        header[i] = HeaderValue(data, size);
    }

    size_t Stored() const { return pending.size() - pendingStart; }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        return static_cast<Impl*>(self)->Header(data, size * count);
    }
    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        return static_cast<Impl*>(self)->Body(data, size * count);
    }

    // Tells the final response's headers apart from those of a redirect that
    // libcurl is about to follow (and of 1xx interim responses).
    size_t Header(const char* data, size_t size) {
        lastActivity = Clock::now();
        if (StartsWithNoCase(data, size, "http/")) {
            sawLocation = false;
            ClearHeaders();
            responseCode = 0;
            const char* end = data + size;
            const char* p = std::find(data, end, ' ');
            while (p < end && *p == ' ')
                ++p;
            long code = 0;
            for (; p < end && *p >= '0' && *p <= '9' && code < 1000; ++p)
                code = code * 10 + (*p - '0');
            responseCode = code;
        } else if (StartsWithNoCase(data, size, "location:")) {
            sawLocation = true;
        } else if (StartsWithNoCase(data, size, "content-length:")) {
            contentLength = ParseLength(HeaderValue(data, size));
        } else if (StartsWithNoCase(data, size, "retry-after:")) {
            Keep(HttpHeader::kRetryAfter, data, size);
        } else if (StartsWithNoCase(data, size, "content-range:")) {
            Keep(HttpHeader::kContentRange, data, size);
        } else if (StartsWithNoCase(data, size, "etag:")) {
            Keep(HttpHeader::kETag, data, size);
        } else if (StartsWithNoCase(data, size, "last-modified:")) {
            Keep(HttpHeader::kLastModified, data, size);
        } else if (size <= 2 && (size == 0 || data[0] == '\r' || data[0] == '\n')) {
            if (responseCode >= 200 && !(IsFollowedRedirect(responseCode) && sawLocation))
                headersDone = true;
        }
        return size;
    }

    size_t Body(const char* data, size_t size) {
        if (size == 0)
            return 0;
        lastActivity = Clock::now();
        headersDone = true;
        size_t stored = Stored();
        if (stored > 0 && stored + size > kPendingCapacity) {
            paused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        if (stored == 0) {
            pending.clear();
            pendingStart = 0;
        } else if (pending.size() + size > kPendingCapacity) {
            std::memmove(pending.data(), pending.data() + pendingStart, stored);
            pending.resize(stored);
            pendingStart = 0;
        }
        pending.insert(pending.end(), data, data + size);
        return size;
    }

    // One round of the transfer: let libcurl work, then wait for the socket
    // briefly. False when the receive time-out has passed without a byte.
    bool Drive() {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            SetLastErrorCode(kInternetInternalError);
            return false;
        }
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == easy) {
                done = true;
                result = msg->data.result;
            }
        }
        if (done || Stored() > 0)
            return true;
        auto idle =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity);
        if (idle.count() >= static_cast<long long>(timeoutMs)) {
            SetLastErrorCode(kInternetTimeout);
            return false;
        }
        long long wait = std::min<long long>(static_cast<long long>(timeoutMs) - idle.count(), 100);
        curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
        return true;
    }

    bool Finished() {
        // A body that ends before its announced length is treated like a
        // clean close, as WinINet does; the transfer code compares the bytes
        // it got with the announced length.
        if (result == CURLE_OK || result == CURLE_PARTIAL_FILE)
            return true;
        SetLastErrorCode(TranslateCurlCode(result));
        return false;
    }
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() = default;

bool HttpSession::Open(const std::wstring& userAgent, uint32_t timeoutMs) {
    Close();
    GlobalInit();
    impl_->multi = curl_multi_init();
    if (impl_->multi == nullptr) {
        SetLastErrorCode(kInternetInternalError);
        return false;
    }
    impl_->userAgent = WideToUtf8(userAgent);
    impl_->timeoutMs = timeoutMs;
    impl_->sessionOpen = true;
    return true;
}

bool HttpSession::OpenUrl(const std::wstring& url, uint64_t firstByte,
                          const std::wstring& ifRange) {
    Impl& s = *impl_;
    if (!s.sessionOpen) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    if (HasControlCharacter(ifRange)) {
        SetLastErrorCode(kErrorInvalidParameter);
        return false;
    }
    s.ReleaseTransfer();
    s.easy = curl_easy_init();
    if (s.easy == nullptr) {
        SetLastErrorCode(kInternetInternalError);
        return false;
    }
    std::string target = WideToUtf8(url);
    s.headers = curl_slist_append(s.headers, "Cache-Control: no-cache");
    s.headers = curl_slist_append(s.headers, "Pragma: no-cache");
    if (firstByte > 0) {
        const std::string range = "Range: bytes=" + std::to_string(firstByte) + "-";
        s.headers = curl_slist_append(s.headers, range.c_str());
        if (!ifRange.empty()) {
            s.headers = curl_slist_append(s.headers, ("If-Range: " + WideToUtf8(ifRange)).c_str());
        }
    }
    CURL* e = s.easy;
    curl_easy_setopt(e, CURLOPT_URL, target.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
    curl_easy_setopt(e, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS,
                     static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(e, CURLOPT_USERAGENT, s.userAgent.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, s.headers);
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(s.timeoutMs));
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &s);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &s);
    // libcurl reads no SSL_CERT_FILE: a test CA comes in through our own variable.
    // It replaces the bundle file; the system's certificate folder still counts.
    if (const char* caFile = std::getenv("RIVERORAVAV_CA_FILE"); caFile && *caFile)
        curl_easy_setopt(e, CURLOPT_CAINFO, caFile);
    s.pending.reserve(kPendingCapacity);
    if (curl_multi_add_handle(s.multi, e) != CURLM_OK) {
        SetLastErrorCode(kInternetInternalError);
        return false;
    }
    s.lastActivity = Clock::now();
    while (!s.headersDone && !s.done) {
        if (!s.Drive())
            return false;
    }
    if (!s.headersDone)
        return s.Finished();
    return true;
}

bool HttpSession::QueryStatus(uint32_t& status) {
    status = 0;
    long code = 0;
    if (impl_->easy == nullptr ||
        curl_easy_getinfo(impl_->easy, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK || code <= 0) {
        SetLastErrorCode(kHttpHeaderNotFound);
        return false;
    }
    status = static_cast<uint32_t>(code);
    return true;
}

bool HttpSession::QueryContentLength(uint64_t& bytes) {
    if (impl_->easy == nullptr || impl_->contentLength < 0) {
        SetLastErrorCode(kHttpHeaderNotFound);
        return false;
    }
    bytes = static_cast<uint64_t>(impl_->contentLength);
    return true;
}

bool HttpSession::QueryHeader(HttpHeader header, std::wstring& value) {
    const size_t i = static_cast<size_t>(header);
    if (impl_->easy == nullptr || i >= kHeaderCount || !impl_->hasHeader[i]) {
        SetLastErrorCode(kHttpHeaderNotFound);
        return false;
    }
    value = Utf8ToWide(impl_->header[i]);
    return true;
}

bool HttpSession::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    Impl& s = *impl_;
    if (s.easy == nullptr) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    if (capacity == 0)
        return true;
    for (;;) {
        size_t stored = s.Stored();
        if (stored > 0) {
            size_t n = std::min(capacity, stored);
            std::memcpy(buffer, s.pending.data() + s.pendingStart, n);
            s.pendingStart += n;
            if (s.paused && s.Stored() < kPendingCapacity / 2) {
                // Resuming may hand over the held chunk at once, through Body().
                s.paused = false;
                curl_easy_pause(s.easy, CURLPAUSE_CONT);
            }
            got = n;
            return true;
        }
        if (s.done)
            return s.Finished();
        if (!s.Drive())
            return false;
    }
}

void HttpSession::Close() {
    impl_->Release();
}

}  // namespace rr::platform
