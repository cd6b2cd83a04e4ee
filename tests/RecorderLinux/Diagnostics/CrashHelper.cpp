// A process that launches app telemetry and then ends the way the tests ask:
//   CrashHelper <telemetry dir> throw|segv|overflow|throw-without-handlers|quit|slow-quit
// (overflow: a stack overflow on a queue's thread rather than the launching one)
// (slow-quit: the UI thread is watched, and the backend takes longer than quit waits)
// The backend is unreachable, so every event stays in the directory's queue.

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>

#include "Diagnostics/AppTelemetry.h"
#include "HTTPClient.h"
#include "Support/Concurrency.h"

using namespace brindlow;

namespace {
volatile bool deeper = true;  // the compiler cannot see that it never turns false

[[gnu::noinline]] int64_t recurse(int64_t depth) {
    volatile char frame[512];
    frame[0] = char(depth);
    return deeper ? recurse(depth + 1) + frame[0] : 0;
}

[[gnu::noinline]] void failDeepInside(const std::string& how) {
    if (how == "segv") {
        // An unmapped address rather than null, which UBSan would stop at first.
        volatile uintptr_t nowhere = 8;
        *reinterpret_cast<volatile int*>(nowhere) = 1;
    }
    throw std::runtime_error("disk on fire " + std::string(600, 'z'));
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string how = argv[2];
    auto offline = [how](auto&&...) {
        if (how == "slow-quit") std::this_thread::sleep_for(std::chrono::seconds(3));
        throw TransportError("offline");
    };
    auto telemetry = Telemetry::make(argv[1], AppInfo{"1.2", "345", "Debian 12", "dev", "x86_64"},
                                     Telemetry::Sender{offline, offline}, [](const std::string&) {});
    AppTelemetry app(telemetry, std::make_shared<RunMarker>(argv[1], "345"));
    app.launch(how != "throw-without-handlers");
    if (how == "slow-quit") app.watchdog().ping();
    if (how == "quit" || how == "slow-quit") {
        app.quit();
        return 0;
    }
    telemetry->notePhase("recording", "aid-crash");
    if (how == "overflow") SerialQueue("com.brindlow.recorder.test").sync([] { recurse(0); });
    failDeepInside(how);
    return 0;
}
