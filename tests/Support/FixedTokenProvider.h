#pragma once

// An ID token provider that hands out one fixed token.

#include <string>

#include "HTTPClient.h"

namespace brindlow::testing {

class FixedTokenProvider : public IDTokenProvider {
public:
    explicit FixedTokenProvider(std::string token) : token_(std::move(token)) {}
    std::string idToken(std::stop_token) override { return token_; }

private:
    std::string token_;
};

}  // namespace brindlow::testing
