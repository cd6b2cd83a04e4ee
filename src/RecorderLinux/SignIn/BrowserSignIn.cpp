#include "SignIn/BrowserSignIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <system_error>

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

std::shared_ptr<BrowserSignIn> BrowserSignIn::make(std::string webApp) {
    return std::shared_ptr<BrowserSignIn>(new BrowserSignIn(std::move(webApp)));
}

BrowserSignIn::BrowserSignIn(std::string webApp) : webApp_(std::move(webApp)), state_(makeState()) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) throwErrno("cannot create the sign-in listener");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const int saved = errno;
        ::close(listenFd_);
        errno = saved;
        throwErrno("cannot bind the sign-in listener");
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
}

BrowserSignIn::~BrowserSignIn() {
    if (acceptor_.joinable()) {
        acceptor_.request_stop();
        const uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
        if (acceptor_.get_id() == std::this_thread::get_id()) acceptor_.detach();
        else acceptor_.join();
    }
    ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

std::string BrowserSignIn::start() {
    if (::listen(listenFd_, 16) != 0) throwErrno("cannot listen for the sign-in");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.sin_port);
    acceptor_ = std::jthread([this](std::stop_token stop) { acceptLoop(stop); });
    return appendingPath(webApp_, "desktop/sign-in") + "?port=" + std::to_string(port_) +
           "&state=" + percentEncodeQueryComponent(state_);
}

void BrowserSignIn::acceptLoop(std::stop_token stop) {
    std::weak_ptr<BrowserSignIn> weak = weak_from_this();
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (stop.stop_requested() || (fds[1].revents & POLLIN)) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        queue_.async([weak, connection] {
            if (auto self = weak.lock()) self->serve(connection);
            ::close(connection);
        });
    }
}

void BrowserSignIn::serve(int connection) {
    // One read, judged alone; a client that sends nothing is given up on after the time-out.
    std::string request;
    pollfd fd{connection, POLLIN, 0};
    if (::poll(&fd, 1, readTimeoutMs) == 1) {
        request.resize(maxRequestBytes);
        const ssize_t n = ::recv(connection, request.data(), request.size(), 0);
        request.resize(n > 0 ? size_t(n) : 0);
    }
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

void BrowserSignIn::finish(std::variant<std::string, Failure> outcome) {
    {
        std::lock_guard guard(lock_);
        if (!result_) result_ = std::move(outcome);
    }
    done_.notify_all();
    // No further connections once there is an outcome.
    if (acceptor_.joinable()) {
        acceptor_.request_stop();
        const uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(wakeFd_, &one, sizeof one);
    }
}

std::string BrowserSignIn::waitForToken(std::stop_token stop) {
    std::unique_lock lock(lock_);
    if (!done_.wait(lock, stop, [&] { return result_.has_value(); })) throw CancellationError();
    if (const auto* token = std::get_if<std::string>(&*result_)) return *token;
    throw std::get<Failure>(*result_);
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
    if (state == query.end() || state->second != expectedState) return Failure(Failure::Kind::stateMismatch);
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
