#pragma once

// Takes recorded for the web app's tests: the real session, writer and uploader
// against a devserver, with synthetic sources of known colours.

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "ObjectPutter.h"
#include "RecordingSession.h"
#include "Support/ColourSources.h"
#include "Support/DevServerProcess.h"
#include "Support/FakeSources.h"
#include "Support/Text.h"

namespace brindlow::testing {

// Red, green, blue, yellow: far apart after any encoder's rounding.
inline const std::vector<SolidColour> kScreenColours{{220, 30, 30}, {30, 200, 40}, {30, 60, 220}, {230, 220, 40}};
inline constexpr double kColourSeconds = 1.0;
inline const SolidColour kCameraColour{200, 40, 200};

class RecordedTakes {
public:
    explicit RecordedTakes(std::vector<std::string> serverFlags = {}) : server(std::move(serverFlags)) {
        options.limits.minRangeBytes = 512;
        options.limits.minRangeSeconds = 0.5;
        options.limits.retryBaseSeconds = 0.05;
        options.heartbeatSeconds = 0;
    }
    ~RecordedTakes() {
        std::error_code ec;
        std::filesystem::remove_all(spool, ec);
    }

    std::shared_ptr<ColourSequenceSource> screenSource(int width = 320, int height = 240) const {
        return std::make_shared<ColourSequenceSource>(CaptureSize{width, height}, 30, kScreenColours,
                                                      kColourSeconds);
    }
    std::shared_ptr<ColourSequenceSource> cameraSource() const {
        return std::make_shared<ColourSequenceSource>(CaptureSize{160, 120}, 30, std::vector{kCameraColour}, 1000);
    }

    std::shared_ptr<RecordingSession> session(std::shared_ptr<CaptureSource> screen,
                                              std::shared_ptr<CaptureSource> camera = nullptr,
                                              std::shared_ptr<CaptureSource> mic = nullptr) {
        FFmpegSegmentEncoder::Options quiet;
        quiet.logEncoderChoice = false;
        quiet.allowHardware = false;
        return RecordingSession::make(api, user, std::make_shared<HTTPObjectPutter>(server.transport()), spool,
                                      std::move(screen), std::move(camera), std::move(mic), std::nullopt, options,
                                      FFmpegSegmentEncoder::factory(quiet));
    }

    // A client of the web app's port.
    httplib::Client web() const {
        httplib::Client client("127.0.0.1", server.port("web"));
        client.set_read_timeout(10, 0);
        return client;
    }

    // The stream as stored: its range objects, concatenated in order.
    std::string storedStream(const std::string& aid, const std::string& stream) const {
        const auto file = std::filesystem::temp_directory_path() / ("brindlow-stored-" + aid + "-" + stream + ".mp4");
        std::ostringstream bytes;
        bytes << std::ifstream(server.storedStream(aid, stream, file), std::ios::binary).rdbuf();
        std::filesystem::remove(file);
        return bytes.str();
    }

    DevServerProcess server;
    BrindlowAPI api = server.api("alice");
    RecorderUser user = api.fetchUser("alice");
    std::filesystem::path spool = std::filesystem::temp_directory_path() / ("brindlow-web-spool-" + randomUUID());
    RecordingSession::Options options;
};

// Records a saved, a discarded and a failed take, in that order, and returns their
// ids; `takes` runs a server started with a short --stale-seconds.
inline std::vector<std::string> recordSavedDiscardedAndFailed(RecordedTakes& takes) {
    using namespace std::chrono_literals;
    takes.options.limits.maxAttempts = 1;
    std::vector<std::string> aids;
    auto savedTake = takes.session(takes.screenSource());
    savedTake->prepare();
    aids.push_back(savedTake->begin());
    std::this_thread::sleep_for(800ms);
    savedTake->stop();
    savedTake->releaseSources();

    auto discardedTake = takes.session(takes.screenSource());
    discardedTake->prepare();
    aids.push_back(discardedTake->begin());
    std::this_thread::sleep_for(600ms);
    discardedTake->restart();
    discardedTake->cancel();

    auto failedTake = takes.session(takes.screenSource());
    failedTake->prepare();
    takes.server.setFault({{"route", "put"}, {"status", 500}});
    aids.push_back(failedTake->begin());
    std::this_thread::sleep_for(800ms);
    EXPECT_THROW(failedTake->stop(), std::exception);
    failedTake->releaseSources();
    return aids;
}

// Waits up to `seconds` for `condition`, checking every 50 ms.
template <typename Condition>
bool eventually(Condition condition, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

}  // namespace brindlow::testing
