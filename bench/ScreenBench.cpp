// CPU cost of the screen source under Xvfb, next to `ffmpeg -f x11grab` capturing
// the same screen at the same rate and size into a null muxer.
//
//   ScreenBench [seconds]     default 20 s per case (1920x1080, 30 fps)
//
// Prints CPU seconds per recorded second for a still screen and for one that
// changes all the time, the reference figures and their ratios, then the cost of a
// single grab + conversion at 1080p and of a 5120x2880 -> 4096x2304 one.

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Capture/FrameConverter.h"
#include "Capture/ScreenSource.h"
#include "Support/Subprocess.h"
#include "Support/XvfbProcess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

extern char** environ;

namespace {

// CPU seconds per recorded second of the screen source, and frames delivered.
std::pair<double, int64_t> measureSource(const ScreenDisplay& display, double seconds) {
    ScreenSource source(display, display.pixels, 30);
    std::atomic<int64_t> frames{0};
    const double before = testing::cpuSeconds(RUSAGE_SELF);
    source.start([&](const SampleBuffer&) { ++frames; });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    source.stop();
    return {(testing::cpuSeconds(RUSAGE_SELF) - before) / seconds, frames.load()};
}

// The same capture by the ffmpeg tool, its CPU per recorded second.
double measureFFmpeg(const std::string& display, double seconds) {
    const std::string duration = std::to_string(seconds);
    const pid_t pid = testing::spawnQuietly({"ffmpeg", "-nostdin", "-loglevel", "error", "-f", "x11grab", "-framerate", "30",
                             "-video_size", "1920x1080", "-draw_mouse", "0", "-i", display, "-t", duration, "-pix_fmt",
                             "nv12", "-f", "null", "-"});
    if (pid < 0) return -1;
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    return testing::cpuSeconds(usage) / seconds;
}

// Mean milliseconds of one grab and of one conversion to the fitted size.
std::pair<double, double> grabCost(const ScreenDisplay& display, int rounds) {
    const CaptureSize out = display.pixels.fittedToEncoder();
    const int threads = display.pixels.width * display.pixels.height > 4'000'000 ? 2 : 1;
    FrameConverter converter(FrameConverter::Input::bgr0, int(display.pixels.width), int(display.pixels.height),
                             int(out.width), int(out.height), threads);
    auto connection = xcbScreenConnector()();
    connection->watch(display.bounds);
    double grabbing = 0, converting = 0;
    for (int i = 0; i < rounds; ++i) {
        int stride = 0;
        const auto started = Clock::now();
        const uint8_t* pixels = connection->grab(stride);
        const auto grabbed = Clock::now();
        const VideoFrame frame = converter.convert(pixels, stride);
        grabbing += std::chrono::duration<double, std::milli>(grabbed - started).count();
        converting += std::chrono::duration<double, std::milli>(Clock::now() - grabbed).count();
    }
    return {grabbing / rounds, converting / rounds};
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    testing::XvfbProcess xvfb("1920x1080x24");
    if (!xvfb.ready()) {
        std::fprintf(stderr, "ScreenBench: Xvfb did not start\n");
        return 1;
    }
    xvfb.use();
    const auto display = availableDisplays().at(0);
    testing::spawnQuietly({"xsetroot", "-solid", "#336699"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    std::printf("screen source, 1920x1080 at 30 fps, %.0f s per case (CPU s per recorded s)\n", seconds);
    const auto still = measureSource(display, seconds);
    const double stillReference = measureFFmpeg(xvfb.display(), seconds);
    std::printf("  still screen:     source %.4f (%lld frames)   ffmpeg x11grab %.4f   ratio %.2f\n", still.first,
                static_cast<long long>(still.second), stillReference, still.first / stillReference);

    // Something repaints the whole screen all the time, in a process of its own.
    const pid_t painter = testing::spawnQuietly({"sh", "-c", "while :; do xsetroot -solid red; xsetroot -solid blue; done"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto busy = measureSource(display, seconds);
    const double busyReference = measureFFmpeg(xvfb.display(), seconds);
    kill(painter, SIGTERM);
    waitpid(painter, nullptr, 0);
    std::printf("  changing screen:  source %.4f (%lld frames)   ffmpeg x11grab %.4f   ratio %.2f\n", busy.first,
                static_cast<long long>(busy.second), busyReference, busy.first / busyReference);

    std::printf("one grab + conversion, mean of 30:\n");
    const auto hd = grabCost(display, 30);
    std::printf("  1920x1080 -> 1920x1080 NV12: grab %.2f ms + convert %.2f ms\n", hd.first, hd.second);
    testing::XvfbProcess large("5120x2880x24");
    if (large.ready()) {
        large.use();
        const auto big = availableDisplays().at(0);
        const auto fiveK = grabCost(big, 30);
        std::printf("  5120x2880 -> 4096x2304 NV12: grab %.2f ms + convert %.2f ms (2 threads)\n", fiveK.first,
                    fiveK.second);
    }
    return 0;
}
