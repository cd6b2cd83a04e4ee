#pragma once

#include <filesystem>

namespace brindlow {

// $XDG_DATA_HOME/BrindlowRecorder, else ~/.local/share/BrindlowRecorder: the spool,
// telemetry and other data of the recorder.
std::filesystem::path userDataDirectory();
// $XDG_CONFIG_HOME/BrindlowRecorder, else ~/.config/BrindlowRecorder.
std::filesystem::path userConfigDirectory();

}  // namespace brindlow
