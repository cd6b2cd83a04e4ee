#include "SignIn/BrowserSignIn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <thread>

#include "Support/ExpectError.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using Failure = BrowserSignIn::Failure;
using Kind = Failure::Kind;

// A raw client on the loopback port: the socket, or -1 with errno from connect.
int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

std::string readAll(int fd) {
    std::string answer;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, size_t(n));
    ::close(fd);
    return answer;
}

// Sends `request` (maybe nothing) and returns the whole answer.
std::string exchange(int port, const std::string& request) {
    const int fd = connectTo(port);
    EXPECT_GE(fd, 0) << "nobody listens on " << port;
    if (!request.empty()) ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    return fd < 0 ? "" : readAll(fd);
}

std::string get(const std::string& target) { return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"; }

// The status line of an answer whose Content-Length counts the bytes of its UTF-8 body.
std::string status(const std::string& answer) {
    const size_t body = answer.find("\r\n\r\n"), length = answer.find("Content-Length: ");
    if (body == std::string::npos || length == std::string::npos) return "not an answer: " + answer;
    EXPECT_EQ(std::stoul(answer.substr(length + 16)), answer.size() - body - 4);
    EXPECT_NE(answer.find("Content-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    return answer.substr(0, answer.find("\r\n"));
}

class BrowserSignInTest : public ::testing::Test {
protected:
    void SetUp() override { url = signIn->start(); }
    std::string callback(const std::string& query) { return exchange(signIn->port(), get("/callback?" + query)); }
    std::shared_ptr<BrowserSignIn> signIn = BrowserSignIn::make("http://web.example");
    std::string url;
};

TEST_F(BrowserSignInTest, CallbackDeliversTheDecodedTokenOnceAndThePageIsNeitherCachedNorReferred) {
    EXPECT_EQ(signIn->state().size(), 32u);
    EXPECT_EQ(signIn->state().find_first_of("+/="), std::string::npos) << "the state needs no escaping";
    EXPECT_EQ(url, "http://web.example/desktop/sign-in?port=" + std::to_string(signIn->port()) + "&state=" + signIn->state());
    EXPECT_NE(BrowserSignIn::make("http://web.example")->state(), signIn->state());

    auto waiting = std::async(std::launch::async, [&] { return signIn->waitForToken(); });
    const std::string answer = callback("state=" + signIn->state() + "&token=a%2Bb%20c");
    EXPECT_EQ(status(answer), "HTTP/1.1 200 OK");
    EXPECT_NE(answer.find("Cache-Control: no-store\r\nReferrer-Policy: no-referrer\r\n"), std::string::npos);
    EXPECT_EQ(waiting.get(), "a+b c");
    EXPECT_EQ(signIn->waitForToken(), "a+b c");  // also for a caller that comes later
}

// Meanwhile a client that never speaks holds up nobody, and is closed without an answer.
TEST_F(BrowserSignInTest, HostileUnrelatedAndSilentRequestsGetNoTokenAndTheAttemptWaits) {
    for (const std::string& request :
         {std::string("\x00\xff\xfe garbage\r\n\r\n", 16), std::string("GET\r\n\r\n"), std::string("POST /callback?state=x&token=t HTTP/1.1\r\n\r\n"),
          std::string("get /callback HTTP/1.1\r\n\r\n"), "GET /" + std::string(16 * 1024, 'a') + " HTTP/1.1\r\n\r\n"})
        EXPECT_EQ(status(exchange(signIn->port(), request)), "HTTP/1.1 404 Not Found") << request.substr(0, 40);
    const int silent = connectTo(signIn->port());
    ASSERT_GE(silent, 0);
    EXPECT_EQ(status(exchange(signIn->port(), get("/favicon.ico"))), "HTTP/1.1 404 Not Found");
    pollfd fd{silent, POLLIN, 0};
    EXPECT_EQ(::poll(&fd, 1, 0), 0) << "the silent client was dealt with before the one that spoke";
    EXPECT_EQ(readAll(silent), "");
    callback("state=" + signIn->state() + "&token=t1");
    EXPECT_EQ(signIn->waitForToken(), "t1");
}

// Only the exact state signs anyone in: near misses (its first, middle or last character
// changed, a proper prefix, nothing) are refused, and the real one with every byte escaped
// is accepted.
TEST(BrowserSignInState, NearMissesAreRefusedAndADifferentEncodingIsAccepted) {
    for (size_t i = 0; i < 6; ++i) {
        const auto attempt = BrowserSignIn::make("http://web.example");
        attempt->start();
        const std::string s = attempt->state();
        auto changed = [&](size_t at) { return s.substr(0, at) + (s[at] == 'A' ? 'B' : 'A') + s.substr(at + 1); };
        std::string escaped;
        for (unsigned char c : s) escaped += {'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 0xF]};
        const std::string states[] = {changed(0), changed(s.size() / 2), changed(s.size() - 1), s.substr(0, s.size() - 1), "", escaped};
        const bool signsIn = i == 5;
        SCOPED_TRACE(states[i]);
        EXPECT_EQ(status(exchange(attempt->port(), get("/callback?state=" + states[i] + "&token=tok"))),
                  signsIn ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request");
        if (signsIn) {
            EXPECT_EQ(attempt->waitForToken(), "tok");
        } else {
            EXPECT_EQ(testing::errorFrom<Failure>([&] { attempt->waitForToken(); }), Failure(Kind::stateMismatch));
        }
    }
}

TEST(BrowserSignInParsing, FollowsTheCallbackRules) {
    auto token = [](std::string t) { return BrowserSignIn::Outcome(std::move(t)); };
    auto failure = [](Kind kind) { return BrowserSignIn::Outcome(Failure(kind)); };
    const std::pair<std::string, BrowserSignIn::Outcome> cases[] = {
        {get("/callback?state=S&token=abc"), token("abc")},
        {get("/callback?state=S&error=cancelled"), failure(Kind::cancelled)},
        {get("/callback?state=S&error=denied&token=t"), token("t")},
        {get("/callback?state=S&token="), failure(Kind::missingToken)},
        {get("/callback?token=t"), failure(Kind::stateMismatch)},
        {get("/callback?state=S2&state=S&token=t"), failure(Kind::stateMismatch)},  // the first state counts
        {get("/callback?state=X&error=cancelled&token=t"), failure(Kind::stateMismatch)},
        {get("/callback/x?state=S&token=t"), std::nullopt},
        {"\r\n\r\nGET /callback?state=S&token=t HTTP/1.1\r\n", token("t")},
        {"GET", std::nullopt},
    };
    for (const auto& [request, outcome] : cases) EXPECT_TRUE(BrowserSignIn::parse(request, "S") == outcome) << request;
}

// Once there is an outcome the listener is gone: a late client is refused, not left hanging.
TEST(BrowserSignInListener, ClosesWhenTheAttemptEnds) {
    for (const bool cancelled : {false, true}) {
        auto attempt = BrowserSignIn::make("http://web.example");
        attempt->start();
        if (cancelled) attempt->cancel();
        else exchange(attempt->port(), get("/callback?state=" + attempt->state() + "&token=t"));
        bool refused = false;
        for (int tries = 0; !refused && tries < 500; ++tries) {
            const int fd = connectTo(attempt->port());
            refused = fd < 0 && errno == ECONNREFUSED;
            if (fd >= 0) ::close(fd);
            if (!refused) std::this_thread::sleep_for(10ms);  // the serving thread closes it
        }
        EXPECT_TRUE(refused) << (cancelled ? "after cancel" : "after the callback");
    }
}

TEST_F(BrowserSignInTest, CancelEndsAWaitUnderwayAndRacesStartSafely) {
    auto waiting = std::async(std::launch::async, [&] { return testing::errorFrom<Failure>([&] { signIn->waitForToken(); }); });
    std::this_thread::sleep_for(50ms);  // most likely waiting by now; either order must end the same
    signIn->cancel();
    EXPECT_EQ(waiting.get(), Failure(Kind::cancelled));

    for (int i = 0; i < 50; ++i) {
        auto attempt = BrowserSignIn::make("http://web.example");
        std::thread canceller([&] { attempt->cancel(); });
        try {
            attempt->start();
        } catch (const Failure& f) {
            EXPECT_EQ(f.kind(), Kind::cancelled);  // cancelled before it started
        }
        canceller.join();
        EXPECT_EQ(testing::errorFrom<Failure>([&] { attempt->waitForToken(); }), Failure(Kind::cancelled));
    }
}

// A failing system call ends the attempt with that error instead of hanging or spinning
// (which the test's time limit catches).
TEST(BrowserSignInSystemFailures, EndTheAttemptWithTheError) {
    auto failing = [](int error) {
        return [error](auto...) {
            errno = error;
            return -1;
        };
    };
    auto noEventfd = BrowserSignIn::SystemCalls::real(), noAccept = noEventfd, noPoll = noEventfd;
    noEventfd.eventfd = failing(EMFILE);
    EXPECT_THROW(BrowserSignIn::make("http://web.example", noEventfd), std::system_error);
    noAccept.accept4 = failing(EMFILE);
    noPoll.poll = failing(ENOMEM);
    for (const auto& [calls, error] : {std::pair{noAccept, EMFILE}, std::pair{noPoll, ENOMEM}}) {
        auto attempt = BrowserSignIn::make("http://web.example", calls);
        attempt->start();
        const int client = connectTo(attempt->port());  // something to accept
        const auto failure = testing::errorFrom<std::system_error>([&] { attempt->waitForToken(); });
        EXPECT_EQ(failure ? failure->code().value() : 0, error);
        if (client >= 0) ::close(client);
    }
}

}  // namespace
}  // namespace brindlow
