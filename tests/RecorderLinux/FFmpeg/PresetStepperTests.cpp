#include "FFmpeg/PresetStepper.h"

#include <gtest/gtest.h>

namespace brindlow {
namespace {

// An encoder at 30 fps observed frame by frame through stretches of seconds, each with how
// many frames wait behind every frame and how long every frame took.
TEST(PresetStepper, StepsDownWhenBehindAndBackUpWhenIdle) {
    using Stretch = std::tuple<double, size_t, double>;
    using Steps = std::vector<std::string>;
    const struct {
        const char* what;
        size_t first;
        std::vector<Stretch> stretches;
        Steps steps;
    } cases[] = {
        {"a burst under a second is not behind", 0, {{0.9, 3, 0.050}, {5, 0, 0.010}, {0.9, 3, 0.050}}, {}},
        {"behind for over a second: one step", 0, {{1.2, 2, 0.050}, {5, 0, 0.025}}, {"superfast"}},
        {"still behind: the next step, and no further", 0, {{5, 4, 0.060}}, {"superfast", "ultrafast"}},
        {"idle for ten seconds: back up", 0, {{1.2, 2, 0.050}, {11, 0, 0.010}}, {"superfast", "veryfast"}},
        {"busy though not behind: stays down", 0, {{1.2, 2, 0.050}, {30, 0, 0.020}}, {"superfast"}},
        {"never above the first preset", 1, {{30, 0, 0.001}}, {}},
        {"a slow frame in the idle stretch restarts it", 0,
         {{1.2, 2, 0.050}, {8, 0, 0.010}, {0.1, 1, 0.030}, {8, 0, 0.010}}, {"superfast"}},
    };
    for (const auto& c : cases) {
        PresetStepper stepper(x264PresetLadder(), c.first, 1.0 / 30);
        Steps steps;
        double now = 0;
        for (const auto& [seconds, waiting, encodeSeconds] : c.stretches)
            for (const double end = now + seconds; now < end; now += 1.0 / 30)
                if (auto step = stepper.observe(now, waiting, encodeSeconds)) steps.push_back(*step);
        EXPECT_EQ(steps, c.steps) << c.what;
    }
}

}  // namespace
}  // namespace brindlow
