#include "Capture/MicrophoneSource.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>

#include <chrono>
#include <algorithm>
#include <cmath>

#include "RecorderError.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {

struct SourceList {
    std::string defaultName;
    std::vector<MicrophoneDevice> devices;
    int pending = 2;
};

}  // namespace

std::vector<MicrophoneDevice> MicrophoneSource::available() {
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), PulseSourceReader::applicationName);
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

MicrophoneSource::MicrophoneSource(MicrophoneDevice device) : device_(std::move(device)) {}

MicrophoneSource::~MicrophoneSource() { stop(); }

void MicrophoneSource::start(Deliver deliver) {
    {
        std::lock_guard lock(lock_);
        deliver_ = std::move(deliver);
    }
    if (reader_) return;
    try {
        reader_ = std::make_unique<PulseSourceReader>(device_.id, [this](std::vector<SampleBuffer> buffers) {
            queue_.async([this, buffers = std::move(buffers)] {
                Deliver deliver;
                {
                    std::lock_guard lock(lock_);
                    deliver = deliver_;
                }
                if (deliver)
                    for (const auto& buffer : buffers) deliver(buffer);
            });
        });
    } catch (const PulseError& error) {
        // Only a refusal is a permission problem; a missing server or source is the device's fault.
        if (error.code() == PA_ERR_ACCESS || error.code() == PA_ERR_AUTHKEY)
            throw RecorderError::permissionDenied("Microphone");
        throw MicrophoneError("The microphone \"" + device_.name + "\" could not be started: " + error.what());
    }
}

void MicrophoneSource::deliverUntil(MediaTime hostTime) {
    if (!reader_) return;
    reader_->deliverUntil(hostTime);
    queue_.sync([] {});
}

void MicrophoneSource::stop() {
    if (reader_) reader_->stop();
    reader_.reset();
    queue_.sync([] {});  // buffers already handed to the queue go out first
    std::lock_guard lock(lock_);
    deliver_ = nullptr;
}

}  // namespace brindlow
