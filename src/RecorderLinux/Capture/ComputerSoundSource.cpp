#include "Capture/ComputerSoundSource.h"

#include <algorithm>

namespace brindlow {

std::optional<std::string> ComputerSoundSource::problem() {
    const auto inventory = PulseInventory::read();
    if (!inventory) return "No sound server is running.";
    const std::string monitor = inventory->defaultSink + ".monitor";
    const bool found = std::any_of(inventory->sources.begin(), inventory->sources.end(), [&](const auto& source) {
        return source.isMonitor && (inventory->defaultSink.empty() || source.name == monitor);
    });
    if (!found) return "The sound server does not let apps hear what it plays.";
    return std::nullopt;
}

ComputerSoundSource::ComputerSoundSource() : sound_("@DEFAULT_MONITOR@", "com.brindlow.recorder.computer-sound") {}

ComputerSoundSource::~ComputerSoundSource() { stop(); }

void ComputerSoundSource::start(Deliver deliver) {
    try {
        sound_.start(std::move(deliver));
    } catch (const PulseError& error) {
        throw ComputerSoundError(std::string("The computer's sound could not be recorded: ") + error.what());
    }
}

void ComputerSoundSource::stop() { sound_.stop(); }

void ComputerSoundSource::deliverUntil(MediaTime hostTime) { sound_.deliverUntil(hostTime); }

}  // namespace brindlow
