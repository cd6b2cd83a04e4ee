#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "HTTPClient.h"
#include "RecorderEnvironment.h"

namespace brindlow {

struct StoredSession {
    std::string uid;
    std::string refreshToken;
    bool operator==(const StoredSession&) const = default;

    std::string encoded() const;
    // Nothing unless the bytes are a JSON object with string "uid" and "refreshToken".
    static std::optional<StoredSession> decode(std::string_view bytes);
};

// Keeps the signed-in session across restarts. Never throws: a store that cannot be
// read, or holds something unreadable, loads as nothing.
class TokenStore {
public:
    virtual ~TokenStore() = default;
    virtual std::optional<StoredSession> load() = 0;
    virtual void save(const StoredSession& session) = 0;
    virtual void clear() = 0;
};

// The user's sign-in state: exchanges a custom token for ID and refresh tokens, keeps
// the refresh token in the store, and hands out ID tokens, refreshed once they have
// less than five minutes left. Any thread may call; the lock is held only to copy or
// assign the session and the cached token, never across a request or a store call.
// A refresh's result is kept only while the session it refreshed is still current, so
// a sign-in or sign-out that finishes first is never undone by it.
class AuthService final : public IDTokenProvider {
public:
    // Seconds on a steady clock; injectable so the cache rules are tested without waiting.
    using Clock = std::function<double()>;
    static constexpr double refreshMarginSeconds = 300;

    AuthService(RecorderEnvironment env, std::shared_ptr<HTTPTransport> transport, std::shared_ptr<TokenStore> store,
                Clock now = {});

    std::optional<std::string> uid() const;
    bool isSignedIn() const;
    // Throws HTTPError for a refused token, RecorderError::notSignedIn when the answer names no user.
    void signIn(const std::string& customToken, std::stop_token stop = {});
    std::string idToken(std::stop_token stop = {}) override;
    void signOut();

    // The user id in an ID token's payload ("user_id", else "sub"); no signature check.
    static std::optional<std::string> uidFromIDToken(std::string_view token);
    // A token lifetime text in seconds; 3600 unless it is wholly a finite decimal number.
    static double lifetime(std::string_view text);

private:
    struct CachedToken {
        std::string token;
        double expires;  // on `now_`'s clock
    };

    // The new ID token, or nothing when `session` stopped being current meanwhile.
    std::optional<std::string> refresh(const StoredSession& session, std::stop_token stop);
    bool isCurrent(const StoredSession& session) const;
    void clearSession();

    RecorderEnvironment env_;
    std::shared_ptr<HTTPTransport> transport_;
    std::shared_ptr<TokenStore> store_;
    Clock now_;

    // Held across a store write and the matching change of current_ (never across a
    // request), so the store always ends up holding the session that is current.
    std::mutex storeOrder_;
    mutable std::mutex lock_;
    std::optional<StoredSession> current_;  // guarded by lock_
    std::optional<CachedToken> cache_;      // guarded by lock_
};

}  // namespace brindlow
