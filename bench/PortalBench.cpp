// The Wayland portal's screen source next to the X11 one: CPU seconds per recorded
// second of each source (capture, conversion and pacing; no encoding) on a still
// screen and on one whose colour changes every 50 ms, both at 1280x720 and 30 fps,
// and the time from asking the portal to the first delivered frame.
//
//   PortalBench [seconds]     default 10 s per case

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "Capture/PortalScreenSource.h"
#include "Capture/ScreenSource.h"
#include "Support/Subprocess.h"
#include "Support/WaylandPortalRig.h"
#include "Support/XvfbProcess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

namespace {

struct Result {
    double cpuPerSecond = 0;
    int64_t frames = 0;
};

// Runs `source` for `seconds` while `change` (if any) paints every 50 ms.
Result measure(CaptureSource& source, double seconds, const std::function<void(int)>& change) {
    std::atomic<int64_t> frames{0};
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        for (int i = 0; change && painting; ++i) {
            change(i);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const double before = testing::cpuSeconds(RUSAGE_SELF);
    source.start([&](const SampleBuffer&) { ++frames; });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    source.stop();
    const double cpu = testing::cpuSeconds(RUSAGE_SELF) - before;
    painting = false;
    painter.join();
    return {cpu / seconds, frames.load()};
}

void print(const char* what, const Result& r, double seconds) {
    std::printf("%-28s %6.3f CPU-s per recorded second, %lld frames of %lld\n", what, r.cpuPerSecond,
                static_cast<long long>(r.frames), static_cast<long long>(seconds * 30));
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
    const char* colours[] = {"#204080", "#e0c020"};
    {
        testing::XvfbProcess xvfb{"1280x720x24"};
        if (!xvfb.ready()) return std::fprintf(stderr, "Xvfb could not be started\n"), 1;
        xvfb.use();
        const ScreenDisplay display = availableDisplays().at(0);
        ScreenSource still(display, display.pixels, 30);
        print("X11 on Xvfb, still", measure(still, seconds, {}), seconds);
        ScreenSource changing(display, display.pixels, 30);
        print("X11 on Xvfb, changing", measure(changing, seconds, [&](int i) {
                  testing::runCommand({"xsetroot", "-solid", colours[i % 2]});
              }), seconds);
    }
    testing::WaylandPortalRig rig{1280, 720, "#ff0000"};
    if (!rig.ready()) return std::fprintf(stderr, "%s\n", rig.problem().c_str()), 1;
    rig.use();
    PortalTokenStore none;
    const auto asked = Clock::now();
    PortalScreenSource still(30, none);
    std::atomic<bool> first{false};
    Clock::time_point firstAt;
    still.start([&](const SampleBuffer&) {
        if (!first.exchange(true)) firstAt = Clock::now();
    });
    while (!first) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    still.stop();
    std::printf("portal: asked to first frame %lld ms (share granted, stream connected, first picture)\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(firstAt - asked).count()));
    print("portal on sway, still", measure(still, seconds, {}), seconds);
    PortalScreenSource changing(30, none);
    print("portal on sway, changing", measure(changing, seconds, [&](int i) { rig.setBackground(colours[i % 2]); }),
          seconds);
    return 0;
}
