#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "CaptureSource.h"
#include "Support/Concurrency.h"

namespace brindlow {

// Hands a capture source's buffers on to its receiver, in order, on a serial queue of
// the source's own: the thread that made them (a sound server's loop, a mixer) never
// waits for the receiver.
class BufferHandOff {
public:
    explicit BufferHandOff(std::string queueName) : queue_(std::move(queueName)) {}

    void setReceiver(CaptureSource::Deliver deliver) {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    void handOn(std::vector<SampleBuffer> buffers) {
        if (buffers.empty()) return;
        queue_.async([this, buffers = std::move(buffers)] {
            CaptureSource::Deliver deliver;
            {
                std::lock_guard lock(lock_);
                deliver = deliver_;
            }
            if (deliver)
                for (const auto& buffer : buffers) deliver(buffer);
        });
    }
    // Returns once everything handed on so far has been delivered.
    void drain() { queue_.sync([] {}); }
    // Delivers what was handed on, then nothing more.
    void close() {
        drain();
        setReceiver(nullptr);
    }

private:
    std::mutex lock_;
    CaptureSource::Deliver deliver_;  // guarded by lock_
    SerialQueue queue_;
};

}  // namespace brindlow
