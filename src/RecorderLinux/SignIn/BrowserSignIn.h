#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <variant>

#include "Support/Concurrency.h"

namespace brindlow {

// One browser sign-in attempt: a one-shot HTTP listener on 127.0.0.1 waits for the web
// app to send the browser back to /callback with the state it was given and a custom
// token. One thread serves the listener and every connection at once, each judged on
// a single read; a connection that sends nothing within the read time-out is closed
// without an answer. The first outcome wins and closes the listener; a failing system
// call ends the attempt with a std::system_error. Any thread may call start,
// waitForToken and cancel.
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

    // The system calls whose failures end an attempt; tests replace them.
    struct SystemCalls {
        std::function<int(unsigned int, int)> eventfd;
        std::function<int(int, sockaddr*, socklen_t*, int)> accept4;
        std::function<int(pollfd*, nfds_t, int)> poll;
        static SystemCalls real();
    };

    // Creates the listening socket; throws std::system_error when the system refuses.
    static std::shared_ptr<BrowserSignIn> make(std::string webApp);
    static std::shared_ptr<BrowserSignIn> make(std::string webApp, SystemCalls system);
    ~BrowserSignIn();
    BrowserSignIn(const BrowserSignIn&) = delete;
    BrowserSignIn& operator=(const BrowserSignIn&) = delete;

    // Starts listening; returns <web app>/desktop/sign-in?port=<port>&state=<state>
    // (the same again when called twice). Throws the outcome of an attempt that
    // already ended, such as Failure cancelled.
    std::string start();
    // The custom token, whenever the callback came; throws Failure, std::system_error
    // (the listener failed), or CancellationError on `stop`.
    std::string waitForToken(std::stop_token stop = {});
    void cancel();

    const std::string& state() const { return state_; }
    int port() const { return port_.load(); }

    static Outcome parse(std::string_view request, std::string_view expectedState);
    // The whole answer: header block and body.
    static std::string reply(std::string_view status, std::string_view body);
    static std::string page(std::string_view title, std::string_view message);

private:
    using Result = std::variant<std::string, Failure, std::system_error>;

    BrowserSignIn(std::string webApp, SystemCalls system);
    void serveAll(std::stop_token stop);
    void answer(int connection);
    void finish(Result outcome);
    bool finished();
    void wake();

    const std::string webApp_;
    const std::string state_;
    const SystemCalls system_;
    int listenFd_ = -1;  // closed by the serving thread once there is an outcome
    int wakeFd_ = -1;    // eventfd: an outcome or the destructor wakes the serving thread

    std::mutex startLock_;
    std::atomic<int> port_{0};        // set once by start()
    std::optional<std::string> url_;  // guarded by startLock_

    std::mutex lock_;
    std::condition_variable_any done_;
    std::optional<Result> result_;  // guarded by lock_; set once

    std::jthread server_;  // guarded by startLock_; last: stops before the rest goes away
};

}  // namespace brindlow
