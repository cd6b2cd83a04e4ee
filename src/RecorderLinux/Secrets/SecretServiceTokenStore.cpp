#include "Secrets/SecretServiceTokenStore.h"

#include <libsecret/secret.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "Secrets/FileTokenStore.h"
#include "Support/SessionBus.h"

namespace brindlow {
namespace {

const SecretSchema* sessionSchema() {
    static const SecretSchema schema = {
        "com.brindlow.recorder.Session",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

constexpr const char* account = "session";

// Cancels `cancellable` unless the scope ends first.
class Deadline {
public:
    Deadline(GCancellable* cancellable, double seconds)
        : watcher_([this, cancellable, seconds] {
              std::unique_lock lock(mutex_);
              if (!done_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return finished_; }))
                  g_cancellable_cancel(cancellable);
          }) {}
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        watcher_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread watcher_;
};

struct Call {
    GCancellable* cancellable = g_cancellable_new();
    GError* error = nullptr;
    ~Call() {
        g_clear_error(&error);
        g_object_unref(cancellable);
    }
};

}  // namespace

SecretServiceTokenStore::SecretServiceTokenStore(const std::string& environmentName,
                                                 std::shared_ptr<TokenStore> fallback)
    : service_("com.brindlow.recorder." + environmentName), fallback_(std::move(fallback)) {}

bool SecretServiceTokenStore::isReachable() const {
    if (!sessionBusConfigured()) return false;
    Call call;
    {
        Deadline deadline(call.cancellable, callTimeoutSeconds);
        gchar* found = secret_password_lookup_sync(sessionSchema(), call.cancellable, &call.error, "service",
                                                   service_.c_str(), "account", account, nullptr);
        if (found) secret_password_free(found);
    }
    // A locked keyring, or one waiting on an unlock prompt nobody answers yet, is still
    // the user's keyring: the session must not move to a file because of it.
    return call.error == nullptr || g_error_matches(call.error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ||
           g_error_matches(call.error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED);
}

std::optional<StoredSession> SecretServiceTokenStore::load() {
    if (fallback_)
        if (auto kept = fallback_->load()) return kept;
    if (!sessionBusConfigured()) return std::nullopt;
    Call call;
    gchar* found = nullptr;
    {
        Deadline deadline(call.cancellable, callTimeoutSeconds);
        found = secret_password_lookup_sync(sessionSchema(), call.cancellable, &call.error, "service",
                                            service_.c_str(), "account", account, nullptr);
    }
    if (!found) return std::nullopt;
    std::string bytes(found);
    secret_password_free(found);
    return StoredSession::decode(bytes);
}

void SecretServiceTokenStore::save(const StoredSession& session) {
    if (!sessionBusConfigured()) return;
    // Storing with the same attributes replaces the item in one step, so there is
    // never a moment without a session as a delete-then-add would leave.
    const std::string label = "Brindlow Recorder sign-in (" + service_ + ")";
    Call call;
    bool stored = false;
    {
        Deadline deadline(call.cancellable, callTimeoutSeconds);
        stored = secret_password_store_sync(sessionSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                            session.encoded().c_str(), call.cancellable, &call.error, "service",
                                            service_.c_str(), "account", account, nullptr);
    }
    if (stored) {
        // The item is now the newest copy; an older one in the file must not win over it.
        if (fallback_) fallback_->clear();
        return;
    }
    std::fprintf(stderr, "brindlow: the sign-in could not be kept in the Secret Service: %s\n",
                 call.error ? call.error->message : "unknown error");
    if (fallback_) fallback_->save(session);
}

void SecretServiceTokenStore::clear() {
    if (fallback_) fallback_->clear();
    if (!sessionBusConfigured()) return;
    Call call;
    Deadline deadline(call.cancellable, callTimeoutSeconds);
    secret_password_clear_sync(sessionSchema(), call.cancellable, &call.error, "service", service_.c_str(),
                               "account", account, nullptr);
}

std::shared_ptr<TokenStore> makeTokenStore(const std::string& environmentName, const std::string& fileDirectory) {
    auto keyring = std::make_shared<SecretServiceTokenStore>(
        environmentName,
        std::make_shared<FileTokenStore>(fileDirectory, environmentName, "the Secret Service has nowhere to keep it"));
    if (keyring->isReachable()) return keyring;
    return std::make_shared<FileTokenStore>(fileDirectory, environmentName);
}

std::shared_ptr<TokenStore> makeTokenStore(const std::string& environmentName) {
    return makeTokenStore(environmentName, FileTokenStore::defaultDirectory().string());
}

}  // namespace brindlow
