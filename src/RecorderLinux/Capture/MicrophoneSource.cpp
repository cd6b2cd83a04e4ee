#include "Capture/MicrophoneSource.h"

#include <pulse/error.h>
#include <pulse/pulseaudio.h>

#include "RecorderError.h"

namespace brindlow {
std::vector<MicrophoneDevice> MicrophoneSource::available() {
    std::vector<MicrophoneDevice> devices;
    const auto inventory = PulseInventory::read();
    if (!inventory) return devices;
    for (const auto& source : inventory->sources)
        if (!source.isMonitor)
            devices.push_back({source.name, source.description, source.name == inventory->defaultSource});
    return devices;
}

MicrophoneSource::MicrophoneSource(MicrophoneDevice device)
    : device_(std::move(device)), sound_(device_.id, "com.brindlow.recorder.mic") {}

MicrophoneSource::~MicrophoneSource() { stop(); }

void MicrophoneSource::start(Deliver deliver) {
    try {
        sound_.start(std::move(deliver));
    } catch (const PulseError& error) {
        // Only a refusal is a permission problem; a missing server or source is the device's fault.
        if (error.code() == PA_ERR_ACCESS || error.code() == PA_ERR_AUTHKEY)
            throw RecorderError::permissionDenied("Microphone");
        throw MicrophoneError("The microphone \"" + device_.name + "\" could not be started: " + error.what());
    }
}

void MicrophoneSource::deliverUntil(MediaTime hostTime) { sound_.deliverUntil(hostTime); }

void MicrophoneSource::stop() { sound_.stop(); }

}  // namespace brindlow
