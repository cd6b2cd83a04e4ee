#include "MainExecutor.h"

namespace brindlow {

void LoopExecutor::post(std::function<void()> work) {
    {
        std::lock_guard lock(lock_);
        work_.push_back(std::move(work));
    }
    ready_.notify_one();
}

size_t LoopExecutor::runPending() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(lock_);
        batch.swap(work_);
    }
    for (auto& work : batch) work();
    return batch.size();
}

bool LoopExecutor::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
                            std::chrono::milliseconds tick) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        std::function<void()> work;
        {
            std::unique_lock lock(lock_);
            ready_.wait_until(lock, std::min(deadline, now + tick), [&] { return !work_.empty(); });
            if (work_.empty()) continue;
            work = std::move(work_.front());
            work_.pop_front();
        }
        work();
    }
    return true;
}

void LoopExecutor::runFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    runUntil([&] { return std::chrono::steady_clock::now() >= deadline; }, duration + std::chrono::milliseconds(1),
             duration);
}

}  // namespace brindlow
