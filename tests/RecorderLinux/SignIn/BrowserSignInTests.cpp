#include "SignIn/BrowserSignIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <future>
#include <thread>

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using Kind = BrowserSignIn::Failure::Kind;

// A raw client: connects, sends `request` (maybe nothing), returns the whole answer.
int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
}

std::string exchange(int port, const std::string& request) {
    const int fd = connectTo(port);
    if (!request.empty()) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
    ::close(fd);
    return answer;
}

std::string get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

class BrowserSignInTest : public ::testing::Test {
protected:
    void SetUp() override {
        signIn = BrowserSignIn::make("http://web.example");
        url = signIn->start();
    }
    std::string callback(const std::string& query) { return exchange(signIn->port(), get("/callback?" + query)); }
    std::shared_ptr<BrowserSignIn> signIn;
    std::string url;
};

TEST_F(BrowserSignInTest, UrlCarriesPortAndState) {
    EXPECT_EQ(signIn->state().size(), 32u);
    EXPECT_EQ(signIn->state().find_first_of("+/="), std::string::npos);
    EXPECT_EQ(url, "http://web.example/desktop/sign-in?port=" + std::to_string(signIn->port()) + "&state=" + signIn->state());
    EXPECT_NE(BrowserSignIn::make("http://web.example")->state(), signIn->state());
}

TEST_F(BrowserSignInTest, CallbackDeliversTheDecodedTokenOnce) {
    auto waiting = std::async(std::launch::async, [&] { return signIn->waitForToken(); });
    const std::string answer = callback("state=" + signIn->state() + "&token=a%2Bb%20c");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(answer.find("<title>You're signed in</title>"), std::string::npos);
    EXPECT_NE(answer.find("Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\nConnection: close\r\n\r\n"), std::string::npos);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), "a+b c");
    EXPECT_EQ(signIn->waitForToken(), "a+b c");  // also for a caller that comes later
}

TEST_F(BrowserSignInTest, HostileAndUnrelatedRequestsGet404AndTheAttemptWaits) {
    const std::string bad = std::string("\x00\xff\xfe garbage\r\n\r\n", 16);
    for (const std::string& request : {bad, std::string("GET\r\n\r\n"), std::string("POST /callback?state=x&token=t HTTP/1.1\r\n\r\n"),
                                       get("/favicon.ico"), std::string("get /callback HTTP/1.1\r\n\r\n"),
                                       "GET /" + std::string(16 * 1024, 'a') + " HTTP/1.1\r\n\r\n"}) {
        const std::string answer = exchange(signIn->port(), request);
        EXPECT_EQ(answer.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << request.substr(0, 40);
        EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8"), std::string::npos);
    }
    // Still waiting: a proper callback afterwards succeeds.
    callback("state=" + signIn->state() + "&token=t1");
    EXPECT_EQ(signIn->waitForToken(), "t1");
}

TEST_F(BrowserSignInTest, WrongStateIsAFailureEvenWithAToken) {
    const std::string answer = callback("state=nope&token=t&error=cancelled");
    EXPECT_EQ(answer.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    EXPECT_NE(answer.find("Sign-in was interrupted. Please try again."), std::string::npos);
    // Content-Length counts bytes of the UTF-8 body ("didn’t" has no ASCII-only guarantee).
    const size_t header = answer.find("\r\n\r\n") + 4;
    const size_t length = std::stoul(answer.substr(answer.find("Content-Length: ") + 16));
    EXPECT_EQ(length, answer.size() - header);
    try {
        signIn->waitForToken();
        FAIL();
    } catch (const BrowserSignIn::Failure& f) {
        EXPECT_EQ(f.kind(), Kind::stateMismatch);
    }
}

// Near misses of the real state: only an exact match may sign anyone in.
TEST(BrowserSignInState, NearMissesAreRefusedAndADifferentEncodingIsAccepted) {
    auto changed = [](std::string s, size_t at) {
        s[at] = s[at] == 'A' ? 'B' : 'A';
        return s;
    };
    auto encodedEveryByte = [](const std::string& s) {
        static constexpr char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : s) out += {'%', hex[c >> 4], hex[c & 0xF]};
        return out;
    };
    const std::vector<std::pair<std::string, std::function<std::string(const std::string&)>>> cases{
        {"first character", [&](const std::string& s) { return changed(s, 0); }},
        {"middle character", [&](const std::string& s) { return changed(s, s.size() / 2); }},
        {"last character", [&](const std::string& s) { return changed(s, s.size() - 1); }},
        {"proper prefix", [](const std::string& s) { return s.substr(0, s.size() - 1); }},
        {"empty", [](const std::string&) { return std::string(); }},
        {"real, every byte escaped", encodedEveryByte},
    };
    for (const auto& [name, stateFor] : cases) {
        const auto attempt = BrowserSignIn::make("http://web.example");
        attempt->start();
        const bool real = name.starts_with("real");
        const std::string answer =
            exchange(attempt->port(), get("/callback?state=" + stateFor(attempt->state()) + "&token=tok"));
        EXPECT_EQ(answer.rfind(real ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 400 Bad Request\r\n", 0), 0u) << name;
        try {
            const std::string token = attempt->waitForToken();
            EXPECT_TRUE(real) << name << " signed in";
            EXPECT_EQ(token, "tok") << name;
        } catch (const BrowserSignIn::Failure& f) {
            EXPECT_FALSE(real) << name;
            EXPECT_EQ(f.kind(), Kind::stateMismatch) << name;
        }
    }
}

// A client that never speaks is closed without an answer and holds up nobody meanwhile.
TEST_F(BrowserSignInTest, SilentClientIsClosedUnansweredWithoutBlockingOthers) {
    const int silent = connectTo(signIn->port());  // connects, sends nothing
    EXPECT_EQ(exchange(signIn->port(), get("/favicon.ico")).rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
    pollfd fd{silent, POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 0) << "the silent client was dealt with before the one that spoke";
    std::string answer;
    char buffer[256];
    ssize_t n;
    while ((n = ::recv(silent, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, size_t(n));
    EXPECT_EQ(answer, "");
    ::close(silent);
    callback("state=" + signIn->state() + "&token=t2");
    EXPECT_EQ(signIn->waitForToken(), "t2");
}

// Once there is an outcome the listener is gone: a late client is refused, not left hanging.
TEST_F(BrowserSignInTest, ListenerClosesWhenTheAttemptEnds) {
    for (const bool cancelled : {false, true}) {
        auto attempt = BrowserSignIn::make("http://web.example");
        attempt->start();
        if (cancelled) attempt->cancel();
        else exchange(attempt->port(), get("/callback?state=" + attempt->state() + "&token=t"));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        bool refused = false;
        while (!refused && std::chrono::steady_clock::now() < deadline) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(uint16_t(attempt->port()));
            refused = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == ECONNREFUSED;
            ::close(fd);
            if (!refused) std::this_thread::sleep_for(10ms);  // polling a socket state; capped above
        }
        EXPECT_TRUE(refused) << (cancelled ? "after cancel" : "after the callback");
    }
}

TEST(BrowserSignInThreads, CancelAndStartFromDifferentThreads) {
    for (int i = 0; i < 50; ++i) {
        auto attempt = BrowserSignIn::make("http://web.example");
        std::thread canceller([&] { attempt->cancel(); });
        try {
            attempt->start();
        } catch (const BrowserSignIn::Failure& f) {
            EXPECT_EQ(f.kind(), Kind::cancelled);  // cancelled before it started
        }
        canceller.join();
        EXPECT_THROW(attempt->waitForToken(), BrowserSignIn::Failure);
    }
}

// A failing system call ends the attempt with that error instead of hanging or spinning.
TEST(BrowserSignInSystemFailures, EndTheAttemptWithTheError) {
    auto failing = [](int error) {
        return [error](auto...) {
            errno = error;
            return -1;
        };
    };
    auto noEventfd = BrowserSignIn::SystemCalls::real();
    noEventfd.eventfd = failing(EMFILE);
    EXPECT_THROW(BrowserSignIn::make("http://web.example", noEventfd), std::system_error);

    auto noAccept = BrowserSignIn::SystemCalls::real();
    noAccept.accept4 = failing(EMFILE);
    auto noPoll = BrowserSignIn::SystemCalls::real();
    noPoll.poll = failing(ENOMEM);
    for (const auto& [calls, error] : {std::pair{noAccept, EMFILE}, std::pair{noPoll, ENOMEM}}) {
        auto attempt = BrowserSignIn::make("http://web.example", calls);
        attempt->start();
        const int client = error == EMFILE ? connectTo(attempt->port()) : -1;  // something to accept
        std::stop_source giveUp;
        auto outcome = std::async(std::launch::async, [&, attempt] {
            try {
                attempt->waitForToken(giveUp.get_token());
                return 0;
            } catch (const std::system_error& e) {
                return e.code().value();
            } catch (const CancellationError&) {
                return -1;
            }
        });
        if (outcome.wait_for(5s) != std::future_status::ready) giveUp.request_stop();
        EXPECT_EQ(outcome.get(), error);
        if (client >= 0) ::close(client);
    }
}

TEST_F(BrowserSignInTest, CancelBeforeOrAfterWaiting) {
    signIn->cancel();
    try {
        signIn->waitForToken();
        FAIL();
    } catch (const BrowserSignIn::Failure& f) {
        EXPECT_EQ(f.kind(), Kind::cancelled);
        EXPECT_STREQ(f.what(), "Sign-in was cancelled.");
    }
}

TEST(BrowserSignInParsing, FollowsTheCallbackRules) {
    const std::string s = "S";
    auto outcome = [&](const std::string& target) { return BrowserSignIn::parse(get(target), s); };
    auto kind = [&](const std::string& target) { return std::get<BrowserSignIn::Failure>(*outcome(target)).kind(); };
    EXPECT_EQ(std::get<std::string>(*outcome("/callback?state=S&token=abc")), "abc");
    EXPECT_EQ(kind("/callback?state=S&error=cancelled"), Kind::cancelled);
    EXPECT_EQ(std::get<std::string>(*outcome("/callback?state=S&error=denied&token=t")), "t");
    EXPECT_EQ(kind("/callback?state=S&token="), Kind::missingToken);
    EXPECT_EQ(kind("/callback?token=t"), Kind::stateMismatch);
    EXPECT_EQ(kind("/callback?state=S2&state=S&token=t"), Kind::stateMismatch);  // the first state counts
    EXPECT_EQ(outcome("/callback/x?state=S&token=t"), std::nullopt);
    EXPECT_EQ(BrowserSignIn::parse("\r\n\r\nGET /callback?state=S&token=t HTTP/1.1\r\n", s).has_value(), true);
    EXPECT_EQ(BrowserSignIn::parse("", s), std::nullopt);
    EXPECT_EQ(BrowserSignIn::parse("GET", s), std::nullopt);
}

TEST(BrowserSignInPage, HasTitleHeadingMessageAndDarkScheme) {
    const std::string page = BrowserSignIn::page("T", "M");
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(page.find("<title>T</title>"), std::string::npos);
    EXPECT_NE(page.find("<main>\n<h1>T</h1>\n<p>M</p>\n</main>"), std::string::npos);
    EXPECT_NE(page.find("@media (prefers-color-scheme: dark) { body { background: #1c1c1e; color: #f2f2f7; } }"), std::string::npos);
    EXPECT_NE(page.find("max-width: 28rem"), std::string::npos);
}

}  // namespace
}  // namespace brindlow
