#include "Capture/MicrophoneSource.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>
#include <pulse/simple.h>

#include <chrono>
#include <algorithm>
#include <cmath>

#include "RecorderError.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {

constexpr const char* applicationName = "Brindlow Recorder";
// Beyond this the sound card's clock and the host clock have drifted apart enough
// to re-anchor the stamps, leaving a tiny gap or overlap rather than a growing skew.
constexpr double maxDriftSeconds = 0.030;
constexpr size_t driftWindow = 100;  // buffers: one second

struct SourceList {
    std::string defaultName;
    std::vector<MicrophoneDevice> devices;
    int pending = 2;
};

}  // namespace

std::vector<MicrophoneDevice> MicrophoneSource::available() {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), applicationName);
    SourceList list;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    bool ready = false;
    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
        while (std::chrono::steady_clock::now() < deadline) {
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
    if (ready) {
        pa_operation* server = pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* user) {
                auto* l = static_cast<SourceList*>(user);
                if (info && info->default_source_name) l->defaultName = info->default_source_name;
                --l->pending;
            },
            &list);
        pa_operation* sources = pa_context_get_source_info_list(
            context,
            [](pa_context*, const pa_source_info* info, int eol, void* user) {
                auto* l = static_cast<SourceList*>(user);
                if (eol) {
                    --l->pending;
                    return;
                }
                if (info && info->monitor_of_sink == PA_INVALID_INDEX && info->name)
                    l->devices.push_back({info->name, info->description ? info->description : info->name, false});
            },
            &list);
        while (list.pending > 0 && std::chrono::steady_clock::now() < deadline &&
               pa_context_get_state(context) == PA_CONTEXT_READY)
            pa_mainloop_iterate(loop, 1, nullptr);
        if (server) pa_operation_unref(server);
        if (sources) pa_operation_unref(sources);
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    for (auto& device : list.devices) device.isDefault = device.id == list.defaultName;
    return list.devices;
}

MediaTime MicrophoneSource::capturedAt(MediaTime readAt, uint64_t latencyMicroseconds,
                                       std::optional<uint64_t>& lastLatency) {
    // A failed query answers (pa_usec_t)-1; the last good answer, else none, stands in.
    if (latencyMicroseconds != uint64_t(-1)) lastLatency = latencyMicroseconds;
    const double latency = double(lastLatency.value_or(0)) / 1e6;
    const double capturedSeconds = readAt.seconds() - latency - double(framesPerBuffer) / sampleRate;
    return MediaTime::fromNanoseconds(int64_t(std::llround(capturedSeconds * 1e9)));
}

MicrophoneSource::MicrophoneSource(MicrophoneDevice device) : device_(std::move(device)) {}

MicrophoneSource::~MicrophoneSource() { stop(); }

void MicrophoneSource::start(Deliver deliver) {
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    if (reader_.joinable()) return;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, uint32_t(sampleRate), 1};
    pa_buffer_attr attributes{};
    attributes.maxlength = uint32_t(-1);
    attributes.fragsize = uint32_t(framesPerBuffer * sizeof(float));  // ask the server for 10 ms pieces
    int error = 0;
    pa_simple* stream = pa_simple_new(nullptr, applicationName, PA_STREAM_RECORD, device_.id.c_str(), "Recording",
                                      &format, nullptr, &attributes, &error);
    if (!stream) {
        // Only a refusal is a permission problem; a missing server or source is the device's fault.
        if (error == PA_ERR_ACCESS || error == PA_ERR_AUTHKEY) throw RecorderError::permissionDenied("Microphone");
        throw MicrophoneError("The microphone \"" + device_.name + "\" could not be started: " + pa_strerror(error));
    }
    reader_ = std::jthread([this, stream](std::stop_token stop) {
        ensureSignalStack();
        readLoop(stop, stream);
    });
}

void MicrophoneSource::readLoop(std::stop_token stop, void* opaque) {
    auto* stream = static_cast<pa_simple*>(opaque);
    int64_t framesSoFar = 0;
    std::optional<uint64_t> lastLatency;  // microseconds
    MediaTime anchor = MediaTime::invalid();  // host time of the stream's first sample
    // How far each recent buffer's capture estimate lay from its stamp. Reads come
    // late by scheduling jitter, so only a drift that every recent estimate agrees
    // on (the card's clock against the host's) moves the stamps.
    std::vector<double> errors;
    errors.reserve(driftWindow);
    while (!stop.stop_requested()) {
        AudioSamples samples{sampleRate, 1, std::vector<float>(framesPerBuffer)};
        int error = 0;
        if (pa_simple_read(stream, samples.samples.data(), samples.samples.size() * sizeof(float), &error) < 0) break;
        const MediaTime readAt = hostNow();
        const MediaTime captured = capturedAt(readAt, pa_simple_get_latency(stream, &error), lastLatency);
        if (!anchor.isValid()) anchor = captured;
        errors.push_back((captured - (anchor + MediaTime(framesSoFar, sampleRate))).seconds());
        if (errors.size() == driftWindow) {
            const auto [low, high] = std::minmax_element(errors.begin(), errors.end());
            const double drift = *low > maxDriftSeconds ? *low : *high < -maxDriftSeconds ? *high : 0;
            if (drift != 0) anchor = anchor + MediaTime::fromNanoseconds(int64_t(std::llround(drift * 1e9)));
            errors.clear();
        }
        const MediaTime start = anchor + MediaTime(framesSoFar, sampleRate);
        framesSoFar += framesPerBuffer;
        auto buffer = SampleBuffer::audio(std::move(samples),
                                          {MediaTime(framesPerBuffer, sampleRate), start, MediaTime::invalid()});
        queue_.async([this, buffer = std::move(buffer)] {
            Deliver deliver;
            {
                std::lock_guard lock(lock_);
                deliver = deliver_;
            }
            if (deliver) deliver(buffer);
        });
    }
    pa_simple_free(stream);
}

void MicrophoneSource::stop() {
    if (reader_.joinable()) {
        reader_.request_stop();
        reader_.join();
    }
    reader_ = {};
    queue_.sync([] {});  // buffers already handed to the queue go out first
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

}  // namespace brindlow
