#include "Diagnostics/AppTelemetry.h"

#include <cxxabi.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <typeinfo>

#include "BrindlowAPI.h"
#include "Diagnostics/CrashReport.h"
#include "Support/Paths.h"

namespace brindlow {
namespace fs = std::filesystem;
namespace {

std::atomic<AppTelemetry*> crashTarget{nullptr};

constexpr struct {
    int number;
    const char* name;
    const char* reason;
} fatalSignals[] = {
    {SIGSEGV, "SIGSEGV", "Segmentation fault"},
    {SIGBUS, "SIGBUS", "Bus error"},
    {SIGILL, "SIGILL", "Illegal instruction"},
    {SIGFPE, "SIGFPE", "Floating-point exception"},
    {SIGABRT, "SIGABRT", "Aborted"},
};

void onFatalSignal(int number, siginfo_t* info, void*) {
    if (crashTarget.load()) {
        for (const auto& fatal : fatalSignals) {
            if (fatal.number != number) continue;
            char reason[96];
            size_t length = strlen(fatal.reason);
            memcpy(reason, fatal.reason, length + 1);
            if ((number == SIGSEGV || number == SIGBUS) && info) {
                // " at 0x…", formatted by hand: nothing here may allocate.
                static const char hex[] = "0123456789abcdef";
                const char* at = " at 0x";
                memcpy(reason + length, at, 6);
                length += 6;
                auto address = reinterpret_cast<uintptr_t>(info->si_addr);
                char digits[sizeof address * 2];
                int n = 0;
                do {
                    digits[n++] = hex[address & 15];
                    address >>= 4;
                } while (address);
                while (n) reason[length++] = digits[--n];
                reason[length] = 0;
            }
            CrashReport::write(fatal.name, reason);
        }
    }
    // The handler was reset on entry; the signal now does what it always does.
    raise(number);
}

[[noreturn]] void onTerminate() {
    std::string name = "std::terminate";
    std::string reason = "terminate called without an active exception";
    if (std::current_exception()) {
        reason.clear();
        if (const std::type_info* type = abi::__cxa_current_exception_type()) {
            int status = 0;
            char* readable = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
            name = status == 0 && readable ? readable : type->name();
            std::free(readable);
        }
        try {
            std::rethrow_exception(std::current_exception());
        } catch (const std::exception& error) {
            reason = error.what();
        } catch (...) {
        }
    }
    if (crashTarget.load()) CrashReport::write(name.c_str(), reason.c_str());
    std::abort();
}

void installHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    // A stack overflow leaves no stack to run the handler on: give it its own.
    static char alternateStack[1 << 16];
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (const auto& fatal : fatalSignals) sigaction(fatal.number, &action, nullptr);
    std::set_terminate(onTerminate);
}

}  // namespace

AppTelemetry::AppTelemetry(std::shared_ptr<Telemetry> telemetry, std::shared_ptr<RunMarker> marker)
    : telemetry_(std::move(telemetry)),
      marker_(std::move(marker)),
      watchdog_([this](double blockedSeconds, bool ended) {
          JSONValue::Object hang{{"type", "hang"},
                                 {"blockedSeconds", blockedSeconds},
                                 {"ended", ended},
                                 {"phase", telemetry_->lastPhase()}};
          const auto aid = telemetry_->lastAid();
          hang.emplace("aid", aid ? JSONValue(*aid) : JSONValue());
          telemetry_->addDiagnostic(DiagnosticKind::metricKit, JSONValue(std::move(hang)));
      }) {
    telemetry_->setOnPhase([this](const std::string& phase, const std::optional<std::string>& aid) {
        marker_->update(phase, aid);
        if (handlersInstalled_) refreshCrashState();
    });
}

AppTelemetry::~AppTelemetry() {
    watchdog_.stop();
    telemetry_->setOnPhase({});
    AppTelemetry* self = this;
    crashTarget.compare_exchange_strong(self, nullptr);
}

fs::path AppTelemetry::defaultDirectory() { return userDataDirectory() / "telemetry"; }

std::unique_ptr<AppTelemetry> AppTelemetry::make(std::shared_ptr<const BrindlowAPI> api, AppInfo app,
                                                 const fs::path& directory) {
    auto build = app.build;
    auto telemetry = Telemetry::make(directory, std::move(app), Telemetry::Sender::api(std::move(api)));
    auto marker = std::make_shared<RunMarker>(directory, std::move(build));
    return std::make_unique<AppTelemetry>(std::move(telemetry), std::move(marker));
}

void AppTelemetry::launch(bool installCrashHandlers) {
    const auto stale = marker_->begin();
    for (const auto& run : stale) {
        TelemetryProps props{{"lastPhase", run.phase}, {"build", run.build}, {"startedAt", run.startedAt}};
        if (run.exception) props.emplace("exception", *run.exception);
        telemetry_->record(TelemetryEvent::unexpectedExit, run.aid, props);
    }
    telemetry_->record(TelemetryEvent::appLaunched, std::nullopt,
                       {{"previousExit", stale.empty() ? "clean" : "unexpected"}});
    if (!installCrashHandlers) return;
    CrashReport::prepare(marker_->file(), Telemetry::diagnosticsDirectory(telemetry_->directory()));
    handlersInstalled_ = true;
    refreshCrashState();
    crashTarget.store(this);
    installHandlers();
    watchdog_.start();
}

void AppTelemetry::quit() {
    // Quit's own flush wait is not a hang: the watchdog stops before it.
    watchdog_.stop();
    telemetry_->record(TelemetryEvent::appQuit, telemetry_->lastAid(), {{"phase", telemetry_->lastPhase()}});
    telemetry_->flushAndWait(2.0);
    marker_->end();
}

void AppTelemetry::receive(const std::vector<std::string>& payloads) {
    for (const auto& text : payloads) {
        if (auto value = JSONValue::parse(text)) telemetry_->addDiagnostic(DiagnosticKind::metricKit, std::move(*value));
    }
}

void AppTelemetry::refreshCrashState() {
    CrashReport::setState(marker_->run(), telemetry_->lastPhase(), telemetry_->lastAid());
}

}  // namespace brindlow
