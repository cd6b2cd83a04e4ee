#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "BufferHandOff.h"
#include "CaptureSource.h"
#include "SoundMixer.h"

namespace brindlow {

// Several sound sources recorded as one (the microphone and what the computer plays):
// their buffers are mixed by a SoundMixer and delivered on the
// "com.brindlow.recorder.sound-mix" queue, stamped on the host clock like any sound
// source's. An input that is not `required` and fails to start is left out with a line
// on stderr; the others go on without it.
class MixedSoundSource final : public CaptureSource {
public:
    struct Input {
        std::shared_ptr<CaptureSource> source;
        bool required = true;
    };

    explicit MixedSoundSource(std::vector<Input> inputs);
    ~MixedSoundSource() override;
    MixedSoundSource(const MixedSoundSource&) = delete;
    MixedSoundSource& operator=(const MixedSoundSource&) = delete;

    std::optional<CaptureSize> videoSize() const override { return std::nullopt; }
    // Throws what a required input throws.
    void start(Deliver deliver) override;
    void stop() override;
    void deliverUntil(MediaTime hostTime) override;

    // How many inputs are recording.
    size_t liveInputs() const;

private:
    const std::vector<Input> inputs_;
    mutable std::mutex lock_;
    SoundMixer mixer_;       // guarded by lock_
    size_t live_ = 0;        // guarded by lock_
    BufferHandOff handOff_{"com.brindlow.recorder.sound-mix"};
};

}  // namespace brindlow
