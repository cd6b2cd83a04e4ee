#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Support/SampleBuffer.h"

typedef struct x264_t x264_t;
typedef struct x264_param_t x264_param_t;

namespace brindlow {

// libx264 used directly rather than through libavcodec: only so can the preset
// change in the middle of a take while the stream keeps its parameter sets.
class X264Stream {
public:
    struct Settings {
        int width = 0, height = 0;
        int fps = 30;
        int64_t bitRate = 0;    // bits per second, on average
        int maxKeyInterval = 60;
        int timescale = 90'000;  // of the timestamps going in and out
        std::string preset;
        int threads = 1;         // 0: as many as libx264 likes
    };
    struct Packet {
        std::vector<uint8_t> data;  // Annex B
        int64_t pts = 0, dts = 0;
        bool key = false;
    };

    // Throws EncoderError when libx264 refuses the settings.
    explicit X264Stream(Settings settings);
    ~X264Stream();
    X264Stream(const X264Stream&) = delete;
    X264Stream& operator=(const X264Stream&) = delete;

    // The sequence and picture parameter sets, Annex B, for the whole stream.
    std::vector<uint8_t> parameterSets() const;
    // Encodes one NV12 picture, an IDR when `key`; nullptr drains one held-back picture.
    // A `repeat` (the same picture as the one before) has nothing to search for, so it
    // is analysed with the cheapest settings; after a few that refine the picture, a
    // coarse quantiser makes every block a skip. A still screen costs a third less CPU
    // and a third of the bits, and looks as it did after those few.
    std::optional<Packet> encode(const VideoFrame* picture, int64_t pts, bool key, bool repeat = false);
    bool hasDelayedFrames() const;
    // Takes another preset's analysis settings from the next picture on.
    bool changePreset(const std::string& preset);
    const std::string& preset() const { return settings_.preset; }

private:
    // The settings a picture may carry: libx264 reads them when it gets to that picture,
    // so every set handed over stays alive, unchanged, as long as the encoder.
    struct Modes;

    bool fill(::x264_param_t& params, const std::string& preset) const;
    // The preset's two sets, made once: a preset stepped back to reuses them.
    const Modes* modesFor(const std::string& preset);

    Settings settings_;
    x264_t* encoder_ = nullptr;
    std::map<std::string, std::unique_ptr<Modes>> modes_;  // one per preset used
    const Modes* current_ = nullptr;
    const ::x264_param_t* carried_ = nullptr;    // the set in force for the next picture
    int repeats_ = 0;                             // repeated pictures in a row
};

}  // namespace brindlow
