#pragma once
// An HttpClient for unit tests that answers from memory: what each URL
// serves, where a request or its body breaks off, and every request it was
// sent. A URL nothing is served at fails like a host with no listener.
// Replies queued with Then() are each served once, before the URL's own.
// Transfers over it make a single attempt unless a test sets `retry`.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/http_client.h"
#include "platform/http.h"

namespace rr::test {

class FakeHttpClient final : public HttpClient {
  public:
    struct Reply {
        uint32_t status = 200;
        std::string body;
        // A request that fails before its response, at this step.
        bool fails = false;
        HttpStep step = HttpStep::kOpenUrl;
        uint32_t code = platform::kInternetCannotConnect;
        // A body that breaks off after this many bytes with readCode.
        size_t breakAfter = std::string::npos;
        uint32_t readCode = platform::kInternetTimeout;
        // The Content-Length announced; npos: the body's own length.
        size_t announce = std::string::npos;
        std::wstring retryAfter;  // empty: no Retry-After header
        // Empty: no such header.
        std::wstring contentRange;
        std::wstring etag;
        std::wstring lastModified;
    };

    Reply& Serve(const std::wstring& url, std::string body, uint32_t status = 200) {
        Reply& reply = replies[url] = Reply{};
        reply.body = std::move(body);
        reply.status = status;
        return reply;
    }
    Reply& FailAt(const std::wstring& url, HttpStep step, uint32_t code) {
        Reply& reply = replies[url];
        reply.fails = true;
        reply.step = step;
        reply.code = code;
        return reply;
    }

    Reply& Then(const std::wstring& url, Reply reply) {
        return queued[url].emplace_back(std::move(reply));
    }

    std::unique_ptr<HttpResponse> Get(const HttpRequest& request, HttpStep& failed,
                                      Error* err) override {
        requests.push_back(request);
        Reply reply = NextReply(request.url);
        if (reply.fails) {
            failed = reply.step;
            Fail(err, reply.code);
            return nullptr;
        }
        return std::make_unique<Response>(std::move(reply));
    }

    const RetryPolicy& Retries() const override { return retry; }

    std::map<std::wstring, Reply> replies;
    std::map<std::wstring, std::deque<Reply>> queued;
    std::vector<HttpRequest> requests;
    RetryPolicy retry{.waitSeconds = {}};

  private:
    Reply NextReply(const std::wstring& url) {
        auto q = queued.find(url);
        if (q != queued.end() && !q->second.empty()) {
            Reply reply = std::move(q->second.front());
            q->second.pop_front();
            return reply;
        }
        auto it = replies.find(url);
        return it == replies.end() ? Reply{.fails = true} : it->second;
    }

    // Hands out as much of the body as each read asks for.
    class Response final : public HttpResponse {
      public:
        explicit Response(Reply reply) : reply_(std::move(reply)) {}
        uint32_t Status() const override { return reply_.status; }
        bool ContentLength(uint64_t& bytes) const override {
            bytes = reply_.announce == std::string::npos ? reply_.body.size() : reply_.announce;
            return true;
        }
        bool RetryAfter(std::wstring& value) const override {
            return Header(reply_.retryAfter, value);
        }
        bool ContentRange(std::wstring& value) const override {
            return Header(reply_.contentRange, value);
        }
        bool ETag(std::wstring& value) const override { return Header(reply_.etag, value); }
        bool LastModified(std::wstring& value) const override {
            return Header(reply_.lastModified, value);
        }
        bool Read(void* buffer, size_t capacity, size_t& got, Error* err) override {
            got = 0;
            if (sent_ >= reply_.breakAfter) {
                return Fail(err, reply_.readCode);
            }
            const size_t end = std::min(reply_.body.size(), reply_.breakAfter);
            got = std::min(capacity, end - sent_);
            std::memcpy(buffer, reply_.body.data() + sent_, got);
            sent_ += got;
            return true;
        }

      private:
        static bool Header(const std::wstring& text, std::wstring& value) {
            value = text;
            return !value.empty();
        }
        Reply reply_;
        size_t sent_ = 0;
    };
};

}  // namespace rr::test
