#pragma once

#include <memory>
#include <string>

#include "AuthService.h"

namespace brindlow {

// The signed-in session as a Secret Service item (attributes "service" =
// "com.brindlow.recorder.<environment>", "account" = "session"). Every call into
// the keyring is bounded, so a locked keyring whose unlock prompt nobody answers
// reads as signed out instead of hanging the caller. A keyring that cannot keep the
// session (no default collection, as where a keyring was never set up) hands it to
// `fallback`, which is then read first: it only holds a session newer than the item.
class SecretServiceTokenStore final : public TokenStore {
public:
    static constexpr double callTimeoutSeconds = 3;

    explicit SecretServiceTokenStore(const std::string& environmentName,
                                     std::shared_ptr<TokenStore> fallback = nullptr);

    // Whether a Secret Service is on the session bus: a bounded lookup of this store's
    // item that succeeds, finds the keyring locked, or is still waiting at the time-out
    // (an unlock prompt nobody has answered). Only an absent service or bus is false.
    bool isReachable() const;

    std::optional<StoredSession> load() override;
    void save(const StoredSession& session) override;
    void clear() override;

    const std::string& service() const { return service_; }

private:
    std::string service_;
    std::shared_ptr<TokenStore> fallback_;
};

// The store the app keeps its session in, chosen once at start: the Secret Service
// when one is on the bus (with the file in `fileDirectory` behind it for a keyring that
// cannot keep the session), else that file (with its one warning).
std::shared_ptr<TokenStore> makeTokenStore(const std::string& environmentName);
std::shared_ptr<TokenStore> makeTokenStore(const std::string& environmentName, const std::string& fileDirectory);

}  // namespace brindlow
