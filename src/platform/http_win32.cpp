#include <windows.h>
#include <wininet.h>

#include <string>

#include "platform/http.h"

namespace rr::platform {

namespace {

// INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_COOKIES |
// INTERNET_FLAG_NO_UI; INTERNET_FLAG_NO_AUTO_REDIRECT stays clear so the
// library follows redirects and the status read is the final response's.
constexpr DWORD kOpenUrlFlags = 0x84080200;

// Closes an internet handle on every exit path.
class InternetHandle {
  public:
    InternetHandle() = default;
    ~InternetHandle() { Reset(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return h_; }
    void Reset(HINTERNET h = nullptr) {
        if (h_ != nullptr) {
            // Closing must not clobber the error of the call that failed.
            DWORD saved = ::GetLastError();
            ::InternetCloseHandle(h_);
            ::SetLastError(saved);
        }
        h_ = h;
    }

  private:
    HINTERNET h_ = nullptr;
};

// One response header as text; false when the response has none.
bool QueryHeaderText(HINTERNET url, DWORD which, std::wstring& value) {
    wchar_t buffer[256];
    DWORD length = sizeof(buffer);
    if (!::HttpQueryInfoW(url, which, buffer, &length, nullptr)) {
        return false;
    }
    value.assign(buffer, length / sizeof(wchar_t));
    return true;
}

// The Range and If-Range lines that InternetOpenUrlW adds to the request;
// none for a request from byte 0. A validator must stay on its line.
bool RangeHeaders(uint64_t firstByte, const std::wstring& ifRange, std::wstring& headers) {
    headers.clear();
    for (wchar_t c : ifRange) {
        if (c < 0x20 || c == 0x7F) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
    }
    if (firstByte == 0) {
        return true;
    }
    headers = L"Range: bytes=" + std::to_wstring(firstByte) + L"-\r\n";
    if (!ifRange.empty()) {
        headers += L"If-Range: " + ifRange + L"\r\n";
    }
    return true;
}

DWORD QueryCode(HttpHeader header) {
    switch (header) {
        case HttpHeader::kRetryAfter:
            return HTTP_QUERY_RETRY_AFTER;
        case HttpHeader::kContentRange:
            return HTTP_QUERY_CONTENT_RANGE;
        case HttpHeader::kETag:
            return HTTP_QUERY_ETAG;
        case HttpHeader::kLastModified:
            return HTTP_QUERY_LAST_MODIFIED;
    }
    return HTTP_QUERY_RETRY_AFTER;
}

void SetTimeout(HINTERNET session, DWORD option, DWORD value) {
    ::InternetSetOptionW(session, option, &value, sizeof(value));
}

}  // namespace

struct HttpSession::Impl {
    // Declared session first so that the URL handle is destroyed first.
    InternetHandle session;
    InternetHandle url;
};

HttpSession::HttpSession() : impl_(std::make_unique<Impl>()) {}
HttpSession::~HttpSession() {
    Close();
}

bool HttpSession::Open(const std::wstring& userAgent, uint32_t timeoutMs) {
    Close();
    HINTERNET session =
        ::InternetOpenW(userAgent.c_str(), INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
    if (session == nullptr) {
        return false;
    }
    impl_->session.Reset(session);
    SetTimeout(session, INTERNET_OPTION_CONNECT_TIMEOUT, timeoutMs);
    SetTimeout(session, INTERNET_OPTION_RECEIVE_TIMEOUT, timeoutMs);
    SetTimeout(session, INTERNET_OPTION_SEND_TIMEOUT, timeoutMs);
    return true;
}

bool HttpSession::OpenUrl(const std::wstring& url, uint64_t firstByte,
                          const std::wstring& ifRange) {
    if (impl_->session.get() == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    impl_->url.Reset();
    std::wstring headers;
    if (!RangeHeaders(firstByte, ifRange, headers)) {
        return false;
    }
    HINTERNET h = ::InternetOpenUrlW(impl_->session.get(), url.c_str(),
                                     headers.empty() ? nullptr : headers.c_str(),
                                     static_cast<DWORD>(headers.size()), kOpenUrlFlags, 0);
    if (h == nullptr) {
        return false;
    }
    impl_->url.Reset(h);
    return true;
}

bool HttpSession::QueryStatus(uint32_t& status) {
    status = 0;
    DWORD value = 0;
    DWORD length = sizeof(value);
    if (!::HttpQueryInfoA(impl_->url.get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &value,
                          &length, nullptr)) {
        return false;
    }
    status = value;
    return true;
}

bool HttpSession::QueryContentLength(uint64_t& bytes) {
    // As text: the numeric form of HttpQueryInfoW stops at 4 GiB.
    std::wstring text;
    if (!QueryHeaderText(impl_->url.get(), HTTP_QUERY_CONTENT_LENGTH, text)) {
        return false;
    }
    if (text.empty() || text.size() > 18) {
        ::SetLastError(ERROR_HTTP_INVALID_HEADER);
        return false;
    }
    uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            ::SetLastError(ERROR_HTTP_INVALID_HEADER);
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    bytes = value;
    return true;
}

bool HttpSession::QueryHeader(HttpHeader header, std::wstring& value) {
    return QueryHeaderText(impl_->url.get(), QueryCode(header), value);
}

bool HttpSession::Read(void* buffer, size_t capacity, size_t& got) {
    got = 0;
    DWORD chunk = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
    DWORD read = 0;
    if (!::InternetReadFile(impl_->url.get(), buffer, chunk, &read)) {
        return false;
    }
    got = read;
    return true;
}

void HttpSession::Close() {
    impl_->url.Reset();
    impl_->session.Reset();
}

}  // namespace rr::platform
