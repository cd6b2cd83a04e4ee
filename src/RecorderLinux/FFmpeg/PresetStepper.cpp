#include "FFmpeg/PresetStepper.h"

#include <algorithm>

namespace brindlow {

std::vector<std::string> x264PresetLadder() { return {"veryfast", "superfast", "ultrafast"}; }

PresetStepper::PresetStepper(std::vector<std::string> ladder, size_t first, double frameSeconds)
    : ladder_(std::move(ladder)), first_(std::min(first, ladder_.size() - 1)), at_(first_), frameSeconds_(frameSeconds) {}

std::optional<std::string> PresetStepper::observe(double now, size_t waiting, double encodeSeconds) {
    if (waiting > 0) {
        idleSince_.reset();
        if (!behindSince_) behindSince_ = now;
        if (now - *behindSince_ > behindSeconds && at_ + 1 < ladder_.size()) {
            ++at_;
            behindSince_.reset();
            return ladder_[at_];
        }
        return std::nullopt;
    }
    behindSince_.reset();
    if (at_ == first_) return std::nullopt;
    if (!idleSince_) {
        idleSince_ = now;
        busySeconds_ = 0;
        busyFrames_ = 0;
    }
    busySeconds_ += encodeSeconds;
    ++busyFrames_;
    if (now - *idleSince_ < idleSeconds) return std::nullopt;
    const bool idle = busySeconds_ / double(busyFrames_) < idleShare * frameSeconds_;
    idleSince_.reset();
    if (!idle) return std::nullopt;
    --at_;
    return ladder_[at_];
}

}  // namespace brindlow
