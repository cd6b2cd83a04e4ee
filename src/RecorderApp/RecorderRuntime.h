#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "Diagnostics/AppTelemetry.h"
#include "RecorderModel.h"

namespace brindlow {

// The installed app's description (info.json): "BrindlowEnvironment",
// "CFBundleShortVersionString", "CFBundleVersion".
struct AppBundle {
    std::filesystem::path path;  // where it was read from; empty when none was found
    nlohmann::json info;         // null when missing or unreadable

    // info.json beside the executable (the build tree), else in the data folder of
    // the installation (<prefix>/share/brindlow-recorder/info.json).
    static AppBundle locate();
    static AppBundle read(const std::filesystem::path& path);
    std::string version() const;  // CFBundleShortVersionString, "0" when absent
    std::string build() const;    // CFBundleVersion, "0" when absent
};

// What a front end asks for the run: the environment named by the bundle unless the
// command line overrides it (--env, $BRINDLOW_ENV) or points dev at a stand-in.
struct RuntimeOptions {
    std::optional<std::string> envName;
    std::optional<std::string> standIn;
    std::shared_ptr<MainExecutor> main;
    std::function<void()> activate;
    std::function<void()> minimize;
    // Replaces the Linux platform (tests).
    std::shared_ptr<RecorderPlatform> platform;
    bool recoverTakes = true;
};

// The long-lived services of one run: the model and the app telemetry it reports to.
struct RecorderRuntime {
    std::shared_ptr<RecorderModel> model;
    std::shared_ptr<AppTelemetry> appTelemetry;
    AppBundle bundle;
};

// The environment for a run: `name` overrides the bundle's; a dev environment may be
// pointed at a local stand-in ("W,M,L,G" or a base port). Throws std::invalid_argument.
RecorderEnvironment chooseEnvironment(const AppBundle& bundle, const std::optional<std::string>& name,
                                      const std::optional<std::string>& standIn);

// Builds the model over libcurl, the Secret Service (else the file store), the
// Linux platform and app telemetry in the default directory. A bad bundle value stops
// the process with its message; a bad override throws std::invalid_argument.
// Does not start loading: the front end calls model->load() when it is ready.
RecorderRuntime makeRecorderRuntime(const RuntimeOptions& options);

// Ends the run after the app telemetry's quit: releases the model, gives the work that
// outlives it (backend notices, the telemetry flush) two more seconds, and ends the
// process at once with `status` if some still runs, so nothing runs while static
// objects are destroyed. Answers `status` otherwise.
int finishRun(RecorderRuntime& runtime, int status);

}  // namespace brindlow
