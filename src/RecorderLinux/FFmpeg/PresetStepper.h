#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace brindlow {

// Keeps a software encoder in real time. One preset faster when frames have been
// waiting for it for more than a second; one back, never past the first, after ten
// seconds in which nothing waited and encoding took under 40% of the frame time
// (a step back costs up to twice as much, so it must then still keep up).
class PresetStepper {
public:
    static constexpr double behindSeconds = 1.0;
    static constexpr double idleSeconds = 10.0;
    static constexpr double idleShare = 0.4;

    PresetStepper(std::vector<std::string> ladder, size_t first, double frameSeconds);

    // After each frame: the time (seconds, any origin), how many frames still wait,
    // and how long this one took. Returns the preset to switch to, if it changes.
    std::optional<std::string> observe(double now, size_t waiting, double encodeSeconds);

private:
    std::vector<std::string> ladder_;
    size_t first_, at_;
    double frameSeconds_;
    std::optional<double> behindSince_;
    std::optional<double> idleSince_;
    double busySeconds_ = 0;  // encoding time since idleSince_
    size_t busyFrames_ = 0;
};

// veryfast, superfast, ultrafast: the steps below x264's default that keep High profile.
std::vector<std::string> x264PresetLadder();

}  // namespace brindlow
