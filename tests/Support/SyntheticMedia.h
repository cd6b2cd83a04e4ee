#pragma once

// Synthetic capture data for tests and benchmarks: moving, noisy and solid NV12 pictures and sine PCM.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <utility>
#include <vector>

#include "Support/SampleBuffer.h"

namespace brindlow::testing {

// A picture whose content changes with `index`: a bright bar moves across a gradient.
inline VideoFrame movingPicture(int width, int height, int64_t index) {
    VideoFrame frame = VideoFrame::make(width, height);
    auto luma = frame.lumaPlane();
    const int bar = int((index * 16) % width);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = luma.data() + size_t(y) * frame.strideY;
        for (int x = 0; x < width; ++x) row[x] = uint8_t(16 + ((x + y + index) & 0x7F));
        for (int x = bar; x < std::min(width, bar + 32); ++x) row[x] = 235;
    }
    auto chroma = frame.chromaPlane();
    for (size_t i = 0; i < chroma.size(); i += 2) {
        chroma[i] = uint8_t(128 + (index % 64));
        chroma[i + 1] = 128;
    }
    return frame;
}

struct SolidColour {
    uint8_t r, g, b;
};

// A whole NV12 picture of one colour (BT.601, limited range).
inline VideoFrame solidPicture(int width, int height, SolidColour c) {
    const double y = 16 + (65.481 * c.r + 128.553 * c.g + 24.966 * c.b) / 255;
    const double u = 128 + (-37.797 * c.r - 74.203 * c.g + 112.0 * c.b) / 255;
    const double v = 128 + (112.0 * c.r - 93.786 * c.g - 18.214 * c.b) / 255;
    VideoFrame frame = VideoFrame::make(width, height);
    auto luma = frame.lumaPlane();
    std::fill(luma.begin(), luma.end(), uint8_t(y + 0.5));
    auto chroma = frame.chromaPlane();
    for (size_t i = 0; i + 1 < chroma.size(); i += 2) {
        chroma[i] = uint8_t(u + 0.5);
        chroma[i + 1] = uint8_t(v + 0.5);
    }
    return frame;
}

// A picture of noise that differs in every frame (a cheap generator: bytes are all that matter).
inline VideoFrame noisePicture(int width, int height, int64_t index) {
    VideoFrame frame = VideoFrame::make(width, height);
    uint64_t state = 0x9E3779B97F4A7C15ull * uint64_t(index + 1);
    for (size_t i = 0; i + 8 <= frame.bytes.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(frame.bytes.data() + i, &state, 8);
    }
    return frame;
}

inline SampleBuffer videoSample(VideoFrame picture, MediaTime at, int fps) {
    return SampleBuffer::video(std::move(picture), {MediaTime(1, fps), at, MediaTime::invalid()});
}

// `frames` mono samples of a sine, continuing the phase from `firstFrame`.
inline SampleBuffer sineSample(int64_t firstFrame, int frames, MediaTime at, double frequency = 440,
                               int sampleRate = 48'000) {
    AudioSamples pcm{sampleRate, 1, std::vector<float>(size_t(frames))};
    for (int i = 0; i < frames; ++i)
        pcm.samples[size_t(i)] = float(0.5 * std::sin(2 * M_PI * frequency * double(firstFrame + i) / sampleRate));
    return SampleBuffer::audio(std::move(pcm), {MediaTime(frames, sampleRate), at, MediaTime::invalid()});
}

// The power of a sine at `frequency` in `count` samples (Goertzel).
inline double powerAt(const float* samples, size_t count, double frequency, int rate) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double s1 = 0, s2 = 0;
    for (size_t i = 0; i < count; ++i) s2 = std::exchange(s1, samples[i] + coefficient * s1 - s2);
    return std::max(s1 * s1 + s2 * s2 - coefficient * s1 * s2, 0.0);
}

// The amplitude (of full scale) of a sine at `frequency` in `samples`: the median over
// tenths of a second, so that a pause's cut in the sine's phase counts for one tenth
// rather than cancelling the sine out.
inline double levelAt(const std::vector<float>& samples, double frequency, int rate) {
    const size_t window = size_t(rate / 10);
    std::vector<double> levels;
    for (size_t at = 0; at + window <= samples.size(); at += window)
        levels.push_back(2 * std::sqrt(powerAt(samples.data() + at, window, frequency, rate)) / double(window));
    if (levels.empty()) return 0;
    std::nth_element(levels.begin(), levels.begin() + long(levels.size() / 2), levels.end());
    return levels[levels.size() / 2];
}

// Energy of `samples` at `frequency` relative to their total energy.
inline double shareAt(const std::vector<float>& samples, double frequency, int rate) {
    double total = 0;
    for (float x : samples) total += double(x) * x;
    return total > 0 ? 2 * powerAt(samples.data(), samples.size(), frequency, rate) / (double(samples.size()) * total) : 0;
}

}  // namespace brindlow::testing
