#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace brindlow::devserver {

// HMAC-SHA256 signed tokens in the three-part Base64url form. `kind` keeps custom
// tokens, ID tokens and URL signatures from standing in for one another.
class TokenSigner {
public:
    explicit TokenSigner(std::string secret) : secret_(std::move(secret)) {}

    std::string sign(const nlohmann::json& payload) const;
    // The payload of a token this signer made, of `kind`, not expired at `now`.
    std::optional<nlohmann::json> verify(const std::string& token, const std::string& kind, int64_t now) const;

    std::string customToken(const std::string& uid, int64_t now, int64_t lifetime) const;
    std::string idToken(const std::string& uid, int64_t now, int64_t lifetime) const;

    // Hex HMAC of `message`, for signed object URLs.
    std::string mac(const std::string& message) const;

private:
    std::string secret_;
};

int64_t unixNow();
// Constant-time comparison of two strings.
bool sameText(const std::string& a, const std::string& b);

}  // namespace brindlow::devserver
