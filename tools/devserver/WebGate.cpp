#include "WebGate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <string_view>

namespace brindlow::devserver {

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr int kPollMs = 100;
constexpr auto kHeadTimeout = std::chrono::seconds(10);

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(size_t(n));
    }
    return true;
}

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// A header name as HTTP allows it: one or more token characters.
bool isToken(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// Every CR opens a CRLF and every LF closes one: a lone one would end a line for the
// inner server where the gate saw none, and so slip a header past it.
bool onlyCRLF(std::string_view head) {
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '\r' && (i + 1 == head.size() || head[i + 1] != '\n')) return false;
        if (head[i] == '\n' && (i == 0 || head[i - 1] != '\r')) return false;
    }
    return true;
}

void refuse(int fd, const char* status) {
    const std::string body = std::string(status) + "\n";
    sendAll(fd, std::string("HTTP/1.1 ") + status + "\r\nContent-Type: text/plain\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

int connectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

WebGate::~WebGate() { stop(); }

int WebGate::bind(const std::string& host, int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0) throw std::runtime_error("cannot open the web port's socket");
    const int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 64) != 0) {
        ::close(listener_);
        listener_ = -1;
        throw std::runtime_error("cannot bind the web port " + std::to_string(port));
    }
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void WebGate::start(int innerPort) {
    innerPort_ = innerPort;
    acceptor_ = std::jthread([this](std::stop_token) {
        while (!stopping_) {
            pollfd ready{listener_, POLLIN, 0};
            if (poll(&ready, 1, kPollMs) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            const int one = 1;
            setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            std::lock_guard lock(connectionsLock_);
            // Finished relays are joined here so the list stays short.
            std::erase_if(connections_, [](const Connection& c) { return c.done->load(); });
            auto done = std::make_shared<std::atomic<bool>>(false);
            connections_.push_back({std::jthread([this, client, done] {
                                        relay(client);
                                        *done = true;
                                    }),
                                    done});
        }
    });
}

void WebGate::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard lock(connectionsLock_);
        connections_.clear();  // joins: every relay polls stopping_
    }
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

std::string WebGate::rewriteHead(const std::string& head) {
    const size_t firstEnd = head.find("\r\n");
    if (firstEnd == std::string::npos || head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0 ||
        !onlyCRLF(head))
        return {};
    const std::string_view requestLine(head.data(), firstEnd);
    if (std::count(requestLine.begin(), requestLine.end(), ' ') != 2) return {};
    std::string out(requestLine);
    out += "\r\n";
    size_t start = firstEnd + 2;
    while (start < head.size() - 2) {
        const size_t end = head.find("\r\n", start);
        const std::string_view line(head.data() + start, end - start);
        start = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return {};
        const std::string_view name = line.substr(0, colon);
        if (sameName(name, "Connection") || sameName(name, kRangeHeader)) continue;
        if (sameName(name, "Range")) {
            out += kRangeHeader;
            out += line.substr(colon);
        } else {
            out += line;
        }
        out += "\r\n";
    }
    out += "Connection: close\r\n\r\n";
    return out;
}

void WebGate::relay(int client) {
    std::string data;
    char buffer[16384];
    size_t headEnd = std::string::npos;
    const auto deadline = std::chrono::steady_clock::now() + kHeadTimeout;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
        if (data.size() > kMaxHead) {
            refuse(client, "431 Request Header Fields Too Large");
            ::close(client);
            return;
        }
        if (stopping_ || std::chrono::steady_clock::now() > deadline) {
            ::close(client);
            return;
        }
        pollfd ready{client, POLLIN, 0};
        if (poll(&ready, 1, kPollMs) <= 0) continue;
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ::close(client);
            return;
        }
        data.append(buffer, size_t(n));
    }
    const std::string head = rewriteHead(data.substr(0, headEnd + 4));
    if (head.empty()) {
        refuse(client, "400 Bad Request");
        ::close(client);
        return;
    }
    const int inner = connectLoopback(innerPort_);
    if (inner < 0 || !sendAll(inner, head) || !sendAll(inner, std::string_view(data).substr(headEnd + 4))) {
        refuse(client, "502 Bad Gateway");
        if (inner >= 0) ::close(inner);
        ::close(client);
        return;
    }
    // The inner server closes after its one answer; that ends the relay.
    bool clientOpen = true;
    while (!stopping_) {
        pollfd fds[2] = {{inner, POLLIN, 0}, {client, short(clientOpen ? POLLIN : 0), 0}};
        if (poll(fds, 2, kPollMs) <= 0) continue;
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = ::recv(inner, buffer, sizeof buffer, 0);
            if (n <= 0 || !sendAll(client, std::string_view(buffer, size_t(n)))) break;
        }
        if (clientOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) {
                clientOpen = false;
                ::shutdown(inner, SHUT_WR);
            } else if (!sendAll(inner, std::string_view(buffer, size_t(n)))) {
                break;
            }
        }
    }
    ::close(inner);
    ::close(client);
}

}  // namespace brindlow::devserver
