#include "Capture/PulseSourceReader.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "Support/Concurrency.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {

constexpr auto connectLimit = std::chrono::seconds(5);
constexpr auto reopenDelay = std::chrono::seconds(1);

}  // namespace

struct PulseSourceReader::Pulse {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::string requested;  // as asked: a source's name or "@DEFAULT_SOURCE@", "@DEFAULT_MONITOR@"
    std::string defaultName;  // the server's default sink or source, for a requested default
    AudioTimeline timeline{AudioTimeline::Options{sampleRate, framesPerBuffer}};
    std::optional<SteadyClock::time_point> reopenAt;  // the server ended the stream
    int64_t reportedSilence = 0;                      // frames of silence already logged
    PulseSourceReader* owner = nullptr;

    ~Pulse() {
        closeStream();
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
        }
        if (loop) pa_mainloop_free(loop);
    }

    void closeStream() {
        if (!stream) return;
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_overflow_callback(stream, nullptr, nullptr);
        pa_stream_set_suspended_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    // Runs the loop until `done` or the time is up; false when the time ran out.
    template <typename Done>
    bool iterateUntil(Done done) {
        const auto deadline = SteadyClock::now() + connectLimit;
        while (!done()) {
            if (SteadyClock::now() >= deadline) return false;
            pa_mainloop_prepare(loop, 20'000);
            pa_mainloop_poll(loop);
            pa_mainloop_dispatch(loop);
        }
        return true;
    }

    [[noreturn]] void fail() const {
        const int code = context ? pa_context_errno(context) : PA_ERR_INTERNAL;
        throw PulseError(code, pa_strerror(code));
    }

    bool followsDefault() const { return requested == "@DEFAULT_MONITOR@" || requested == "@DEFAULT_SOURCE@"; }

    // Starts a stream; the state callback tells when it is recording or has failed.
    bool openStream() {
        const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, uint32_t(sampleRate), 1};
        stream = pa_stream_new(context, "Recording", &format, nullptr);
        if (!stream) return false;
        pa_stream_set_read_callback(stream, &Pulse::onRead, this);
        // Each of these means samples were lost or the device changed: the position is learnt again.
        pa_stream_set_overflow_callback(stream, [](pa_stream*, void* self) { static_cast<Pulse*>(self)->timeline.interrupt(); }, this);
        pa_stream_set_suspended_callback(stream, [](pa_stream*, void* self) { static_cast<Pulse*>(self)->timeline.interrupt(); }, this);
        pa_stream_set_moved_callback(stream, [](pa_stream*, void* self) { static_cast<Pulse*>(self)->moved(); }, this);
        pa_stream_set_state_callback(stream, &Pulse::onState, this);
        pa_buffer_attr attributes{};
        attributes.maxlength = uint32_t(-1);
        attributes.fragsize = uint32_t(framesPerRead * sizeof(float));
        // A default is asked for by the name it stands for now: PipeWire's server answers
        // "@DEFAULT_MONITOR@" with the default source instead of the output's monitor.
        const std::string& name = followsDefault() && !defaultName.empty() ? defaultName : requested;
        return pa_stream_connect_record(stream, name.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) >= 0;
    }

    void moved() {
        timeline.interrupt();
        if (owner) owner->noteSource(pa_stream_get_device_name(stream));
    }

    static void onState(pa_stream* s, void* user) {
        auto* self = static_cast<Pulse*>(user);
        const auto state = pa_stream_get_state(s);
        if (state == PA_STREAM_READY && self->owner) self->owner->noteSource(pa_stream_get_device_name(s));
        if ((state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) && self->owner && !self->reopenAt) {
            // Unplugged, or ended by the server: what comes after a reopen follows a gap.
            std::fprintf(stderr, "brindlow: the recording of %s ended (%s); trying again\n", self->requested.c_str(),
                         pa_strerror(pa_context_errno(self->context)));
            self->reopenAt = SteadyClock::now() + reopenDelay;
        }
    }

    static void onRead(pa_stream* s, size_t, void* user) {
        auto* self = static_cast<Pulse*>(user);
        const size_t readable = pa_stream_readable_size(s);
        if (readable == size_t(-1) || readable == 0) return;
        self->timeline.arrived(hostNow(), int64_t(readable / sizeof(float)));
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(s, &data, &bytes) < 0 || bytes == 0) break;
            if (data) self->timeline.append({static_cast<const float*>(data), bytes / sizeof(float)});
            else self->timeline.appendSilence(int64_t(bytes / sizeof(float)));  // a hole the server knows of
            pa_stream_drop(s);
        }
    }

    // The server's default changed: a stream that asked for the default moves with it.
    void watchDefault() {
        if (!followsDefault()) return;
        pa_context_set_subscribe_callback(
            context,
            [](pa_context* c, pa_subscription_event_type_t, uint32_t, void* user) {
                pa_operation* op = pa_context_get_server_info(
                    c, [](pa_context*, const pa_server_info* info, void* user) { static_cast<Pulse*>(user)->serverInfo(info); },
                    user);
                if (op) pa_operation_unref(op);
            },
            this);
        pa_operation* op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr);
        if (op) pa_operation_unref(op);
        op = pa_context_get_server_info(
            context, [](pa_context*, const pa_server_info* info, void* user) { static_cast<Pulse*>(user)->serverInfo(info); },
            this);
        if (op) pa_operation_unref(op);
    }

    void serverInfo(const pa_server_info* info) {
        if (!info) return;
        const char* name = requested == "@DEFAULT_MONITOR@" ? info->default_sink_name : info->default_source_name;
        if (!name) return;
        const std::string target = requested == "@DEFAULT_MONITOR@" ? std::string(name) + ".monitor" : std::string(name);
        if (defaultName.empty()) {
            defaultName = target;
            return;
        }
        if (target == defaultName) return;
        defaultName = target;
        if (stream && pa_stream_get_state(stream) == PA_STREAM_READY) {
            pa_operation* op = pa_context_move_source_output_by_name(context, pa_stream_get_index(stream),
                                                                     target.c_str(), nullptr, nullptr);
            if (op) pa_operation_unref(op);
        }
    }
};

std::optional<PulseInventory> PulseInventory::read() {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), PulseSourceReader::applicationName);
    PulseInventory inventory;
    int pending = 2;
    const auto deadline = SteadyClock::now() + std::chrono::seconds(3);
    bool ready = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (SteadyClock::now() < deadline) {
            const auto state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                ready = true;
                break;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) break;
            pa_mainloop_iterate(loop, 0, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    struct Reading {
        PulseInventory* inventory;
        int* pending;
    } reading{&inventory, &pending};
    if (ready) {
        pa_operation* server = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* user) {
                auto* r = static_cast<Reading*>(user);
                if (info && info->default_source_name) r->inventory->defaultSource = info->default_source_name;
                if (info && info->default_sink_name) r->inventory->defaultSink = info->default_sink_name;
                --*r->pending;
            },
            &reading);
        pa_operation* sources = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* user) {
                auto* r = static_cast<Reading*>(user);
                if (eol) {
                    --*r->pending;
                    return;
                }
                if (info && info->name)
                    r->inventory->sources.push_back({info->name, info->description ? info->description : info->name,
                                                     info->monitor_of_sink != PA_INVALID_INDEX});
            },
            &reading);
        while (pending > 0 && SteadyClock::now() < deadline && pa_context_get_state(context) == PA_CONTEXT_READY)
            pa_mainloop_iterate(loop, 1, nullptr);
        if (server) pa_operation_unref(server);
        if (sources) pa_operation_unref(sources);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    if (!ready || pending > 0) return std::nullopt;
    return inventory;
}

PulseSourceReader::PulseSourceReader(std::string source, OnBuffers onBuffers)
    : pulse_(std::make_unique<Pulse>()), onBuffers_(std::move(onBuffers)) {
    Pulse& p = *pulse_;
    p.requested = std::move(source);
    p.context = pa_context_new(pa_mainloop_get_api(p.loop), applicationName);
    if (!p.context) throw PulseError(PA_ERR_INTERNAL, pa_strerror(PA_ERR_INTERNAL));
    if (pa_context_connect(p.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) p.fail();
    const bool connected = p.iterateUntil([&] {
        const auto state = pa_context_get_state(p.context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
    });
    if (!connected) throw PulseError(PA_ERR_TIMEOUT, pa_strerror(PA_ERR_TIMEOUT));
    if (pa_context_get_state(p.context) != PA_CONTEXT_READY) p.fail();
    if (p.followsDefault()) {
        p.watchDefault();
        p.iterateUntil([&] { return !p.defaultName.empty(); });
    }
    if (!p.openStream()) p.fail();
    const bool opened = p.iterateUntil([&] {
        const auto state = pa_stream_get_state(p.stream);
        return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
    });
    if (!opened) throw PulseError(PA_ERR_TIMEOUT, pa_strerror(PA_ERR_TIMEOUT));
    if (pa_stream_get_state(p.stream) != PA_STREAM_READY) p.fail();
    currentSource_ = pa_stream_get_device_name(p.stream) ? pa_stream_get_device_name(p.stream) : p.requested;
    p.owner = this;
    running_ = true;
    reader_ = std::jthread([this](std::stop_token stop) {
        ensureSignalStack();
        run(stop);
    });
}

PulseSourceReader::~PulseSourceReader() { stop(); }

void PulseSourceReader::noteSource(const char* name) {
    if (!name) return;
    std::lock_guard lock(lock_);
    currentSource_ = name;
}

std::string PulseSourceReader::currentSource() const {
    std::lock_guard lock(lock_);
    return currentSource_;
}

AudioTimeline::Figures PulseSourceReader::figures() const {
    std::lock_guard lock(lock_);
    return figures_;
}

void PulseSourceReader::run(std::stop_token stop) {
    Pulse& p = *pulse_;
    std::stop_callback wake(stop, [&p] { pa_mainloop_wakeup(p.loop); });
    while (!stop.stop_requested()) {
        if (pa_mainloop_prepare(p.loop, 100'000) < 0 || pa_mainloop_poll(p.loop) < 0 ||
            pa_mainloop_dispatch(p.loop) < 0)
            break;
        if (p.reopenAt && SteadyClock::now() >= *p.reopenAt) {
            p.closeStream();
            p.reopenAt.reset();
            if (pa_context_get_state(p.context) != PA_CONTEXT_READY) break;  // the server is gone
            if (p.openStream()) p.timeline.interrupt();
            else p.reopenAt = SteadyClock::now() + reopenDelay;
        }
        MediaTime flushBefore;
        bool settleNow = false;
        {
            std::lock_guard lock(lock_);
            flushBefore = flushBefore_;
            settleNow = settleNow_;
        }
        // A stop waits for the samples before it: once the timeline is past it, the short
        // buffer goes too; a stop that ran out of patience settles with what there is.
        bool partial = settleNow;
        if (settleNow) p.timeline.settleNow();
        else if (flushBefore.isValid()) {
            const auto end = p.timeline.end();
            partial = end && *end >= flushBefore;
        }
        handOn(partial);
    }
    std::lock_guard lock(lock_);
    running_ = false;
    changed_.notify_all();
}

void PulseSourceReader::handOn(bool partial) {
    Pulse& p = *pulse_;
    std::vector<SampleBuffer> buffers;
    do {
        auto more = p.timeline.take(partial);
        if (more.empty()) break;
        for (auto& b : more) buffers.push_back(std::move(b));
    } while (partial && p.timeline.hasPending());
    const auto& figures = p.timeline.figures();
    if (figures.silentFrames > p.reportedSilence) {
        std::fprintf(stderr, "brindlow: sound from %s was interrupted; %.3f s of silence keeps it in time\n",
                     p.requested.c_str(), double(figures.silentFrames - p.reportedSilence) / sampleRate);
        p.reportedSilence = figures.silentFrames;
    }
    if (!buffers.empty()) onBuffers_(buffers);
    std::lock_guard lock(lock_);
    figures_ = figures;
    longestWait_ = p.timeline.longestWait();
    if (!buffers.empty()) handedOnUntil_ = buffers.back().presentationTime() + buffers.back().duration();
    if (partial) {
        flushBefore_ = MediaTime::invalid();
        settleNow_ = false;
    }
    changed_.notify_all();
}

void PulseSourceReader::deliverUntil(MediaTime hostTime) {
    std::unique_lock lock(lock_);
    if (!running_ || !hostTime.isValid()) return;
    const auto reached = [&] { return !running_ || (handedOnUntil_ && *handedOnUntil_ >= hostTime); };
    if (reached()) return;
    // A source that delivers every 2 s may still hold the last 2 s; one that delivers every
    // 21 ms has nothing left after a quarter of a second.
    const double patience = std::clamp(1.25 * longestWait_ + 0.25, 0.25, 4.0);
    flushBefore_ = hostTime;
    pa_mainloop_wakeup(pulse_->loop);
    if (changed_.wait_for(lock, std::chrono::duration<double>(patience), reached)) return;
    // Out of patience: whatever was read goes out now, on the reader's thread.
    settleNow_ = true;
    pa_mainloop_wakeup(pulse_->loop);
    changed_.wait_for(lock, std::chrono::seconds(1), [&] { return !running_ || !settleNow_; });
}

void PulseSourceReader::stop() {
    if (reader_.joinable()) {
        reader_.request_stop();
        reader_.join();
    }
}

}  // namespace brindlow
