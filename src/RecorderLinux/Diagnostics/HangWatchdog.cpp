#include "Diagnostics/HangWatchdog.h"

#include "Support/Concurrency.h"
#include "Support/SignalStack.h"

namespace brindlow {

HangWatchdog::HangWatchdog(Report report, std::chrono::milliseconds threshold, std::chrono::milliseconds checkInterval)
    : report_(std::move(report)), threshold_(threshold), checkInterval_(checkInterval) {}

HangWatchdog::~HangWatchdog() { stop(); }

void HangWatchdog::start() {
    if (watcher_.joinable()) return;
    watcher_ = std::jthread([this](std::stop_token stop) {
        ensureSignalStack();
        watch(stop);
    });
}

void HangWatchdog::stop() {
    if (!watcher_.joinable()) return;
    watcher_.request_stop();
    watcher_.join();
    watcher_ = {};
}

void HangWatchdog::ping() {
    std::lock_guard lock(mutex_);
    pinged_ = true;
    lastPing_ = Clock::now();
}

void HangWatchdog::watch(std::stop_token stop) {
    bool stalled = false;
    Clock::time_point stallStart;
    for (;;) {
        const bool stopping = !sleepFor(checkInterval_, stop);
        bool pinged;
        Clock::time_point lastPing;
        {
            std::lock_guard lock(mutex_);
            pinged = pinged_;
            lastPing = lastPing_;
        }
        const auto now = Clock::now();
        if (stalled && (lastPing > stallStart || stopping)) {
            const bool ended = lastPing > stallStart;
            stalled = false;
            report_(std::chrono::duration<double>((ended ? lastPing : now) - stallStart).count(), ended);
        } else if (pinged && !stalled && now - lastPing >= threshold_) {
            stalled = true;
            stallStart = lastPing;
        }
        if (stopping) return;
    }
}

}  // namespace brindlow
