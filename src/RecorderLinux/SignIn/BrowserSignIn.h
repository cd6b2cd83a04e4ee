#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

#include "Support/Concurrency.h"

namespace brindlow {

// One browser sign-in attempt: a one-shot HTTP listener on 127.0.0.1 waits for the web
// app to send the browser back to /callback with the state it was given and a custom
// token. Connections are served one at a time on the "com.brindlow.recorder.signin"
// queue, each judged on a single read; a silent connection is dropped after a short
// time-out. The first outcome wins; any thread may call start, waitForToken and cancel.
class BrowserSignIn : public std::enable_shared_from_this<BrowserSignIn> {
public:
    class Failure : public std::exception {
    public:
        enum class Kind { stateMismatch, missingToken, cancelled };
        explicit Failure(Kind kind) : kind_(kind) {}
        Kind kind() const { return kind_; }
        const char* what() const noexcept override;
        bool operator==(const Failure& other) const { return kind_ == other.kind_; }

    private:
        Kind kind_;
    };
    // A token, a failure, or nothing (not a callback: answered 404).
    using Outcome = std::optional<std::variant<std::string, Failure>>;

    static constexpr size_t maxRequestBytes = 16384;
    static constexpr int readTimeoutMs = 1000;

    // Creates the listening socket; throws std::system_error when the system refuses.
    static std::shared_ptr<BrowserSignIn> make(std::string webApp);
    ~BrowserSignIn();
    BrowserSignIn(const BrowserSignIn&) = delete;
    BrowserSignIn& operator=(const BrowserSignIn&) = delete;

    // Starts listening; returns <web app>/desktop/sign-in?port=<port>&state=<state>.
    std::string start();
    // The custom token, whenever the callback came; throws Failure (or CancellationError on `stop`).
    std::string waitForToken(std::stop_token stop = {});
    void cancel();

    const std::string& state() const { return state_; }
    int port() const { return port_; }

    static Outcome parse(std::string_view request, std::string_view expectedState);
    // The whole answer: header block and body.
    static std::string reply(std::string_view status, std::string_view body);
    static std::string page(std::string_view title, std::string_view message);

private:
    explicit BrowserSignIn(std::string webApp);
    void acceptLoop(std::stop_token stop);
    void serve(int connection);
    void finish(std::variant<std::string, Failure> outcome);

    const std::string webApp_;
    const std::string state_;
    int listenFd_ = -1;
    int wakeFd_ = -1;  // eventfd that ends the accept loop
    int port_ = 0;

    std::mutex lock_;
    std::condition_variable_any done_;
    std::optional<std::variant<std::string, Failure>> result_;  // guarded by lock_; set once

    SerialQueue queue_{"com.brindlow.recorder.signin"};
    std::jthread acceptor_;  // last: stops before the rest goes away
};

}  // namespace brindlow
