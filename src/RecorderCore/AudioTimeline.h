#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <vector>

#include "Support/MediaTime.h"
#include "Support/SampleBuffer.h"

namespace brindlow {

// Stamps a sound device's samples on the host clock. The device's own sample count is
// the timeline, anchored once, so consecutive buffers are contiguous by construction.
//
// Where that count sits against the host clock is learnt from when samples arrive: the
// newest sample a read finds cannot have been captured after the read, and the earliest
// such arrival over a window is where the count really stands. Reads made late by a busy
// machine, sources that deliver in bursts and the latency figures sound servers report
// (wrong for the first second of a stream, negative on some servers) all only make single
// arrivals later, which the minimum ignores. A slow drift between the device's clock and
// the host's is followed by single samples repeated or left out, far apart; only an
// interruption (lost samples, a suspended or replaced device) leaves a gap, filled with
// silence of the missing length once the new position has settled.
//
// Not thread-safe: one reader feeds it and takes its buffers.
class AudioTimeline {
public:
    struct Options {
        int sampleRate = 48'000;
        int framesPerBuffer = 480;
        double windowSeconds = 10;     // arrivals the position is judged over
        double settleSeconds = 0.5;    // arrivals gathered before a new position is trusted
        double minStallSeconds = 0.5;  // no data for longer (and for twice the usual wait) interrupts
        double jumpSeconds = 0.030;    // recent arrivals this far behind the timeline mean lost samples
        double minRecentSeconds = 1;   // what "recent" means, at least
        int64_t correctionSpacing = 1000;  // frames between two one-frame corrections (0.1 %)
        int64_t deadBandFrames = 48;       // an offset up to this (1 ms) is left alone
        size_t maxBuffersPerTake = 200;    // owed silence goes out a bounded piece at a time
    };
    // What the timeline did to the device's sound.
    struct Figures {
        int64_t silentFrames = 0;     // inserted for interruptions
        int64_t repeatedFrames = 0;   // drift corrections
        int64_t omittedFrames = 0;    // drift corrections
        int64_t interruptions = 0;
    };

    explicit AudioTimeline(Options options);
    AudioTimeline() : AudioTimeline(Options{}) {}

    // A read at host time `now` found `available` frames waiting; they come next through append().
    void arrived(MediaTime now, int64_t available);
    // The device's samples, in order. A hole the server reports is appendSilence.
    void append(std::span<const float> samples);
    void appendSilence(int64_t frames);
    // The device lost samples or stopped for a while: an overflow, a suspend, a move to
    // another device. What follows is held until its position has settled.
    void interrupt();
    // Settles at once with what has arrived so far (for a stop that cannot wait longer).
    void settleNow();

    // Hands out the buffers ready, in order: whole buffers, and with `partial` the last
    // shorter one too. Owed silence goes out at most maxBuffersPerTake buffers per call.
    std::vector<SampleBuffer> take(bool partial = false);
    // Host time just past everything placed on the timeline so far (taken or not); nothing
    // before the first position settled.
    std::optional<MediaTime> end() const;
    bool hasPending() const;
    // The longest wait between two reads lately, in seconds: how long a stop may have to
    // wait for the last samples.
    double longestWait() const { return window_.waits.empty() ? 0 : window_.waits.front().second; }
    const Figures& figures() const { return figures_; }

private:
    struct Window {
        // Monotonic queues: the front holds the minimum arrival and the longest wait.
        std::deque<std::pair<double, double>> arrivals;  // (host seconds, arrival seconds)
        std::deque<std::pair<double, double>> recent;    // the same over a shorter span
        std::deque<std::pair<double, double>> waits;     // (host seconds, seconds since the last read)
        void add(double now, double arrival, double wait, double span, double minRecent);
        void clear() {
            arrivals.clear();
            recent.clear();
            waits.clear();
        }
    };

    MediaTime stamp(int64_t outputFrame) const;
    void settle();
    void place(std::span<const float> samples);
    void flushOut();
    SampleBuffer buffer(std::vector<float> samples);

    const Options options_;
    Figures figures_;
    int64_t raw_ = 0;           // device frames appended so far
    int64_t corrections_ = 0;   // output frames minus device frames
    int64_t target_ = 0;        // the corrections the window asks for
    bool correcting_ = false;
    int64_t sinceCorrection_ = 0;  // frames placed since the last correction
    std::optional<double> origin_;     // host seconds of output frame 0, once settled
    bool settling_ = true;
    std::optional<double> settleFrom_;  // first arrival since settling began
    std::optional<double> lastArrival_;
    Window window_;
    std::vector<float> held_;  // device frames waiting for the position to settle

    int64_t emitted_ = 0;                 // output frames handed out
    std::deque<SampleBuffer> ready_;      // placed before owed silence
    int64_t silence_ = 0;                 // owed silent frames, after ready_
    std::vector<float> out_;              // placed after the silence
};

}  // namespace brindlow
