#include "Support/DetachedWork.h"

#include <condition_variable>
#include <mutex>
#include <thread>

#include "Support/SignalStack.h"

namespace brindlow::DetachedWork {

namespace {

struct Counter {
    std::mutex mutex;
    std::condition_variable idle;
    int running = 0;  // guarded by mutex
};

// Never destroyed: a thread still running at exit may yet touch it.
Counter& counter() {
    static auto* shared = new Counter;
    return *shared;
}

}  // namespace

void start(std::function<void()> work) {
    Counter& c = counter();
    {
        std::lock_guard lock(c.mutex);
        ++c.running;
    }
    try {
        std::thread([work = std::move(work), &c] {
            ensureSignalStack();
            try {
                work();
            } catch (...) {
                // Detached work reports through its own channels; nothing escapes the thread.
            }
            std::lock_guard lock(c.mutex);
            if (--c.running == 0) c.idle.notify_all();
        }).detach();
    } catch (...) {
        std::lock_guard lock(c.mutex);
        --c.running;
        throw;
    }
}

bool waitForAll(std::chrono::milliseconds limit) {
    Counter& c = counter();
    std::unique_lock lock(c.mutex);
    return c.idle.wait_for(lock, limit, [&] { return c.running == 0; });
}

}  // namespace brindlow::DetachedWork
