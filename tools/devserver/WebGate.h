#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace brindlow::devserver {

// The web app's public port, in front of its HTTP server. The HTTP library answers
// a Range header it cannot parse with 416 and slices bodies by the ranges it parsed,
// before and after our handlers; the media route owns Range handling instead (400
// for a malformed header, 416 outside the stream). So the gate renames "Range" to
// kRangeHeader, asks for one request per connection, and relays the bytes.
//
// start() and stop() are called from one thread; each connection runs on its own.
class WebGate {
public:
    static constexpr const char* kRangeHeader = "X-Brindlow-Range";

    WebGate() = default;
    ~WebGate();
    WebGate(const WebGate&) = delete;
    WebGate& operator=(const WebGate&) = delete;

    // Binds `host`:`port` (0: a free one) and returns the bound port; throws on failure.
    int bind(const std::string& host, int port);
    // Relays every connection to `innerPort` on loopback until stop().
    void start(int innerPort);
    void stop();

    // The head of an HTTP request, as the inner server should see it: Range renamed,
    // Connection replaced by "close". Empty when `head` is not a request head, holds a
    // lone CR or LF, or names a header in anything but token characters.
    static std::string rewriteHead(const std::string& head);

private:
    void relay(int client);

    int listener_ = -1;
    int innerPort_ = 0;
    std::atomic<bool> stopping_{false};
    std::mutex connectionsLock_;
    struct Connection {
        std::jthread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Connection> connections_;  // guarded by connectionsLock_
    std::jthread acceptor_;  // last: stops before the members it uses go away
};

}  // namespace brindlow::devserver
