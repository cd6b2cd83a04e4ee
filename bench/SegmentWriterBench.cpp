// Encoding cost of SegmentWriter with the FFmpeg encoder, side by side with the
// ffmpeg command-line tool encoding the same raw NV12 frames with the same x264
// options. Prints frames per second of throughput and CPU seconds per recorded
// second for each, and their ratio; then a paced 1080p30 run in real time.
//
//   SegmentWriterBench [seconds] [case]   default 20 s of timeline per case; case: 1080p30, 1080p60, 2160p30

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "Support/Subprocess.h"
#include "Support/SyntheticMedia.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

namespace {

using testing::cpuSeconds;

struct Result {
    double fps = 0;        // frames encoded per wall-clock second
    double cpuPerSecond = 0;  // CPU seconds per second of recorded timeline
    int64_t dropped = 0;
};

// A ring of distinct pictures, so the encoder sees motion without per-frame generation cost.
std::vector<VideoFrame> pictures(int width, int height) {
    std::vector<VideoFrame> ring;
    for (int i = 0; i < 16; ++i) ring.push_back(testing::movingPicture(width, height, i * 7));
    return ring;
}

Result runWriter(const VideoSettings& v, double seconds, const std::vector<VideoFrame>& ring, bool paced) {
    FFmpegSegmentEncoder::Options options;
    options.allowHardware = false;
    options.logEncoderChoice = false;
    size_t bytes = 0;
    SegmentWriter writer(v, std::nullopt, [&](StreamSegment s) { bytes += s.data.size(); },
                         FFmpegSegmentEncoder::factory(options));
    const int64_t frames = int64_t(seconds * double(v.fps));
    const double cpu0 = cpuSeconds(RUSAGE_SELF);
    const auto t0 = Clock::now();
    for (int64_t i = 0; i < frames; ++i) {
        if (paced) {
            std::this_thread::sleep_until(t0 + std::chrono::nanoseconds(i * 1'000'000'000 / v.fps));
        } else {
            // Poll gently: the harness's own wake-ups are counted in our CPU time.
            while (!writer.isReadyForVideo()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        writer.appendVideo(testing::videoSample(ring[size_t(i) % ring.size()], MediaTime(i, int32_t(v.fps)), int(v.fps)));
    }
    writer.finish();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = cpuSeconds(RUSAGE_SELF) - cpu0;
    return {double(frames) / wall, cpu / seconds, writer.droppedVideoFrames()};
}

// The same frames piped into `ffmpeg` as raw NV12; only the child's CPU is counted.
Result runTool(const VideoSettings& v, double seconds, const std::vector<VideoFrame>& ring, const std::string& preset) {
    const auto out = std::filesystem::temp_directory_path() / "brindlow-bench-ffmpeg.mp4";
    const std::string size = std::to_string(v.width) + "x" + std::to_string(v.height);
    const std::string fps = std::to_string(v.fps);
    const std::vector<std::string> args{
        "ffmpeg", "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "nv12", "-s", size, "-r", fps, "-i", "pipe:0",
        "-c:v", "libx264", "-preset", preset, "-profile:v", "high", "-bf", "0", "-g", std::to_string(v.fps * 2),
        "-b:v", std::to_string(v.bitsPerSecond), "-forced-idr", "1", "-x264-params", "scenecut=0:8x8dct=1",
        "-force_key_frames", "expr:gte(t,n_forced*2)", "-f", "mp4", "-movflags",
        "frag_keyframe+empty_moov+default_base_moof", out.string()};
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], STDIN_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    const int64_t frames = int64_t(seconds * double(v.fps));
    const auto t0 = Clock::now();
    for (int64_t i = 0; i < frames; ++i) {
        const auto& bytes = ring[size_t(i) % ring.size()].bytes;
        size_t written = 0;
        while (written < bytes.size()) {
            const ssize_t n = write(fds[1], bytes.data() + written, bytes.size() - written);
            if (n <= 0) break;
            written += size_t(n);
        }
    }
    close(fds[1]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::filesystem::remove(out);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "ffmpeg failed\n");
    return {double(frames) / wall, cpu / seconds, 0};
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const std::string only = argc > 2 ? argv[2] : "";
    std::printf("%-14s %-10s %12s %12s %12s %12s %10s\n", "case", "preset", "writer fps", "ffmpeg fps",
                "writer cpu/s", "ffmpeg cpu/s", "cpu ratio");
    struct Case {
        int64_t w, h, fps, bps;
    };
    for (const Case c : {Case{1920, 1080, 30, 8'000'000}, Case{1920, 1080, 60, 12'000'000},
                         Case{3840, 2160, 30, 8'000'000}}) {
        const std::string label = std::to_string(c.h) + "p" + std::to_string(c.fps);
        if (!only.empty() && only != label) continue;
        const VideoSettings v{c.w, c.h, c.fps, c.bps};
        const auto ring = pictures(int(c.w), int(c.h));
        const std::string preset = FFmpegSegmentEncoder::presetFor(SegmentWriter::videoOutputSettings(v));
        const Result ours = runWriter(v, seconds, ring, false);
        const Result tool = runTool(v, seconds, ring, preset);
        char name[32];
        std::snprintf(name, sizeof name, "%lldx%lld@%lld", (long long)c.w, (long long)c.h, (long long)c.fps);
        std::printf("%-14s %-10s %12.1f %12.1f %12.3f %12.3f %10.3f\n", name, preset.c_str(), ours.fps, tool.fps,
                    ours.cpuPerSecond, tool.cpuPerSecond, ours.cpuPerSecond / tool.cpuPerSecond);
        std::fflush(stdout);
    }
    if (!only.empty()) return 0;
    const VideoSettings v{1920, 1080, 30, 8'000'000};
    const Result paced = runWriter(v, seconds, pictures(1920, 1080), true);
    std::printf("paced 1920x1080@30 in real time: %.3f CPU-s per recorded second, %lld frames dropped\n",
                paced.cpuPerSecond, (long long)paced.dropped);
    return 0;
}
