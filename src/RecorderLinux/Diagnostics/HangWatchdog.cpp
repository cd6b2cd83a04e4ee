#include "Diagnostics/HangWatchdog.h"

namespace brindlow {

HangWatchdog::HangWatchdog(Report report, std::chrono::milliseconds threshold, std::chrono::milliseconds checkInterval)
    : report_(std::move(report)), threshold_(threshold), checkInterval_(checkInterval) {}

HangWatchdog::~HangWatchdog() { stop(); }

void HangWatchdog::start() {
    if (watcher_.joinable()) return;
    watcher_ = std::jthread([this](std::stop_token stop) { watch(stop); });
}

void HangWatchdog::stop() {
    if (!watcher_.joinable()) return;
    watcher_.request_stop();
    wake_.notify_all();
    watcher_.join();
    watcher_ = {};
}

void HangWatchdog::ping() {
    std::lock_guard lock(mutex_);
    pinged_ = true;
    lastPing_ = Clock::now();
}

void HangWatchdog::watch(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    Clock::time_point stallStart;
    for (;;) {
        wake_.wait_for(lock, stop, checkInterval_, [] { return false; });
        const bool stopping = stop.stop_requested();
        const auto now = Clock::now();
        if (stalled_ && (lastPing_ > stallStart || stopping)) {
            const bool ended = lastPing_ > stallStart;
            const double blocked = std::chrono::duration<double>((ended ? lastPing_ : now) - stallStart).count();
            stalled_ = false;
            lock.unlock();
            report_(blocked, ended);
            lock.lock();
        } else if (pinged_ && !stalled_ && now - lastPing_ >= threshold_) {
            stalled_ = true;
            stallStart = lastPing_;
        }
        if (stopping) return;
    }
}

}  // namespace brindlow
