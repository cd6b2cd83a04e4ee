// End-to-end costs of the recorder against a local devserver.
//
//   RecorderBench stop [seconds]       time from stop() to saved for a 1080p30 take
//                                      of synthetic frames (default 60 s)
//   RecorderBench pipeline [seconds]   brindlow-recorder recording a 1920x1080 Xvfb
//                                      screen at 30 fps (still, then changing; without
//                                      and with the sine microphone) next to
//                                      `ffmpeg -f x11grab` writing fragmented MP4 with
//                                      the same encoder settings (default 60 s each)

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "RecordingSession.h"
#include "Support/DevServerProcess.h"
#include "Support/FakeSources.h"
#include "Support/PulseAudioProcess.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"
#include "Support/XvfbProcess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

extern char** environ;

namespace {

int stopToSaved(double seconds) {
    testing::DevServerProcess server;
    const BrindlowAPI api = server.api("alice");
    const fs::path spool = fs::temp_directory_path() / ("brindlow-bench-" + randomUUID());
    FFmpegSegmentEncoder::Options quiet;
    quiet.logEncoderChoice = false;
    auto session = RecordingSession::make(api, api.fetchUser("alice"),
                                          std::make_shared<HTTPObjectPutter>(server.transport()), spool,
                                          std::make_shared<testing::FakeVideoSource>(CaptureSize{1920, 1080}, 30),
                                          nullptr, std::make_shared<testing::FakeMicSource>(), std::nullopt, {},
                                          FFmpegSegmentEncoder::factory(quiet));
    session->prepare();
    session->begin();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto started = Clock::now();
    const auto saved = session->stop();
    const double took = std::chrono::duration<double>(Clock::now() - started).count();
    session->releaseSources();
    fs::remove_all(spool);
    std::printf("stop to saved, %.0f s take of 1080p30 synthetic frames with audio: %.3f s (recorded %.2f s)\n",
                seconds, took, saved.durationSeconds);
    return 0;
}

struct Usage {
    double cpu = 0;       // CPU seconds of the process
    long peakKB = 0;      // peak RSS
    long firstKB = 0, lastKB = 0;  // RSS a few seconds in, and just before the end
    int status = -1;
};

// Runs a command to completion, sampling its RSS once a second.
Usage measure(const std::vector<std::string>& args) {
    Usage usage;
    const pid_t pid = testing::spawnQuietly(args);
    if (pid < 0) return usage;
    std::vector<long> samples;
    for (;;) {
        int status = 0;
        rusage ru{};
        if (wait4(pid, &status, WNOHANG, &ru) == pid) {
            usage.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            usage.cpu = testing::cpuSeconds(ru);
            usage.peakKB = ru.ru_maxrss;
            break;
        }
        std::ifstream statusFile("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(statusFile, line);)
            if (line.rfind("VmRSS:", 0) == 0) samples.push_back(std::atol(line.c_str() + 6));
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    if (samples.size() > 6) {
        usage.firstKB = samples[5];
        usage.lastKB = samples[samples.size() - 2];
    }
    return usage;
}

pid_t startPainter() {
    return testing::spawnQuietly({"sh", "-c", "while :; do xsetroot -solid red; xsetroot -solid blue; done"});
}

int pipeline(double seconds) {
    testing::XvfbProcess xvfb("1920x1080x24");
    testing::PulseAudioProcess pulse;
    testing::DevServerProcess server;
    if (!xvfb.ready() || !pulse.ready()) {
        std::fprintf(stderr, "RecorderBench: Xvfb or PulseAudio did not start\n");
        return 1;
    }
    xvfb.use();
    pulse.use();
    const fs::path home = fs::temp_directory_path() / ("brindlow-bench-home-" + randomUUID());
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string standIn = std::to_string(server.port("web")) + "," + std::to_string(server.port("monolith")) +
                                "," + std::to_string(server.port("legacy")) + "," + std::to_string(server.port("google"));
    const std::string recorder = BRINDLOW_RECORDER_PATH;
    measure({recorder, "--stand-in", standIn, "sign-in", "--token", server.mintCustomToken("alice")});
    const std::string secs = std::to_string(int(seconds));

    std::printf("1920x1080 at 30 fps, %s s per run (CPU s per recorded s; RSS in MB: peak, at 5 s, at the end)\n",
                secs.c_str());
    for (const bool changing : {false, true}) {
        const pid_t painter = changing ? startPainter() : -1;
        if (!changing) measure({"xsetroot", "-solid", "#336699"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const Usage screenOnly = measure({recorder, "--stand-in", standIn, "record", "--seconds", secs,
                                          "--no-countdown", "--mic", "none"});
        const Usage withMic = measure({recorder, "--stand-in", standIn, "record", "--seconds", secs, "--no-countdown"});
        const fs::path out = home / "reference.mp4";
        const Usage reference = measure({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "x11grab",
                                         "-framerate", "30", "-video_size", "1920x1080", "-draw_mouse", "0", "-i",
                                         xvfb.display(), "-t", secs, "-c:v", "libx264", "-preset", "veryfast", "-bf",
                                         "0", "-g", "60", "-b:v", "8M", "-pix_fmt", "yuv420p", "-f", "mp4",
                                         "-movflags", "frag_keyframe+empty_moov+default_base_moof", out.string()});
        if (painter > 0) {
            kill(painter, SIGTERM);
            waitpid(painter, nullptr, 0);
        }
        auto line = [&](const char* what, const Usage& u) {
            std::printf("  %-28s %.3f  (ratio %.2f)  RSS %.0f / %.0f / %.0f  exit %d\n", what, u.cpu / seconds,
                        u.cpu / reference.cpu, u.peakKB / 1024.0, u.firstKB / 1024.0, u.lastKB / 1024.0, u.status);
        };
        std::printf("%s screen:\n", changing ? "changing" : "still");
        line("brindlow-recorder", screenOnly);
        line("brindlow-recorder + mic", withMic);
        line("ffmpeg x11grab (reference)", reference);
    }
    fs::remove_all(home);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "stop";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
    if (what == "stop") return stopToSaved(seconds);
    if (what == "pipeline") return pipeline(seconds);
    std::fprintf(stderr, "usage: RecorderBench stop|pipeline [seconds]\n");
    return 2;
}
