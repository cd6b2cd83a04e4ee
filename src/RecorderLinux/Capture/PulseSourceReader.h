#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AudioTimeline.h"
#include "Support/SampleBuffer.h"

namespace brindlow {

// A PulseAudio call that failed, with the server's error code (PA_ERR_*) and its text.
class PulseError : public std::runtime_error {
public:
    PulseError(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const { return code_; }

private:
    int code_;
};

// What a PulseAudio server has to record from; nothing when no server answers in time.
struct PulseInventory {
    struct Source {
        std::string name;
        std::string description;
        bool isMonitor = false;  // of an output: what it plays
    };
    std::string defaultSource;
    std::string defaultSink;
    std::vector<Source> sources;

    // The server named by PULSE_SERVER, else the user's.
    static std::optional<PulseInventory> read();
};

// Records one PulseAudio source (PipeWire's PulseAudio server answers the same) as 48 kHz
// mono float on a thread of its own, stamps it with an AudioTimeline and hands it on in
// 10 ms buffers. The server's notices of lost sound (an overflow, a suspended source, a
// move to another device) become gaps of silence; a stream the server ends is reopened
// every second. The stream's name is followed when the server's default changes if it is
// one of PulseAudio's "@DEFAULT_...@" names.
class PulseSourceReader {
public:
    using OnBuffers = std::function<void(std::vector<SampleBuffer>)>;
    static constexpr int sampleRate = 48'000;
    static constexpr int framesPerBuffer = 480;
    // What the server is asked to hand over at a time. PipeWire runs the whole desktop's
    // sound at the shortest period any stream asks for; below its default of 1024 frames
    // its PulseAudio server loses whole periods on a busy machine.
    static constexpr int framesPerRead = 1024;
    static constexpr const char* applicationName = "Brindlow Recorder";  // as the server lists its clients

    // Connects to the server (PULSE_SERVER, else the user's) and starts recording; throws
    // PulseError when there is no server, no such source, or access is refused.
    // `onBuffers` is called on the reader's thread, in order.
    PulseSourceReader(std::string source, OnBuffers onBuffers);
    ~PulseSourceReader();
    PulseSourceReader(const PulseSourceReader&) = delete;
    PulseSourceReader& operator=(const PulseSourceReader&) = delete;

    // Blocks until every sample captured before `hostTime` has been handed on, or until the
    // source has been silent for longer than it ever waits between deliveries (a few
    // seconds at most); whatever was read by then is handed on, a short buffer included.
    void deliverUntil(MediaTime hostTime);
    // Stops reading; nothing is handed on after it returns. Safe to call twice.
    void stop();

    // The name of the source the stream records now (a default resolved, or moved to).
    std::string currentSource() const;
    AudioTimeline::Figures figures() const;

private:
    struct Pulse;  // the server's objects; after the constructor, used by the reader thread only

    void run(std::stop_token stop);
    void handOn(bool partial);
    void noteSource(const char* name);

    std::unique_ptr<Pulse> pulse_;
    const OnBuffers onBuffers_;

    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::optional<MediaTime> handedOnUntil_;  // guarded by lock_: host time past the last buffer handed on
    MediaTime flushBefore_;                   // guarded by lock_: a deliverUntil waiting for a short buffer
    bool settleNow_ = false;                  // guarded by lock_: a deliverUntil out of patience
    double longestWait_ = 0;                  // guarded by lock_: seconds between deliveries, lately
    bool running_ = false;                    // guarded by lock_
    AudioTimeline::Figures figures_;          // guarded by lock_
    std::string currentSource_;               // guarded by lock_
    std::jthread reader_;  // last: stops before the state it uses goes away
};

}  // namespace brindlow
