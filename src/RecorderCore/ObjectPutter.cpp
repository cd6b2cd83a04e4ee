#include "ObjectPutter.h"

namespace brindlow {

void HTTPObjectPutter::put(const std::string& url, const std::filesystem::path& file, const std::string& contentType,
                           std::stop_token stop) {
    HTTPRequest request;
    request.method = "PUT";
    request.url = url;
    request.headers = {{"Content-Type", contentType}};
    request.bodyFile = file;
    request.timeoutSeconds = timeoutSeconds;
    requireSuccess(transport_->perform(request, stop));
}

void HTTPObjectPutter::put(const std::string& url, std::string_view data, const std::string& contentType,
                           std::stop_token stop) {
    HTTPRequest request;
    request.method = "PUT";
    request.url = url;
    request.headers = {{"Content-Type", contentType}};
    request.body = std::string(data);
    request.timeoutSeconds = timeoutSeconds;
    requireSuccess(transport_->perform(request, stop));
}

}  // namespace brindlow
