#include "RecorderEnvironment.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "EnvironmentConfig.h"
#include "Support/URL.h"

namespace brindlow {
namespace {

RecorderEnvironment checked(RecorderEnvironment env) {
    // Compiled-in addresses that do not parse are a programming error.
    for (const std::string* url : {&env.legacyAPI, &env.monolithAPI, &env.webApp, &env.identityToolkit,
                                   &env.secureToken, &env.firestore}) {
        if (!URL::parse(*url)) {
            std::fprintf(stderr, "brindlow: the compiled-in address %s is not a URL\n", url->c_str());
            std::abort();
        }
    }
    return env;
}

std::string googleBase(bool dev, const char* real) {
    // A dev build may route the Google services to the local stand-in too.
    const std::string standIn = BRINDLOW_DEV_GOOGLE_STAND_IN;
    return dev && !standIn.empty() ? standIn : real;
}

}  // namespace

std::optional<StandInPorts> StandInPorts::parse(std::string_view text) {
    std::vector<int> numbers;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string_view part = text.substr(start, comma - start);
        if (part.empty() || part.size() > 5) return std::nullopt;
        int value = 0;
        for (char c : part) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + (c - '0');
        }
        if (value < 1 || value > 65535) return std::nullopt;
        numbers.push_back(value);
        start = comma + 1;
    }
    if (numbers.size() == 1 && numbers[0] <= 65532) return StandInPorts{numbers[0], numbers[0] + 1, numbers[0] + 2, numbers[0] + 3};
    if (numbers.size() == 4) return StandInPorts{numbers[0], numbers[1], numbers[2], numbers[3]};
    return std::nullopt;
}

const RecorderEnvironment& RecorderEnvironment::dev() {
    static const RecorderEnvironment env = checked({"dev", BRINDLOW_DEV_LEGACY_API, BRINDLOW_DEV_MONOLITH_API,
                                                    BRINDLOW_DEV_WEB_APP, BRINDLOW_DEV_FIREBASE_API_KEY, "brindlow-dev",
                                                    googleBase(true, BRINDLOW_IDENTITY_TOOLKIT_BASE),
                                                    googleBase(true, BRINDLOW_SECURE_TOKEN_BASE),
                                                    googleBase(true, BRINDLOW_FIRESTORE_BASE)});
    return env;
}

const RecorderEnvironment& RecorderEnvironment::prod() {
    static const RecorderEnvironment env = checked({"prod", BRINDLOW_PROD_LEGACY_API, BRINDLOW_PROD_MONOLITH_API,
                                                    BRINDLOW_PROD_WEB_APP, BRINDLOW_PROD_FIREBASE_API_KEY, "brindlow",
                                                    BRINDLOW_IDENTITY_TOOLKIT_BASE, BRINDLOW_SECURE_TOKEN_BASE,
                                                    BRINDLOW_FIRESTORE_BASE});
    return env;
}

std::optional<std::string> RecorderEnvironment::bundleError(const nlohmann::json& bundle) {
    const nlohmann::json* value = nullptr;
    if (bundle.is_object() && bundle.contains("BrindlowEnvironment")) value = &bundle.at("BrindlowEnvironment");
    if (value && value->is_string()) {
        const auto& text = value->get_ref<const std::string&>();
        if (text == "dev" || text == "prod") return std::nullopt;
        return "BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got " + text;
    }
    return std::string("BrindlowEnvironment must be 'dev' or 'prod' in Info.plist, got nothing");
}

RecorderEnvironment RecorderEnvironment::fromBundle(const nlohmann::json& bundle) {
    if (const auto error = bundleError(bundle)) {
        std::fprintf(stderr, "%s\n", error->c_str());
        std::exit(78);  // EX_CONFIG: a build-configuration fault, not a crash
    }
    return bundle.at("BrindlowEnvironment").get<std::string>() == "dev" ? dev() : prod();
}

RecorderEnvironment RecorderEnvironment::withStandIn(const StandInPorts& ports) const {
    if (name != "dev") throw std::logic_error("only the dev environment can use a local stand-in");
    auto local = [](int port) { return "http://127.0.0.1:" + std::to_string(port); };
    RecorderEnvironment env = *this;
    env.legacyAPI = local(ports.legacy) + "/v1/";
    env.monolithAPI = local(ports.monolith) + "/";
    env.webApp = local(ports.webApp);
    env.identityToolkit = local(ports.google);
    env.secureToken = local(ports.google);
    env.firestore = local(ports.google);
    return env;
}

std::string RecorderEnvironment::recordingURL(const std::string& folderId) const {
    return appendingPath(webApp, "screen-recorder/view/" + folderId);
}

}  // namespace brindlow
