#include "net/system_http_client.h"

#include <utility>

#include "platform/error.h"
#include "platform/http.h"

namespace rr {

namespace {

// The session lives as long as the response: closing it ends the transfer.
class SystemHttpResponse final : public HttpResponse {
  public:
    platform::HttpSession& session() { return session_; }
    void set_status(uint32_t status) { status_ = status; }

    uint32_t Status() const override { return status_; }
    bool ContentLength(uint64_t& bytes) const override {
        if (hasLength_) {
            bytes = length_;
        }
        return hasLength_;
    }
    bool RetryAfter(std::wstring& value) const override {
        if (hasRetryAfter_) {
            value = retryAfter_;
        }
        return hasRetryAfter_;
    }
    // The headers the transfer may ask for, read once the status is known.
    void ReadHeaders() {
        hasLength_ = session_.QueryContentLength(length_);
        hasRetryAfter_ = session_.QueryRetryAfter(retryAfter_);
    }
    bool Read(void* buffer, size_t capacity, size_t& got, Error* err) override {
        if (!session_.Read(buffer, capacity, got)) {
            return Fail(err, platform::LastError());
        }
        return true;
    }

  private:
    platform::HttpSession session_;
    uint32_t status_ = 0;
    bool hasLength_ = false;
    uint64_t length_ = 0;
    bool hasRetryAfter_ = false;
    std::wstring retryAfter_;
};

}  // namespace

SystemHttpClient::SystemHttpClient(HttpOptions options) : options_(std::move(options)) {}

std::unique_ptr<HttpResponse> SystemHttpClient::Get(const HttpRequest& request, HttpStep& failed,
                                                    Error* err) {
    const uint32_t timeoutMs =
        request.use == HttpUse::kDownload ? options_.downloadTimeoutMs : options_.fetchTimeoutMs;
    auto response = std::make_unique<SystemHttpResponse>();
    platform::HttpSession& session = response->session();
    uint32_t status = 0;
    if (!session.Open(options_.userAgent, timeoutMs)) {
        failed = HttpStep::kOpenSession;
    } else if (!session.OpenUrl(request.url)) {
        failed = HttpStep::kOpenUrl;
    } else if (!session.QueryStatus(status)) {
        failed = HttpStep::kQueryStatus;
    } else {
        response->set_status(status);
        response->ReadHeaders();
        return response;
    }
    Fail(err, platform::LastError());
    return nullptr;
}

}  // namespace rr
