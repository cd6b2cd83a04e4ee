#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace brindlow {

// Runs work on the one thread that owns the recorder model's state. The desktop app
// posts to its event loop; the command line and tests run a LoopExecutor.
class MainExecutor {
public:
    virtual ~MainExecutor() = default;
    // Any thread may post; work runs later, in posting order, on the main thread.
    virtual void post(std::function<void()> work) = 0;
};

// A main thread driven by hand: whoever owns the loop runs what was posted.
class LoopExecutor final : public MainExecutor {
public:
    void post(std::function<void()> work) override;

    // Runs what is waiting now and returns how many items ran.
    size_t runPending();
    // Runs posted work as it arrives until `done` answers true (checked after each
    // item and at least every `tick`) or `timeout` passes. Answers `done()`.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                  std::chrono::milliseconds tick = std::chrono::milliseconds(50));
    // Runs posted work for `duration`.
    void runFor(std::chrono::milliseconds duration);

private:
    std::mutex lock_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> work_;  // guarded by lock_
};

}  // namespace brindlow
