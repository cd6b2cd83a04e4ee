#include "Capture/PulseSoundSource.h"

namespace brindlow {

PulseSoundSource::PulseSoundSource(std::string source, std::string queueLabel)
    : source_(std::move(source)), queue_(std::move(queueLabel)) {}

PulseSoundSource::~PulseSoundSource() { stop(); }

void PulseSoundSource::start(Deliver deliver) {
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    if (reader_) return;
    reader_ = std::make_unique<PulseSourceReader>(source_, [this](std::vector<SampleBuffer> buffers) {
        queue_.async([this, buffers = std::move(buffers)] {
            Deliver deliver;
            {
                std::lock_guard lock(lock_);
                deliver = deliver_;
            }
            if (deliver)
                for (const auto& buffer : buffers) deliver(buffer);
        });
    });
}

void PulseSoundSource::deliverUntil(MediaTime hostTime) {
    if (!reader_) return;
    reader_->deliverUntil(hostTime);
    queue_.sync([] {});
}

void PulseSoundSource::stop() {
    if (reader_) reader_->stop();
    reader_.reset();
    queue_.sync([] {});  // buffers already handed to the queue go out first
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

std::string PulseSoundSource::currentSource() const { return reader_ ? reader_->currentSource() : source_; }

}  // namespace brindlow
