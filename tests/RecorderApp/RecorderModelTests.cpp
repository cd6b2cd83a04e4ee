// The recorder's user flow: a fake machine (devices, permissions, synthetic sources
// and a scripted browser) in front of the real session, encoder and uploads against
// brindlow-devserver, with the main thread run by hand.

#include "RecorderModel.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <semaphore>
#include <map>

#include "RecorderError.h"
#include "Settings.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/FakeMachine.h"
#include "Support/FakeSources.h"
#include "Support/MemoryTokenStore.h"
#include "Support/ScriptedTransport.h"
#include "Support/TakeRig.h"
#include "Telemetry.h"

namespace brindlow {

void PrintTo(const Screen& screen, std::ostream* out) {
    *out << screen.name() << "(" << screen.countdown << (screen.paused ? ", paused, " : ", ")
         << screen.url.value_or("no address") << ", " << screen.message << ", retry " << screen.canRetrySave << ")";
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = Screen::Kind;
using Property = RecorderModel::Property;
using testing::MemoryTokenStore;

// A browser that hands back whatever token the test gives it, or nothing once cancelled.
class ScriptedSignIn final : public SignInAttempt {
public:
    std::string start() override { return "http://127.0.0.1:9/desktop/sign-in?state=s"; }
    std::string waitForToken(std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        if (!ready_.wait(lock, stop, [&] { return outcome_.has_value(); })) throw CancellationError();
        if (!*outcome_) throw BrowserSignIn::Failure(BrowserSignIn::Failure::Kind::cancelled);
        return **outcome_;
    }
    void cancel() override { settle(std::nullopt); }
    void deliver(std::string token) { settle(std::move(token)); }

private:
    void settle(std::optional<std::string> token) {
        std::lock_guard lock(mutex_);
        outcome_ = std::move(token);
        ready_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::optional<std::optional<std::string>> outcome_;  // none cancelled
};

// Holds one step of a take on the thread that runs it, once armed, until the test lets it go.
struct Gate {
    void arm() { reached = false, armed = true; }
    void pass() {
        if (armed.exchange(false)) reached = true, open.acquire();
    }
    std::atomic<bool> armed{false}, reached{false};
    std::binary_semaphore open{0};
};

class FakePlatform final : public testing::FakeMachine {
public:
    FakePlatform() {
        displays = {{7, "Studio", {320, 240}, {0, 0, 320, 240}}, {9, "", {640, 360}, {320, 0, 640, 360}}};
        cameraList = {{"cam-1", "Desk Camera"}};
        micList = {{"mic-a", "Headset"}, {"mic-b", "Built-in"}};
        defaultMic = "mic-b";
        spool = fs::temp_directory_path() / ("brindlow-model-spool-" + randomUUID());
    }
    std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay&, CaptureSize pixels, int fps) override {
        building.pass();
        auto source = std::make_shared<testing::FakeVideoSource>(pixels, fps);
        source->failStart = screenFailsToStart;
        source->beforeStart = [this] { preparing.pass(); };
        std::lock_guard lock(mutex);
        return lastScreen = source;
    }
    std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string&) override {
        return std::make_shared<testing::FakeMicSource>();
    }
    std::shared_ptr<CaptureSource> makeComputerSoundSource() override {
        std::lock_guard lock(mutex);
        return soundProblem ? nullptr : (lastComputerSound = std::make_shared<testing::FakeMicSource>());
    }
    std::optional<std::string> computerSoundProblem() override { return locked(soundProblem); }
    std::shared_ptr<SettingsStore> settings() override { return kept; }
    std::shared_ptr<SignInAttempt> makeSignIn(const std::string&) override { return signIn; }
    SegmentEncoderFactory encoderFactory() override {
        return FFmpegSegmentEncoder::factory(testing::TakeRig::encoderOptions());
    }
    RecordingSession::FreeSpace freeSpace() override {
        return [this](const fs::path&) {
            beginning.pass();
            return std::optional<int64_t>(freeBytes.load());
        };
    }

    template <typename T>
    T locked(const T& value) {
        std::lock_guard lock(mutex);
        return value;
    }

    std::optional<std::string> soundProblem;
    std::shared_ptr<testing::FakeMicSource> lastComputerSound;
    std::shared_ptr<testing::FakeVideoSource> lastScreen;
    std::shared_ptr<Settings> kept;
    std::atomic<bool> screenFailsToStart{false};
    Gate building, preparing, beginning;  // a take's three steps before it records
    std::atomic<int64_t> freeBytes{int64_t(1) << 40};
    std::shared_ptr<ScriptedSignIn> signIn = std::make_shared<ScriptedSignIn>();
};

// The model and its hand-run main thread, with every property notification counted and
// its usage events kept in a real queue that is never sent.
struct Harness {
    Harness(RecorderEnvironment env, std::shared_ptr<HTTPTransport> transport,
            std::shared_ptr<TokenStore> store = std::make_shared<MemoryTokenStore>()) {
        RecorderModel::Dependencies d;
        d.env = std::move(env);
        d.transport = std::move(transport);
        d.store = std::move(store);
        d.platform = platform;
        d.main = loop;
        d.telemetry = telemetry;
        model = RecorderModel::make(std::move(d));
        model->observe([this](Property p) {
            ++notified[p];
            if (p == Property::screen) screens.push_back(model->screen());
        });
    }
    ~Harness() {
        model.reset();
        fs::remove_all(platform->spool);
        fs::remove_all(telemetry->directory());
    }
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        return loop->runUntil(condition, limit);
    }
    bool waitForScreen(Kind kind, std::chrono::milliseconds limit = 20s) {
        return waitFor([&] { return model->screen().kind == kind; }, limit);
    }
    bool waitForScreen(const Screen& screen) {
        return waitFor([&] { return model->screen() == screen; });
    }
    // Runs an operation that reports its end, and waits for it.
    void run(const std::function<void(std::function<void()>)>& operation) {
        bool done = false;
        operation([&] { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
    }
    std::vector<TelemetryProps> events(TelemetryEvent event) const {
        std::vector<TelemetryProps> found;
        for (const auto& record : telemetry->queued())
            if (record.name == rawValue(event)) found.push_back(record.props.value_or(TelemetryProps{}));
        return found;
    }

    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    std::shared_ptr<LoopExecutor> loop = std::make_shared<LoopExecutor>();
    std::shared_ptr<Telemetry> telemetry = Telemetry::make(platform->spool.string() + "-telemetry", {}, {});
    std::shared_ptr<RecorderModel> model;
    std::map<Property, int> notified;
    std::vector<Screen> screens;
};

HTTPResponse answer(int status, nlohmann::json body) { return HTTPResponse{status, body.dump()}; }

TEST(RecorderModelLoad, EndsOnTheScreenTheAccountCallsFor) {
    const nlohmann::json refreshed{{"id_token", "id"}, {"refresh_token", "r"}, {"expires_in", "3600"}};
    const nlohmann::json userDocument{
        {"fields", {{"team", {{"mapValue", {{"fields", {{"id", {{"stringValue", "t1"}}}}}}}}}}}};
    const struct {
        const char* name;
        bool stored;
        std::vector<HTTPResponse> answers;
        Kind screen;
        std::optional<std::string> errorPrefix;
    } cases[] = {
        {"no stored account", false, {}, Kind::signedOut, std::nullopt},
        {"refresh refused", true, {answer(400, {{"error", "TOKEN_EXPIRED"}})}, Kind::signedOut, std::nullopt},
        {"user document fails", true, {answer(200, refreshed), answer(503, {{"error", "down"}})}, Kind::signedOut,
         "Couldn't load your account: "},
        {"loaded", true, {answer(200, refreshed), answer(200, userDocument)}, Kind::setup, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto transport = std::make_shared<testing::ScriptedTransport>();
        transport->answers.assign(c.answers.begin(), c.answers.end());
        Harness h(RecorderEnvironment::dev(), transport,
                  std::make_shared<MemoryTokenStore>(c.stored ? std::optional<StoredSession>({{"alice", "r"}})
                                                              : std::nullopt));
        h.run([&](auto done) { h.model->load(done); });
        EXPECT_EQ(h.model->screen().kind, c.screen);
        EXPECT_EQ(h.model->error().has_value(), c.errorPrefix.has_value());
        EXPECT_EQ(h.model->error().value_or("").substr(0, c.errorPrefix.value_or("").size()), c.errorPrefix.value_or(""));
    }
}

// The first display and the default microphone are chosen, a camera never is; a choice
// of none is kept, and only a device that went away falls back.
TEST(RecorderModelDevices, ChoicesFollowWhatIsPluggedIn) {
    const struct {
        const char* name;
        std::function<void(RecorderModel&)> choose;
        std::function<void(FakePlatform&)> unplug;
        std::optional<uint32_t> display;
        std::optional<std::string> mic;
    } cases[] = {
        {"no microphone", [](RecorderModel& m) { m.setMicId(std::nullopt); }, {}, 7u, std::nullopt},
        {"no screen", [](RecorderModel& m) { m.setDisplayId(std::nullopt); }, {}, std::nullopt, "mic-b"},
        {"unplugged devices",
         [](RecorderModel& m) { m.setMicId("mic-a"); m.setCameraId("cam-1"); m.setDisplayId(9); },
         [](FakePlatform& p) { p.micList.erase(p.micList.begin()); p.cameraList.clear(); p.displays.pop_back(); },
         7u, "mic-b"},
        {"displays that cannot be listed", [](RecorderModel& m) { m.setDisplayId(9); },
         [](FakePlatform& p) { p.displayProblem = "the display went away"; }, 9u, "mic-b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>());
        h.run([&](auto done) { h.model->refreshDevices(done); });
        EXPECT_EQ(h.model->displayId(), 7u);
        EXPECT_EQ(h.model->micId(), "mic-b");
        ASSERT_EQ(h.model->displays().size(), 2u);
        EXPECT_EQ(h.model->displays()[1].name, "Display") << "a monitor without a name";
        c.choose(*h.model);
        if (c.unplug) {
            std::lock_guard lock(h.platform->mutex);
            c.unplug(*h.platform);
        }
        // As when the app becomes active again on the setup screen.
        h.run([&](auto done) { h.model->refreshDevices(done); });
        EXPECT_EQ(h.model->displayId(), c.display);
        EXPECT_EQ(h.model->micId(), c.mic);
        EXPECT_FALSE(h.model->cameraId());
        // A failed listing keeps the displays it had.
        EXPECT_EQ(h.model->displays().size(), h.platform->displays.size());
        EXPECT_EQ(h.model->displayProblem(), h.platform->displayProblem);
        EXPECT_EQ(h.model->hasScreenCapturePermission(), !h.platform->displayProblem);
        const auto before = h.notified;
        h.run([&](auto done) { h.model->refreshDevices(done); });
        EXPECT_EQ(h.notified, before) << "nothing changed, yet something was told again";
    }
}

TEST(RecorderModelDevices, ADesignTimeModelShowsNoLiveCamera) {
    const auto preview = RecorderModel::preview(Screen::recording(false), true, std::make_shared<LoopExecutor>());
    RecorderModel::PreviewState state;
    state.screen = Screen::of(Kind::setup);
    state.cameraAllowed = true;
    preview->showPreviewState(state);
    EXPECT_TRUE(preview->cameraAllowed() && preview->cameraId());
    EXPECT_FALSE(preview->previewCameraId());
}

// The choice is kept across launches; the first refresh reads it, but never over a choice
// already made in this run.
TEST(RecorderModelDevices, ComputerSoundIsKeptAcrossLaunches) {
    const fs::path file = fs::temp_directory_path() / ("brindlow-settings-" + randomUUID()) / "settings.json";
    const auto launch = [&](std::optional<bool> chosen) {
        auto h = std::make_unique<Harness>(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>());
        h->platform->kept = std::make_shared<Settings>(file);
        if (chosen) h->model->setComputerSound(*chosen, false);  // before the devices were read
        h->run([&](auto done) { h->model->refreshDevices(done); });
        return h;
    };
    EXPECT_FALSE(launch(std::nullopt)->model->computerSound()) << "off until chosen";
    {
        auto h = launch(std::nullopt);
        h->model->setComputerSound(true);
        EXPECT_TRUE(h->waitFor([&] { return Settings(file).flag("computerSound") == true; }));
    }
    EXPECT_TRUE(launch(std::nullopt)->model->computerSound()) << "kept from the last launch";
    EXPECT_FALSE(launch(false)->model->computerSound());
    EXPECT_EQ(Settings(file).flag("computerSound"), true) << "a choice not to keep";
    fs::remove_all(file.parent_path());
}

// --- the whole flow against the stand-in ---

class RecorderModelFlow : public ::testing::Test {
protected:
    void SetUp() override { h.run([&](auto done) { h.model->refreshDevices(done); }); }
    void signIn() {
        h.model->signInWithToken(server.mintCustomToken("alice"));
        ASSERT_TRUE(h.waitForScreen(Kind::setup));
    }
    // Starts a take with no countdown and waits until it holds a second of media.
    void recordNow() {
        h.model->setCountdownSeconds(0);
        h.model->record();
        ASSERT_TRUE(h.waitForScreen(Screen::recording(false)));
        ASSERT_TRUE(h.waitFor([&] { return h.model->elapsed() >= 1; }));
    }
    nlohmann::json recordings() const { return server.state().at("recordings"); }
    // Whether the take begun after `before` others records what the computer plays, by its own
    // account and its source's.
    void expectComputerSound(bool recorded, size_t before = 0) {
        ASSERT_TRUE(h.waitFor([&] { return h.events(TelemetryEvent::takeStarted).size() > before; }));
        EXPECT_EQ(h.events(TelemetryEvent::takeStarted).back().at("computerSound"), TelemetryValue(recorded));
        const auto source = h.platform->locked(h.platform->lastComputerSound);
        EXPECT_EQ(source && source->started, recorded);
    }

    testing::DevServerProcess server;
    Harness h{server.environment(), server.transport()};
};

TEST_F(RecorderModelFlow, RecordsPausesRestartsAndSavesATakeWithComputerSound) {
    signIn();
    h.model->setMicId("mic-a");
    h.model->setComputerSound(true, false);
    h.model->record();
    ASSERT_TRUE(h.waitForScreen(Screen::recording(false)));
    expectComputerSound(true);  // joining the microphone
    ASSERT_TRUE(h.waitFor([&] { return h.model->elapsed() > 0.5; }));
    // Restarting counts down again, into a new take.
    h.model->setCountdownSeconds(1);
    h.model->restart();
    EXPECT_EQ(h.model->elapsed(), 0);
    ASSERT_TRUE(h.waitForScreen(Screen::recording(false)));
    ASSERT_TRUE(h.waitFor([&] { return h.model->elapsed() > 0.5; }));
    h.model->pause();
    ASSERT_TRUE(h.waitForScreen(Screen::recording(true)));
    h.model->resume();
    ASSERT_TRUE(h.waitForScreen(Screen::recording(false)));
    h.model->stop();
    ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));

    const auto saved = h.model->screen();
    ASSERT_TRUE(saved.url);
    EXPECT_EQ(saved.url->rfind(server.environment().webApp + "/screen-recorder/view/", 0), 0u);
    const std::vector<Screen> expected{
        Screen::of(Kind::signingIn), Screen::of(Kind::setup),    Screen::countdownOf(3), Screen::countdownOf(2),
        Screen::countdownOf(1),      Screen::recording(false),   Screen::countdownOf(1),
        Screen::recording(false),    Screen::recording(true),    Screen::recording(false), Screen::of(Kind::finishing),
        saved};
    EXPECT_EQ(h.screens, expected);
    ASSERT_EQ(recordings().size(), 2u);
    EXPECT_NE(recordings()[0].value("status", ""), "saved") << "the take restarted away was kept";
    EXPECT_EQ(recordings()[1].value("status", ""), "saved") << recordings()[1].dump();

    h.model->newRecording();
    EXPECT_EQ(h.model->screen().kind, Kind::setup);
    EXPECT_FALSE(h.model->session());
    h.model->signOut();
    EXPECT_EQ(h.model->screen().kind, Kind::signedOut);
    EXPECT_FALSE(h.model->user());
    EXPECT_FALSE(h.model->auth()->uid());
}

TEST_F(RecorderModelFlow, ACancelOrDiscardWhileATakeStartsIsNeverUndone) {
    signIn();
    // Computer sound cannot be recorded here: every take below goes on without it.
    {
        std::lock_guard lock(h.platform->mutex);
        h.platform->soundProblem = "No sound server is running.";
    }
    h.run([&](auto done) { h.model->refreshDevices(done); });
    EXPECT_EQ(h.model->computerSoundProblem(), "No sound server is running.");
    h.model->setComputerSound(true, false);
    const struct {
        const char* name;
        Gate FakePlatform::*step;  // none: during the countdown, after a second of it
    } cases[] = {
        {"while building", &FakePlatform::building},
        {"while preparing", &FakePlatform::preparing},
        {"while beginning", &FakePlatform::beginning},
        {"during the countdown", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Gate* gate = c.step ? &((*h.platform).*c.step) : nullptr;
        if (gate) gate->arm();
        {
            std::lock_guard lock(h.platform->mutex);
            h.platform->lastScreen.reset();
        }
        // Two seconds: a countdown revived by a late step would still be running at the end.
        h.model->setCountdownSeconds(c.step == &FakePlatform::beginning ? 1 : 2);
        const size_t registered = recordings().size();
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return gate ? gate->reached.load() : h.model->screen() == Screen::countdownOf(1); }));
        std::weak_ptr<RecordingSession> session = h.model->session();
        const size_t shown = h.screens.size();
        h.model->cancelCountdown();
        if (gate) gate->open.release();
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen().kind == Kind::setup && !h.model->session(); }));
        // Once made and let go, the source is never started, or is stopped again.
        EXPECT_TRUE(h.waitFor(
            [&] {
                std::lock_guard lock(h.platform->mutex);
                const auto& source = h.platform->lastScreen;
                return source && (!source->started || source->stopped);
            },
            3s))
            << "the screen still records";
        EXPECT_TRUE(h.waitFor([&] { return session.expired(); }, 3s)) << "the take is kept alive";
        if (!gate) {
            h.loop->runFor(1500ms);  // past where the countdown would have ended
            EXPECT_EQ(recordings().size(), registered) << "the cancelled countdown began its take";
        }
        for (auto it = h.screens.begin() + long(shown); it != h.screens.end(); ++it)
            EXPECT_EQ(*it, Screen::of(Kind::setup)) << "a step undid the cancel";
        // Nothing is left half started: the next take starts and records, and goes without a trace.
        h.model->setCountdownSeconds(0);
        const size_t begun = h.events(TelemetryEvent::takeStarted).size();
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false) && h.model->elapsed() > 0; }));
        expectComputerSound(false, begun);
        std::weak_ptr<RecordingSession> next = h.model->session();
        h.model->discard();
        EXPECT_EQ(h.model->elapsed(), 0);
        // Gone before the next case, so that nothing of it (its disk check) meets the next gate.
        ASSERT_TRUE(h.waitFor([&] { return next.expired(); }));
    }
    for (const auto& recording : recordings()) EXPECT_NE(recording.at("status"), "saved") << recording.dump();
}

TEST_F(RecorderModelFlow, TakesThatCannotStartReturnToSetupWithTheReason) {
    signIn();
    const struct {
        const char* name;
        std::function<void()> arrange;
        std::string error;
    } cases[] = {
        {"no display and no camera", [&] { h.model->setDisplayId(std::nullopt); },
         RecorderError::permissionDenied("a display or a camera").what()},
        {"screen capture refused", [&] { h.platform->screenAccess = false; },
         RecorderError::permissionDenied("Screen Recording").what()},
        {"a source fails to start", [&] { h.platform->screenFailsToStart = true; }, "the fake source refused to start"},
        {"the disk is full at begin", [&] { h.platform->freeBytes = 1024; }, RecorderError::lowDiskSpace().what()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.model->setDisplayId(7);
        h.platform->screenAccess = true;
        h.platform->screenFailsToStart = false;
        h.platform->freeBytes = int64_t(1) << 40;
        c.arrange();
        const size_t before = h.events(TelemetryEvent::prepareFailed).size();
        h.model->setCountdownSeconds(0);
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return h.events(TelemetryEvent::prepareFailed).size() > before; }));
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen().kind == Kind::setup && !h.model->session(); }));
        EXPECT_EQ(h.model->error(), c.error);
        EXPECT_EQ(*h.events(TelemetryEvent::prepareFailed).back().at("error").string(), c.error);
    }
    EXPECT_EQ(h.platform->screenSettingsOpened, 1) << "a refused screen capture opens the settings";
    EXPECT_TRUE(recordings().empty());
}

// A take that stops itself on a full disk says why; its failed save can be tried again
// and, without a folder, ends saved without an address.
TEST_F(RecorderModelFlow, AFullDiskStopsTheTakeAndAFailedSaveIsOfferedAgain) {
    signIn();
    server.setFault({{"route", "folders"}, {"status", 500}});
    server.setFault({{"route", "asset"}, {"status", 500}, {"times", 1}});
    h.model->setMicId(std::nullopt);
    h.model->setComputerSound(true, false);
    recordNow();
    expectComputerSound(true);  // in the microphone's place
    h.platform->freeBytes = int64_t(100) << 20;
    ASSERT_TRUE(h.waitForScreen(Kind::failed, 60s));
    EXPECT_EQ(h.model->screen(), Screen::failed(RecordingSession::saveFailedMessage, true));
    EXPECT_EQ(h.model->error(), RecordingSession::diskFullMessage);
    h.model->retrySave();
    ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));
    EXPECT_EQ(h.model->screen(), Screen::saved(std::nullopt));
    // The notice was about that take: the next one starts without it.
    h.model->newRecording();
    EXPECT_FALSE(h.model->error());
}

TEST_F(RecorderModelFlow, BrowserSignInDeliversOrIsCancelledQuietly) {
    h.model->startSignIn();
    ASSERT_TRUE(h.waitFor([&] { return h.model->signInURL().has_value(); }));
    h.model->cancelSignIn();
    ASSERT_TRUE(h.waitForScreen(Kind::signedOut));
    EXPECT_FALSE(h.model->error());

    h.platform->signIn = std::make_shared<ScriptedSignIn>();
    h.model->startSignIn();
    h.platform->signIn->deliver(server.mintCustomToken("alice"));
    ASSERT_TRUE(h.waitForScreen(Kind::setup));
    EXPECT_EQ(h.model->user()->teamId, "t1");
    ASSERT_TRUE(h.waitFor([&] { return !h.model->isSigningIn() && !h.model->signInURL(); }));

    // A refused token is told, until the person moves on.
    h.model->signOut();
    h.model->signInWithToken("not-a-token");
    ASSERT_TRUE(h.waitForScreen(Kind::signedOut));
    EXPECT_TRUE(h.model->error());
    h.model->signOut();
    EXPECT_FALSE(h.model->error());

    // A browser that cannot be opened leaves the address to be opened by hand.
    h.platform->opensBrowser = false;
    h.platform->signIn = std::make_shared<ScriptedSignIn>();
    h.model->startSignIn();
    ASSERT_TRUE(h.waitFor([&] { return h.model->unopenedURL().has_value(); }));
    EXPECT_EQ(h.model->unopenedURL(), h.model->signInURL());
    h.model->cancelSignIn();
    ASSERT_TRUE(h.waitForScreen(Kind::signedOut));
    EXPECT_FALSE(h.model->unopenedURL());
}

}  // namespace
}  // namespace brindlow
