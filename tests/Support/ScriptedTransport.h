#pragma once

// An HTTP transport for unit tests: records every request and answers from a script,
// with `fallback` once the script is used up.

#include <deque>
#include <vector>

#include "HTTPClient.h"

namespace brindlow::testing {

class ScriptedTransport : public HTTPTransport {
public:
    HTTPResponse perform(const HTTPRequest& request, std::stop_token) override {
        requests.push_back(request);
        if (answers.empty()) return fallback;
        auto next = answers.front();
        answers.pop_front();
        return next;
    }
    std::vector<HTTPRequest> requests;
    std::deque<HTTPResponse> answers;
    HTTPResponse fallback{200, "{}"};
};

}  // namespace brindlow::testing
