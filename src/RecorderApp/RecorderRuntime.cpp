#include "RecorderRuntime.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "HTTP/CurlTransport.h"
#include "LinuxPlatform.h"
#include "Secrets/SecretServiceTokenStore.h"
#include "Support/DetachedWork.h"

namespace brindlow {

namespace {

std::string infoString(const nlohmann::json& info, const char* key) {
    if (info.is_object() && info.contains(key) && info.at(key).is_string()) return info.at(key).get<std::string>();
    return "0";
}

}  // namespace

AppBundle AppBundle::read(const std::filesystem::path& path) {
    AppBundle bundle;
    std::ifstream in(path);
    if (!in) return bundle;
    bundle.path = path;
    bundle.info = nlohmann::json::parse(in, nullptr, false);
    if (bundle.info.is_discarded()) bundle.info = nullptr;
    return bundle;
}

AppBundle AppBundle::locate() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    const auto folder = executable.parent_path();
    for (const auto& candidate : {folder / "info.json", folder / ".." / "share" / "brindlow-recorder" / "info.json"}) {
        if (std::filesystem::exists(candidate, error)) return read(candidate.lexically_normal());
    }
    return {};
}

std::string AppBundle::version() const { return infoString(info, "CFBundleShortVersionString"); }
std::string AppBundle::build() const { return infoString(info, "CFBundleVersion"); }

RecorderEnvironment chooseEnvironment(const AppBundle& bundle, const std::optional<std::string>& name,
                                      const std::optional<std::string>& standIn) {
    RecorderEnvironment env;
    if (name) {
        if (*name != "dev" && *name != "prod") throw std::invalid_argument("the environment is \"dev\" or \"prod\"");
        env = *name == "dev" ? RecorderEnvironment::dev() : RecorderEnvironment::prod();
    } else {
        env = RecorderEnvironment::fromBundle(bundle.info);  // stops the process on a bad value
    }
    if (!standIn) return env;
    if (env.name != "dev") throw std::invalid_argument("only the dev environment can use a local stand-in");
    const auto ports = StandInPorts::parse(*standIn);
    if (!ports) throw std::invalid_argument("a stand-in is \"W,M,L,G\" or one base port");
    return env.withStandIn(*ports);
}

RecorderRuntime makeRecorderRuntime(const RuntimeOptions& options) {
    RecorderRuntime runtime;
    runtime.bundle = AppBundle::locate();
    const RecorderEnvironment env = chooseEnvironment(runtime.bundle, options.envName, options.standIn);

    RecorderModel::Dependencies d;
    d.env = env;
    d.transport = std::make_shared<CurlTransport>();
    d.store = makeTokenStore(env.name);
    d.platform = options.platform ? options.platform : std::make_shared<LinuxPlatform>();
    d.main = options.main;
    d.activate = options.activate;
    d.minimize = options.minimize;
    d.recoverTakes = options.recoverTakes;
    runtime.model = RecorderModel::make(std::move(d));

    const AppInfo app = AppInfo::current(env.name, nlohmann::json{{"CFBundleShortVersionString", runtime.bundle.version()},
                                                                  {"CFBundleVersion", runtime.bundle.build()}});
    runtime.appTelemetry =
        AppTelemetry::make(std::make_shared<BrindlowAPI>(runtime.model->api()), app, AppTelemetry::defaultDirectory());
    const std::weak_ptr<Telemetry> telemetry = runtime.appTelemetry->telemetry();
    runtime.model->setTelemetry(runtime.appTelemetry->telemetry(), [telemetry] {
        if (auto t = telemetry.lock()) t->flush();
    });
    return runtime;
}

int finishRun(RecorderRuntime& runtime, int status) {
    runtime.model.reset();
    runtime.appTelemetry.reset();
    if (!DetachedWork::waitForAll(std::chrono::seconds(2))) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

}  // namespace brindlow
