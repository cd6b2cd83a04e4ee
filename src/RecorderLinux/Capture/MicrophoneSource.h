#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "CaptureSource.h"
#include "Capture/PulseSoundSource.h"

namespace brindlow {

// A microphone that could not be started for a reason other than a refusal: no sound
// server, or a source the server does not have.
class MicrophoneError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A PulseAudio source that records (monitors of outputs are left out).
struct MicrophoneDevice {
    std::string id;    // the source's name
    std::string name;  // its description
    bool isDefault = false;
    bool operator==(const MicrophoneDevice&) const = default;
};

// Records one PulseAudio source as 48 kHz mono float in buffers of 10 ms, delivered on
// the "com.brindlow.recorder.mic" queue, stamped as PulseSoundSource stamps them.
class MicrophoneSource final : public CaptureSource {
public:
    static constexpr int sampleRate = PulseSourceReader::sampleRate;
    static constexpr int framesPerBuffer = PulseSourceReader::framesPerBuffer;

    // The sources of the server (PULSE_SERVER, else the user's); none when no server answers.
    static std::vector<MicrophoneDevice> available();

    explicit MicrophoneSource(MicrophoneDevice device);
    ~MicrophoneSource() override;

    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    // Throws RecorderError::permissionDenied("Microphone") when the server refuses access,
    // MicrophoneError when there is no server or no such source.
    void start(Deliver deliver) override;
    void stop() override;
    void deliverUntil(MediaTime hostTime) override;

    const MicrophoneDevice& device() const { return device_; }

private:
    const MicrophoneDevice device_;
    PulseSoundSource sound_;
};

}  // namespace brindlow
