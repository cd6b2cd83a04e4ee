// brindlow-recorder: sign in, list devices and record from the command line.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Cursor/AtspiElementInspector.h"
#include "Cursor/X11CursorSampler.h"
#include "Diagnostics/AppTelemetry.h"
#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "RecorderContext.h"
#include "RecorderError.h"
#include "RecordingSession.h"
#include "SignIn/BrowserSignIn.h"
#include "Support/Paths.h"

extern char** environ;

using namespace brindlow;

namespace {

constexpr const char* usage = R"(Usage: brindlow-recorder [--env dev|prod] [--stand-in PORTS] COMMAND [OPTIONS]

Commands:
  sign-in     sign in through the browser (or with --token)
  sign-out    forget the signed-in user
  whoami      show who is signed in
  devices     list displays, cameras and microphones
  record      record the screen, a camera and a microphone

Global options:
  --env NAME        dev (default, or $BRINDLOW_ENV) or prod
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
  --fps N             screen frames per second (default 30)
  --seconds N         stop after N seconds of recording
  --no-countdown      start at once instead of after 3 seconds
)";

std::atomic<bool> interrupted{false};

void onInterrupt(int) { interrupted = true; }

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

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

int fail(const std::string& message) {
    std::fprintf(stderr, "brindlow-recorder: %s\n", message.c_str());
    return 1;
}

bool hasDesktop() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
}

// Hands the address to the desktop's browser; whatever happens, the address was printed.
void openInBrowser(const std::string& url) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>("xdg-open"), const_cast<char*>(url.c_str()), nullptr};
    pid_t pid = -1;
    if (posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ) == 0) {
        // Reaped by a thread of its own so that no zombie stays while we wait.
        std::thread([pid] { waitpid(pid, nullptr, 0); }).detach();
    }
    posix_spawn_file_actions_destroy(&actions);
}

int signIn(RecorderContext& context, AppTelemetry& app, const Arguments& args) {
    std::string token;
    if (const auto given = args.value("--token")) {
        token = *given;
    } else {
        auto attempt = BrowserSignIn::make(context.env.webApp);
        const std::string url = attempt->start();
        std::printf("Open this address to sign in:\n  %s\n", url.c_str());
        std::fflush(stdout);
        if (hasDesktop()) openInBrowser(url);
        std::stop_source giveUp;
        std::jthread watcher([&giveUp](std::stop_token stop) {
            while (!stop.stop_requested() && !interrupted) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (interrupted) giveUp.request_stop();
        });
        try {
            token = attempt->waitForToken(giveUp.get_token());
        } catch (const CancellationError&) {
            return fail("sign-in cancelled");
        } catch (const BrowserSignIn::Failure& failure) {
            return fail(failure.what());
        }
    }
    context.auth->signIn(token);
    app.telemetry()->record(TelemetryEvent::signedIn, std::nullopt);
    std::printf("Signed in as %s.\n", context.auth->uid().value_or("?").c_str());
    return 0;
}

int whoami(RecorderContext& context) {
    const auto uid = context.auth->uid();
    if (!uid) return fail(RecorderError::notSignedIn().what());
    const RecorderUser user = context.api().fetchUser(*uid);
    std::printf("%s (team %s%s)\n", uid->c_str(), user.teamId.c_str(),
                user.languageCode ? (", language " + *user.languageCode).c_str() : "");
    return 0;
}

int devices() {
    const DeviceList list = listDevices();
    std::printf("Displays:\n");
    if (list.displays.empty()) std::printf("  none%s\n", list.displayError ? (" (" + *list.displayError + ")").c_str() : "");
    for (const auto& d : list.displays) {
        const CaptureSize fitted = d.pixels.fittedToEncoder();
        std::printf("  %u  %s  %lldx%lld at %lld,%lld, recorded at %lldx%lld\n", d.id, d.name.c_str(),
                    static_cast<long long>(d.pixels.width), static_cast<long long>(d.pixels.height),
                    static_cast<long long>(d.bounds.x), static_cast<long long>(d.bounds.y),
                    static_cast<long long>(fitted.width), static_cast<long long>(fitted.height));
    }
    std::printf("Cameras:\n");
    if (list.cameras.empty()) std::printf("  none\n");
    for (const auto& c : list.cameras) std::printf("  %s  %s (%s)\n", c.id.c_str(), c.name.c_str(), c.path.c_str());
    std::printf("Microphones:\n");
    if (list.microphones.empty()) std::printf("  none\n");
    for (const auto& m : list.microphones)
        std::printf("  %s  %s%s\n", m.id.c_str(), m.name.c_str(), m.isDefault ? "  (default)" : "");
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

int record(RecorderContext& context, AppTelemetry& app, const Arguments& args) {
    const auto uid = context.auth->uid();
    if (!uid) return fail(RecorderError::notSignedIn().what());
    const int fps = std::atoi(args.value("--fps").value_or("30").c_str());
    if (fps < 1 || fps > 120) return fail("--fps is a number from 1 to 120");
    const double seconds = std::atof(args.value("--seconds").value_or("0").c_str());

    const DeviceList list = listDevices();
    auto pick = [](const auto& items, const std::optional<std::string>& wanted, auto id, auto fallback)
        -> std::optional<std::decay_t<decltype(items.front())>> {
        if (wanted == "none") return std::nullopt;
        if (!wanted) return fallback(items);
        for (const auto& item : items)
            if (id(item) == *wanted) return item;
        throw std::invalid_argument("no device " + *wanted);
    };
    std::optional<ScreenDisplay> display;
    std::optional<CameraDevice> camera;
    std::optional<MicrophoneDevice> mic;
    try {
        display = pick(list.displays, args.value("--display"), [](const ScreenDisplay& d) { return std::to_string(d.id); },
                       [](const auto& all) { return all.empty() ? std::nullopt : std::optional(all.front()); });
        camera = pick(list.cameras, args.value("--camera"), [](const CameraDevice& c) { return c.id; },
                      [](const auto&) { return std::optional<CameraDevice>(); });
        mic = pick(list.microphones, args.value("--mic"), [](const MicrophoneDevice& m) { return m.id; },
                   [](const auto& all) -> std::optional<MicrophoneDevice> {
                       for (const auto& m : all)
                           if (m.isDefault) return m;
                       return std::nullopt;
                   });
    } catch (const std::invalid_argument& error) {
        return fail(std::string(error.what()) + "; brindlow-recorder devices lists them");
    }
    if (!display && !camera) return fail(RecorderError::permissionDenied("a display or a camera").what());

    std::shared_ptr<ScreenSource> screen;
    std::optional<CursorCapture> cursor;
    if (display) {
        screen = std::make_shared<ScreenSource>(*display, display->pixels, fps);
        try {
            const DisplayRect b = display->bounds;
            cursor = CursorCapture{std::make_shared<X11CursorSampler>(),
                                   Rect{double(b.x), double(b.y), double(b.width), double(b.height)}, 60,
                                   AtspiElementInspector::isTrusted() ? std::make_shared<AtspiElementInspector>()
                                                                      : nullptr};
        } catch (const std::exception&) {
            // No pointer to follow: the take records without a cursor log.
        }
    }
    std::shared_ptr<CameraSource> cameraSource = camera ? std::make_shared<CameraSource>(*camera) : nullptr;
    std::shared_ptr<MicrophoneSource> micSource = mic ? std::make_shared<MicrophoneSource>(*mic) : nullptr;

    const BrindlowAPI api = context.api();
    RecorderUser user;
    try {
        user = api.fetchUser(*uid);
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    RecordingSession::Options options;
    options.fps = fps;
    auto session = RecordingSession::make(api, user, std::make_shared<HTTPObjectPutter>(context.transport),
                                          userDataDirectory() / "spool", screen, cameraSource, micSource, cursor,
                                          options, FFmpegSegmentEncoder::factory());
    session->setTelemetry(app.telemetry());

    std::printf("Recording %s%s%s.\n", display ? ("display " + display->name).c_str() : "no display",
                camera ? (", camera " + camera->name).c_str() : "", mic ? (", microphone " + mic->name).c_str() : "");
    try {
        session->prepare();
    } catch (const std::exception& error) {
        app.telemetry()->record(TelemetryEvent::prepareFailed, std::nullopt, {{"error", std::string(error.what())}});
        session->releaseSources();
        return fail(error.what());
    }
    if (!args.has("--no-countdown")) {
        for (int n = 3; n > 0 && !interrupted; --n) {
            std::printf("%d…\n", n);
            std::fflush(stdout);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }
    if (interrupted) {
        session->cancel();
        return fail("cancelled");
    }
    try {
        session->begin();
    } catch (const std::exception& error) {
        app.telemetry()->record(TelemetryEvent::prepareFailed, std::nullopt,
                                {{"error", std::string(error.what())}, {"stage", "countdown"}});
        session->releaseSources();
        return fail(error.what());
    }

    const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    std::printf(terminal ? "Recording. Ctrl-C stops; p and Enter pauses and resumes.\n" : "Recording.\n");
    auto lastLine = std::chrono::steady_clock::now();
    for (;;) {
        app.watchdog().ping();
        const auto phase = session->phase().kind;
        if (phase != RecordingSession::Phase::Kind::recording && phase != RecordingSession::Phase::Kind::paused) break;
        const double elapsed = session->elapsedSeconds();
        if (interrupted || (seconds > 0 && elapsed >= seconds)) break;
        if (terminal) {
            if (const auto line = typedLine(); line && *line == "p") {
                if (phase == RecordingSession::Phase::Kind::paused) session->resume();
                else session->pause();
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (terminal || now - lastLine >= std::chrono::seconds(5)) {
            const bool paused = session->phase().kind == RecordingSession::Phase::Kind::paused;
            std::printf(terminal ? "\r%s %s  upload backlog %s   " : "%s %s  upload backlog %s\n",
                        paused ? "paused   " : "recording", clockText(elapsed).c_str(),
                        bytesText(session->backlogBytes()).c_str());
            std::fflush(stdout);
            lastLine = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (terminal) std::printf("\n");

    std::printf("Finishing…\n");
    std::fflush(stdout);
    using Kind = RecordingSession::Phase::Kind;
    std::string error;
    auto phase = session->phase();
    if (phase.kind == Kind::recording || phase.kind == Kind::paused) {
        try {
            session->stop();
        } catch (const std::exception& e) {
            error = e.what();
        }
    } else {
        // The duration limit stopped the take; its stop is finishing on its own.
        while (session->phase().kind != Kind::saved && session->phase().kind != Kind::failed)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    phase = session->phase();
    if (phase.kind == Kind::failed && phase.canRetrySave) {
        // The streams are all uploaded; filing the recording gets one more try.
        try {
            session->save();
            error.clear();
        } catch (const std::exception& e) {
            error = e.what();
        }
        phase = session->phase();
    }
    int status = 0;
    if (phase.kind == Kind::saved) {
        std::printf("Saved.\n");
        if (phase.folderId) std::printf("%s\n", context.env.recordingURL(*phase.folderId).c_str());
    } else {
        status = fail(!error.empty() ? error : phase.message);
    }
    session->releaseSources();
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
        if ((args[i] == "--env" || args[i] == "--stand-in") && i + 1 < args.size()) {
            (args[i] == "--env" ? envName : standIn) = args[i + 1];
            ++i;
            continue;
        }
        break;
    }
    if (i >= args.size()) {
        std::fputs(usage, stderr);
        return 2;
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
        parsed = Arguments::parse(rest, {"--display", "--camera", "--mic", "--fps", "--seconds"}, {"--no-countdown"});
    } else if (command == "sign-out" || command == "whoami" || command == "devices") {
        if (help) return std::printf("Usage: brindlow-recorder %s\n", command.c_str()), 0;
        parsed = Arguments::parse(rest, {}, {});
    } else {
        std::fprintf(stderr, "brindlow-recorder: unknown command %s\n\n%s", command.c_str(), usage);
        return 2;
    }
    if (parsed.error) return fail(*parsed.error), 2;
    if (command == "devices") return devices();

    RecorderEnvironment env;
    try {
        env = chooseEnvironment(envName, standIn);
    } catch (const std::invalid_argument& error) {
        return fail(error.what()), 2;
    }
    installInterruptHandler();
    RecorderContext context = RecorderContext::make(env);
    auto app = AppTelemetry::make(std::make_shared<BrindlowAPI>(context.api()), context.appInfo(),
                                  AppTelemetry::defaultDirectory());
    app->launch(true);
    int status = 0;
    try {
        if (command == "sign-in") status = signIn(context, *app, parsed);
        else if (command == "sign-out") {
            context.auth->signOut();
            std::printf("Signed out.\n");
        } else if (command == "whoami") status = whoami(context);
        else status = record(context, *app, parsed);
    } catch (const std::exception& error) {
        status = fail(error.what());
    }
    app->quit();
    return status;
}
