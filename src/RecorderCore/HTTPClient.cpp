#include "HTTPClient.h"

#include "Support/Text.h"

namespace brindlow {

HTTPError::HTTPError(int status, std::string_view body)
    : status_(status),
      body_(sanitizeUTF8(body)),
      description_("HTTP " + std::to_string(status) + ": " + characterPrefix(body_, 200)) {}

std::string withoutQuery(std::string_view url) { return std::string(url.substr(0, url.find_first_of("?#"))); }

std::string requireSuccess(HTTPResponse response) {
    if (response.status >= 200 && response.status <= 299) return std::move(response.body);
    throw HTTPError(response.status, response.body);
}

std::string HTTPClient::send(Method method, const std::string& url, const std::optional<nlohmann::ordered_json>& body,
                             double timeoutSeconds, std::stop_token stop) const {
    // Encoding first: a body that cannot be encoded sends nothing.
    return perform(method, url, body ? std::optional(body->dump()) : std::nullopt, timeoutSeconds, stop);
}

std::string HTTPClient::sendEncoded(Method method, const std::string& url, std::string jsonText, double timeoutSeconds,
                                    std::stop_token stop) const {
    return perform(method, url, std::move(jsonText), timeoutSeconds, stop);
}

std::string HTTPClient::perform(Method method, const std::string& url, std::optional<std::string> jsonText,
                                double timeoutSeconds, std::stop_token stop) const {
    HTTPRequest request;
    request.method = method == Method::post ? "POST" : "GET";
    request.url = url;
    request.timeoutSeconds = timeoutSeconds;
    request.headers.emplace_back("Accept", "application/json");
    // Before anything is sent: a signed-out user sends nothing.
    request.headers.emplace_back("Authorization", "Bearer " + tokens_->idToken(stop));
    if (jsonText) {
        request.headers.emplace_back("Content-Type", "application/json");
        request.body = std::move(*jsonText);
    }
    return requireSuccess(transport_->perform(request, stop));
}

nlohmann::json HTTPClient::json(Method method, const std::string& url, const std::optional<nlohmann::ordered_json>& body,
                                std::stop_token stop) const {
    return nlohmann::json::parse(send(method, url, body, 30, stop));
}

}  // namespace brindlow
