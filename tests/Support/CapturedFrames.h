#pragma once

// What a capture source delivered, for tests to wait on and read.

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "CaptureSource.h"

namespace brindlow::testing {

struct Frames {
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<SampleBuffer> buffers;

    CaptureSource::Deliver deliver() {
        return [this](const SampleBuffer& buffer) {
            std::lock_guard lock(mutex);
            buffers.push_back(buffer);
            arrived.notify_all();
        };
    }
    bool waitFor(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return buffers.size() >= count; });
    }
    // Waits until the latest frame satisfies `wanted`; that frame.
    std::optional<SampleBuffer> waitFor(const std::function<bool(const SampleBuffer&)>& wanted,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        std::unique_lock lock(mutex);
        std::optional<SampleBuffer> found;
        arrived.wait_for(lock, timeout, [&] {
            if (!buffers.empty() && wanted(buffers.back())) found = buffers.back();
            return found.has_value();
        });
        return found;
    }
    size_t size() {
        std::lock_guard lock(mutex);
        return buffers.size();
    }
    SampleBuffer last() {
        std::lock_guard lock(mutex);
        return buffers.back();
    }
};

// Luma and chroma of an NV12 frame's pixel.
inline std::array<int, 3> yuvAt(const SampleBuffer& buffer, int x = 0, int y = 0) {
    const VideoFrame& f = *buffer.videoFrame();
    const auto luma = f.lumaPlane();
    const auto chroma = f.chromaPlane();
    const size_t c = size_t(y / 2) * f.strideUV + size_t(x / 2) * 2;
    return {luma[size_t(y) * f.strideY + x], chroma[c], chroma[c + 1]};
}

}  // namespace brindlow::testing
