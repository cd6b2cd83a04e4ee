// The recorder's user flow: a fake machine (devices, permissions, synthetic sources
// and a scripted browser) in front of the real session, encoder and uploads against
// brindlow-devserver, with the main thread run by hand.

#include "RecorderModel.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "RecorderError.h"
#include "Settings.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/DevServerProcess.h"
#include "Support/FakeSources.h"
#include "Support/MemoryTokenStore.h"
#include "Support/ScriptedTransport.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Kind = Screen::Kind;
using Property = RecorderModel::Property;

}  // namespace

void PrintTo(const Screen& screen, std::ostream* out) {
    *out << screen.name();
    if (screen.kind == Screen::Kind::countdown) *out << "(" << screen.countdown << ")";
    if (screen.kind == Screen::Kind::recording) *out << (screen.paused ? "(paused)" : "(running)");
    if (screen.kind == Screen::Kind::saved) *out << "(" << screen.url.value_or("no address") << ")";
    if (screen.kind == Screen::Kind::failed) *out << "(" << screen.message << ", retry " << screen.canRetrySave << ")";
}

namespace {

using testing::MemoryTokenStore;

class RecordingSink final : public TelemetrySink {
public:
    void record(TelemetryEvent event, std::optional<std::string>, const TelemetryProps& props) override {
        std::lock_guard lock(mutex);
        events.emplace_back(event, props);
    }
    void notePhase(std::string_view, std::optional<std::string>) override {}
    std::vector<std::pair<TelemetryEvent, TelemetryProps>> of(TelemetryEvent event) {
        std::lock_guard lock(mutex);
        std::vector<std::pair<TelemetryEvent, TelemetryProps>> found;
        for (const auto& e : events)
            if (e.first == event) found.push_back(e);
        return found;
    }
    std::mutex mutex;
    std::vector<std::pair<TelemetryEvent, TelemetryProps>> events;
};

// A browser that hands back whatever token the test gives it, or nothing when cancelled.
class ScriptedSignIn final : public SignInAttempt {
public:
    std::string start() override { return "http://127.0.0.1:9/desktop/sign-in?state=s"; }
    std::string waitForToken(std::stop_token stop) override {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, stop, [&] { return token_ || cancelled_; });
        if (token_) return *token_;
        throw BrowserSignIn::Failure(BrowserSignIn::Failure::Kind::cancelled);
    }
    void cancel() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        ready_.notify_all();
    }
    void deliver(std::string token) {
        std::lock_guard lock(mutex_);
        token_ = std::move(token);
        ready_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable_any ready_;
    std::optional<std::string> token_;
    bool cancelled_ = false;
};

// Holds one step of a take on the thread that runs it until the test lets it go.
class Gate {
public:
    void arm() {
        std::lock_guard lock(mutex_);
        armed_ = true;
        reached_ = open_ = false;
    }
    void pass() {
        std::unique_lock lock(mutex_);
        if (!armed_) return;
        armed_ = false;
        reached_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
    }
    bool reached() {
        std::lock_guard lock(mutex_);
        return reached_;
    }
    void release() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false, reached_ = false, open_ = false;
};

class FakePlatform final : public RecorderPlatform {
public:
    std::vector<ScreenDisplay> availableDisplays() override {
        std::lock_guard lock(mutex);
        if (displayProblem) throw std::runtime_error(*displayProblem);
        return displays;
    }
    bool hasScreenCaptureAccess() override { return screenAccess; }
    bool requestScreenCaptureAccess() override { return false; }
    std::vector<DeviceOption> cameras() override {
        std::lock_guard lock(mutex);
        return cameraList;
    }
    Access cameraAccess(const std::optional<std::string>&) override { return camera; }
    bool requestCameraAccess(const std::string&) override { return camera == Access::granted; }
    std::vector<DeviceOption> microphones() override {
        std::lock_guard lock(mutex);
        return micList;
    }
    std::optional<std::string> defaultMicrophone() override {
        std::lock_guard lock(mutex);
        return defaultMic;
    }
    bool requestMicrophoneAccess(const std::string&) override { return true; }
    bool isAccessibilityTrusted() override { return trusted; }
    bool requestAccessibilityTrust() override { return trusted; }
    void openSettings(SettingsPane) override { ++settingsOpened; }
    bool openURL(const std::string&) override {
        ++urlsOpened;
        return opensBrowser;
    }
    std::shared_ptr<CaptureSource> makeScreenSource(const ScreenDisplay&, CaptureSize pixels, int fps) override {
        building.pass();
        auto source = std::make_shared<testing::FakeVideoSource>(pixels, fps);
        source->failStart = screenFailsToStart;
        source->beforeStart = [this] { preparing.pass(); };
        std::lock_guard lock(mutex);
        lastScreen = source;
        return source;
    }
    std::optional<CursorCapture> makeCursorCapture(const ScreenDisplay&, bool) override { return std::nullopt; }
    std::shared_ptr<CaptureSource> makeCameraSource(const std::string&) override {
        return std::make_shared<testing::FakeVideoSource>(CaptureSize{160, 120}, 30);
    }
    std::shared_ptr<CaptureSource> makeMicrophoneSource(const std::string&) override {
        return std::make_shared<testing::FakeMicSource>();
    }
    std::shared_ptr<CaptureSource> makeComputerSoundSource() override {
        if (soundProblem) return nullptr;
        auto source = std::make_shared<testing::FakeMicSource>();
        std::lock_guard lock(mutex);
        lastComputerSound = source;
        return source;
    }
    std::optional<std::string> computerSoundProblem() override {
        std::lock_guard lock(mutex);
        return soundProblem;
    }
    std::shared_ptr<SettingsStore> settings() override { return kept; }
    std::shared_ptr<SignInAttempt> makeSignIn(const std::string&) override { return signIn; }
    SegmentEncoderFactory encoderFactory() override {
        FFmpegSegmentEncoder::Options options;
        options.logEncoderChoice = false;
        options.allowHardware = false;
        return FFmpegSegmentEncoder::factory(options);
    }
    fs::path spoolDirectory() override { return spool; }
    RecordingSession::FreeSpace freeSpace() override {
        return [this](const fs::path&) {
            beginning.pass();
            return std::optional<int64_t>(freeBytes.load());
        };
    }

    std::mutex mutex;
    std::vector<ScreenDisplay> displays{{7, "Studio", {320, 240}, {0, 0, 320, 240}},
                                        {9, "", {640, 360}, {320, 0, 640, 360}}};
    std::optional<std::string> displayProblem;
    std::vector<DeviceOption> cameraList{{"cam-1", "Desk Camera"}};
    std::vector<DeviceOption> micList{{"mic-a", "Headset"}, {"mic-b", "Built-in"}};
    std::optional<std::string> defaultMic = "mic-b";
    std::optional<std::string> soundProblem;
    std::shared_ptr<testing::FakeMicSource> lastComputerSound;
    std::shared_ptr<Settings> kept;
    std::atomic<Access> camera{Access::granted};
    std::atomic<bool> screenAccess{true}, trusted{false}, screenFailsToStart{false},
        opensBrowser{true};
    Gate building, preparing, beginning;  // a take's three steps before it records
    std::shared_ptr<testing::FakeVideoSource> lastScreen;
    std::atomic<int64_t> freeBytes{int64_t(1) << 40};
    std::atomic<int> settingsOpened{0}, urlsOpened{0};
    std::shared_ptr<ScriptedSignIn> signIn = std::make_shared<ScriptedSignIn>();
    fs::path spool = fs::temp_directory_path() / ("brindlow-model-spool-" + randomUUID());
};

// The model and its hand-run main thread, with every property notification counted.
struct Harness {
    Harness(RecorderEnvironment env, std::shared_ptr<HTTPTransport> transport, std::shared_ptr<TokenStore> store) {
        RecorderModel::Dependencies d;
        d.env = std::move(env);
        d.transport = std::move(transport);
        d.store = std::move(store);
        d.platform = platform;
        d.main = loop;
        model = RecorderModel::make(std::move(d));
        model->setTelemetry(sink, [this] { ++flushes; });
        model->observe([this](Property p) {
            ++notified[p];
            if (p == Property::screen) screens.push_back(model->screen());
        });
    }
    ~Harness() {
        model.reset();
        fs::remove_all(platform->spool);
    }
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
        return loop->runUntil(condition, limit);
    }
    bool waitForScreen(Kind kind, std::chrono::milliseconds limit = 20s) {
        return waitFor([&] { return model->screen().kind == kind; }, limit);
    }
    // Runs an operation that reports its end, and waits for it.
    void run(const std::function<void(std::function<void()>)>& operation) {
        bool done = false;
        operation([&] { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
    }

    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    std::shared_ptr<LoopExecutor> loop = std::make_shared<LoopExecutor>();
    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    std::shared_ptr<RecorderModel> model;
    std::map<Property, int> notified;
    std::vector<Screen> screens;
    int flushes = 0;
};

HTTPResponse answer(int status, nlohmann::json body) { return HTTPResponse{status, body.dump()}; }

// --- account loading, with a scripted backend ---

TEST(RecorderModelLoad, EndsOnTheScreenTheAccountCallsFor) {
    const nlohmann::json refreshed{{"id_token", "id"}, {"refresh_token", "r"}, {"expires_in", "3600"}};
    const nlohmann::json userDocument{
        {"fields", {{"team", {{"mapValue", {{"fields", {{"id", {{"stringValue", "t1"}}}}}}}}}}}};
    struct Case {
        const char* name;
        bool stored;
        std::vector<HTTPResponse> answers;
        Kind screen;
        std::optional<std::string> errorPrefix;
        size_t requests;
    };
    const Case cases[] = {
        {"no stored account", false, {}, Kind::signedOut, std::nullopt, 0},
        {"refresh refused", true, {answer(400, {{"error", "TOKEN_EXPIRED"}})}, Kind::signedOut, std::nullopt, 1},
        {"user document fails", true, {answer(200, refreshed), answer(503, {{"error", "down"}})}, Kind::signedOut,
         "Couldn't load your account: ", 2},
        {"loaded", true, {answer(200, refreshed), answer(200, userDocument)}, Kind::setup, std::nullopt, 2},
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
        EXPECT_EQ(transport->requests.size(), c.requests);
        if (c.errorPrefix) {
            ASSERT_TRUE(h.model->error());
            EXPECT_EQ(h.model->error()->rfind(*c.errorPrefix, 0), 0u) << *h.model->error();
        } else {
            EXPECT_FALSE(h.model->error());
        }
        EXPECT_EQ(h.model->user().has_value(), c.screen == Kind::setup);
        EXPECT_EQ(h.flushes, c.screen == Kind::setup ? 1 : 0);
    }
}

// --- devices ---

TEST(RecorderModelDevices, ChoicesFollowWhatIsPluggedIn) {
    Harness h(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>(),
              std::make_shared<MemoryTokenStore>());
    h.run([&](auto done) { h.model->refreshDevices(done); });
    // The first display and the default microphone are chosen; a camera never is.
    EXPECT_EQ(h.model->displayId(), 7u);
    EXPECT_EQ(h.model->micId(), "mic-b");
    EXPECT_FALSE(h.model->cameraId());
    ASSERT_EQ(h.model->displays().size(), 2u);
    EXPECT_EQ(h.model->displays()[1].name, "Display");  // a monitor without a name

    h.model->setDisplayId(9);
    h.model->setCameraId("cam-1");
    h.model->setMicId("mic-a");
    {
        std::lock_guard lock(h.platform->mutex);
        h.platform->cameraList.clear();                    // the camera was unplugged
        h.platform->micList = {{"mic-b", "Built-in"}};     // and the headset too
        h.platform->displayProblem = "the display went away";
    }
    h.run([&](auto done) { h.model->refreshDevices(done); });
    EXPECT_FALSE(h.model->cameraId());
    EXPECT_EQ(h.model->micId(), "mic-b");
    EXPECT_EQ(h.model->displayId(), 9u) << "a failed listing keeps the displays it had";
    EXPECT_EQ(h.model->displays().size(), 2u);
    EXPECT_EQ(h.model->displayProblem(), "the display went away");
    EXPECT_FALSE(h.model->hasScreenCapturePermission());

    // Nothing changed: nothing is told again.
    const auto before = h.notified;
    h.run([&](auto done) { h.model->refreshDevices(done); });
    EXPECT_EQ(h.notified, before);
}

TEST(RecorderModelDevices, AChoiceOfNoneSurvivesARefreshAndOnlyAnUnpluggedDeviceFallsBack) {
    const struct {
        const char* name;
        std::function<void(RecorderModel&)> choose;
        std::function<void(FakePlatform&)> unplug;
        std::optional<uint32_t> display;
        std::optional<std::string> mic;
    } cases[] = {
        {"no microphone", [](RecorderModel& m) { m.setMicId(std::nullopt); }, {}, 7u, std::nullopt},
        {"no screen",
         [](RecorderModel& m) { m.setDisplayId(std::nullopt); },
         {},
         std::nullopt,
         "mic-b"},
        {"unplugged microphone", [](RecorderModel& m) { m.setMicId("mic-a"); },
         [](FakePlatform& p) {
             p.micList = {{"mic-b", "Built-in"}};
         },
         7u, "mic-b"},
        {"unplugged display", [](RecorderModel& m) { m.setDisplayId(9); },
         [](FakePlatform& p) { p.displays.pop_back(); }, 7u, "mic-b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>(),
                  std::make_shared<MemoryTokenStore>());
        h.run([&](auto done) { h.model->refreshDevices(done); });
        c.choose(*h.model);
        if (c.unplug) {
            std::lock_guard lock(h.platform->mutex);
            c.unplug(*h.platform);
        }
        // As when the app becomes active again on the setup screen.
        h.run([&](auto done) { h.model->refreshDevices(done); });
        EXPECT_EQ(h.model->displayId(), c.display);
        EXPECT_EQ(h.model->micId(), c.mic);
    }
}

TEST(RecorderModelDevices, PreviewCameraOnlyForAnAllowedChosenCameraWhileItCanBeSeen) {
    Harness h(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>(),
              std::make_shared<MemoryTokenStore>());
    h.run([&](auto done) { h.model->refreshDevices(done); });
    h.model->setCameraId("cam-1");
    h.run([&](auto done) { h.model->refreshCameraAccess(done); });
    EXPECT_FALSE(h.model->previewCameraId()) << "the screen is still loading";

    h.platform->camera = RecorderPlatform::Access::denied;
    h.run([&](auto done) { h.model->refreshCameraAccess(done); });
    EXPECT_FALSE(h.model->cameraAllowed());

    const auto preview = RecorderModel::preview(Screen::recording(false), true, h.loop);
    EXPECT_FALSE(preview->previewCameraId()) << "a design-time model shows no live camera";
    EXPECT_EQ(preview->displayId(), 1u);
    EXPECT_EQ(preview->displays().at(1).pixels, (CaptureSize{3024, 1964}));
    EXPECT_EQ(preview->elapsed(), 754);
    EXPECT_EQ(preview->user()->uid, "preview");
    EXPECT_FALSE(RecorderModel::preview(Screen::of(Kind::setup), false, h.loop)->displayId());
}

// The choice is kept across launches; the first refresh reads it, but never over a choice
// already made in this run. Where nothing can be recorded it is offered with the reason only.
TEST(RecorderModelDevices, ComputerSoundIsKeptAcrossLaunches) {
    const fs::path file = fs::temp_directory_path() / ("brindlow-settings-" + randomUUID()) / "settings.json";
    const auto launch = [&] {
        auto h = std::make_unique<Harness>(RecorderEnvironment::dev(), std::make_shared<testing::ScriptedTransport>(),
                                           std::make_shared<MemoryTokenStore>());
        h->platform->kept = std::make_shared<Settings>(file);
        return h;
    };
    {
        auto h = launch();
        h->run([&](auto done) { h->model->refreshDevices(done); });
        EXPECT_FALSE(h->model->computerSound()) << "off until chosen";
        h->model->setComputerSound(true);
        EXPECT_TRUE(h->waitFor([&] { return Settings(file).flag("computerSound") == true; }));
    }
    {
        auto h = launch();
        h->run([&](auto done) { h->model->refreshDevices(done); });
        EXPECT_TRUE(h->model->computerSound()) << "kept from the last launch";
        EXPECT_FALSE(h->model->computerSoundProblem());
    }
    {
        auto h = launch();
        h->model->setComputerSound(false, false);  // chosen before the devices were read
        h->run([&](auto done) { h->model->refreshDevices(done); });
        EXPECT_FALSE(h->model->computerSound());
        EXPECT_EQ(Settings(file).flag("computerSound"), true) << "a choice not to keep";
    }
    fs::remove_all(file.parent_path());
}

// --- the whole flow against the stand-in ---

class RecorderModelFlow : public ::testing::Test {
protected:
    void SetUp() override {
        h.run([&](auto done) { h.model->refreshDevices(done); });
    }
    void signIn() {
        h.model->signInWithToken(server.mintCustomToken("alice"));
        ASSERT_TRUE(h.waitForScreen(Kind::setup));
    }
    // Starts a take with no countdown and waits until it holds a second of media.
    void recordNow() {
        h.model->setCountdownSeconds(0);
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false); }));
        ASSERT_TRUE(h.waitFor([&] { return h.model->elapsed() >= 1; }));
    }
    nlohmann::json recordings() const { return server.state().at("recordings"); }

    testing::DevServerProcess server;
    Harness h{server.environment(), server.transport(), std::make_shared<MemoryTokenStore>()};
};

TEST_F(RecorderModelFlow, RecordsPausesAndSavesATakeThroughTheCountdown) {
    signIn();
    EXPECT_EQ(h.sink->of(TelemetryEvent::signedIn).size(), 1u);
    h.model->setMicId("mic-a");
    h.model->record();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false); }));
    ASSERT_TRUE(h.waitFor([&] { return h.model->elapsed() > 0.5; }));
    h.model->pause();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(true); }));
    h.model->resume();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false); }));
    h.model->stop();
    ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));

    const auto saved = h.model->screen();
    ASSERT_TRUE(saved.url);
    EXPECT_EQ(saved.url->rfind(server.environment().webApp + "/screen-recorder/view/", 0), 0u);
    const std::vector<Screen> expected{Screen::of(Kind::signingIn), Screen::of(Kind::setup), Screen::countdownOf(3),
                                       Screen::countdownOf(2),      Screen::countdownOf(1), Screen::recording(false),
                                       Screen::recording(true),     Screen::recording(false),
                                       Screen::of(Kind::finishing), saved};
    EXPECT_EQ(h.screens, expected);
    EXPECT_EQ(h.notified[Property::screen], int(expected.size())) << "one notice per real change";
    EXPECT_EQ(h.notified[Property::user], 1);
    ASSERT_EQ(recordings().size(), 1u);
    EXPECT_EQ(recordings()[0].value("status", ""), "saved") << recordings()[0].dump();

    h.model->newRecording();
    EXPECT_EQ(h.model->screen().kind, Kind::setup);
    EXPECT_FALSE(h.model->session());
    EXPECT_EQ(h.model->elapsed(), 0);
}

TEST_F(RecorderModelFlow, ACountdownCancelledMidSecondRegistersNothing) {
    signIn();
    h.model->record();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::countdownOf(2); }));
    h.loop->runFor(300ms);
    h.model->cancelCountdown();
    ASSERT_TRUE(h.waitForScreen(Kind::setup));
    EXPECT_FALSE(h.model->session());
    h.loop->runFor(2500ms);  // past where the countdown would have ended
    EXPECT_EQ(h.model->screen().kind, Kind::setup);
    EXPECT_TRUE(recordings().empty()) << recordings().dump();
}

TEST_F(RecorderModelFlow, ACancelOrDiscardWhileATakeStartsIsNeverUndone) {
    signIn();
    const struct {
        const char* name;
        Gate FakePlatform::*step;
        bool discard;
    } cases[] = {
        {"cancel while building", &FakePlatform::building, false},
        {"discard while building", &FakePlatform::building, true},
        {"cancel while preparing", &FakePlatform::preparing, false},
        {"discard while preparing", &FakePlatform::preparing, true},
        {"cancel while beginning", &FakePlatform::beginning, false},
        {"discard while beginning", &FakePlatform::beginning, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Gate& gate = (*h.platform).*c.step;
        gate.arm();
        {
            std::lock_guard lock(h.platform->mutex);
            h.platform->lastScreen.reset();
        }
        // Two seconds: a countdown revived by a late step would still be running at the end.
        h.model->setCountdownSeconds(c.step == &FakePlatform::beginning ? 1 : 2);
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return gate.reached(); }));
        std::weak_ptr<RecordingSession> session = h.model->session();
        const size_t shown = h.screens.size();
        if (c.discard)
            h.model->discard();
        else
            h.model->cancelCountdown();
        gate.release();
        ASSERT_TRUE(h.waitFor(
            [&] { return h.model->screen().kind == Kind::setup && !h.model->session(); }));
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
        for (auto it = h.screens.begin() + long(shown); it != h.screens.end(); ++it)
            EXPECT_EQ(*it, Screen::of(Kind::setup)) << "a step undid the cancel";
        // Nothing is left half started: the next take starts and records.
        h.model->setCountdownSeconds(0);
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false); }));
        std::weak_ptr<RecordingSession> next = h.model->session();
        h.model->discard();
        // Gone before the next case, so that nothing of it (its disk check) meets the next gate.
        ASSERT_TRUE(h.waitFor([&] { return next.expired(); }));
    }
    for (const auto& recording : recordings())
        EXPECT_NE(recording.at("status"), "saved") << recording.dump();
}

TEST_F(RecorderModelFlow, TakesThatCannotStartReturnToSetupWithTheReason) {
    signIn();
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string error;
        std::optional<std::string> stage;
    };
    const Case cases[] = {
        {"no display and no camera", [&] { h.model->setDisplayId(std::nullopt); },
         RecorderError::permissionDenied("a display or a camera").what(), std::nullopt},
        {"screen capture refused", [&] { h.platform->screenAccess = false; },
         RecorderError::permissionDenied("Screen Recording").what(), std::nullopt},
        {"a source fails to start", [&] { h.platform->screenFailsToStart = true; },
         "the fake source refused to start", std::nullopt},
        {"the disk is full at begin", [&] { h.platform->freeBytes = 1024; }, RecorderError::lowDiskSpace().what(),
         "begin"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        h.model->setDisplayId(7);
        h.platform->screenAccess = true;
        h.platform->screenFailsToStart = false;
        h.platform->freeBytes = int64_t(1) << 40;
        c.arrange();
        const size_t before = h.sink->of(TelemetryEvent::prepareFailed).size();
        h.model->setCountdownSeconds(0);
        h.model->record();
        ASSERT_TRUE(h.waitFor([&] { return h.sink->of(TelemetryEvent::prepareFailed).size() > before; }));
        ASSERT_TRUE(h.waitFor([&] { return h.model->screen().kind == Kind::setup && !h.model->session(); }));
        EXPECT_EQ(h.model->error(), c.error);
        const auto props = h.sink->of(TelemetryEvent::prepareFailed).back().second;
        EXPECT_EQ(*props.at("error").string(), c.error);
        EXPECT_EQ(props.count("stage") ? std::optional(*props.at("stage").string()) : std::nullopt, c.stage);
    }
    EXPECT_EQ(h.platform->settingsOpened, 1) << "a refused screen capture opens the settings";
    EXPECT_TRUE(recordings().empty());
}

TEST_F(RecorderModelFlow, RestartWhilePausedCountsDownAgainAndDiscardLeavesNothing) {
    signIn();
    recordNow();
    h.model->pause();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(true); }));
    h.model->setCountdownSeconds(1);
    h.model->restart();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::countdownOf(1); }));
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen() == Screen::recording(false); }));
    EXPECT_TRUE(h.waitFor([&] { return recordings().size() == 2; })) << "the restarted take is a new one";

    h.model->discard();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen().kind == Kind::setup && !h.model->session(); }));
    EXPECT_EQ(h.model->elapsed(), 0);
    for (const auto& recording : recordings()) EXPECT_NE(recording.at("status"), "saved") << recording.dump();

    h.model->signOut();
    EXPECT_EQ(h.model->screen().kind, Kind::signedOut);
    EXPECT_FALSE(h.model->user());
    EXPECT_FALSE(h.model->auth()->uid());
}

TEST_F(RecorderModelFlow, SavingOutcomes) {
    signIn();
    // Without a folder the take is saved without an address.
    server.setFault({{"route", "folders"}, {"status", 500}});
    recordNow();
    h.model->stop();
    ASSERT_TRUE(h.waitFor([&] { return h.model->screen().kind == Kind::saved || h.model->screen().kind == Kind::failed; }, 60s));
    EXPECT_EQ(h.model->screen(), Screen::saved(std::nullopt)) << h.model->screen().message;

    // A failed asset call can be retried from the failed screen.
    server.setFault({{"route", "folders"}, {"status", 500}, {"times", 0}});
    server.setFault({{"route", "asset"}, {"status", 500}, {"times", 1}});
    h.model->newRecording();
    ASSERT_TRUE(h.waitFor([&] { return !h.model->session(); }));
    recordNow();
    h.model->stop();
    ASSERT_TRUE(h.waitForScreen(Kind::failed, 60s));
    EXPECT_TRUE(h.model->screen().canRetrySave);
    EXPECT_EQ(h.model->screen().message, RecordingSession::saveFailedMessage);
    h.model->retrySave();
    ASSERT_TRUE(h.waitForScreen(Kind::finishing));
    ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));
    EXPECT_TRUE(h.model->screen().url);
}

TEST_F(RecorderModelFlow, ADiskFillingUpStopsTheTakeSaysWhyAndSavesIt) {
    signIn();
    recordNow();
    h.platform->freeBytes = int64_t(100) << 20;
    ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));
    EXPECT_EQ(h.model->error(), RecordingSession::diskFullMessage);
    EXPECT_EQ(recordings().at(0).value("status", ""), "saved");
    // The notice was about that take: the next one starts without it.
    h.model->newRecording();
    EXPECT_FALSE(h.model->error());
}

// Computer sound takes the microphone's place or joins it, and the take says so; where it
// cannot be recorded the take goes on without it.
TEST_F(RecorderModelFlow, ComputerSoundJoinsTheTakeOnlyWhereItCanBeRecorded) {
    signIn();
    const struct {
        const char* name;
        std::optional<std::string> mic;
        std::optional<std::string> problem;
        bool recorded;
    } cases[] = {
        {"with the microphone", "mic-a", std::nullopt, true},
        {"in the microphone's place", std::nullopt, std::nullopt, true},
        {"without a sound server", "mic-a", "No sound server is running.", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(h.platform->mutex);
            h.platform->soundProblem = c.problem;
            h.platform->lastComputerSound.reset();
        }
        h.run([&](auto done) { h.model->refreshDevices(done); });
        EXPECT_EQ(h.model->computerSoundProblem(), c.problem);
        h.model->setMicId(c.mic);
        h.model->setComputerSound(true, false);
        const size_t before = h.sink->of(TelemetryEvent::takeStarted).size();
        recordNow();
        h.model->stop();
        ASSERT_TRUE(h.waitForScreen(Kind::saved, 60s));
        const auto started = h.sink->of(TelemetryEvent::takeStarted);
        ASSERT_EQ(started.size(), before + 1);
        const auto& props = started.back().second;
        ASSERT_TRUE(props.count("computerSound"));
        EXPECT_EQ(*props.at("computerSound").boolean(), c.recorded);
        std::lock_guard lock(h.platform->mutex);
        EXPECT_EQ(h.platform->lastComputerSound && h.platform->lastComputerSound->started, c.recorded);
        h.model->newRecording();
    }
    EXPECT_EQ(recordings().size(), 3u);
}

TEST_F(RecorderModelFlow, BrowserSignInDeliversOrIsCancelledQuietly) {
    h.model->startSignIn();
    ASSERT_TRUE(h.waitFor([&] { return h.model->signInURL().has_value(); }));
    EXPECT_TRUE(h.model->isSigningIn());
    h.model->cancelSignIn();
    ASSERT_TRUE(h.waitForScreen(Kind::signedOut));
    EXPECT_FALSE(h.model->error());
    EXPECT_FALSE(h.model->isSigningIn());

    h.platform->signIn = std::make_shared<ScriptedSignIn>();
    h.model->startSignIn();
    ASSERT_TRUE(h.waitFor([&] { return h.model->signInURL().has_value(); }));
    EXPECT_TRUE(h.waitFor([&] { return h.platform->urlsOpened == 2; })) << "each attempt opens the browser";
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
