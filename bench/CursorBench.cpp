// Cost of the cursor tracker's work per tick with the X11 sampler under Xvfb, and
// the size and encoding time of an hour's log at 60 samples per second.
//
//   CursorBench [ticks]     default 20000

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "Cursor/X11CursorSampler.h"
#include "Support/XvfbProcess.h"

using namespace brindlow;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
    const int ticks = argc > 1 ? std::atoi(argv[1]) : 20000;
    testing::XvfbProcess xvfb("1920x1080x24");
    if (!xvfb.ready()) {
        std::fprintf(stderr, "CursorBench: Xvfb did not start\n");
        return 1;
    }
    xvfb.use();

    // One tick: a sample and the three builder updates, as the tracker does them.
    X11CursorSampler sampler;
    sampler.start();
    CursorLogBuilder live(Size{1920, 1080});
    const auto started = Clock::now();
    for (int t = 0; t < ticks; ++t) {
        const CursorState state = sampler.sample();
        live.move(t, state.location.x / 1920, state.location.y / 1080);
        live.buttons(t, state.buttons);
        live.shape(t, state.shape);
    }
    const double perTick = std::chrono::duration<double, std::micro>(Clock::now() - started).count() / ticks;
    sampler.stop();
    std::printf("one tick (X11 sample + move/buttons/shape): %.1f us (%d ticks), %.3f%% of a 60 Hz interval\n",
                perTick, ticks, perTick / (1e6 / 60) * 100);

    // An hour at 60 Hz of a pointer that never rests, with a click every 2 s.
    CursorLogBuilder hour(Size{1920, 1080});
    std::mt19937 random(7);
    std::uniform_real_distribution<double> step(-0.002, 0.002);
    double x = 0.5, y = 0.5;
    const int64_t samples = 60 * 3600;
    for (int64_t i = 0; i < samples; ++i) {
        const int64_t t = i * 1000 / 60;
        x += step(random);
        y += step(random);
        hour.move(t, x, y);
        hour.buttons(t, i % 120 == 0 ? std::set<int64_t>{0} : std::set<int64_t>{});
        hour.shape(t, i % 600 < 300 ? CursorShape::arrow : CursorShape::text);
        if (i % 120 == 0) hour.element(t, Rect{x - 0.01, y - 0.01, 0.02, 0.02}, "button", "Save changes");
    }
    const auto encodeStart = Clock::now();
    const CursorLog log = hour.finish();
    const std::string json = log.encoded();
    const double encodeSeconds = std::chrono::duration<double>(Clock::now() - encodeStart).count();
    std::printf("one hour at 60 Hz: %zu moves (limit %zu), %zu clicks, %zu shapes, %zu elements; "
                "finish + encode %.3f s, %.1f MB of JSON\n",
                log.moves.size(), CursorLog::maxMoves, log.clicks.size(), log.shapes.size(), log.elements.size(),
                encodeSeconds, double(json.size()) / 1e6);
    return 0;
}
