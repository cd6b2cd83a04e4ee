#include "AuthService.h"

#include <charconv>
#include <chrono>
#include <cmath>

#include <nlohmann/json.hpp>

#include "RecorderError.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

std::string member(const nlohmann::json& j, const char* key) {
    const auto& v = j.at(key);
    if (!v.is_string()) throw nlohmann::json::type_error::create(302, std::string("\"") + key + "\" must be a string", &v);
    return v.get<std::string>();
}

}  // namespace

std::string StoredSession::encoded() const {
    nlohmann::ordered_json j;
    j["uid"] = uid;
    j["refreshToken"] = refreshToken;
    return j.dump();
}

std::optional<StoredSession> StoredSession::decode(std::string_view bytes) {
    const auto j = nlohmann::json::parse(bytes, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    const auto uid = j.find("uid");
    const auto refresh = j.find("refreshToken");
    if (uid == j.end() || refresh == j.end() || !uid->is_string() || !refresh->is_string()) return std::nullopt;
    return StoredSession{uid->get<std::string>(), refresh->get<std::string>()};
}

AuthService::AuthService(RecorderEnvironment env, std::shared_ptr<HTTPTransport> transport,
                         std::shared_ptr<TokenStore> store, Clock now)
    : env_(std::move(env)), transport_(std::move(transport)), store_(std::move(store)), now_(std::move(now)) {
    if (!now_) {
        now_ = [] {
            return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        };
    }
    current_ = store_->load();
}

std::optional<std::string> AuthService::uid() const {
    std::lock_guard guard(lock_);
    return current_ ? std::optional(current_->uid) : std::nullopt;
}

bool AuthService::isSignedIn() const {
    std::lock_guard guard(lock_);
    return current_.has_value();
}

double AuthService::lifetime(std::string_view text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return 3600;
    return value;
}

std::optional<std::string> AuthService::uidFromIDToken(std::string_view token) {
    const auto pieces = splitDroppingEmpty(token, '.');
    if (pieces.size() != 3) return std::nullopt;
    std::string payload(pieces[1]);
    for (char& c : payload) {
        if (c == '-') c = '+';
        else if (c == '_') c = '/';
    }
    while (payload.size() % 4 != 0) payload.push_back('=');
    const auto bytes = base64Decode(payload);
    if (!bytes) return std::nullopt;
    const auto j = nlohmann::json::parse(bytes->begin(), bytes->end(), nullptr, false);
    if (!j.is_object()) return std::nullopt;
    for (const char* key : {"user_id", "sub"}) {
        const auto it = j.find(key);
        if (it != j.end() && it->is_string()) return it->get<std::string>();
    }
    return std::nullopt;
}

void AuthService::signIn(const std::string& customToken, std::stop_token stop) {
    HTTPRequest request;
    request.method = "POST";
    request.url = env_.identityToolkit + "/v1/accounts:signInWithCustomToken?key=" + percentEncodeQueryComponent(env_.firebaseAPIKey);
    request.timeoutSeconds = 60;
    request.headers = {{"Content-Type", "application/json"}};
    nlohmann::ordered_json body;
    body["token"] = customToken;
    body["returnSecureToken"] = true;
    request.body = body.dump();
    const auto answer = nlohmann::json::parse(requireSuccess(transport_->perform(request, stop)));
    const std::string idToken = member(answer, "idToken");
    const std::string refreshToken = member(answer, "refreshToken");
    const std::string expiresIn = member(answer, "expiresIn");
    const auto uid = uidFromIDToken(idToken);
    if (!uid) throw RecorderError::notSignedIn();
    const StoredSession session{*uid, refreshToken};
    const double expires = now_() + lifetime(expiresIn);
    std::lock_guard order(storeOrder_);
    store_->save(session);
    std::lock_guard guard(lock_);
    current_ = session;
    cache_ = CachedToken{idToken, expires};
}

std::string AuthService::idToken(std::stop_token stop) {
    // Another sign-in, sign-out or refresh may finish while a refresh is under way; its
    // result then belongs to a session that is gone, and the current one is asked again.
    for (;;) {
        std::optional<CachedToken> cache;
        std::optional<StoredSession> session;
        {
            std::lock_guard guard(lock_);
            cache = cache_;
            session = current_;
        }
        if (cache && cache->expires - now_() > refreshMarginSeconds) return cache->token;
        if (!session) throw RecorderError::notSignedIn();
        if (auto token = refresh(*session, stop)) return *token;
    }
}

std::optional<std::string> AuthService::refresh(const StoredSession& session, std::stop_token stop) {
    HTTPRequest request;
    request.method = "POST";
    request.url = env_.secureToken + "/v1/token?key=" + percentEncodeQueryComponent(env_.firebaseAPIKey);
    request.timeoutSeconds = 60;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = "grant_type=refresh_token&refresh_token=" + percentEncodeQueryComponent(session.refreshToken);
    nlohmann::json answer;
    try {
        answer = nlohmann::json::parse(requireSuccess(transport_->perform(request, stop)));
    } catch (const HTTPError& e) {
        if (e.status() >= 400 && e.status() <= 499) {
            // The refresh token is no longer valid: its user is signed out.
            std::lock_guard order(storeOrder_);
            if (!isCurrent(session)) return std::nullopt;
            store_->clear();
            clearSession();
            throw RecorderError::notSignedIn();
        }
        throw;
    }
    const std::string idToken = member(answer, "id_token");
    const std::string refreshToken = member(answer, "refresh_token");
    const std::string expiresIn = member(answer, "expires_in");
    const double expires = now_() + lifetime(expiresIn);
    std::lock_guard order(storeOrder_);
    {
        std::lock_guard guard(lock_);
        if (current_ != session) return std::nullopt;
        current_ = StoredSession{session.uid, refreshToken};
        cache_ = CachedToken{idToken, expires};
    }
    if (refreshToken != session.refreshToken) store_->save({session.uid, refreshToken});
    return idToken;
}

bool AuthService::isCurrent(const StoredSession& session) const {
    std::lock_guard guard(lock_);
    return current_ == session;
}

void AuthService::clearSession() {
    std::lock_guard guard(lock_);
    current_.reset();
    cache_.reset();
}

void AuthService::signOut() {
    std::lock_guard order(storeOrder_);
    store_->clear();
    clearSession();
}

}  // namespace brindlow
