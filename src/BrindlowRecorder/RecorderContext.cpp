#include "RecorderContext.h"

#include <stdexcept>

#include "Secrets/SecretServiceTokenStore.h"

namespace brindlow {

RecorderContext RecorderContext::make(RecorderEnvironment env) {
    RecorderContext context;
    context.transport = std::make_shared<CurlTransport>();
    context.store = makeTokenStore(env.name);
    context.auth = std::make_shared<AuthService>(env, context.transport, context.store);
    context.env = std::move(env);
    return context;
}

BrindlowAPI RecorderContext::api() const { return BrindlowAPI(env, HTTPClient(transport, auth)); }

AppInfo RecorderContext::appInfo() const {
    return AppInfo::current(env.name, nlohmann::json{{"CFBundleShortVersionString", BRINDLOW_VERSION},
                                                     {"CFBundleVersion", BRINDLOW_BUILD}});
}

RecorderEnvironment chooseEnvironment(const std::optional<std::string>& name, const std::optional<std::string>& standIn) {
    const std::string chosen = name.value_or("dev");
    if (chosen != "dev" && chosen != "prod") throw std::invalid_argument("the environment is \"dev\" or \"prod\"");
    if (chosen == "prod") {
        if (standIn) throw std::invalid_argument("only the dev environment can use a local stand-in");
        return RecorderEnvironment::prod();
    }
    if (!standIn) return RecorderEnvironment::dev();
    const auto ports = StandInPorts::parse(*standIn);
    if (!ports) throw std::invalid_argument("a stand-in is \"W,M,L,G\" or one base port");
    return RecorderEnvironment::dev().withStandIn(*ports);
}

DeviceList listDevices() {
    DeviceList list;
    try {
        list.displays = availableDisplays();
    } catch (const std::exception& error) {
        list.displayError = error.what();
    }
    list.cameras = CameraSource::available();
    list.microphones = MicrophoneSource::available();
    return list;
}

}  // namespace brindlow
