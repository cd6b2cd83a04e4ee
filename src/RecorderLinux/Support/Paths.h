#pragma once

#include <filesystem>

namespace brindlow {

// $HOME when it is an absolute path, else the home folder in the password database,
// else "/" (never a folder that others may write to and own).
std::filesystem::path homeDirectory();
// $XDG_DATA_HOME/BrindlowRecorder, else ~/.local/share/BrindlowRecorder: the spool,
// telemetry and other data of the recorder.
std::filesystem::path userDataDirectory();
// $XDG_CONFIG_HOME/BrindlowRecorder, else ~/.config/BrindlowRecorder.
std::filesystem::path userConfigDirectory();

}  // namespace brindlow
