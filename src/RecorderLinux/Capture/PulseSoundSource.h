#pragma once

#include <memory>
#include <optional>
#include <string>

#include "BufferHandOff.h"
#include "CaptureSource.h"
#include "Capture/PulseSourceReader.h"

namespace brindlow {

// Records one PulseAudio source by name as 48 kHz mono float in buffers of 10 ms,
// delivered on a queue of its own. Each buffer is stamped with the host time its first
// sample was captured at; the stamps follow the sample count, so buffers neither overlap
// nor leave gaps but where the device lost sound.
class PulseSoundSource final : public CaptureSource {
public:
    PulseSoundSource(std::string source, std::string queueLabel);
    ~PulseSoundSource() override;

    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    // Throws PulseError when there is no server, no such source, or access is refused.
    void start(Deliver deliver) override;
    void stop() override;
    void deliverUntil(MediaTime hostTime) override;

    // The source recorded now: the asked-for name, or what a default resolved to.
    std::string currentSource() const;

private:
    const std::string source_;
    BufferHandOff handOff_;
    std::unique_ptr<PulseSourceReader> reader_;  // set by start, used by the controlling thread
};

}  // namespace brindlow
