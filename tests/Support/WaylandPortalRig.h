#pragma once

// A private Wayland desktop with the ScreenCast portal, for a test: a session bus,
// PipeWire (with WirePlumber, and pipewire-pulse for PulseAudio clients), a headless
// sway with one output, HEADLESS-1, the portal backend and xdg-desktop-portal, all in
// one temporary directory and stopped by PID in reverse order when the object goes away.
//
// Works as root on a machine without a GPU. sway refuses to run as root, so it alone
// runs as nobody, which is why the runtime directory belongs to nobody. The portal
// backend is the rebuild made by scripts/build-portal-backend: the packaged one never
// starts a cast without DMA-BUF.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Support/Subprocess.h"

#ifndef BRINDLOW_PORTAL_BACKEND_PATH
#define BRINDLOW_PORTAL_BACKEND_PATH ""
#endif

extern char** environ;

namespace brindlow::testing {

class WaylandPortalRig {
  public:
    // `background` as sway takes it: "#rrggbb".
    explicit WaylandPortalRig(int width = 1920, int height = 1080,
                              const std::string& background = "#ff0000",
                              std::string backend = BRINDLOW_PORTAL_BACKEND_PATH)
        : backend_(std::move(backend)) {
        if (backend_.empty() || access(backend_.c_str(), X_OK) != 0) {
            backendMissing_ = true;
            problem_ = "the rebuilt portal backend is missing (" +
                       (backend_.empty() ? "no path" : backend_) +
                       "): run scripts/build-portal-backend";
            return;
        }
        for (const char* tool : {"dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "sway",
                                 "swaymsg", "setpriv", "gdbus"}) {
            if (!onPath(tool)) {
                problem_ =
                    std::string("not installed: ") + tool + " (scripts/install-deps installs it)";
                return;
            }
        }
        if (access(portalPath, X_OK) != 0) {
            problem_ = std::string("not installed: ") + portalPath +
                       " (Debian package xdg-desktop-portal)";
            return;
        }
        start(width, height, background);
    }

    ~WaylandPortalRig() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) stop(it->pid);
        for (const auto& [name, value] : savedEnvironment_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::error_code ignored;
        if (!dir_.empty() && !std::getenv("BRINDLOW_KEEP_TEST_FILES"))
            std::filesystem::remove_all(dir_, ignored);
    }
    WaylandPortalRig(const WaylandPortalRig&) = delete;
    WaylandPortalRig& operator=(const WaylandPortalRig&) = delete;

    bool ready() const { return problem_.empty(); }
    // Why the rig is not ready, with the end of the failing component's log.
    std::string problem() const { return problem_; }
    // Only the rebuilt backend is missing: scripts/build-portal-backend has not run here.
    bool backendMissing() const { return backendMissing_; }
    // A test may skip instead of failing only outside CI, and only for a backend not built yet.
    bool maySkip() const {
        const char* ci = std::getenv("CI");
        return backendMissing_ && !(ci && *ci);
    }

    // Makes this desktop the process's session: its bus, Wayland display, runtime directory
    // and sound server. The previous values come back when the rig goes away.
    void use() const {
        for (const auto& [name, value] : clientEnvironment()) {
            if (!savedEnvironment_.count(name)) {
                const char* old = std::getenv(name.c_str());
                savedEnvironment_[name] = old ? std::optional<std::string>(old) : std::nullopt;
            }
            setenv(name.c_str(), value.c_str(), 1);
        }
    }
    // The variables use() sets, for a child started with its own environment.
    std::map<std::string, std::string> clientEnvironment() const {
        return {
            {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
            {"XDG_RUNTIME_DIR", runtimeDir()},
            {"WAYLAND_DISPLAY", waylandDisplay_},
            {"XDG_SESSION_TYPE", "wayland"},
            {"XDG_CURRENT_DESKTOP", "sway"},
            // libpulse will not look for the server in a runtime directory owned by another user.
            {"PULSE_SERVER", "unix:" + (dir_ / "run" / "pulse" / "native").string()}};
    }

    // Paints the whole output one colour ("#rrggbb"); the screen changes, so a cast gets a frame.
    bool setBackground(const std::string& colour) const {
        return runCommand({"swaymsg", "-s", swaySocket_, "output", "HEADLESS-1", "bg", colour,
                           "solid_color"})
                   .exitCode == 0;
    }

    std::string runtimeDir() const { return (dir_ / "run").string(); }
    std::string busAddress() const { return "unix:path=" + (dir_ / "run" / "bus").string(); }
    const std::string& waylandDisplay() const { return waylandDisplay_; }
    const std::string& swaySocket() const { return swaySocket_; }
    // Where each component's output goes, for a look after a failure (BRINDLOW_KEEP_TEST_FILES=1
    // keeps the directory).
    std::string logPath(const std::string& component) const {
        return (dir_ / (component + ".log")).string();
    }

    static constexpr const char* portalPath = "/usr/libexec/xdg-desktop-portal";

    // Stops one component now, as if it had died (e.g. "xdg-desktop-portal-wlr").
    bool stopComponent(const std::string& name) {
        for (auto it = processes_.begin(); it != processes_.end(); ++it) {
            if (it->name != name) continue;
            stop(it->pid);
            processes_.erase(it);
            return true;
        }
        return false;
    }

  private:
    struct Process {
        std::string name;
        pid_t pid = -1;
    };
    using Clock = std::chrono::steady_clock;
    static constexpr auto readinessLimit = std::chrono::seconds(10);

    void start(int width, int height, const std::string& background) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "brindlow-wayland-XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            problem_ = "mkdtemp failed";
            return;
        }
        dir_ = pattern;
        const passwd* nobody = getpwnam("nobody");
        const group* nogroup = getgrnam("nogroup");
        if (!nobody || !nogroup) {
            problem_ = "no user nobody or group nogroup";
            return;
        }
        // sway, as nobody, reads its config from here and writes its sockets to run/.
        chmod(dir_.c_str(), 0755);
        const auto run = dir_ / "run";
        for (const char* sub : {"run", "config", "home", "services"})
            std::filesystem::create_directories(dir_ / sub);
        if (chown(run.c_str(), nobody->pw_uid, nogroup->gr_gid) != 0 ||
            chmod(run.c_str(), 0700) != 0) {
            problem_ = "cannot hand " + run.string() + " to nobody";
            return;
        }
        // No service directory with anything in it: nothing is D-Bus-activated behind the
        // rig's back (a second portal, the document portal's FUSE mount).
        std::ofstream(dir_ / "bus.conf")
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
               "1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:tmpdir=/tmp</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <servicedir>"
            << (dir_ / "services").string()
            << "</servicedir>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "</busconfig>\n";
        std::ofstream(dir_ / "sway.conf")
            << "output HEADLESS-1 resolution " << width << "x" << height << " position 0,0 bg "
            << background << " solid_color\n"
            << "default_border none\n"
            << "xwayland disable\n";
        std::ofstream(dir_ / "xdpw.conf")
            << "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n";
        // A microphone (a virtual source that a player feeds, as a call app's is) and
        // speakers, whose monitor is what the computer plays. The server's own test sine
        // would do for the first without a player, but under load it stops for good
        // ("audiotestsrc: out of buffers").
        std::filesystem::create_directories(dir_ / "config" / "pipewire" / "pipewire.conf.d");
        std::ofstream(dir_ / "config" / "pipewire" / "pipewire.conf.d" / "devices.conf")
            << "context.objects = [\n"
               "  { factory = adapter args = { factory.name = support.null-audio-sink "
               "node.name = testmic node.description = \"Test microphone\" media.class = Audio/Source/Virtual "
               "audio.position = [ MONO ] object.linger = true } }\n"
               "  { factory = adapter args = { factory.name = support.null-audio-sink "
               "node.name = speakers node.description = \"Speakers\" media.class = Audio/Sink "
               "audio.position = [ MONO ] object.linger = true } } ]\n";
        // The machine's own sound cards, cameras and Bluetooth stay out of the test's desktop.
        for (const char* sub : {"main.lua.d", "bluetooth.lua.d"})
            std::filesystem::create_directories(dir_ / "config" / "wireplumber" / sub);
        std::ofstream(dir_ / "config" / "wireplumber" / "main.lua.d" / "51-no-devices.lua")
            << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
               "libcamera_monitor.enabled = false\n";
        std::ofstream(dir_ / "config" / "wireplumber" / "bluetooth.lua.d" / "51-no-devices.lua")
            << "bluez_monitor.enabled = false\n";

        std::map<std::string, std::string> session = {
            {"XDG_RUNTIME_DIR", run.string()},
            {"XDG_CONFIG_HOME", (dir_ / "config").string()},
            {"HOME", (dir_ / "home").string()},
            {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
            {"XDG_CURRENT_DESKTOP", "sway"},
            {"XDG_SESSION_TYPE", "wayland"},
            {"WAYLAND_DISPLAY", ""},
            {"DISPLAY", ""},
            {"PULSE_SERVER", ""},
            {"SWAYSOCK", ""},
        };
        const auto exists = [](const std::filesystem::path& p) {
            return [p] { return std::filesystem::exists(p); };
        };

        if (!launch("dbus-daemon",
                    {"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(),
                     "--address=" + busAddress(), "--nofork", "--nopidfile", "--syslog-only"},
                    session, exists(run / "bus")))
            return;
        // A desktop's sound server runs its graph ahead of ordinary processes (realtime,
        // through RTKit); above them here too, so a CPU hog in a test starves the recorder,
        // not the server the recorder reads from.
        if (!launch("pipewire", {"nice", "-n", "-10", "pipewire"}, session, exists(run / "pipewire-0"))) return;
        // Without the session manager no stream is ever linked.
        if (!launch("wireplumber", {"wireplumber"}, session, [] { return true; })) return;
        // Ready when PulseAudio clients see the microphone and the speakers: a stream asked
        // for either before WirePlumber has set them up would be linked somewhere else.
        auto pulseClient = session;
        pulseClient["PULSE_SERVER"] = "unix:" + (run / "pulse" / "native").string();
        if (!launch("pipewire-pulse", {"nice", "-n", "-10", "pipewire-pulse"}, session, [&] {
                if (!std::filesystem::exists(run / "pulse" / "native")) return false;
                const auto info = runCommand({"pactl", "info"}, false, pulseClient).output;
                const auto sources = runCommand({"pactl", "list", "short", "sources"}, false, pulseClient).output;
                return info.find("Default Sink: speakers") != std::string::npos &&
                       sources.find("testmic") != std::string::npos;
            }))
            return;

        auto compositor = session;
        compositor["WLR_BACKENDS"] = "headless";
        // A runner with a GPU would otherwise pick GLES2.
        compositor["WLR_RENDERER"] = "pixman";
        compositor["WLR_LIBINPUT_NO_DEVICES"] = "1";
        pid_t swayPid = -1;
        const auto swayReady = [&] {
            if (swayPid <= 0) return false;
            swaySocket_ = (run / ("sway-ipc." + std::to_string(nobody->pw_uid) + "." +
                                  std::to_string(swayPid) + ".sock"))
                              .string();
            if (!std::filesystem::exists(swaySocket_)) return false;
            std::error_code error;
            for (const auto& entry : std::filesystem::directory_iterator(run, error)) {
                const std::string name = entry.path().filename().string();
                if (name.starts_with("wayland-") && !name.ends_with(".lock") && entry.is_socket()) {
                    waylandDisplay_ = name;
                    return true;
                }
            }
            return false;
        };
        // setpriv execs sway, so sway keeps the PID (and names its IPC socket after it).
        if (!launch("sway",
                    {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid),
                     "--regid=" + std::to_string(nogroup->gr_gid), "--clear-groups", "sway", "-c",
                     (dir_ / "sway.conf").string()},
                    compositor, swayReady, &swayPid))
            return;

        auto client = session;
        client["WAYLAND_DISPLAY"] = waylandDisplay_;
        // xdg-desktop-portal caches the backend's source types when it starts, so the backend
        // must own its name first.
        if (!launch("xdg-desktop-portal-wlr",
                    {backend_, "-c", (dir_ / "xdpw.conf").string(), "-l", "INFO"}, client, [&] {
                        return runCommand(
                                   {"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus",
                                    "--object-path", "/org/freedesktop/DBus", "--method",
                                    "org.freedesktop.DBus.NameHasOwner",
                                    "org.freedesktop.impl.portal.desktop.wlr"},
                                   true, client)
                                   .output.find("true") != std::string::npos;
                    }))
            return;
        launch("xdg-desktop-portal", {portalPath}, client, [&] {
            const auto answer = runCommand(
                {"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop",
                 "--object-path", "/org/freedesktop/portal/desktop", "--method",
                 "org.freedesktop.DBus.Properties.Get", "org.freedesktop.portal.ScreenCast",
                 "AvailableSourceTypes"},
                true, client);
            return answer.exitCode == 0 && answer.output.find("uint32 0") == std::string::npos &&
                   answer.output.find("uint32") != std::string::npos;
        });
    }

    // Starts one component with its output in its log and polls `isReady` every 10 ms, up to
    // the limit; a component that exits or never gets ready becomes the rig's problem.
    bool launch(const std::string& name, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& environment,
                const std::function<bool()>& isReady, pid_t* pidOut = nullptr) {
        const pid_t pid = spawnLogged(args, environment, logPath(name));
        if (pid <= 0) {
            problem_ = name + " could not be started";
            return false;
        }
        processes_.push_back({name, pid});
        if (pidOut) *pidOut = pid;
        const auto deadline = Clock::now() + readinessLimit;
        while (true) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                processes_.back().pid = -1;
                problem_ = name + " exited at start (" +
                           (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                              : "signal " + std::to_string(WTERMSIG(status))) +
                           ")" + logTail(name);
                return false;
            }
            if (isReady()) return true;
            if (Clock::now() > deadline) {
                problem_ = name + " was not ready within " +
                           std::to_string(readinessLimit.count()) + " s" + logTail(name);
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    static bool onPath(const std::string& tool) {
        const char* path = std::getenv("PATH");
        std::istringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string dir; std::getline(dirs, dir, ':');)
            if (!dir.empty() && access((dir + "/" + tool).c_str(), X_OK) == 0) return true;
        return false;
    }

    // An empty value removes the variable.
    static std::vector<std::string> mergedEnvironment(
        const std::map<std::string, std::string>& changes) {
        std::vector<std::string> merged;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (!changes.count(entry.substr(0, entry.find('=')))) merged.push_back(entry);
        }
        for (const auto& [name, value] : changes)
            if (!value.empty()) merged.push_back(name + "=" + value);
        return merged;
    }

    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings) result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    }

    static pid_t spawnLogged(std::vector<std::string> args,
                             const std::map<std::string, std::string>& environment,
                             const std::string& log) {
        auto env = mergedEnvironment(environment);
        auto argv = pointers(args);
        auto envp = pointers(env);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        pid_t pid = -1;
        // The PATH lookup uses the test's own PATH, like the tools the tests run.
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }

    static CommandResult runCommand(const std::vector<std::string>& args, bool quietStderr = true,
                                    const std::map<std::string, std::string>& environment = {}) {
        if (environment.empty()) return testing::runCommand(args, quietStderr);
        // env takes its -u options before any assignment.
        std::vector<std::string> withEnvironment = {"env"};
        for (const auto& [name, value] : environment)
            if (value.empty()) withEnvironment.insert(withEnvironment.end(), {"-u", name});
        for (const auto& [name, value] : environment)
            if (!value.empty()) withEnvironment.push_back(name + "=" + value);
        withEnvironment.insert(withEnvironment.end(), args.begin(), args.end());
        return testing::runCommand(withEnvironment, quietStderr);
    }

    std::string logTail(const std::string& name, size_t lines = 8) const {
        std::ifstream in(logPath(name));
        std::vector<std::string> all;
        for (std::string line; std::getline(in, line);) all.push_back(line);
        std::ostringstream out;
        out << "; the end of its log:";
        for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i)
            out << "\n  " << all[i];
        return all.empty() ? "; its log is empty" : out.str();
    }

    // SIGTERM, up to 2 s to exit, then SIGKILL.
    static void stop(pid_t pid) {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (waitpid(pid, nullptr, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::string backend_;
    bool backendMissing_ = false;
    std::string problem_;
    std::filesystem::path dir_;
    std::vector<Process> processes_;
    std::string waylandDisplay_;
    std::string swaySocket_;
    mutable std::map<std::string, std::optional<std::string>> savedEnvironment_;
};

}  // namespace brindlow::testing
