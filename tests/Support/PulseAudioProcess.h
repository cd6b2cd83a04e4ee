#pragma once

// A private PulseAudio daemon for a test, with a 440 Hz sine source ("sine440", the
// default source, which delivers in 2-second bursts), a null sink, a real-time 1 kHz
// tone on "tone.monitor", and "probemic": a source that hears whatever is played into
// the "probe" sink, as a microphone in a quiet room hears the speakers.
// Clients reach it through PULSE_SERVER; it is stopped by PID.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Support/Subprocess.h"

namespace brindlow::testing {

class PulseAudioProcess {
public:
    PulseAudioProcess() {
        dir_ = std::filesystem::temp_directory_path() / ("brindlow-pulse-" + std::to_string(getpid()) + "-" +
                                                         std::to_string(counter()++));
        std::filesystem::create_directories(dir_);
        const auto socket = dir_ / "native";
        std::ofstream(dir_ / "test.pa") << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket.string()
                                        << "\n"
                                           "load-module module-null-sink sink_name=nullsink rate=48000\n"
                                           "load-module module-sine-source source_name=sine440 frequency=440 rate=48000\n"
                                           "load-module module-null-sink sink_name=tone format=float32le channels=1 rate=48000\n"
                                           "load-module module-sine sink=tone frequency=1000\n"
                                           "load-module module-null-sink sink_name=probe rate=48000\n"
                                           "load-module module-remap-source master=probe.monitor source_name=probemic\n"
                                           "set-default-sink nullsink\n"
                                           "set-default-source sine440\n";
        const std::string home = "HOME=" + dir_.string(), runtime = "XDG_RUNTIME_DIR=" + dir_.string();
        std::vector<std::string> args = {"env", home, runtime, "pulseaudio", "-n", "-F", (dir_ / "test.pa").string(),
                                         "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
                                         "--log-target=stderr"};
        daemon_.emplace(args);
        server_ = "unix:" + socket.string();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (daemon_->started() && std::chrono::steady_clock::now() < deadline) {
            if (std::filesystem::exists(socket) &&
                runCommand({"env", "PULSE_SERVER=" + server_, "pactl", "info"}).exitCode == 0) {
                ready_ = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~PulseAudioProcess() {
        daemon_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    PulseAudioProcess(const PulseAudioProcess&) = delete;
    PulseAudioProcess& operator=(const PulseAudioProcess&) = delete;

    bool ready() const { return ready_; }
    const std::string& server() const { return server_; }
    void use() const { setenv("PULSE_SERVER", server_.c_str(), 1); }

private:
    static int& counter() {
        static int n = 0;
        return n;
    }
    std::optional<ChildProcess> daemon_;
    bool ready_ = false;
    std::filesystem::path dir_;
    std::string server_;
};

}  // namespace brindlow::testing
