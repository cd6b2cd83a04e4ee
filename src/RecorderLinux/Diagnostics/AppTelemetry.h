#pragma once

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Diagnostics/HangWatchdog.h"
#include "RunMarker.h"
#include "Telemetry.h"

namespace brindlow {

// Ties telemetry and the run marker to the process's life: reports earlier runs
// that ended unexpectedly and the launch, leaves a marker and a diagnostic behind
// when the process dies of an uncaught exception or a fatal signal, turns stalls of
// the UI thread into diagnostics, and reports the quit.
class AppTelemetry {
public:
    AppTelemetry(std::shared_ptr<Telemetry> telemetry, std::shared_ptr<RunMarker> marker);
    ~AppTelemetry();
    AppTelemetry(const AppTelemetry&) = delete;
    AppTelemetry& operator=(const AppTelemetry&) = delete;

    // $XDG_DATA_HOME/BrindlowRecorder/telemetry, else ~/.local/share/BrindlowRecorder/telemetry.
    static std::filesystem::path defaultDirectory();
    // Telemetry sending through `api`, and this process's marker, both in `directory`.
    static std::unique_ptr<AppTelemetry> make(std::shared_ptr<const BrindlowAPI> api, AppInfo app,
                                              const std::filesystem::path& directory);

    // Once, when the app has started. With crash handlers, this object becomes the
    // one the terminate handler and the fatal-signal handlers report to, and the
    // hang watchdog starts.
    void launch(bool installCrashHandlers);
    // Reports the quit, waits up to 2 s for the upload, removes the marker.
    void quit();
    // System diagnostic reports as JSON texts; those that do not parse are skipped.
    void receive(const std::vector<std::string>& payloads);

    // The UI thread calls ping() on it at least every second or so.
    HangWatchdog& watchdog() { return watchdog_; }
    const std::shared_ptr<Telemetry>& telemetry() const { return telemetry_; }
    RunMarker& marker() { return *marker_; }

private:
    void refreshCrashState();

    std::shared_ptr<Telemetry> telemetry_;
    std::shared_ptr<RunMarker> marker_;
    HangWatchdog watchdog_;
    std::atomic<bool> handlersInstalled_{false};
};

}  // namespace brindlow
