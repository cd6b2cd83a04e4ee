#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "CaptureSource.h"
#include "Capture/PulseSoundSource.h"

namespace brindlow {

// Computer sound that could not be recorded: no sound server, or one without a monitor.
class ComputerSoundError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the computer plays: the monitor of the sound server's default output, moved to
// the new default's monitor when the default output changes mid-take. Delivered on the
// "com.brindlow.recorder.computer-sound" queue, stamped as PulseSoundSource stamps them.
class ComputerSoundSource final : public CaptureSource {
public:
    // Why what the computer plays cannot be recorded here; nothing when it can.
    static std::optional<std::string> problem();

    ComputerSoundSource();
    ~ComputerSoundSource() override;

    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    // Throws ComputerSoundError with the server's reason.
    void start(Deliver deliver) override;
    void stop() override;
    void deliverUntil(MediaTime hostTime) override;

    // The monitor recorded now (for example "nullsink.monitor").
    std::string currentSource() const { return sound_.currentSource(); }

private:
    PulseSoundSource sound_;
};

}  // namespace brindlow
