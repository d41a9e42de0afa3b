#include "net/system_http_client.h"

#include <array>
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
        return Header(platform::HttpHeader::kRetryAfter, value);
    }
    bool ContentRange(std::wstring& value) const override {
        return Header(platform::HttpHeader::kContentRange, value);
    }
    bool ETag(std::wstring& value) const override {
        return Header(platform::HttpHeader::kETag, value);
    }
    bool LastModified(std::wstring& value) const override {
        return Header(platform::HttpHeader::kLastModified, value);
    }
    // The headers the transfer may ask for, read once the status is known.
    void ReadHeaders() {
        hasLength_ = session_.QueryContentLength(length_);
        for (size_t i = 0; i < kHeaders.size(); ++i) {
            has_[i] = session_.QueryHeader(kHeaders[i], values_[i]);
        }
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
    bool Header(platform::HttpHeader header, std::wstring& value) const {
        const size_t i = static_cast<size_t>(header);
        if (has_[i]) {
            value = values_[i];
        }
        return has_[i];
    }

    // In the order of HttpHeader's values.
    static constexpr std::array<platform::HttpHeader, 4> kHeaders = {
        platform::HttpHeader::kRetryAfter, platform::HttpHeader::kContentRange,
        platform::HttpHeader::kETag, platform::HttpHeader::kLastModified};
    std::array<bool, kHeaders.size()> has_{};
    std::array<std::wstring, kHeaders.size()> values_;
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
    } else if (!session.OpenUrl(request.url, request.firstByte, request.ifRange)) {
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
