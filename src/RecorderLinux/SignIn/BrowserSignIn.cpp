#include "SignIn/BrowserSignIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <system_error>
#include <type_traits>
#include <vector>

#include "Support/Text.h"
#include "Support/URL.h"

namespace brindlow {
namespace {

[[noreturn]] void throwErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

std::string makeState() {
    std::string s = base64Encode(secureRandomBytes(24));
    for (char& c : s) {
        if (c == '+') c = '-';
        else if (c == '/') c = '_';
    }
    s.erase(std::remove(s.begin(), s.end(), '='), s.end());
    return s;
}

// Takes as long for a near miss as for a wild guess, so the time of a refusal tells
// nothing about how much of the state was right. Only the length may show, and every
// state has the same length.
bool sameState(std::string_view given, std::string_view expected) {
    unsigned difference = given.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); ++i)
        difference |= unsigned(uint8_t(expected[i]) ^ uint8_t(i < given.size() ? given[i] : 0));
    return difference == 0;
}

void sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data.remove_prefix(size_t(n));
    }
}

}  // namespace

const char* BrowserSignIn::Failure::what() const noexcept {
    switch (kind_) {
        case Kind::stateMismatch: return "Sign-in was interrupted. Please try again.";
        case Kind::missingToken: return "Brindlow didn't send a sign-in token. Please try again.";
        case Kind::cancelled: return "Sign-in was cancelled.";
    }
    return "";
}

BrowserSignIn::SystemCalls BrowserSignIn::SystemCalls::real() {
    return {[](unsigned int initial, int flags) { return ::eventfd(initial, flags); },
            [](int fd, sockaddr* address, socklen_t* length, int flags) { return ::accept4(fd, address, length, flags); },
            [](pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }};
}

std::shared_ptr<BrowserSignIn> BrowserSignIn::make(std::string webApp) { return make(std::move(webApp), SystemCalls::real()); }

std::shared_ptr<BrowserSignIn> BrowserSignIn::make(std::string webApp, SystemCalls system) {
    return std::shared_ptr<BrowserSignIn>(new BrowserSignIn(std::move(webApp), std::move(system)));
}

BrowserSignIn::BrowserSignIn(std::string webApp, SystemCalls system)
    : webApp_(std::move(webApp)), state_(makeState()), system_(std::move(system)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) throwErrno("cannot create the sign-in listener");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    const bool bound = ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (bound) wakeFd_ = system_.eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!bound || wakeFd_ < 0) {
        const int saved = errno;
        ::close(listenFd_);
        errno = saved;
        throwErrno(bound ? "cannot create the sign-in listener's wake-up" : "cannot bind the sign-in listener");
    }
}

BrowserSignIn::~BrowserSignIn() {
    if (server_.joinable()) {
        server_.request_stop();
        wake();
        server_.join();
    }
    if (listenFd_ >= 0) ::close(listenFd_);
    ::close(wakeFd_);
}

std::string BrowserSignIn::start() {
    std::lock_guard starting(startLock_);
    if (url_) return *url_;
    {
        std::lock_guard guard(lock_);
        if (result_) std::visit([](const auto& r) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(r)>, std::string>) throw r;
        }, *result_);
    }
    if (::listen(listenFd_, 16) != 0) throwErrno("cannot listen for the sign-in");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
        throwErrno("cannot read the sign-in listener's port");
    port_ = ntohs(bound.sin_port);
    server_ = std::jthread([this](std::stop_token stop) { serveAll(stop); });
    url_ = appendingPath(webApp_, "desktop/sign-in") + "?port=" + std::to_string(port_) +
           "&state=" + percentEncodeQueryComponent(state_);
    return *url_;
}

void BrowserSignIn::serveAll(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    struct Pending {
        int fd;
        Clock::time_point deadline;  // closed unanswered when nothing arrived by then
    };
    std::vector<Pending> pending;
    bool listening = true;
    std::vector<pollfd> fds;
    while (!stop.stop_requested()) {
        if (listening && finished()) {
            // No further connections; those already accepted still get their answer.
            ::close(listenFd_);
            listenFd_ = -1;
            listening = false;
        }
        if (!listening && pending.empty()) break;
        fds.assign({{wakeFd_, POLLIN, 0}, {listening ? listenFd_ : -1, POLLIN, 0}});
        int timeoutMs = -1;
        const auto now = Clock::now();
        for (const auto& p : pending) {
            fds.push_back({p.fd, POLLIN, 0});
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count();
            timeoutMs = int(std::max<int64_t>(0, timeoutMs < 0 ? left : std::min<int64_t>(timeoutMs, left)));
        }
        if (system_.poll(fds.data(), nfds_t(fds.size()), timeoutMs) < 0) {
            if (errno == EINTR) continue;
            finish(std::system_error(errno, std::generic_category(), "the sign-in listener failed"));
            break;
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count = 0;
            [[maybe_unused]] auto ignored = ::read(wakeFd_, &count, sizeof count);
        }
        const auto afterPoll = Clock::now();
        for (size_t i = pending.size(); i-- > 0;) {
            const short events = fds[i + 2].revents;
            if (events & (POLLIN | POLLHUP | POLLERR)) answer(pending[i].fd);
            else if (afterPoll < pending[i].deadline) continue;
            ::close(pending[i].fd);
            pending.erase(pending.begin() + std::ptrdiff_t(i));
        }
        if (listening && (fds[1].revents & POLLIN)) {
            const int connection = system_.accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (connection >= 0) {
                pending.push_back({connection, afterPoll + std::chrono::milliseconds(readTimeoutMs)});
            } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED &&
                       errno != EPROTO) {
                // Out of descriptors or memory: polling again would only spin.
                finish(std::system_error(errno, std::generic_category(), "cannot accept the sign-in connection"));
            }
        }
    }
    for (const auto& p : pending) ::close(p.fd);
    if (listening) {
        ::close(listenFd_);
        listenFd_ = -1;
    }
}

void BrowserSignIn::answer(int connection) {
    std::string request(maxRequestBytes, '\0');
    const ssize_t n = ::recv(connection, request.data(), request.size(), MSG_DONTWAIT);
    request.resize(n > 0 ? size_t(n) : 0);
    const Outcome outcome = parse(sanitizeUTF8(request), state_);
    if (!outcome) {
        sendAll(connection, reply("404 Not Found", "Not found"));
    } else if (const auto* token = std::get_if<std::string>(&*outcome)) {
        sendAll(connection, reply("200 OK", page("You're signed in",
                                                 "Brindlow is signed in. You can close this tab and go back to the app.")));
        finish(*token);
    } else {
        const auto& failure = std::get<Failure>(*outcome);
        sendAll(connection, reply("400 Bad Request", page("Sign-in didn't work", failure.what())));
        finish(failure);
    }
    ::shutdown(connection, SHUT_WR);
}

void BrowserSignIn::finish(Result outcome) {
    {
        std::lock_guard guard(lock_);
        if (!result_) result_ = std::move(outcome);
    }
    done_.notify_all();
    wake();
}

bool BrowserSignIn::finished() {
    std::lock_guard guard(lock_);
    return result_.has_value();
}

void BrowserSignIn::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
}

std::string BrowserSignIn::waitForToken(std::stop_token stop) {
    std::unique_lock lock(lock_);
    if (!done_.wait(lock, stop, [&] { return result_.has_value(); })) throw CancellationError();
    if (const auto* token = std::get_if<std::string>(&*result_)) return *token;
    if (const auto* failure = std::get_if<Failure>(&*result_)) throw *failure;
    throw std::get<std::system_error>(*result_);
}

void BrowserSignIn::cancel() { finish(Failure(Failure::Kind::cancelled)); }

BrowserSignIn::Outcome BrowserSignIn::parse(std::string_view text, std::string_view expectedState) {
    // The first non-empty line.
    std::string_view line;
    while (!text.empty()) {
        const size_t end = text.find("\r\n");
        line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 2);
        if (!line.empty()) break;
    }
    const auto pieces = splitDroppingEmpty(line, ' ');
    if (pieces.size() < 2 || pieces[0] != "GET") return std::nullopt;
    const auto url = URL::parse("http://127.0.0.1" + std::string(pieces[1]));
    if (!url || url->path != "/callback") return std::nullopt;
    std::map<std::string, std::string> query;  // the first item of each name counts
    std::string_view rest = url->query;
    while (!rest.empty()) {
        const size_t amp = rest.find('&');
        const std::string_view item = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        const size_t eq = item.find('=');
        const auto name = percentDecode(item.substr(0, eq));
        const auto value = percentDecode(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1));
        if (name && value) query.emplace(*name, *value);
    }
    const auto state = query.find("state");
    if (state == query.end() || !sameState(state->second, expectedState)) return Failure(Failure::Kind::stateMismatch);
    if (const auto error = query.find("error"); error != query.end() && error->second == "cancelled")
        return Failure(Failure::Kind::cancelled);
    if (const auto token = query.find("token"); token != query.end() && !token->second.empty()) return token->second;
    return Failure(Failure::Kind::missingToken);
}

std::string BrowserSignIn::reply(std::string_view status, std::string_view body) {
    std::string out = "HTTP/1.1 " + std::string(status) + "\r\n";
    out += "Content-Type: text/html; charset=utf-8\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

std::string BrowserSignIn::page(std::string_view title, std::string_view message) {
    const std::string t(title), m(message);
    return "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + t +
           "</title>\n<style>\n"
           "body { font: 16px -apple-system, system-ui, sans-serif; display: grid; place-items: center; "
           "height: 100vh; margin: 0; background: #fafafa; color: #1c1c1e; }\n"
           "@media (prefers-color-scheme: dark) { body { background: #1c1c1e; color: #f2f2f7; } }\n"
           "main { text-align: center; max-width: 28rem; padding: 1rem; }\n"
           "</style>\n</head>\n<body>\n<main>\n<h1>" + t + "</h1>\n<p>" + m + "</p>\n</main>\n</body>\n</html>\n";
}

}  // namespace brindlow
