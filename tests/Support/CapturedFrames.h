#pragma once

// What a capture source delivered, for tests to wait on and read.

#include <algorithm>
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
        return waitFor([&] { return buffers.size() >= count; }, timeout);
    }
    // Waits until the latest frame satisfies `wanted`.
    bool waitFor(const std::function<bool(const SampleBuffer&)>& wanted,
                 std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return waitFor([&] { return !buffers.empty() && wanted(buffers.back()); }, timeout);
    }
    size_t size() { std::lock_guard lock(mutex); return buffers.size(); }
    SampleBuffer last() { std::lock_guard lock(mutex); return buffers.back(); }

private:
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, timeout, done);
    }
};

// Luma and chroma of an NV12 frame's pixel.
inline std::array<int, 3> yuvAt(const SampleBuffer& buffer, int x = 0, int y = 0) {
    const VideoFrame& f = *buffer.videoFrame();
    const size_t c = size_t(y / 2) * f.strideUV + size_t(x / 2) * 2;
    return {f.lumaPlane()[size_t(y) * f.strideY + x], f.chromaPlane()[c], f.chromaPlane()[c + 1]};
}

// How many levels the pixel's luma or chroma is at most away from `yuv`.
inline int offBy(const SampleBuffer& buffer, int x, int y, std::array<int, 3> yuv) {
    const auto seen = yuvAt(buffer, x, y);
    return std::max({std::abs(seen[0] - yuv[0]), std::abs(seen[1] - yuv[1]), std::abs(seen[2] - yuv[2])});
}

}  // namespace brindlow::testing
