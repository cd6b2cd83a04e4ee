#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

namespace brindlow {

// Watches a thread that promises to call ping() regularly (the UI thread, from its
// event loop). When the pings stop for `threshold` or longer, the stall is reported
// once it ends, with how long the thread was blocked; a stall still going on at
// stop() is reported then. Nothing is watched before the first ping.
class HangWatchdog {
public:
    using Report = std::function<void(double blockedSeconds, bool ended)>;

    explicit HangWatchdog(Report report, std::chrono::milliseconds threshold = std::chrono::seconds(2),
                          std::chrono::milliseconds checkInterval = std::chrono::milliseconds(100));
    ~HangWatchdog();
    HangWatchdog(const HangWatchdog&) = delete;
    HangWatchdog& operator=(const HangWatchdog&) = delete;

    void start();
    void stop();
    void ping();

private:
    using Clock = std::chrono::steady_clock;
    void watch(std::stop_token stop);

    const Report report_;
    const std::chrono::milliseconds threshold_, checkInterval_;
    std::mutex mutex_;
    Clock::time_point lastPing_;  // guarded by mutex_
    bool pinged_ = false;         // guarded by mutex_
    std::jthread watcher_;
};

}  // namespace brindlow
