#pragma once

// Reading back a stream whose video flashes white and whose audio clicks: when each
// flash and each click begins, as ffmpeg decodes and places them.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Support/SampleBuffer.h"
#include "Support/Subprocess.h"

namespace brindlow::testing {

inline nlohmann::json probeJSON(const std::vector<std::string>& extra, const std::filesystem::path& file) {
    std::vector<std::string> args{"ffprobe", "-v", "error", "-of", "json"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(file.string());
    const auto result = runCommand(args);
    return nlohmann::json::parse(result.output.empty() ? "{}" : result.output, nullptr, false);
}

inline double jsonSeconds(const nlohmann::json& j) {
    return j.is_string() ? std::stod(j.get<std::string>()) : j.get<double>();
}

// The times (seconds) of the frames that turn white after a dark one, of the dark frame
// before each (the flash came between the two), and of the first frame.
struct DecodedVideo {
    double firstFrame = -1;
    std::vector<double> flashes;
    std::vector<double> darkBefore;
};
inline DecodedVideo decodeFlashes(const std::filesystem::path& file) {
    DecodedVideo decoded;
    const auto frames = probeJSON({"-select_streams", "v:0", "-show_entries", "frame=pts_time"}, file)["frames"];
    const auto pixels = runCommand({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:v", "-fps_mode",
                                    "passthrough", "-vf", "scale=8:8,format=gray", "-f", "rawvideo", "-"});
    if (!frames.is_array() || pixels.output.size() != frames.size() * 64) return decoded;
    bool lit = false;
    for (size_t i = 0; i < frames.size(); ++i) {
        const double t = jsonSeconds(frames[i]["pts_time"]);
        if (i == 0) decoded.firstFrame = t;
        const bool white = uint8_t(pixels.output[i * 64 + 27]) > 128;
        if (white && !lit) {
            decoded.flashes.push_back(t);
            decoded.darkBefore.push_back(i > 0 ? jsonSeconds(frames[i - 1]["pts_time"]) : -1);
        }
        lit = white;
    }
    return decoded;
}

// A stream's sound decoded as 48 kHz mono float.
inline std::vector<float> decodedSound(const std::filesystem::path& file) {
    const auto pcm = runCommand({"ffmpeg", "-v", "error", "-i", file.string(), "-map", "0:a", "-f", "f32le", "-ac", "1",
                                 "-ar", "48000", "-"});
    std::vector<float> samples(pcm.output.size() / sizeof(float));
    std::memcpy(samples.data(), pcm.output.data(), samples.size() * sizeof(float));
    return samples;
}

// The seconds of the audio stream's first sample, or -1 with no audio.
inline double audioStart(const std::filesystem::path& file) {
    const auto stream = probeJSON({"-select_streams", "a:0", "-show_entries", "stream=start_time"}, file)["streams"];
    return stream.is_array() && !stream.empty() ? jsonSeconds(stream[0]["start_time"]) : -1;
}

// The times (seconds) where clicks begin: a sample louder than 0.3 after 0.2 s of quiet.
struct DecodedAudio {
    double start = -1;                 // the stream's first sample
    bool regularPackets = true;        // every packet 1024 samples after the one before
    std::vector<double> clicks;
};
inline DecodedAudio decodeClicks(const std::filesystem::path& file) {
    DecodedAudio decoded;
    if ((decoded.start = audioStart(file)) < 0) return decoded;
    const auto packets = probeJSON({"-select_streams", "a:0", "-show_entries", "packet=pts"}, file)["packets"];
    for (size_t i = 0; i + 1 < packets.size(); ++i)
        if (packets[i + 1]["pts"].get<int64_t>() - packets[i]["pts"].get<int64_t>() != 1024) decoded.regularPackets = false;
    const auto samples = decodedSound(file);
    double quietUntil = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = decoded.start + double(i) / 48'000;
        if (std::abs(samples[i]) > 0.3f && t >= quietUntil) decoded.clicks.push_back(t);
        if (std::abs(samples[i]) > 0.3f) quietUntil = t + 0.2;
    }
    return decoded;
}

// How a take's sound holds up against its pictures: the lengths of both, and the quiet
// stretches of more than 5 ms from 100 ms in to the last picture, in a take whose source
// never falls quiet (a tone). The stop lies within the last picture; after it come the
// last AAC packet's padding and nothing the take recorded.
struct SoundFigures {
    double audioSeconds = 0;  // from 0 to the last decoded sample
    double videoSeconds = 0;  // from 0 to the end of the last picture
    std::vector<std::pair<double, double>> silences;  // (start, length) in seconds
};
inline SoundFigures measureSound(const std::filesystem::path& file, float quiet = 0.01f) {
    SoundFigures figures;
    const auto packets = probeJSON({"-select_streams", "v:0", "-show_entries", "packet=pts_time"}, file)["packets"];
    // The last picture lasts as long as the one before it (the stream does not say).
    double lastPicture = 0;
    if (packets.is_array() && packets.size() >= 2) {
        lastPicture = jsonSeconds(packets[packets.size() - 1]["pts_time"]);
        figures.videoSeconds = 2 * lastPicture - jsonSeconds(packets[packets.size() - 2]["pts_time"]);
    }
    const double start = std::max(0.0, audioStart(file));
    const std::vector<float> samples = decodedSound(file);
    figures.audioSeconds = start + double(samples.size()) / 48'000;
    const size_t end = std::min(samples.size(), size_t(std::max(0.0, (lastPicture - start) * 48'000)));
    size_t run = 0;
    for (size_t i = 4'800; i <= end; ++i) {
        if (i < end && std::abs(samples[i]) < quiet) {
            ++run;
            continue;
        }
        if (run > 240) figures.silences.emplace_back(start + double(i - run) / 48'000, double(run) / 48'000);
        run = 0;
    }
    return figures;
}

}  // namespace brindlow::testing
