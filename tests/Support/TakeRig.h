#pragma once

// Real takes for a test: a recording session with the real encoder and uploader against
// the devserver, from whatever sources the test gives, and its stored streams read back.

#include <cstdlib>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "FFmpeg/FFmpegSegmentEncoder.h"
#include "RecordingSession.h"
#include "Support/DevServerProcess.h"
#include "Support/Text.h"

namespace brindlow::testing {

class TakeRig {
public:
    TakeRig() {
        options.limits.minRangeBytes = 64 * 1024;
        options.limits.minRangeSeconds = 1;
        options.heartbeatSeconds = 0;
    }
    ~TakeRig() {
        if (std::getenv("BRINDLOW_KEEP_TEST_FILES")) return;
        std::error_code ignored;
        std::filesystem::remove_all(spool, ignored);
    }

    static FFmpegSegmentEncoder::Options encoderOptions() {
        FFmpegSegmentEncoder::Options o;
        o.logEncoderChoice = false;
        o.allowHardware = false;
        return o;
    }
    std::shared_ptr<RecordingSession> session(std::shared_ptr<CaptureSource> screen,
                                              std::shared_ptr<CaptureSource> camera = nullptr,
                                              std::shared_ptr<CaptureSource> mic = nullptr,
                                              SegmentEncoderFactory encoder = {}) const {
        return RecordingSession::make(api, user, std::make_shared<HTTPObjectPutter>(server.transport()), spool,
                                      std::move(screen), std::move(camera), std::move(mic), std::nullopt, options,
                                      encoder ? encoder : FFmpegSegmentEncoder::factory(encoderOptions()));
    }
    // A whole take: prepared, begun after `countdown`, recorded while `during` runs on this
    // thread, stopped, its sources let go. Its id. A sound server may take two seconds to
    // wake an idle sink for its first sample, which the app's three-second countdown covers.
    static std::string record(RecordingSession& take, const std::function<void()>& during,
                              std::chrono::milliseconds countdown = {}) {
        take.prepare();
        std::this_thread::sleep_for(countdown);
        std::string aid = take.begin();
        during();
        take.stop();
        take.releaseSources();
        return aid;
    }
    static std::string recordFor(RecordingSession& take, std::chrono::milliseconds length) {
        return record(take, [&] { std::this_thread::sleep_for(length); });
    }
    static void pauseFor(RecordingSession& take, std::chrono::milliseconds length) {
        take.pause();
        std::this_thread::sleep_for(length);
        take.resume();
    }
    // The stream as the devserver stored it, in a file for ffprobe.
    std::filesystem::path stored(const std::string& aid, const std::string& stream) const {
        std::filesystem::create_directories(spool);
        return server.storedStream(aid, stream, spool / (aid + "-" + stream + ".mp4"));
    }

    DevServerProcess server;
    BrindlowAPI api = server.api("alice");
    RecorderUser user = api.fetchUser("alice");
    std::filesystem::path spool = std::filesystem::temp_directory_path() / ("brindlow-spool-" + randomUUID());
    RecordingSession::Options options;
};

}  // namespace brindlow::testing
