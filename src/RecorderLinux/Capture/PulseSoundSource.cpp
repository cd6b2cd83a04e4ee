#include "Capture/PulseSoundSource.h"

namespace brindlow {

PulseSoundSource::PulseSoundSource(std::string source, std::string queueLabel)
    : source_(std::move(source)), handOff_(std::move(queueLabel)) {}

PulseSoundSource::~PulseSoundSource() { stop(); }

void PulseSoundSource::start(Deliver deliver) {
    handOff_.setReceiver(std::move(deliver));
    if (reader_) return;
    reader_ = std::make_unique<PulseSourceReader>(
        source_, [this](std::vector<SampleBuffer> buffers) { handOff_.handOn(std::move(buffers)); });
}

void PulseSoundSource::deliverUntil(MediaTime hostTime) {
    if (!reader_) return;
    reader_->deliverUntil(hostTime);
    handOff_.drain();
}

void PulseSoundSource::stop() {
    if (reader_) reader_->stop();
    reader_.reset();
    handOff_.close();  // buffers already handed on go out first
}

std::string PulseSoundSource::currentSource() const { return reader_ ? reader_->currentSource() : source_; }

}  // namespace brindlow
