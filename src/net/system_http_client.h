#pragma once
// The program's HTTP client: WinINet on Windows, libcurl on POSIX, through
// platform/http.h.
#include <cstdint>
#include <string>

#include "net/http_client.h"

namespace rr {

struct HttpOptions {
    std::wstring userAgent = L"RiveRoravav";
    // Connect, send and receive time-outs; a stalled body fails after the
    // receive time-out without a byte.
    uint32_t fetchTimeoutMs = 15000;
    uint32_t downloadTimeoutMs = 30000;
    RetryPolicy retry;
};

class SystemHttpClient final : public HttpClient {
  public:
    explicit SystemHttpClient(HttpOptions options = {});
    std::unique_ptr<HttpResponse> Get(const HttpRequest& request, HttpStep& failed,
                                      Error* err) override;
    const RetryPolicy& Retries() const override { return options_.retry; }

  private:
    HttpOptions options_;
};

}  // namespace rr
