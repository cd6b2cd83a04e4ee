#include "RecorderModel.h"

#include <exception>

#include "MixedSoundSource.h"
#include "RecorderError.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/SignalStack.h"
#include "TakeRecovery.h"

namespace brindlow {

namespace {

// The preview's store keeps nothing, so a design-time model never reads a real account.
class ForgetfulTokenStore final : public TokenStore {
public:
    std::optional<StoredSession> load() override { return std::nullopt; }
    void save(const StoredSession&) override {}
    void clear() override {}
};

std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

// What record() read from the main thread, for building the session off it.
struct RecordChoices {
    RecorderUser user;
    std::optional<ScreenDisplay> display;  // only when chosen and listed
    CaptureSize pixels;
    std::optional<std::string> cameraId;  // only when listed
    std::optional<std::string> micId;     // only when listed
    bool computerSound = false;           // only where it can be recorded
    int64_t fps = 30;
    bool inspectElements = false;
};

std::shared_ptr<RecordingSession> buildSession(const RecordChoices& choices, RecorderPlatform& platform,
                                               const BrindlowAPI& api, const std::shared_ptr<ObjectPutter>& putter,
                                               const std::shared_ptr<TelemetrySink>& telemetry) {
    std::shared_ptr<CaptureSource> screen, camera, mic;
    std::optional<CursorCapture> cursor;
    if (choices.display) {
        if (!platform.hasScreenCaptureAccess()) {
            // A grant only takes effect after a relaunch, so the take cannot start either way.
            if (!platform.requestScreenCaptureAccess())
                platform.openSettings(RecorderPlatform::SettingsPane::screenCapture);
            throw RecorderError::permissionDenied("Screen Recording");
        }
        screen = platform.makeScreenSource(*choices.display, choices.pixels, int(choices.fps));
        cursor = platform.makeCursorCapture(*choices.display, choices.inspectElements);
    }
    if (choices.cameraId) {
        if (!platform.requestCameraAccess(*choices.cameraId)) throw RecorderError::permissionDenied("Camera");
        camera = platform.makeCameraSource(*choices.cameraId);
    }
    if (choices.micId) {
        if (!platform.requestMicrophoneAccess(*choices.micId)) throw RecorderError::permissionDenied("Microphone");
        mic = platform.makeMicrophoneSource(*choices.micId);
    }
    if (!screen && !camera) throw RecorderError::permissionDenied("a display or a camera");
    RecordingSession::Options options = RecorderModel::recordingOptions(choices.fps);
    options.microphone = mic != nullptr;
    std::shared_ptr<CaptureSource> sound = mic;
    if (choices.computerSound) {
        if (auto computer = platform.makeComputerSoundSource()) {
            // Mixed into the microphone's track, or in its place; never what fails a take.
            std::vector<MixedSoundSource::Input> inputs;
            if (mic) inputs.push_back({mic, true});
            inputs.push_back({computer, false});
            sound = std::make_shared<MixedSoundSource>(std::move(inputs));
            options.computerSound = true;
        }
    }
    auto session = RecordingSession::make(api, choices.user, putter, platform.spoolDirectory(), screen, camera,
                                          sound, cursor, options, platform.encoderFactory());
    if (telemetry) session->setTelemetry(telemetry);
    if (auto freeSpace = platform.freeSpace()) session->setFreeSpace(std::move(freeSpace));
    return session;
}

bool listed(const std::vector<DeviceOption>& options, const std::optional<std::string>& id) {
    if (!id) return false;
    for (const auto& option : options)
        if (option.id == *id) return true;
    return false;
}

}  // namespace

std::string_view Screen::name() const {
    switch (kind) {
        case Kind::loading: return "loading";
        case Kind::signedOut: return "signedOut";
        case Kind::signingIn: return "signingIn";
        case Kind::setup: return "setup";
        case Kind::countdown: return "countdown";
        case Kind::recording: return "recording";
        case Kind::finishing: return "finishing";
        case Kind::saved: return "saved";
        case Kind::failed: return "failed";
    }
    return "loading";
}

RecorderModel::RecorderModel(Dependencies d)
    : env_(std::move(d.env)),
      transport_(std::move(d.transport)),
      auth_(std::make_shared<AuthService>(env_, transport_, std::move(d.store))),
      api_(env_, HTTPClient(transport_, auth_)),
      putter_(std::make_shared<HTTPObjectPutter>(transport_)),
      platform_(std::move(d.platform)),
      main_(std::move(d.main)),
      activate_(std::move(d.activate)),
      minimize_(std::move(d.minimize)),
      telemetry_(std::move(d.telemetry)),
      flushTelemetry_(std::move(d.flushTelemetry)),
      recoverTakes_(d.recoverTakes) {}

RecorderModel::~RecorderModel() {
    attempt_.reset();
    if (ticker_) ticker_->cancel();
    if (signIn_) signIn_->cancel();
    signInThread_.request_stop();
    // The last owner may be the sign-in task itself, which cannot join itself.
    if (signInThread_.joinable() && signInThread_.get_id() == std::this_thread::get_id()) signInThread_.detach();
    recovery_.request_stop();
    if (recovery_.joinable() && recovery_.get_id() == std::this_thread::get_id()) recovery_.detach();
}

std::shared_ptr<RecorderModel> RecorderModel::make(Dependencies dependencies) {
    return std::shared_ptr<RecorderModel>(new RecorderModel(std::move(dependencies)));
}

std::shared_ptr<RecorderModel> RecorderModel::preview(Screen screen, bool withScreen,
                                                      std::shared_ptr<MainExecutor> main) {
    Dependencies d;
    d.env = RecorderEnvironment::dev();
    d.store = std::make_shared<ForgetfulTokenStore>();
    d.main = std::move(main);
    auto model = make(std::move(d));
    model->isPreview_ = true;
    model->screen_ = std::move(screen);
    model->user_ = RecorderUser{"preview", "team", std::nullopt, "en"};
    model->displays_ = {{1, "LG HDR 4K", {3840, 2160}}, {2, "Built-in Retina Display", {3024, 1964}}};
    model->cameras_ = {{"cam", "FaceTime HD Camera"}};
    model->mics_ = {{"mic", "MacBook Pro Microphone"}};
    if (withScreen) model->displayId_ = 1;
    model->cameraId_ = "cam";
    model->micId_ = "mic";
    model->elapsed_ = 754;
    return model;
}

void RecorderModel::observe(Observer observer) { observers_.push_back(std::move(observer)); }

void RecorderModel::setTelemetry(std::shared_ptr<TelemetrySink> telemetry, std::function<void()> flush) {
    telemetry_ = std::move(telemetry);
    flushTelemetry_ = std::move(flush);
}

RecordingSession::Options RecorderModel::recordingOptions(int64_t fps) {
    RecordingSession::Options options;
    options.fps = fps;
    options.cameraBitsPerSecond = 3'000'000;
    options.maxDurationSeconds = 9000;
    options.minFreeDiskBytes = 2'147'483'648;
    options.limits.minRangeBytes = 5'242'880;
    options.limits.minRangeSeconds = 15;
    options.limits.signBatch = 25;
    options.limits.maxAttempts = 10;
    options.limits.retryBaseSeconds = 0.1;
    options.limits.retryMaxSeconds = 30;
    options.limits.tailSeconds = 2;
    options.heartbeatSeconds = 30;
    return options;
}

std::optional<std::string> RecorderModel::previewCameraId() const {
    using Kind = Screen::Kind;
    const bool showing =
        screen_.kind == Kind::countdown || screen_.kind == Kind::recording || screen_.kind == Kind::setup;
    if (isPreview_ || !cameraAllowed_ || !cameraId_ || !showing) return std::nullopt;
    return cameraId_;
}

template <typename T>
void RecorderModel::set(T& field, T value, Property property) {
    if (field == value) return;
    field = std::move(value);
    for (const auto& observer : observers_) observer(property);
}

void RecorderModel::setScreen(Screen screen) {
    if (screen.kind != screen_.kind) set(unopenedURL_, {}, Property::unopenedURL);
    set(screen_, std::move(screen), Property::screen);
}

void RecorderModel::setSession(std::shared_ptr<RecordingSession> session) {
    set(session_, std::move(session), Property::session);
}

void RecorderModel::setDisplayId(std::optional<uint32_t> id) {
    displayChosen_ = true;
    set(displayId_, id, Property::displayId);
}
void RecorderModel::setCameraId(std::optional<std::string> id) { set(cameraId_, std::move(id), Property::cameraId); }
void RecorderModel::setMicId(std::optional<std::string> id) {
    micChosen_ = true;
    set(micId_, std::move(id), Property::micId);
}
void RecorderModel::setComputerSound(bool on, bool keep) {
    computerSoundRead_ = true;  // a choice made now wins over the one kept
    set(computerSound_, on, Property::computerSound);
    if (!keep || !platform_) return;
    background([platform = platform_, on] {
        const auto settings = platform->settings();
        try {
            if (settings) settings->setFlag("computerSound", on);
        } catch (const std::exception&) {
            // Not kept: it still holds for this run.
        }
    });
}

void RecorderModel::setFps(int64_t fps) {
    if (fps >= 1 && fps <= 120) set(fps_, fps, Property::fps);
}

void RecorderModel::onMain(std::function<void(RecorderModel&)> work) {
    main_->post([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock()) work(*self);
    });
}

void RecorderModel::background(std::function<void()> work, std::function<void(RecorderModel&)> then) {
    work_.async([weak = weak_from_this(), main = main_, work = std::move(work), then = std::move(then)] {
        work();
        if (!then) return;
        main->post([weak, then] {
            if (auto self = weak.lock()) then(*self);
        });
    });
}

void RecorderModel::record(TelemetryEvent event, const TelemetryProps& props) {
    if (telemetry_) telemetry_->record(event, std::nullopt, props);
}

// --- account ---

void RecorderModel::load(std::function<void()> done) {
    auto finish = [done] {
        if (done) done();
    };
    if (isPreview_) return finish();
    const auto uid = auth_->uid();
    if (!uid) {
        setScreen(Screen::of(Screen::Kind::signedOut));
        return finish();
    }
    auto user = std::make_shared<std::optional<RecorderUser>>();
    auto failure = std::make_shared<std::exception_ptr>();
    background(
        [api = api_, uid = *uid, user, failure] {
            try {
                *user = api.fetchUser(uid);
            } catch (...) {
                *failure = std::current_exception();
            }
        },
        [user, failure, finish](RecorderModel& self) {
            if (*failure) {
                try {
                    std::rethrow_exception(*failure);
                } catch (const RecorderError& error) {
                    if (error.kind() != RecorderError::Kind::notSignedIn)
                        self.setError("Couldn't load your account: " + std::string(error.what()));
                } catch (const std::exception& error) {
                    self.setError("Couldn't load your account: " + std::string(error.what()));
                }
                self.setScreen(Screen::of(Screen::Kind::signedOut));
                return finish();
            }
            self.set(self.user_, *user, Property::user);
            if (self.flushTelemetry_) self.flushTelemetry_();
            self.recoverTakesLater();
            self.refreshDevices([weak = self.weak_from_this(), finish] {
                if (auto model = weak.lock()) model->setScreen(Screen::of(Screen::Kind::setup));
                finish();
            });
        });
}

void RecorderModel::recoverTakesLater() {
    if (!recoverTakes_ || isPreview_ || !platform_ || !user_ || recovering_) return;
    recovering_ = true;
    // A thread of its own: uploads can take minutes and must not hold up the model's queue.
    recovery_ = std::jthread([weak = weak_from_this(), main = main_, api = api_, putter = putter_,
                              spool = platform_->spoolDirectory(), user = *user_](std::stop_token stop) {
        ensureSignalStack();
        TakeRecovery recovery(api, putter, spool, TakeRecovery::Options(recordingOptions(30).limits));
        recovery.recoverAll(user, stop);
        main->post([weak] {
            if (auto self = weak.lock()) self->recovering_ = false;
        });
    });
}

void RecorderModel::startSignIn() {
    setError(std::nullopt);
    setScreen(Screen::of(Screen::Kind::signingIn));
    signInTask(std::nullopt);
}

void RecorderModel::signInWithToken(std::string customToken) {
    setError(std::nullopt);
    setScreen(Screen::of(Screen::Kind::signingIn));
    signInTask(std::move(customToken));
}

void RecorderModel::signInTask(std::optional<std::string> customToken) {
    if (isPreview_) return;
    // One sign-in at a time: an earlier one is ended (it has reported, or is told to stop now).
    if (signIn_) signIn_->cancel();
    signInThread_ = {};
    signInThread_ = std::jthread([weak = weak_from_this(), main = main_, platform = platform_, auth = auth_,
                                  webApp = env_.webApp, telemetry = telemetry_,
                                  customToken = std::move(customToken)](std::stop_token stop) {
        ensureSignalStack();
        auto onMain = [&](std::function<void(RecorderModel&)> work) {
            main->post([weak, work = std::move(work)] {
                if (auto self = weak.lock()) work(*self);
            });
        };
        auto failed = [&](std::optional<std::string> message) {
            onMain([message](RecorderModel& self) {
                self.setError(message);
                self.setScreen(Screen::of(Screen::Kind::signedOut));
                self.set(self.signIn_, {}, Property::signIn);
                self.set(self.signInURL_, {}, Property::signInURL);
            });
        };
        try {
            std::string token;
            if (customToken) {
                token = *customToken;
            } else {
                auto attempt = platform->makeSignIn(webApp);
                onMain([attempt](RecorderModel& self) { self.set(self.signIn_, attempt, Property::signIn); });
                // A cancel that came before the attempt was stored still ends it.
                std::stop_callback cancelOnStop(stop, [attempt] { attempt->cancel(); });
                const std::string url = attempt->start();
                onMain([url](RecorderModel& self) { self.set(self.signInURL_, std::optional(url), Property::signInURL); });
                if (!platform->openURL(url))
                    onMain([url](RecorderModel& self) {
                        if (self.screen_.kind == Screen::Kind::signingIn)
                            self.set(self.unopenedURL_, std::optional(url), Property::unopenedURL);
                    });
                token = attempt->waitForToken(stop);
            }
            auth->signIn(token, stop);
            if (telemetry) telemetry->record(TelemetryEvent::signedIn, std::nullopt);
            onMain([](RecorderModel& self) {
                if (self.activate_) self.activate_();
                self.load([weak = self.weak_from_this()] {
                    if (auto model = weak.lock()) {
                        model->set(model->signIn_, {}, Property::signIn);
                        model->set(model->signInURL_, {}, Property::signInURL);
                    }
                });
            });
        } catch (const BrowserSignIn::Failure& failure) {
            failed(failure.kind() == BrowserSignIn::Failure::Kind::cancelled ? std::nullopt
                                                                               : std::optional<std::string>(failure.what()));
        } catch (const CancellationError&) {
            failed(std::nullopt);
        } catch (const std::exception& error) {
            failed(std::string(error.what()));
        }
    });
}

void RecorderModel::cancelSignIn() {
    if (signIn_) signIn_->cancel();
    signInThread_.request_stop();
}

void RecorderModel::signOut() {
    auth_->signOut();
    setError(std::nullopt);
    set(user_, {}, Property::user);
    setScreen(Screen::of(Screen::Kind::signedOut));
}

// --- devices ---

void RecorderModel::refreshDevices(std::function<void()> done) {
    if (isPreview_ || !platform_) {
        if (done) done();
        return;
    }
    struct Found {
        bool trusted = false;
        bool screenAccess = false;
        std::optional<std::vector<ScreenDisplay>> displays;
        std::optional<std::string> displayProblem;
        std::vector<DeviceOption> cameras, mics;
        std::optional<std::string> defaultMic;
        std::optional<std::string> computerSoundProblem;
        std::optional<bool> computerSoundKept;
    };
    auto found = std::make_shared<Found>();
    background(
        [platform = platform_, found, readKept = !computerSoundRead_] {
            found->trusted = platform->isAccessibilityTrusted();
            try {
                found->displays = platform->availableDisplays();
                found->screenAccess = platform->hasScreenCaptureAccess();
            } catch (const std::exception& error) {
                found->displayProblem = error.what();
            }
            found->cameras = platform->cameras();
            found->mics = platform->microphones();
            found->defaultMic = platform->defaultMicrophone();
            found->computerSoundProblem = platform->computerSoundProblem();
            if (const auto settings = platform->settings(); settings && readKept)
                found->computerSoundKept = settings->flag("computerSound");
        },
        [found, done](RecorderModel& self) {
            self.set(self.hasAccessibilityPermission_, found->trusted, Property::hasAccessibilityPermission);
            self.set(self.hasScreenCapturePermission_, found->screenAccess, Property::hasScreenCapturePermission);
            self.set(self.displayProblem_, found->displayProblem, Property::displayProblem);
            if (found->displays) {
                std::vector<DisplayOption> options;
                self.scDisplays_.clear();
                for (const auto& display : *found->displays) {
                    self.scDisplays_[display.id] = display;
                    options.push_back({display.id, display.name.empty() ? "Display" : display.name, display.pixels});
                }
                self.set(self.displays_, std::move(options), Property::displays);
            }
            // A deliberate "No screen" or "No microphone" stays; only a device that went
            // away, or a choice never made, falls back to the first display or the default source.
            bool displayListed = false;
            for (const auto& option : self.displays_) displayListed |= self.displayId_ == option.id;
            if (!displayListed && (self.displayId_ || !self.displayChosen_))
                self.set(self.displayId_,
                         self.displays_.empty() ? std::nullopt
                                                : std::optional(self.displays_.front().id),
                         Property::displayId);

            self.set(self.cameras_, found->cameras, Property::cameras);
            if (self.cameraId_ && !listed(self.cameras_, self.cameraId_))
                self.set(self.cameraId_, {}, Property::cameraId);

            self.set(self.mics_, found->mics, Property::mics);
            if (!listed(self.mics_, self.micId_) && (self.micId_ || !self.micChosen_))
                self.set(self.micId_, found->defaultMic, Property::micId);
            self.set(self.computerSoundProblem_, found->computerSoundProblem, Property::computerSoundProblem);
            if (!self.computerSoundRead_) {
                self.computerSoundRead_ = true;
                if (found->computerSoundKept) self.set(self.computerSound_, *found->computerSoundKept, Property::computerSound);
            }

            self.refreshCameraAccess(done);
        });
}

void RecorderModel::refreshCameraAccess(std::function<void()> done) {
    if (isPreview_ || !platform_) {
        if (done) done();
        return;
    }
    auto allowed = std::make_shared<bool>(false);
    background(
        [platform = platform_, cameraId = cameraId_, allowed] {
            switch (platform->cameraAccess(cameraId)) {
                case RecorderPlatform::Access::granted: *allowed = true; break;
                case RecorderPlatform::Access::undetermined:
                    *allowed = cameraId && platform->requestCameraAccess(*cameraId);
                    break;
                case RecorderPlatform::Access::denied: *allowed = false; break;
            }
        },
        [allowed, done](RecorderModel& self) {
            self.set(self.cameraAllowed_, *allowed, Property::cameraAllowed);
            if (done) done();
        });
}

void RecorderModel::requestAccessibilityPermission() {
    if (isPreview_ || !platform_) return;
    auto trusted = std::make_shared<bool>(false);
    background(
        [platform = platform_, trusted] {
            if (!platform->requestAccessibilityTrust())
                platform->openSettings(RecorderPlatform::SettingsPane::accessibility);
            *trusted = platform->isAccessibilityTrusted();
        },
        [trusted](RecorderModel& self) {
            self.set(self.hasAccessibilityPermission_, *trusted, Property::hasAccessibilityPermission);
        });
}

// --- takes ---

void RecorderModel::record() {
    if (!user_ || isPreview_ || !platform_) return;
    if (session_ || attempt_) return;  // a take is already on its way
    setError(std::nullopt);

    RecordChoices choices;
    choices.user = *user_;
    if (displayId_) {
        const auto display = scDisplays_.find(*displayId_);
        for (const auto& option : displays_) {
            if (option.id == *displayId_ && display != scDisplays_.end()) {
                choices.display = display->second;
                choices.pixels = option.pixels;
            }
        }
    }
    if (listed(cameras_, cameraId_)) choices.cameraId = cameraId_;
    if (listed(mics_, micId_)) choices.micId = micId_;
    choices.computerSound = computerSound_ && !computerSoundProblem_;
    choices.fps = fps_;
    choices.inspectElements = hasAccessibilityPermission_;
    const auto attempt = std::make_shared<TakeAttempt>();
    attempt_ = attempt;

    auto made = std::make_shared<std::shared_ptr<RecordingSession>>();
    auto failure = std::make_shared<std::exception_ptr>();
    background(
        [choices, platform = platform_, api = api_, putter = putter_, telemetry = telemetry_, made,
         failure] {
            try {
                *made = buildSession(choices, *platform, api, putter, telemetry);
            } catch (...) {
                *failure = std::current_exception();
            }
        },
        [attempt, made, failure](RecorderModel& self) {
            // Given up while it was built: its sources never started, so it just goes.
            if (attempt != self.attempt_) return;
            if (*failure) return self.prepareFailed(attempt, describe(*failure), false);
            const auto session = *made;
            session->setOnPhase([weak = self.weak_from_this(), main = self.main_,
                                 from = std::weak_ptr<RecordingSession>(session)](const RecordingSession::Phase& phase) {
                main->post([weak, from, phase] {
                    if (auto self = weak.lock()) self->apply(phase, from.lock());
                });
            });
            self.setSession(session);
            if (self.countdownSeconds_ > 0)
                self.setScreen(Screen::countdownOf(self.countdownSeconds_));
            auto prepareFailure = std::make_shared<std::exception_ptr>();
            self.background(
                [session, prepareFailure] {
                    try {
                        session->prepare();
                    } catch (...) {
                        *prepareFailure = std::current_exception();
                    }
                },
                [attempt, prepareFailure](RecorderModel& model) {
                    // Given up while the sources started: the cancel behind it releases them.
                    if (attempt != model.attempt_) return;
                    if (*prepareFailure)
                        return model.prepareFailed(attempt, describe(*prepareFailure), false);
                    model.runCountdown(attempt);
                });
        });
}

void RecorderModel::prepareFailed(const Attempt& attempt, const std::string& message,
                                  bool atBegin) {
    if (attempt != attempt_) return;
    attempt_.reset();
    TelemetryProps props{{"error", message}};
    if (atBegin) props.emplace("stage", std::string("begin"));
    record(TelemetryEvent::prepareFailed, props);
    setError(message);
    const auto session = session_;
    auto finish = [session](RecorderModel& self) {
        if (self.session_ == session) self.setSession(nullptr);
        self.setScreen(Screen::of(Screen::Kind::setup));
    };
    if (!session) return finish(*this);
    background([session] { session->releaseSources(); }, finish);
}

void RecorderModel::runCountdown(const Attempt& attempt) {
    countdownStep(attempt, countdownSeconds_);
}

void RecorderModel::countdownStep(const Attempt& attempt, int n) {
    if (attempt != attempt_) return;  // cancelled or superseded
    if (n > 0) {
        setScreen(Screen::countdownOf(n));
        ticks_.asyncAt(SteadyClock::now() + std::chrono::seconds(1), [weak = weak_from_this(), main = main_, attempt, n] {
            main->post([weak, attempt, n] {
                if (auto self = weak.lock()) self->countdownStep(attempt, n - 1);
            });
        });
        return;
    }
    const auto session = session_;
    if (!session) return;
    auto failure = std::make_shared<std::exception_ptr>();
    background(
        [session, failure] {
            try {
                session->begin();
            } catch (...) {
                *failure = std::current_exception();
            }
        },
        [attempt, failure](RecorderModel& self) {
            // Discarded while it began: the cancel queued behind begin ends the take.
            if (attempt != self.attempt_) return;
            if (*failure) return self.prepareFailed(attempt, describe(*failure), true);
            self.attempt_.reset();
            self.startTicker();
        });
}

void RecorderModel::startTicker() {
    stopTicker();
    const auto session = session_;
    if (!session) return;
    ticker_ = std::make_unique<RepeatingTimer>(
        ticks_, std::chrono::milliseconds(250), [weak = weak_from_this(), main = main_, session] {
            const double elapsed = session->elapsedSeconds();
            const int64_t backlog = session->backlogBytes();
            main->post([weak, elapsed, backlog] {
                if (auto self = weak.lock(); self && self->ticker_) {
                    self->set(self->elapsed_, elapsed, Property::elapsed);
                    self->set(self->backlogBytes_, backlog, Property::backlogBytes);
                }
            });
        });
    ticker_->start();
}

void RecorderModel::stopTicker() {
    if (!ticker_) return;
    ticker_->cancel();
    ticker_.reset();
}

void RecorderModel::apply(const RecordingSession::Phase& phase, const std::shared_ptr<RecordingSession>& from) {
    if (!from || from != session_) return;  // a discarded take's last words
    using Kind = RecordingSession::Phase::Kind;
    switch (phase.kind) {
        case Kind::idle:
        case Kind::armed: return;
        case Kind::recording: return setScreen(Screen::recording(false));
        case Kind::paused: return setScreen(Screen::recording(true));
        case Kind::finishing:
            if (!phase.message.empty()) setError(phase.message);  // why the take stopped by itself
            return setScreen(Screen::of(Screen::Kind::finishing));
        case Kind::failed:
            stopTicker();
            setScreen(Screen::failed(phase.message, phase.canRetrySave));
            return releaseSourcesLater();
        case Kind::saved:
            stopTicker();
            setScreen(Screen::saved(phase.folderId ? std::optional(env_.recordingURL(*phase.folderId)) : std::nullopt));
            return releaseSourcesLater();
    }
}

void RecorderModel::releaseSourcesLater() {
    if (const auto session = session_) background([session] { session->releaseSources(); });
}

void RecorderModel::cancelCountdown() { cancelTake(false); }

void RecorderModel::cancelTake(bool resetElapsed) {
    attempt_.reset();
    stopTicker();
    // The take leaves the model at once, so nothing it still reports can bring it back.
    // Its cancel is queued behind whatever it is doing (building, preparing, beginning),
    // and a next take's start behind the cancel, so the devices are free by then.
    if (const auto session = session_) background([session] { session->cancel(); });
    setSession(nullptr);
    if (resetElapsed) set(elapsed_, 0.0, Property::elapsed);
    setScreen(Screen::of(Screen::Kind::setup));
}

void RecorderModel::onSession(std::function<void(RecordingSession&)> call, std::function<void(RecorderModel&)> then) {
    background(
        [session = session_, call = std::move(call)] {
            if (!session) return;
            try {
                call(*session);
            } catch (const std::exception&) {
                // The session reports its own failures through its phases.
            }
        },
        std::move(then));
}

void RecorderModel::pause() {
    if (!session_) return;
    try {
        session_->pause();
    } catch (const std::exception&) {
        // Not recording: nothing to pause.
    }
}

void RecorderModel::resume() {
    if (!session_) return;
    try {
        session_->resume();
    } catch (const std::exception&) {
        // Not paused: nothing to resume.
    }
}

void RecorderModel::stop() {
    onSession([](RecordingSession& session) { session.stop(); });
}

void RecorderModel::restart() {
    if (!session_) return;
    stopTicker();
    set(elapsed_, 0.0, Property::elapsed);
    const auto attempt = std::make_shared<TakeAttempt>();
    attempt_ = attempt;
    onSession([](RecordingSession& session) { session.restart(); },
              [attempt](RecorderModel& self) { self.runCountdown(attempt); });
}

void RecorderModel::discard() { cancelTake(true); }

void RecorderModel::retrySave() {
    onSession([](RecordingSession& session) { session.save(); });
}

void RecorderModel::newRecording() {
    // What the last take said (a full disk, a failed start) is about that take only.
    setError(std::nullopt);
    setSession(nullptr);
    set(elapsed_, 0.0, Property::elapsed);
    set(backlogBytes_, int64_t(0), Property::backlogBytes);
    setScreen(Screen::of(Screen::Kind::setup));
    refreshDevices();
}

void RecorderModel::minimize() {
    if (minimize_) minimize_();
}

void RecorderModel::openSettings(RecorderPlatform::SettingsPane pane) {
    if (isPreview_ || !platform_) return;
    background([platform = platform_, pane] { platform->openSettings(pane); });
}

void RecorderModel::openURL(const std::string& url) {
    if (isPreview_ || !platform_) return;
    auto opened = std::make_shared<bool>(false);
    const Screen::Kind from = screen_.kind;
    background([platform = platform_, url, opened] { *opened = platform->openURL(url); },
               [url, opened, from](RecorderModel& self) {
                   if (!*opened && self.screen_.kind == from)
                       self.set(self.unopenedURL_, std::optional(url), Property::unopenedURL);
               });
}

// --- design time ---

void RecorderModel::showPreviewState(const PreviewState& state) {
    if (!isPreview_) return;
    set(user_, state.signedIn ? std::optional(RecorderUser{"preview", "team", std::nullopt, "en"}) : std::nullopt,
        Property::user);
    set(error_, state.error, Property::error);
    set(elapsed_, state.elapsed, Property::elapsed);
    set(backlogBytes_, state.backlogBytes, Property::backlogBytes);
    set(cameraAllowed_, state.cameraAllowed, Property::cameraAllowed);
    set(hasAccessibilityPermission_, state.hasAccessibilityPermission, Property::hasAccessibilityPermission);
    set(hasScreenCapturePermission_, state.hasScreenCapturePermission, Property::hasScreenCapturePermission);
    set(displayProblem_, state.displayProblem, Property::displayProblem);
    set(computerSound_, state.computerSound, Property::computerSound);
    set(computerSoundProblem_, state.computerSoundProblem, Property::computerSoundProblem);
    set(screen_, state.screen, Property::screen);
    set(signInURL_, state.signInURL, Property::signInURL);
    set(unopenedURL_, state.unopenedURL, Property::unopenedURL);
}

}  // namespace brindlow
