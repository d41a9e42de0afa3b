#include <windows.h>
#include <wininet.h>

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

bool HttpSession::OpenUrl(const std::wstring& url) {
    if (impl_->session.get() == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    impl_->url.Reset();
    HINTERNET h =
        ::InternetOpenUrlW(impl_->session.get(), url.c_str(), nullptr, 0, kOpenUrlFlags, 0);
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
