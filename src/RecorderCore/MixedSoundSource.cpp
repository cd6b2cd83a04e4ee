#include "MixedSoundSource.h"

#include <cstdio>

namespace brindlow {

MixedSoundSource::MixedSoundSource(std::vector<Input> inputs) : inputs_(std::move(inputs)), mixer_(inputs_.size()) {}

MixedSoundSource::~MixedSoundSource() { stop(); }

void MixedSoundSource::start(Deliver deliver) {
    handOff_.setReceiver(std::move(deliver));
    for (size_t i = 0; i < inputs_.size(); ++i) {
        const Input& input = inputs_[i];
        try {
            input.source->start([this, i](const SampleBuffer& buffer) {
                // Handed on under the lock: inputs deliver on threads of their own, and the
                // mix must leave in the order it was made.
                std::lock_guard lock(lock_);
                handOff_.handOn(mixer_.add(i, buffer));
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

void MixedSoundSource::deliverUntil(MediaTime hostTime) {
    for (const auto& input : inputs_) input.source->deliverUntil(hostTime);
    {
        std::lock_guard lock(lock_);
        handOff_.handOn(mixer_.flushUntil(hostTime));
    }
    handOff_.drain();
}

void MixedSoundSource::stop() {
    for (const auto& input : inputs_) input.source->stop();
    handOff_.close();
}

size_t MixedSoundSource::liveInputs() const {
    std::lock_guard lock(lock_);
    return live_;
}

}  // namespace brindlow
