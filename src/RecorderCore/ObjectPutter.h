#pragma once

#include <filesystem>
#include <memory>
#include <stop_token>
#include <string>
#include <string_view>

#include "HTTPClient.h"

namespace brindlow {

// Stores bytes at a signed object-store URL with one plain PUT.
class ObjectPutter {
public:
    virtual ~ObjectPutter() = default;
    // The file is streamed from disk, never read whole; it is not deleted here.
    virtual void put(const std::string& url, const std::filesystem::path& file, const std::string& contentType,
                     std::stop_token stop = {}) = 0;
    virtual void put(const std::string& url, std::string_view data, const std::string& contentType,
                     std::stop_token stop = {}) = 0;
};

// ObjectPutter over the shared HTTP transport: PUT, Content-Type only (the signature
// lives in the URL), 120-second time-out, HTTPError for an answer outside 200...299.
class HTTPObjectPutter final : public ObjectPutter {
public:
    static constexpr double timeoutSeconds = 120;

    explicit HTTPObjectPutter(std::shared_ptr<HTTPTransport> transport) : transport_(std::move(transport)) {}
    void put(const std::string& url, const std::filesystem::path& file, const std::string& contentType,
             std::stop_token stop = {}) override;
    void put(const std::string& url, std::string_view data, const std::string& contentType,
             std::stop_token stop = {}) override;

private:
    std::shared_ptr<HTTPTransport> transport_;
};

}  // namespace brindlow
