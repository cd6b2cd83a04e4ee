#pragma once

// A private Wayland desktop with the ScreenCast portal: a session bus, PipeWire (with
// WirePlumber, and pipewire-pulse for PulseAudio clients), a headless sway with one
// output, HEADLESS-1, the portal backend and xdg-desktop-portal, all in one temporary
// directory and stopped in reverse order when the object goes away.
//
// Works as root on a machine without a GPU. sway refuses to run as root, so it alone
// runs as nobody, which is why the runtime directory belongs to nobody. The portal
// backend is the rebuild made by scripts/build-portal-backend: the packaged one never
// starts a cast without DMA-BUF.

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Support/Subprocess.h"

#ifndef BRINDLOW_PORTAL_BACKEND_PATH
#define BRINDLOW_PORTAL_BACKEND_PATH ""
#endif

namespace brindlow::testing {

class WaylandPortalRig {
public:
    // `background` as sway takes it: "#rrggbb".
    explicit WaylandPortalRig(int width = 1280, int height = 720, const std::string& background = "#ff0000") {
        if ((backendMissing_ = access(backend_.c_str(), X_OK) != 0))
            problem_ = "the rebuilt portal backend is missing (" + backend_ + "): run scripts/build-portal-backend";
        else
            start(width, height, background);
    }
    ~WaylandPortalRig() {
        while (!processes_.empty()) processes_.pop_back();
        std::error_code ignored;
        if (!dir_.empty() && !std::getenv("BRINDLOW_KEEP_TEST_FILES")) std::filesystem::remove_all(dir_, ignored);
    }
    WaylandPortalRig(const WaylandPortalRig&) = delete;
    WaylandPortalRig& operator=(const WaylandPortalRig&) = delete;

    // The one desktop of a test binary, started again after a test stopped part of it.
    static WaylandPortalRig& shared() {
        static std::unique_ptr<WaylandPortalRig> rig;
        if (!rig || rig->disturbed_) rig.reset(), rig = std::make_unique<WaylandPortalRig>();
        return *rig;
    }

    bool ready() const { return problem_.empty(); }
    // Why the rig is not ready, with the end of the failing component's log.
    const std::string& problem() const { return problem_; }
    // A test may skip instead of failing only outside CI, and only for a backend not built yet.
    bool maySkip() const { return backendMissing_ && !(std::getenv("CI") && *std::getenv("CI")); }
    // Makes this desktop the process's session: its bus, Wayland display, runtime directory
    // and sound server.
    void use() const {
        for (const auto& [name, value] : std::map<std::string, std::string>{
                 {"DBUS_SESSION_BUS_ADDRESS", busAddress()}, {"XDG_RUNTIME_DIR", runtimeDir()},
                 {"WAYLAND_DISPLAY", waylandDisplay_}, {"XDG_SESSION_TYPE", "wayland"},
                 {"XDG_CURRENT_DESKTOP", "sway"}, {"PULSE_SERVER", pulseServer()}})
            setenv(name.c_str(), value.c_str(), 1);
    }
    // Paints the whole output one colour ("#rrggbb"); the screen changes, so a cast gets a frame.
    bool setBackground(const std::string& colour) const {
        return runCommand({"swaymsg", "-s", swaySocket_, "output", "HEADLESS-1", "bg", colour, "solid_color"}).exitCode == 0;
    }
    std::string runtimeDir() const { return (dir_ / "run").string(); }
    // A property of the ScreenCast portal, as gdbus prints it.
    std::string screenCastProperty(const std::string& name) const {
        return inSession({"gdbus", "call", "--session", "--dest", "org.freedesktop.portal.Desktop", "--object-path",
                          "/org/freedesktop/portal/desktop", "--method", "org.freedesktop.DBus.Properties.Get",
                          "org.freedesktop.portal.ScreenCast", name})
            .output;
    }
    // Stops one component now, as if it had died (e.g. "xdg-desktop-portal-wlr").
    bool stopComponent(const std::string& name) {
        for (auto it = processes_.begin(); it != processes_.end(); ++it)
            if (it->first == name) return processes_.erase(it), disturbed_ = true;
        return false;
    }

private:
    using Environment = std::map<std::string, std::string>;  // an empty value removes the variable

    std::string busAddress() const { return "unix:path=" + (dir_ / "run" / "bus").string(); }
    // libpulse will not look for the server in a runtime directory owned by another user.
    std::string pulseServer() const { return "unix:" + (dir_ / "run" / "pulse" / "native").string(); }
    std::string logPath(const std::string& name) const { return (dir_ / (name + ".log")).string(); }
    // A command run in the desktop's session, for the readiness checks.
    CommandResult inSession(std::vector<std::string> args) const {
        args.insert(args.begin(), {"env", "DBUS_SESSION_BUS_ADDRESS=" + busAddress(), "PULSE_SERVER=" + pulseServer()});
        return runCommand(args);
    }

    void start(int width, int height, const std::string& background) {
        std::string pattern = (std::filesystem::temp_directory_path() / "brindlow-wayland-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return void(problem_ = "mkdtemp failed");
        dir_ = pattern;
        const passwd* nobody = getpwnam("nobody");
        const group* nogroup = getgrnam("nogroup");
        if (!nobody || !nogroup) return void(problem_ = "no user nobody or group nogroup");
        // sway, as nobody, reads its config from here and writes its sockets to run/.
        chmod(dir_.c_str(), 0755);
        const auto run = dir_ / "run", config = dir_ / "config";
        for (const auto& sub : {run, config / "pipewire" / "pipewire.conf.d", config / "wireplumber" / "main.lua.d",
                                config / "wireplumber" / "bluetooth.lua.d", dir_ / "home", dir_ / "services"})
            std::filesystem::create_directories(sub);
        if (chown(run.c_str(), nobody->pw_uid, nogroup->gr_gid) != 0 || chmod(run.c_str(), 0700) != 0)
            return void(problem_ = "cannot hand " + run.string() + " to nobody");
        // An empty service directory: nothing is D-Bus-activated behind the rig's back (a
        // second portal, the document portal's FUSE mount).
        std::ofstream(dir_ / "bus.conf")
            << "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen><auth>EXTERNAL</auth><servicedir>"
            << (dir_ / "services").string() << "</servicedir><policy context=\"default\"><allow send_destination=\"*\" "
            << "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
        std::ofstream(dir_ / "sway.conf") << "output HEADLESS-1 resolution " << width << "x" << height
                                          << " position 0,0 bg " << background
                                          << " solid_color\ndefault_border none\nxwayland disable\n";
        std::ofstream(dir_ / "xdpw.conf") << "[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n";
        // A microphone (a virtual source that a player feeds, as a call app's is) and
        // speakers, whose monitor is what the computer plays. The server's own test sine
        // would do for the first without a player, but under load it stops for good
        // ("audiotestsrc: out of buffers").
        std::ofstream(config / "pipewire" / "pipewire.conf.d" / "devices.conf")
            << "context.objects = [\n"
               "  { factory = adapter args = { factory.name = support.null-audio-sink node.name = testmic "
               "node.description = \"Test microphone\" media.class = Audio/Source/Virtual audio.position = [ MONO ] "
               "object.linger = true } }\n"
               "  { factory = adapter args = { factory.name = support.null-audio-sink node.name = speakers "
               "node.description = \"Speakers\" media.class = Audio/Sink audio.position = [ MONO ] "
               "object.linger = true } } ]\n";
        // The machine's own sound cards, cameras and Bluetooth stay out of the test's desktop.
        std::ofstream(config / "wireplumber" / "main.lua.d" / "51-no-devices.lua")
            << "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\nlibcamera_monitor.enabled = false\n";
        std::ofstream(config / "wireplumber" / "bluetooth.lua.d" / "51-no-devices.lua") << "bluez_monitor.enabled = false\n";

        Environment session = {{"XDG_RUNTIME_DIR", run.string()}, {"XDG_CONFIG_HOME", config.string()},
                               {"HOME", (dir_ / "home").string()}, {"DBUS_SESSION_BUS_ADDRESS", busAddress()},
                               {"XDG_CURRENT_DESKTOP", "sway"}, {"XDG_SESSION_TYPE", "wayland"},
                               {"WAYLAND_DISPLAY", ""}, {"DISPLAY", ""}, {"PULSE_SERVER", ""}, {"SWAYSOCK", ""}};
        auto compositor = session, client = session;
        // A runner with a GPU would otherwise pick GLES2.
        compositor.insert({{"WLR_BACKENDS", "headless"}, {"WLR_RENDERER", "pixman"}, {"WLR_LIBINPUT_NO_DEVICES", "1"}});
        launch("dbus-daemon",
               {"dbus-daemon", "--config-file=" + (dir_ / "bus.conf").string(), "--address=" + busAddress(), "--nofork",
                "--nopidfile", "--syslog-only"},
               session, [&] { return std::filesystem::exists(run / "bus"); }) &&
            // A desktop's sound server runs its graph ahead of ordinary processes (realtime,
            // through RTKit); above them here too, so a CPU hog in a test starves the recorder,
            // not the server the recorder reads from.
            launch("pipewire", {"nice", "-n", "-10", "pipewire"}, session,
                   [&] { return std::filesystem::exists(run / "pipewire-0"); }) &&
            // Without the session manager no stream is ever linked.
            launch("wireplumber", {"wireplumber"}, session, [] { return true; }) &&
            // Ready when PulseAudio clients see the microphone and the speakers: a stream asked
            // for either before WirePlumber has set them up would be linked somewhere else.
            launch("pipewire-pulse", {"nice", "-n", "-10", "pipewire-pulse"}, session, [&] {
                return std::filesystem::exists(run / "pulse" / "native") &&
                       inSession({"pactl", "info"}).output.find("Default Sink: speakers") != std::string::npos &&
                       inSession({"pactl", "list", "short", "sources"}).output.find("testmic") != std::string::npos;
            }) &&
            launch("sway",
                   {"setpriv", "--reuid=" + std::to_string(nobody->pw_uid), "--regid=" + std::to_string(nogroup->gr_gid),
                    "--clear-groups", "sway", "-c", (dir_ / "sway.conf").string()},
                   compositor, [&] {
                       for (const auto& entry : std::filesystem::directory_iterator(run)) {
                           const std::string name = entry.path().filename().string();
                           if (name.starts_with("sway-ipc.")) swaySocket_ = entry.path().string();
                           if (name.starts_with("wayland-") && !name.ends_with(".lock")) waylandDisplay_ = name;
                       }
                       client["WAYLAND_DISPLAY"] = waylandDisplay_;  // the portal's components draw on sway
                       return !swaySocket_.empty() && !waylandDisplay_.empty();
                   }) &&
            // xdg-desktop-portal caches the backend's source types when it starts, so the backend
            // must own its name first.
            launch("xdg-desktop-portal-wlr", {backend_, "-c", (dir_ / "xdpw.conf").string(), "-l", "INFO"}, client,
                   [&] {
                       return inSession({"gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
                                         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
                                         "org.freedesktop.impl.portal.desktop.wlr"})
                                  .output.find("true") != std::string::npos;
                   }) &&
            // Ready once it offers monitors, which it learnt from the backend.
            launch("xdg-desktop-portal", {"/usr/libexec/xdg-desktop-portal"}, client,
                   [&] { return screenCastProperty("AvailableSourceTypes") == "(<uint32 1>,)\n"; });
    }

    // Starts one component with its output in its log and polls `isReady` every 10 ms for up
    // to 10 s; a component that exits or never gets ready becomes the rig's problem.
    bool launch(const std::string& name, const std::vector<std::string>& args, const Environment& changes,
                const std::function<bool()>& isReady) {
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e)
            if (!changes.count(std::string(*e).substr(0, std::string(*e).find('=')))) environment.emplace_back(*e);
        for (const auto& [variable, value] : changes)
            if (!value.empty()) environment.push_back(variable + "=" + value);
        auto& child = processes_
                          .emplace_back(name, ChildProcess(args, ChildProcess::Options().writingTo(logPath(name)).in(environment)))
                          .second;
        if (!child.started()) return problem_ = args[0] + " could not be started (scripts/install-deps installs it)", false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (; !isReady(); std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            if (const auto status = child.waitAtMost({}))
                return problem_ = name + " exited at start (status " + std::to_string(*status) + ")" + logTail(name), false;
            if (std::chrono::steady_clock::now() > deadline)
                return problem_ = name + " was not ready within 10 s" + logTail(name), false;
        }
        return true;
    }

    std::string logTail(const std::string& name) const {
        return "; the end of its log:\n" + runCommand({"tail", "-n", "8", logPath(name)}).output;
    }

    const std::string backend_ = BRINDLOW_PORTAL_BACKEND_PATH;
    bool backendMissing_ = false, disturbed_ = false;
    std::string problem_;
    std::filesystem::path dir_;
    std::list<std::pair<std::string, ChildProcess>> processes_;
    std::string waylandDisplay_, swaySocket_;
};

}  // namespace brindlow::testing
