#include "Tokens.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>

#include "Support/Text.h"

namespace brindlow::devserver {
namespace {

std::string hmac(const std::string& key, const std::string& message) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), digest, &length);
    return std::string(reinterpret_cast<char*>(digest), length);
}

std::string urlSafe(std::string_view bytes) { return base64Encode(bytes, Base64Alphabet::urlSafe, false); }

}  // namespace

int64_t unixNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string TokenSigner::sign(const nlohmann::json& payload) const {
    const std::string head = urlSafe(R"({"alg":"HS256","typ":"JWT"})") + "." + urlSafe(payload.dump());
    return head + "." + urlSafe(hmac(secret_, head));
}

std::optional<nlohmann::json> TokenSigner::verify(const std::string& token, const std::string& kind, int64_t now) const {
    const size_t first = token.find('.');
    const size_t second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos || token.find('.', second + 1) != std::string::npos) return std::nullopt;
    const std::string head = token.substr(0, second);
    if (!sameText(token.substr(second + 1), urlSafe(hmac(secret_, head)))) return std::nullopt;
    const auto payloadBytes = base64Decode(token.substr(first + 1, second - first - 1), Base64Alphabet::urlSafe, false);
    if (!payloadBytes) return std::nullopt;
    auto payload = nlohmann::json::parse(payloadBytes->begin(), payloadBytes->end(), nullptr, false);
    if (!payload.is_object() || payload.value("kind", "") != kind) return std::nullopt;
    if (!payload.contains("exp") || !payload["exp"].is_number_integer() || payload["exp"].get<int64_t>() <= now)
        return std::nullopt;
    return payload;
}

std::string TokenSigner::customToken(const std::string& uid, int64_t now, int64_t lifetime) const {
    return sign({{"kind", "custom"}, {"uid", uid}, {"iat", now}, {"exp", now + lifetime}, {"nonce", randomUUID()}});
}

std::string TokenSigner::idToken(const std::string& uid, int64_t now, int64_t lifetime) const {
    return sign({{"kind", "id"}, {"user_id", uid}, {"sub", uid}, {"iat", now}, {"exp", now + lifetime}});
}

std::string TokenSigner::mac(const std::string& message) const {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : hmac(secret_, message)) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
    return out;
}

}  // namespace brindlow::devserver
