#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace brindlow {

struct HTTPRequest {
    std::string method = "GET";
    std::string url;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;                               // sent when bodyFile is absent and body is not empty
    std::optional<std::filesystem::path> bodyFile;  // streamed from disk, never read whole
    // How long the request may wait without a byte moving (also to connect); a transfer
    // that keeps moving may take longer.
    double timeoutSeconds = 30;
};

struct HTTPResponse {
    int status = 0;
    std::string body;
};

// A failure below HTTP: no connection, a time-out, a broken transfer.
class TransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Carries requests to the network. Implementations reuse connections across calls,
// honour the time-out, and abort a request in flight when `stop` is requested,
// throwing CancellationError. Any thread may call perform, concurrently.
class HTTPTransport {
public:
    virtual ~HTTPTransport() = default;
    virtual HTTPResponse perform(const HTTPRequest& request, std::stop_token stop = {}) = 0;
};

// A non-2xx answer. The body is the answer's text with invalid UTF-8 replaced.
class HTTPError : public std::exception {
public:
    HTTPError(int status, std::string_view body);
    int status() const { return status_; }
    const std::string& body() const { return body_; }
    // "HTTP 502: bad gateway", with at most the first 200 characters of the body.
    const char* what() const noexcept override { return description_.c_str(); }
    friend bool operator==(const HTTPError& a, const HTTPError& b) {
        return a.status_ == b.status_ && a.body_ == b.body_;
    }

private:
    int status_;
    std::string body_;
    std::string description_;
};

// Hands out a currently valid ID token; throws RecorderError::notSignedIn when nobody is.
class IDTokenProvider {
public:
    virtual ~IDTokenProvider() = default;
    virtual std::string idToken(std::stop_token stop = {}) = 0;
};

// Authenticated JSON requests: every request carries a fresh ID token; a non-2xx
// answer becomes HTTPError. No state, no retries; copy freely.
class HTTPClient {
public:
    enum class Method { get, post };

    HTTPClient(std::shared_ptr<HTTPTransport> transport, std::shared_ptr<IDTokenProvider> tokens)
        : transport_(std::move(transport)), tokens_(std::move(tokens)) {}

    // The body bytes of a 2xx answer.
    std::string send(Method method, const std::string& url, const std::optional<nlohmann::ordered_json>& body,
                     double timeoutSeconds, std::stop_token stop = {}) const;
    // send with a body that is JSON text already.
    std::string sendEncoded(Method method, const std::string& url, std::string jsonText, double timeoutSeconds,
                            std::stop_token stop = {}) const;
    // send with a 30-second time-out, the answer parsed as JSON (a parse failure is
    // thrown as nlohmann::json::parse_error, not HTTPError).
    nlohmann::json json(Method method, const std::string& url, const std::optional<nlohmann::ordered_json>& body,
                        std::stop_token stop = {}) const;


private:
    std::string perform(Method method, const std::string& url, std::optional<std::string> jsonText,
                        double timeoutSeconds, std::stop_token stop) const;

    std::shared_ptr<HTTPTransport> transport_;
    std::shared_ptr<IDTokenProvider> tokens_;
};

// The URL as it may appear in an error text or a log line: without its query and
// fragment, where signatures, keys and tokens travel.
std::string withoutQuery(std::string_view url);

// The 2xx rule shared by every caller that talks HTTP without HTTPClient.
std::string requireSuccess(HTTPResponse response);

}  // namespace brindlow
