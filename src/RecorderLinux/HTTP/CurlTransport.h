#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "HTTPClient.h"

namespace brindlow {

// HTTPTransport on libcurl. Requests run on "lanes": a multi handle with one easy
// handle, whose connection cache outlives each request, so a caller that sends one
// request after another reuses its keep-alive connection. Idle lanes are handed out
// most recently used first. A stop request wakes the transfer and aborts it at once.
// Redirects are followed (at most 10, http and https only); a request's time-out bounds
// connecting and each stretch without progress, not the whole transfer. Error texts
// name the URL without its query.
class CurlTransport final : public HTTPTransport {
public:
    CurlTransport();
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    HTTPResponse perform(const HTTPRequest& request, std::stop_token stop = {}) override;

private:
    struct Lane;
    std::unique_ptr<Lane> acquire();
    void release(std::unique_ptr<Lane> lane);

    std::mutex mutex_;
    std::vector<std::unique_ptr<Lane>> idle_;  // guarded by mutex_; most recent last
};

}  // namespace brindlow
