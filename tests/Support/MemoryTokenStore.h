#pragma once

// A token store in memory, for tests of what is signed in.

#include <mutex>
#include <optional>

#include "AuthService.h"

namespace brindlow::testing {

class MemoryTokenStore final : public TokenStore {
public:
    explicit MemoryTokenStore(std::optional<StoredSession> session = {}) : session_(std::move(session)) {}
    std::optional<StoredSession> load() override {
        std::lock_guard lock(mutex_);
        return session_;
    }
    void save(const StoredSession& session) override {
        std::lock_guard lock(mutex_);
        session_ = session;
        ++saves_;
    }
    int saves() {
        std::lock_guard lock(mutex_);
        return saves_;
    }
    void clear() override {
        std::lock_guard lock(mutex_);
        session_.reset();
    }

private:
    std::mutex mutex_;
    std::optional<StoredSession> session_;  // guarded by mutex_
    int saves_ = 0;                         // guarded by mutex_
};

}  // namespace brindlow::testing
