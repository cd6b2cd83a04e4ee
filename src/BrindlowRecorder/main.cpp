// brindlow-recorder: sign in, list devices and record from the command line.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Capture/ComputerSoundSource.h"
#include "LinuxPlatform.h"
#include "RecorderError.h"
#include "RecorderRuntime.h"
#include "TakeRecovery.h"
#include "HTTP/CurlTransport.h"

using namespace brindlow;

namespace {

constexpr const char* usage = R"(Usage: brindlow-recorder [--env dev|prod] [--stand-in PORTS] COMMAND [OPTIONS]

Commands:
  sign-in     sign in through the browser (or with --token)
  sign-out    forget the signed-in user
  whoami      show who is signed in
  devices     list displays, cameras and microphones
  record      record the screen, a camera and a microphone
  recover     finish the takes an earlier run could not upload or file

Global options:
  --env NAME        dev or prod (default $BRINDLOW_ENV, else the one the app was built for)
  --stand-in PORTS  point dev at a local brindlow-devserver: "W,M,L,G" or a base port
                    (default $BRINDLOW_STAND_IN; without it dev uses its configured ports)
  --help            this text; COMMAND --help explains a command
)";

constexpr const char* signInUsage = R"(Usage: brindlow-recorder sign-in [--token TOKEN]

Opens the sign-in page in the browser (with xdg-open when a desktop is there) and
waits for it to come back to this machine. With --token, signs in with a custom
token instead (as the local stand-in mints them). Ctrl-C gives up.
)";

constexpr const char* recordUsage = R"(Usage: brindlow-recorder record [OPTIONS]

Records until --seconds of recording have passed or Ctrl-C, then uploads and
files the recording and prints its address. When attached to a terminal, "p"
and Enter pauses and resumes.

Options:
  --display ID|none   the display to record (default: the first)
  --camera ID|none    the camera (default: none)
  --mic ID|none       the microphone (default: the default source)
  --computer-sound    also record what the computer plays, mixed with the microphone
                      (or alone with --mic none)
  --fps N             screen frames per second (default 30)
  --seconds N         stop after N seconds of recording (at most 9000)
  --no-countdown      start at once instead of after 3 seconds
  --capture x11|portal  how the screen is captured (default: the settings' choice,
                      else the portal on a Wayland desktop and X11 elsewhere)
)";

std::atomic<bool> interrupted{false};
std::atomic<int> interrupts{0};

void onInterrupt(int) {
    interrupted = true;
    ++interrupts;
}

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

constexpr int usageError = 2;

// Options after the command: "--name value" pairs and bare "--flag"s.
struct Arguments {
    std::map<std::string, std::string> values;
    std::vector<std::string> flags;
    std::optional<std::string> error;

    static Arguments parse(const std::vector<std::string>& args, const std::vector<std::string>& withValue,
                           const std::vector<std::string>& bare) {
        Arguments parsed;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (std::find(bare.begin(), bare.end(), a) != bare.end()) {
                parsed.flags.push_back(a);
            } else if (std::find(withValue.begin(), withValue.end(), a) != withValue.end()) {
                if (i + 1 >= args.size()) {
                    parsed.error = a + " needs a value";
                    return parsed;
                }
                parsed.values[a] = args[++i];
            } else {
                parsed.error = "unknown option " + a;
                return parsed;
            }
        }
        return parsed;
    }
    bool has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
    std::optional<std::string> value(const std::string& name) const {
        const auto it = values.find(name);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    }
};

int fail(const std::string& message, int status = 1) {
    std::fprintf(stderr, "brindlow-recorder: %s\n", message.c_str());
    return status;
}

// The whole text as a finite number, or nothing.
std::optional<double> number(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

// The command line's main thread: runs what the model posts and keeps the hang
// watchdog fed while it waits, however long the model's work takes.
class MainLoop {
public:
    MainLoop(std::shared_ptr<LoopExecutor> executor, AppTelemetry& app) : executor_(std::move(executor)), app_(app) {}

    // Runs until `done` answers true; `each` runs at every turn (at least every 50 ms).
    void until(const std::function<bool()>& done, const std::function<void()>& each = {}) {
        executor_->runUntil(
            [&] {
                app_.watchdog().ping();
                if (each) each();
                return done();
            },
            std::chrono::hours(24 * 365));
    }

private:
    std::shared_ptr<LoopExecutor> executor_;
    AppTelemetry& app_;
};

std::string accountError(const RecorderModel& model) {
    return model.error().value_or(RecorderError::notSignedIn().what());
}

int signIn(RecorderModel& model, MainLoop& loop, const Arguments& args) {
    using Kind = Screen::Kind;
    if (const auto token = args.value("--token")) model.signInWithToken(*token);
    else model.startSignIn();
    bool shown = false, cancelled = false;
    loop.until([&] { return model.screen().kind == Kind::setup || model.screen().kind == Kind::signedOut; },
               [&] {
                   if (!shown && model.signInURL()) {
                       shown = true;
                       std::printf("Open this address to sign in:\n  %s\n", model.signInURL()->c_str());
                       std::fflush(stdout);
                   }
                   if (interrupted && !cancelled) {
                       cancelled = true;
                       model.cancelSignIn();
                   }
               });
    if (model.screen().kind != Kind::setup) return fail(model.error().value_or("sign-in cancelled"));
    std::printf("Signed in as %s.\n", model.user()->uid.c_str());
    return 0;
}

int whoami(RecorderModel& model, MainLoop& loop) {
    bool loaded = false;
    model.load([&] { loaded = true; });
    loop.until([&] { return loaded; });
    if (!model.user()) return fail(accountError(model));
    const RecorderUser& user = *model.user();
    std::printf("%s (team %s%s)\n", user.uid.c_str(), user.teamId.c_str(),
                user.languageCode ? (", language " + *user.languageCode).c_str() : "");
    return 0;
}

std::string bytesText(int64_t bytes);

std::string takeAddress(const RecorderEnvironment& env, const RecoveryOutcome& outcome) {
    return outcome.folderId ? env.recordingURL(*outcome.folderId)
                            : env.webApp + "/screen-recorder/view/" + outcome.aid;
}

int recover(RecorderModel& model, MainLoop& loop, const std::filesystem::path& spool) {
    bool loaded = false;
    model.load([&] { loaded = true; });
    loop.until([&] { return loaded; });
    if (!model.user()) return fail(accountError(model));
    const RecorderUser user = *model.user();
    TakeRecovery recovery(model.api(), std::make_shared<HTTPObjectPutter>(std::make_shared<CurlTransport>()), spool,
                          TakeRecovery::Options(RecorderModel::recordingOptions(30).limits));
    const auto takes = recovery.pending();
    if (takes.empty()) {
        std::printf("Nothing to recover.\n");
        return 0;
    }
    std::printf("%zu take%s to recover:\n", takes.size(), takes.size() == 1 ? "" : "s");
    for (const auto& take : takes) {
        int64_t bytes = 0;
        for (const auto& [key, stream] : take.media) bytes += stream.closedBytes();
        if (take.createdAt.empty()) std::printf("  %s  (its record is unreadable)\n", take.aid.c_str());
        else
            std::printf("  %s  recorded %s by %s, %s in closed ranges\n", take.aid.c_str(), take.createdAt.c_str(),
                        take.uid.c_str(), bytesText(bytes).c_str());
    }
    std::fflush(stdout);
    // Uploads run off the main thread, whose loop keeps the hang watchdog fed.
    std::vector<RecoveryOutcome> outcomes;
    std::mutex lock;
    std::atomic<bool> done{false};
    std::jthread worker([&](std::stop_token stop) {
        for (const auto& take : takes) {
            if (stop.stop_requested() || interrupted) break;
            auto outcome = recovery.recover(take.aid, user, stop);
            std::lock_guard guard(lock);
            outcomes.push_back(std::move(outcome));
        }
        done = true;
    });
    size_t printed = 0;
    bool failed = false;
    auto report = [&] {
        std::lock_guard guard(lock);
        for (; printed < outcomes.size(); ++printed) {
            const auto& o = outcomes[printed];
            if (o.kind == RecoveryOutcome::Kind::saved)
                std::printf("%s: saved. %s\n", o.aid.c_str(), takeAddress(model.env(), o).c_str());
            else
                std::printf("%s: %s: %s\n", o.aid.c_str(), std::string(o.kindName()).c_str(), o.reason.c_str());
            failed = failed || o.kind == RecoveryOutcome::Kind::failed;
            std::fflush(stdout);
        }
    };
    loop.until([&] { return done.load(); }, [&] {
        if (interrupted) worker.request_stop();
        report();
    });
    worker.join();
    report();
    return failed ? 1 : 0;
}

int devices(std::optional<LinuxPlatform::CaptureRoute> route) {
    std::printf("Displays:\n");
    try {
        LinuxPlatform platform(route);
        const bool portal = platform.captureRoute() == LinuxPlatform::CaptureRoute::portal;
        const auto displays = portal ? std::vector<ScreenDisplay>{} : platform.availableDisplays();
        if (portal) std::printf("  1  Screen  (the desktop asks which monitor when a take starts)\n");
        else if (displays.empty()) std::printf("  none\n");
        for (const auto& d : displays) {
            const CaptureSize fitted = d.pixels.fittedToEncoder();
            std::printf("  %u  %s  %lldx%lld at %lld,%lld, recorded at %lldx%lld\n", d.id, d.name.c_str(),
                        static_cast<long long>(d.pixels.width), static_cast<long long>(d.pixels.height),
                        static_cast<long long>(d.bounds.x), static_cast<long long>(d.bounds.y),
                        static_cast<long long>(fitted.width), static_cast<long long>(fitted.height));
        }
    } catch (const std::exception& error) {
        std::printf("  none (%s)\n", error.what());
    }
    std::printf("Cameras:\n");
    const auto cameras = CameraSource::available();
    if (cameras.empty()) std::printf("  none\n");
    for (const auto& c : cameras) std::printf("  %s  %s (%s)\n", c.id.c_str(), c.name.c_str(), c.path.c_str());
    std::printf("Microphones:\n");
    const auto mics = MicrophoneSource::available();
    if (mics.empty()) std::printf("  none\n");
    for (const auto& m : mics) std::printf("  %s  %s%s\n", m.id.c_str(), m.name.c_str(), m.isDefault ? "  (default)" : "");
    const auto soundProblem = ComputerSoundSource::problem();
    std::printf("Computer sound (--computer-sound):\n  %s\n",
                soundProblem ? ("unavailable: " + *soundProblem).c_str() : "the default output");
    return 0;
}

std::string clockText(double seconds) {
    const int total = int(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d", total / 60, total % 60);
    return text;
}

std::string bytesText(int64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024) std::snprintf(text, sizeof text, "%lld KB", static_cast<long long>(bytes / 1024));
    else std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / (1024 * 1024));
    return text;
}

// A line typed on standard input, when one is waiting.
std::optional<std::string> typedLine() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0 || !(input.revents & POLLIN)) return std::nullopt;
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
}

// What `record` was asked for, checked before anything starts.
struct RecordRequest {
    double seconds = 0;  // 0: until Ctrl-C
    int64_t fps = 30;
    std::optional<std::string> display, camera, mic;  // as given: an id or "none"
    bool computerSound = false;
    bool countdown = true;

    // The request, or the message for a usage error.
    static std::variant<RecordRequest, std::string> from(const Arguments& args) {
        RecordRequest request;
        if (const auto text = args.value("--seconds")) {
            const auto seconds = number(*text);
            const double limit = RecorderModel::recordingOptions(30).maxDurationSeconds;
            if (!seconds || *seconds <= 0 || *seconds > limit)
                return "--seconds is a number of seconds above 0 and at most " + std::to_string(int(limit)) +
                       ", not " + *text;
            request.seconds = *seconds;
        }
        if (const auto text = args.value("--fps")) {
            const auto fps = number(*text);
            if (!fps || *fps != std::floor(*fps) || *fps < 1 || *fps > 120)
                return "--fps is a whole number from 1 to 120, not " + *text;
            request.fps = int64_t(*fps);
        }
        request.display = args.value("--display");
        request.camera = args.value("--camera");
        request.mic = args.value("--mic");
        request.countdown = !args.has("--no-countdown");
        request.computerSound = args.has("--computer-sound");
        return request;
    }
};

struct Problem {
    std::string message;
    int status = 1;
};

// Applies the device choices to the model; what stands in the way otherwise.
std::optional<Problem> choose(RecorderModel& model, const RecordRequest& request) {
    auto unknown = [](const std::string& what, const std::string& id) {
        return Problem{"no " + what + " " + id + "; brindlow-recorder devices lists them", usageError};
    };
    if (request.display && *request.display != "none") {
        if (model.displayProblem()) return Problem{*model.displayProblem()};
        std::optional<uint32_t> found;
        for (const auto& d : model.displays())
            if (std::to_string(d.id) == *request.display) found = d.id;
        if (!found) return unknown("display", *request.display);
        model.setDisplayId(found);
    } else if (request.display) {
        model.setDisplayId(std::nullopt);
    }
    auto pick = [&](const std::optional<std::string>& wanted, const std::vector<DeviceOption>& options,
                    const std::string& what) -> std::variant<std::optional<std::string>, Problem> {
        if (!wanted || *wanted == "none") return std::optional<std::string>();
        for (const auto& option : options)
            if (option.id == *wanted) return std::optional(option.id);
        return unknown(what, *wanted);
    };
    const auto camera = pick(request.camera, model.cameras(), "camera");
    if (const auto* problem = std::get_if<Problem>(&camera)) return *problem;
    model.setCameraId(std::get<0>(camera));
    if (request.mic) {
        const auto mic = pick(request.mic, model.mics(), "microphone");
        if (const auto* problem = std::get_if<Problem>(&mic)) return *problem;
        model.setMicId(std::get<0>(mic));
    }
    model.setFps(request.fps);
    // Only for this run: the app's kept choice is the app's.
    model.setComputerSound(request.computerSound, false);
    if (!model.displayId() && !model.cameraId()) {
        if (request.display == "none")
            return Problem{"nothing to record: --display none needs a camera (--camera ID; "
                           "brindlow-recorder devices lists them)",
                           usageError};
        if (model.displayProblem()) return Problem{*model.displayProblem()};
        return Problem{"nothing to record: no display is listed and no camera is chosen"};
    }
    return std::nullopt;
}

std::string describeChoice(const RecorderModel& model) {
    auto name = [](const auto& options, const auto& id) -> std::string {
        for (const auto& option : options)
            if (id && option.id == *id) return option.name;
        return {};
    };
    std::string text = model.displayId() ? "display " + name(model.displays(), model.displayId()) : "no display";
    if (model.cameraId()) text += ", camera " + name(model.cameras(), model.cameraId());
    if (model.micId()) text += ", microphone " + name(model.mics(), model.micId());
    if (model.computerSound() && !model.computerSoundProblem()) text += ", computer sound";
    return text;
}

int record(RecorderModel& model, MainLoop& loop, const RecordRequest& request) {
    using Kind = Screen::Kind;
    bool listed = false;
    model.refreshDevices([&] { listed = true; });
    loop.until([&] { return listed || interrupted; });
    if (!listed) return fail("cancelled");
    // Device ids are checked before the account is, so a typing error is told first.
    if (auto problem = choose(model, request)) return fail(problem->message, problem->status);

    bool loaded = false;
    model.load([&] { loaded = true; });
    loop.until([&] { return loaded || interrupted; });
    if (!loaded) return fail("cancelled");
    if (!model.user()) return fail(accountError(model));
    // Loading listed the devices again and may have picked defaults; the request stands.
    if (auto problem = choose(model, request)) return fail(problem->message, problem->status);

    if (request.computerSound && model.computerSoundProblem())
        std::fprintf(stderr, "brindlow-recorder: recording without the computer's sound: %s\n",
                     model.computerSoundProblem()->c_str());
    std::printf("Recording %s.\n", describeChoice(model).c_str());
    std::fflush(stdout);
    model.setCountdownSeconds(request.countdown ? 3 : 0);
    model.record();

    const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    Screen shown;
    bool stopping = false, retried = false, started = false, finished = false, live = false;
    int status = 1;
    // An interrupt while the take is saved gives the saving a few seconds; a second one,
    // or the end of those, leaves the rest to recovery.
    int interruptsSeen = 0;
    std::optional<SteadyClock::time_point> leaveAt;
    auto lastLine = SteadyClock::now() - std::chrono::seconds(10);
    loop.until([&] { return finished; }, [&] {
        const Screen& screen = model.screen();
        const auto& session = model.session();
        if (screen != shown) {
            if (live && terminal) std::printf("\n");
            live = false;
            switch (screen.kind) {
                case Kind::countdown: std::printf("%d…\n", screen.countdown); break;
                case Kind::recording:
                    if (!started && session && session->currentAid()) {
                        started = true;
                        std::printf("Recording. Watch it live: %s/screen-recorder/view/%s\n", model.env().webApp.c_str(),
                                    session->currentAid()->c_str());
                        if (terminal) std::printf("Ctrl-C stops; p and Enter pauses and resumes.\n");
                    }
                    break;
                case Kind::finishing:
                    if (model.error()) std::printf("%s\n", model.error()->c_str());
                    std::printf("Finishing…\n");
                    break;
                case Kind::saved:
                    std::printf("Saved.\n");
                    if (screen.url) std::printf("%s\n", screen.url->c_str());
                    status = 0;
                    finished = true;
                    break;
                case Kind::failed:
                    if (screen.canRetrySave && !retried) {
                        // Filing the recording, or its upload from the spool, gets one more try.
                        retried = true;
                        std::printf("%s\nTrying to save again…\n", screen.message.c_str());
                        model.retrySave();
                    } else {
                        status = fail(screen.message);
                        finished = true;
                    }
                    break;
                default: break;
            }
            std::fflush(stdout);
            shown = screen;
        }
        if (finished) return;
        // Back on setup with nothing under way: the take could not start, or was cancelled.
        if (screen.kind == Kind::setup && !session && !model.isStartingTake()) {
            status = model.error() ? fail(*model.error()) : fail("cancelled");
            finished = true;
            return;
        }
        const bool starting = screen.kind == Kind::countdown || model.isStartingTake();
        if (starting && interrupted && !stopping) {
            stopping = true;
            model.cancelCountdown();
        }
        if (screen.kind == Kind::finishing || screen.kind == Kind::failed) {
            const int seen = interrupts.load();
            if (seen > interruptsSeen && !leaveAt) {
                std::printf("Saving what was recorded; Ctrl-C again leaves it for brindlow-recorder recover.\n");
                std::fflush(stdout);
                leaveAt = SteadyClock::now() + std::chrono::seconds(5);
                interruptsSeen = seen;
            }
            if (leaveAt && (interrupts.load() > interruptsSeen || SteadyClock::now() >= *leaveAt)) {
                status = fail("stopped before the take was filed; it is kept on this computer and "
                              "brindlow-recorder recover (or the next record) finishes it");
                interrupted = true;
                finished = true;
                return;
            }
        }
        if (screen.kind != Kind::recording || !session) return;
        const double elapsed = session->elapsedSeconds();
        if (!stopping && (interrupted || (request.seconds > 0 && elapsed >= request.seconds))) {
            stopping = true;
            // This interrupt stops the take; the next one may leave its saving.
            interruptsSeen = interrupts.load();
            model.stop();
            return;
        }
        if (terminal) {
            if (const auto line = typedLine(); line && *line == "p") {
                if (screen.paused) model.resume();
                else model.pause();
            }
        }
        const auto now = SteadyClock::now();
        if (!stopping && (terminal || now - lastLine >= std::chrono::seconds(5))) {
            // Frames the encoder could not keep up with are said, never hidden.
            const int64_t dropped = session->droppedFrames();
            const std::string droppedText =
                dropped > 0 ? "  dropped " + std::to_string(dropped) + (dropped == 1 ? " frame" : " frames") : "";
            std::printf(terminal ? "\r%s %s  upload backlog %s%s   " : "%s %s  upload backlog %s%s\n",
                        screen.paused ? "paused   " : "recording", clockText(elapsed).c_str(),
                        bytesText(session->backlogBytes()).c_str(), droppedText.c_str());
            std::fflush(stdout);
            live = true;
            lastLine = now;
        }
    });
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::optional<std::string> envName, standIn;
    if (const char* e = std::getenv("BRINDLOW_ENV"); e && *e) envName = e;
    if (const char* s = std::getenv("BRINDLOW_STAND_IN"); s && *s) standIn = s;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (args[i] == "--env" || args[i] == "--stand-in") {
            if (i + 1 >= args.size()) return fail(args[i] + " needs a value", usageError);
            (args[i] == "--env" ? envName : standIn) = args[i + 1];
            ++i;
            continue;
        }
        if (args[i].rfind("--", 0) == 0) return fail("unknown option " + args[i], usageError);
        break;
    }
    if (i >= args.size()) {
        std::fputs(usage, stderr);
        return usageError;
    }
    const std::string command = args[i];
    const std::vector<std::string> rest(args.begin() + long(i) + 1, args.end());
    const bool help = std::find(rest.begin(), rest.end(), "--help") != rest.end();

    Arguments parsed;
    if (command == "sign-in") {
        if (help) return std::fputs(signInUsage, stdout), 0;
        parsed = Arguments::parse(rest, {"--token"}, {});
    } else if (command == "record") {
        if (help) return std::fputs(recordUsage, stdout), 0;
        parsed = Arguments::parse(rest, {"--display", "--camera", "--mic", "--fps", "--seconds", "--capture"},
                                  {"--no-countdown", "--computer-sound"});
    } else if (command == "devices") {
        if (help) return std::printf("Usage: brindlow-recorder devices [--capture x11|portal]\n"), 0;
        parsed = Arguments::parse(rest, {"--capture"}, {});
    } else if (command == "sign-out" || command == "whoami" || command == "recover") {
        if (help) return std::printf("Usage: brindlow-recorder %s\n", command.c_str()), 0;
        parsed = Arguments::parse(rest, {}, {});
    } else {
        std::fprintf(stderr, "brindlow-recorder: unknown command %s\n\n%s", command.c_str(), usage);
        return usageError;
    }
    if (parsed.error) return fail(*parsed.error, usageError);
    std::optional<RecordRequest> request;
    if (command == "record") {
        auto checked = RecordRequest::from(parsed);
        if (const auto* error = std::get_if<std::string>(&checked)) return fail(*error, usageError);
        request = std::get<RecordRequest>(checked);
    }
    std::optional<LinuxPlatform::CaptureRoute> route;
    if (const auto capture = parsed.value("--capture")) {
        route = LinuxPlatform::parseCaptureRoute(*capture);
        if (!route) return fail("--capture is x11 or portal, not " + *capture, usageError);
    }
    if (command == "devices") return devices(route);

    auto executor = std::make_shared<LoopExecutor>();
    RecorderRuntime runtime;
    try {
        // Only a take's run finishes old takes on the side; `recover` does it in the open.
        runtime = makeRecorderRuntime(RuntimeOptions{envName, standIn, executor, {}, {},
                                                     std::make_shared<LinuxPlatform>(route), command == "record"});
    } catch (const std::invalid_argument& error) {
        return fail(error.what(), usageError);
    }
    installInterruptHandler();
    AppTelemetry& app = *runtime.appTelemetry;
    app.launch(true);
    MainLoop loop(executor, app);
    RecorderModel& model = *runtime.model;
    int status = 0;
    try {
        if (command == "sign-in") status = signIn(model, loop, parsed);
        else if (command == "sign-out") {
            model.signOut();
            std::printf("Signed out.\n");
        } else if (command == "whoami") status = whoami(model, loop);
        else if (command == "recover") status = recover(model, loop, LinuxPlatform().spoolDirectory());
        else status = record(model, loop, *request);
    } catch (const std::exception& error) {
        status = fail(error.what());
    }
    app.quit();
    if (command == "record" && interrupted && model.screen().kind == Screen::Kind::finishing) {
        // The saving still runs on the model's queue; the spool keeps the take for recovery.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return finishRun(runtime, status);
}
