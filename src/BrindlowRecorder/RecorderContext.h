#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AuthService.h"
#include "BrindlowAPI.h"
#include "Capture/CameraSource.h"
#include "Capture/MicrophoneSource.h"
#include "Capture/ScreenSource.h"
#include "HTTP/CurlTransport.h"
#include "RecorderEnvironment.h"
#include "TelemetryRecords.h"

namespace brindlow {

// What every front end of the recorder shares: the environment, one HTTP transport,
// the signed-in user's session and the backend client built on them.
struct RecorderContext {
    RecorderEnvironment env;
    std::shared_ptr<CurlTransport> transport;
    std::shared_ptr<TokenStore> store;
    std::shared_ptr<AuthService> auth;

    // The session store is chosen here, once: the Secret Service when it answers.
    static RecorderContext make(RecorderEnvironment env);
    BrindlowAPI api() const;
    AppInfo appInfo() const;
};

// The environment a run asks for: `name` "dev" (the default) or "prod"; a dev
// environment may be pointed at a local stand-in ("W,M,L,G" or a base port).
// Throws std::invalid_argument with a readable message.
RecorderEnvironment chooseEnvironment(const std::optional<std::string>& name,
                                      const std::optional<std::string>& standIn);

struct DeviceList {
    std::vector<ScreenDisplay> displays;
    std::vector<CameraDevice> cameras;
    std::vector<MicrophoneDevice> microphones;
    std::optional<std::string> displayError;  // why there are no displays
};
DeviceList listDevices();

}  // namespace brindlow
