#include "MixedSoundSource.h"

#include <cstdio>

namespace brindlow {

MixedSoundSource::MixedSoundSource(std::vector<Input> inputs) : inputs_(std::move(inputs)), mixer_(inputs_.size()) {}

MixedSoundSource::~MixedSoundSource() { stop(); }

void MixedSoundSource::start(Deliver deliver) {
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const Input& input = inputs_[i];
        try {
            input.source->start([this, i](const SampleBuffer& buffer) {
                std::vector<SampleBuffer> mixed;
                {
                    std::lock_guard lock(lock_);
                    mixed = mixer_.add(i, buffer);
                }
                handOn(std::move(mixed));
            });
            std::lock_guard lock(lock_);
            ++live_;
        } catch (const std::exception& error) {
            if (input.required) {
                stop();
                throw;
            }
            std::fprintf(stderr, "brindlow: recording without one sound: %s\n", error.what());
            std::lock_guard lock(lock_);
            mixer_.leaveOut(i);
        }
    }
}

void MixedSoundSource::handOn(std::vector<SampleBuffer> buffers) {
    if (buffers.empty()) return;
    queue_.async([this, buffers = std::move(buffers)] {
        Deliver deliver;
        {
            std::lock_guard lock(lock_);
            deliver = deliver_;
        }
        if (deliver)
            for (const auto& buffer : buffers) deliver(buffer);
    });
}

void MixedSoundSource::deliverUntil(MediaTime hostTime) {
    for (const auto& input : inputs_) input.source->deliverUntil(hostTime);
    std::vector<SampleBuffer> mixed;
    {
        std::lock_guard lock(lock_);
        mixed = mixer_.flushUntil(hostTime);
    }
    handOn(std::move(mixed));
    queue_.sync([] {});
}

void MixedSoundSource::stop() {
    for (const auto& input : inputs_) input.source->stop();
    queue_.sync([] {});
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

size_t MixedSoundSource::liveInputs() const {
    std::lock_guard lock(lock_);
    return live_;
}

}  // namespace brindlow
