// End-to-end costs of the recorder against a local devserver.
//
//   RecorderBench stop [seconds]       time from stop() to saved for a 1080p30 take
//                                      of synthetic frames (default 60 s)
//   RecorderBench pipeline [seconds]   brindlow-recorder recording a 1920x1080 Xvfb
//                                      screen at 30 fps (still, then changing; without
//                                      and with the sine microphone) next to
//                                      `ffmpeg -f x11grab` writing fragmented MP4 with
//                                      the same encoder settings (default 60 s each)
//   RecorderBench workloads [seconds] [screenshot-dir]
//                                      brindlow-recorder and then ffmpeg on the same live
//                                      screen: still desktop, typing, scrolling, full
//                                      motion at 1080p and at 4K (default 30 s each); with
//                                      a directory, a PNG of each workload's screen goes there

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
    double cpu = 0;       // CPU seconds of the process and the children it waited for
    long peakKB = 0;      // peak RSS
    long firstKB = 0, lastKB = 0;  // RSS a few seconds in, and just before the end
    int status = -1;
};

// Starts a command with both its outputs going to `log`; its pid, or -1.
pid_t spawnLogging(const std::vector<std::string>& args, const fs::path& log) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Runs a command to completion, sampling its RSS once a second.
Usage measure(const std::vector<std::string>& args, const fs::path& log = "/dev/null") {
    Usage usage;
    const pid_t pid = spawnLogging(args, log);
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

// The reference: ffmpeg grabbing the X screen into fragmented MP4 with the recorder's encoder settings.
// `progress`, when given, receives ffmpeg's progress lines, which count the frames it
// had to duplicate because grabbing fell behind.
std::vector<std::string> referenceCommand(const std::string& display, const std::string& size,
                                          const std::string& seconds, const fs::path& out,
                                          const fs::path& progress = {}) {
    std::vector<std::string> command{"ffmpeg", "-nostdin", "-y", "-loglevel", "error"};
    if (!progress.empty()) command.insert(command.end(), {"-progress", progress.string()});
    const std::vector<std::string> rest{"-f", "x11grab", "-framerate", "30",
            "-video_size", size, "-draw_mouse", "0", "-i", display, "-t", seconds, "-c:v", "libx264",
            "-preset", "veryfast", "-bf", "0", "-g", "60", "-b:v", "8M", "-pix_fmt", "yuv420p", "-f", "mp4",
            "-movflags", "frag_keyframe+empty_moov+default_base_moof", out.string()};
    command.insert(command.end(), rest.begin(), rest.end());
    return command;
}

// The last dup_frames value in an ffmpeg progress file, or -1.
long duplicatedFrames(const fs::path& progress) {
    long dup = -1;
    std::ifstream file(progress);
    for (std::string line; std::getline(file, line);)
        if (line.rfind("dup_frames=", 0) == 0) dup = std::atol(line.c_str() + 11);
    return dup;
}

// Video frames in a file or at a URL, or -1 when ffprobe cannot read it.
long countFrames(const std::string& where) {
    const auto probe = testing::runCommand({"ffprobe", "-v", "error", "-count_packets", "-select_streams", "v:0",
                                            "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", where});
    if (probe.exitCode != 0 || probe.output.empty()) return -1;
    return std::atol(probe.output.c_str());
}

// brindlow-recorder signed in to a private devserver, its settings in a temporary home
// that the whole process uses (HOME and the XDG directories are set for it).
class RecorderRig {
public:
    RecorderRig() : home_(fs::temp_directory_path() / ("brindlow-bench-home-" + randomUUID())) {
        fs::create_directories(home_);
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home_ / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home_ / "data").c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        standIn_ = std::to_string(server_.port("web")) + "," + std::to_string(server_.port("monolith")) + "," +
                   std::to_string(server_.port("legacy")) + "," + std::to_string(server_.port("google"));
        measure({BRINDLOW_RECORDER_PATH, "--stand-in", standIn_, "sign-in", "--token", server_.mintCustomToken("alice")});
    }
    ~RecorderRig() {
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }
    RecorderRig(const RecorderRig&) = delete;
    RecorderRig& operator=(const RecorderRig&) = delete;

    const fs::path& home() const { return home_; }

    // One take of `seconds` on $DISPLAY; `extra` are further options of `record`.
    Usage record(const std::string& seconds, const std::vector<std::string>& extra = {},
                 const fs::path& log = "/dev/null") const {
        std::vector<std::string> args{BRINDLOW_RECORDER_PATH, "--stand-in", standIn_, "record", "--seconds", seconds,
                                      "--no-countdown"};
        args.insert(args.end(), extra.begin(), extra.end());
        return measure(args, log);
    }

    // The screen stream of the latest take, whole, as the devserver's web app serves it.
    std::string latestScreenStream() const {
        const auto recordings = server_.state()["recordings"];
        if (recordings.empty()) return {};
        return server_.base("web") + "/screen-recorder/media/" + recordings.back()["aid"].get<std::string>() +
               "/screen";
    }

private:
    fs::path home_;
    testing::DevServerProcess server_;
    std::string standIn_;
};

pid_t startPainter() {
    return testing::spawnQuietly({"sh", "-c", "while :; do xsetroot -solid red; xsetroot -solid blue; done"});
}

int pipeline(double seconds) {
    testing::XvfbProcess xvfb("1920x1080x24");
    testing::PulseAudioProcess pulse;
    if (!xvfb.ready() || !pulse.ready()) {
        std::fprintf(stderr, "RecorderBench: Xvfb or PulseAudio did not start\n");
        return 1;
    }
    xvfb.use();
    pulse.use();
    const RecorderRig rig;
    const std::string secs = std::to_string(int(seconds));

    std::printf("1920x1080 at 30 fps, %s s per run (CPU s per recorded s; RSS in MB: peak, at 5 s, at the end)\n",
                secs.c_str());
    for (const bool changing : {false, true}) {
        const pid_t painter = changing ? startPainter() : -1;
        if (!changing) measure({"xsetroot", "-solid", "#336699"});
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const Usage screenOnly = rig.record(secs, {"--mic", "none"});
        const Usage withMic = rig.record(secs);
        const Usage reference = measure(referenceCommand(xvfb.display(), "1920x1080", secs, rig.home() / "reference.mp4"));
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
    return 0;
}

// What the screen shows while both contenders record it: processes started together and
// stopped after both runs.
struct Workload {
    std::string name;
    std::vector<std::vector<std::string>> commands;
};

std::vector<std::string> xterm(const std::string& geometry, const std::string& script, bool largeFont = true) {
    // +bc: a blinking cursor would change the "still" screen twice a second.
    std::vector<std::string> args{"xterm", "+bc", "-geometry", geometry};
    if (largeFont) args.insert(args.end(), {"-fa", "DejaVu Sans Mono", "-fs", "10"});
    args.insert(args.end(), {"-e", "bash", "-c", script});
    return args;
}

Workload fullMotion(const std::string& name, const std::string& size) {
    return {name,
            {{"env", "SDL_AUDIODRIVER=dummy", "ffplay", "-fs", "-an", "-loglevel", "quiet", "-f", "lavfi",
              "testsrc2=s=" + size + ":r=30,noise=alls=30:allf=t+u"}}};
}

std::vector<Workload> desktopWorkloads() {
    const std::string licenses = "/usr/share/common-licenses/";
    return {
        {"still",
         {xterm("96x44+60+50", "head -n 43 " + licenses + "GPL-3; exec sleep 1d"),
          xterm("90x30+900+330", "head -n 29 " + licenses + "Apache-2.0; exec sleep 1d"),
          xterm("60x12+1100+40", "ls -l " + licenses + "; exec sleep 1d")}},
        // A shell loop inside the xterm prints the text one character every 0.125 s, at the
        // pace of a typist, without X input events that depend on focus.
        {"typing",
         {xterm("100x30+200+150",
                "t='Dear team, the quarterly numbers are in and they look better than we expected. '; "
                "while :; do for ((i = 0; i < ${#t}; i++)); do printf %s \"${t:i:1}\"; sleep 0.125; done; done")}},
        // The small core font keeps 230x70 on a 1080p screen.
        {"scrolling", {xterm("230x70+0+0", "while :; do cat " + licenses + "GPL-3; done", false)}},
        fullMotion("full motion 1080p", "1920x1080"),
    };
}

struct WorkloadRow {
    std::string name, size;
    Usage recorder, reference;
    long recorderFrames = -1, referenceFrames = -1;
    long referenceDuplicated = -1;
    std::vector<std::string> recorderSaid;  // the encoder's preset steps
};

// Records `workload` on `xvfb` with the recorder, then with ffmpeg, while it keeps running.
WorkloadRow runWorkload(const RecorderRig& rig, const testing::XvfbProcess& xvfb, const std::string& size,
                        const Workload& workload, const std::string& secs, const fs::path& shots,
                        std::vector<std::string>& encoderLines) {
    xvfb.use();
    std::vector<pid_t> pids;
    for (const auto& command : workload.commands) {
        pids.push_back(testing::spawnQuietly(command));
        if (pids.back() < 0) std::fprintf(stderr, "RecorderBench: cannot start %s\n", command[0].c_str());
    }
    // Time for the windows to map and ffplay to reach full speed.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    if (!shots.empty()) {
        std::string file = "workload-" + workload.name + ".png";
        std::replace(file.begin(), file.end(), ' ', '-');
        measure({"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f", "x11grab", "-video_size", size, "-draw_mouse",
                 "0", "-i", xvfb.display(), "-frames:v", "1", (shots / file).string()});
    }
    WorkloadRow row;
    row.name = workload.name;
    row.size = size;
    const fs::path log = rig.home() / "recorder.log";
    row.recorder = rig.record(secs, {"--mic", "none"}, log);
    row.recorderFrames = countFrames(rig.latestScreenStream());
    std::ifstream logFile(log);
    for (std::string line; std::getline(logFile, line);) {
        if (line.rfind("brindlow: encoding", 0) == 0) {
            if (std::find(encoderLines.begin(), encoderLines.end(), line) == encoderLines.end())
                encoderLines.push_back(line);
        } else if (line.rfind("brindlow: ", 0) == 0 && line.find("preset") != std::string::npos) {
            row.recorderSaid.push_back(line);
        }
    }
    const fs::path out = rig.home() / "reference.mp4";
    const fs::path progress = rig.home() / "progress.txt";
    fs::remove(progress);
    row.reference = measure(referenceCommand(xvfb.display(), size, secs, out, progress));
    row.referenceFrames = countFrames(out.string());
    row.referenceDuplicated = duplicatedFrames(progress);
    for (const pid_t pid : pids) {
        if (pid <= 0) continue;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    return row;
}

int workloads(double seconds, const fs::path& shots) {
    const std::string secs = std::to_string(int(seconds));
    testing::XvfbProcess hd("1920x1080x24");
    if (!hd.ready()) {
        std::fprintf(stderr, "RecorderBench: Xvfb did not start\n");
        return 1;
    }
    hd.use();
    const RecorderRig rig;
    // A desktop's background under every workload; -noreset keeps it between clients.
    measure({"xsetroot", "-solid", "#3b6e8f"});

    std::vector<WorkloadRow> rows;
    std::vector<std::string> encoderLines;
    for (const auto& workload : desktopWorkloads())
        rows.push_back(runWorkload(rig, hd, "1920x1080", workload, secs, shots, encoderLines));
    {
        testing::XvfbProcess uhd("3840x2160x24");
        if (uhd.ready()) {
            rows.push_back(runWorkload(rig, uhd, "3840x2160", fullMotion("full motion 4K", "3840x2160"), secs, shots,
                                       encoderLines));
        } else {
            std::fprintf(stderr, "RecorderBench: the 3840x2160 Xvfb did not start; no 4K row\n");
        }
    }

    const long expected = 30 * long(seconds);
    std::printf("brindlow-recorder against ffmpeg x11grab (libx264 veryfast, 8 Mbit/s), 30 fps, %s s per run,\n"
                "on one 1920x1080 Xvfb screen and one 3840x2160 for the 4K row; CPU s per recorded s (user+sys,\n"
                "children included), peak RSS in MB, frames written of %ld expected (and how many of\n"
                "ffmpeg's are duplicates it wrote because grabbing fell behind)\n\n",
                secs.c_str(), expected);
    std::printf("%-18s %-9s | %9s %9s %7s | %8s %8s | %11s %11s %7s\n", "workload", "screen", "CPU/s rec",
                "CPU/s ff", "rec/ff", "RSS rec", "RSS ff", "frames rec", "frames ff", "ff dup");
    std::printf("%s\n", std::string(117, '-').c_str());
    auto frames = [expected](long n) {
        return n < 0 ? std::string("-") : std::to_string(n) + "/" + std::to_string(expected);
    };
    for (const auto& r : rows) {
        std::printf("%-18s %-9s | %9.3f %9.3f %7.2f | %8.0f %8.0f | %11s %11s %7ld", r.name.c_str(), r.size.c_str(),
                    r.recorder.cpu / seconds, r.reference.cpu / seconds,
                    r.reference.cpu > 0 ? r.recorder.cpu / r.reference.cpu : 0.0, r.recorder.peakKB / 1024.0,
                    r.reference.peakKB / 1024.0, frames(r.recorderFrames).c_str(), frames(r.referenceFrames).c_str(),
                    r.referenceDuplicated);
        if (r.recorder.status != 0) std::printf("  recorder exit %d", r.recorder.status);
        if (r.reference.status != 0) std::printf("  ffmpeg exit %d", r.reference.status);
        std::printf("\n");
    }
    if (!encoderLines.empty()) std::printf("\nthe recorder said:\n");
    for (const auto& line : encoderLines) std::printf("  %s\n", line.c_str());
    for (const auto& r : rows)
        for (const auto& line : r.recorderSaid) std::printf("  (%s) %s\n", r.name.c_str(), line.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "stop";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 60;
    if (what == "stop") return stopToSaved(seconds);
    if (what == "pipeline") return pipeline(seconds);
    if (what == "workloads") return workloads(argc > 2 ? seconds : 30, argc > 3 ? argv[3] : "");
    std::fprintf(stderr, "usage: RecorderBench stop|pipeline|workloads [seconds] [screenshot-dir]\n");
    return 2;
}
