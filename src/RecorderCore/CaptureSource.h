#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "Support/SampleBuffer.h"

namespace brindlow {

// An integer pixel size.
struct CaptureSize {
    int64_t width = 0;
    int64_t height = 0;

    // The largest frame area the recorder asks the encoder to take (4096 x 2304).
    static constexpr int64_t maxEncodeArea = 9'437'184;

    // Even sides of at least 2, scaled down (aspect kept) to at most maxEncodeArea.
    CaptureSize fittedToEncoder() const;

    bool operator==(const CaptureSize&) const = default;
};

// What every capture source offers the recording session. `deliver` is called on
// the source's own serial queue, never twice at once, from start until stop returns;
// it must not block for long. After stop() returns the callback has been released.
class CaptureSource {
public:
    using Deliver = std::function<void(const SampleBuffer&)>;

    virtual ~CaptureSource() = default;
    // The pixel size of delivered frames; nothing for a source without video.
    virtual std::optional<CaptureSize> videoSize() const = 0;
    // Throws when the source cannot start.
    virtual void start(Deliver deliver) = 0;
    // Never throws; safe on a source that never started or whose start failed.
    virtual void stop() = 0;
    // Returns once everything captured before `hostTime` (host clock) has been delivered, or
    // once the source can tell the rest will not come soon; a few seconds at most. Sources
    // that deliver as they capture have nothing to wait for; a sound server can hold seconds.
    virtual void deliverUntil(MediaTime /*hostTime*/) {}
};

}  // namespace brindlow
