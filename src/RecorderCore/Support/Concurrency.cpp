#include "Support/Concurrency.h"

#include <pthread.h>

namespace brindlow {

bool sleepUntil(SteadyClock::time_point deadline, std::stop_token token) {
    std::mutex mutex;
    std::condition_variable_any cv;
    std::unique_lock lock(mutex);
    return !cv.wait_until(lock, token, deadline, [] { return false; }) && !token.stop_requested();
}

bool sleepFor(SteadyClock::duration duration, std::stop_token token) {
    return sleepUntil(SteadyClock::now() + duration, token);
}

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)) {
    thread_ = std::jthread([this](std::stop_token token) { run(token); });
    // Thread names are limited to 15 bytes: keep the distinctive tail.
    const std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
    pthread_setname_np(thread_.native_handle(), shortName.c_str());
    threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
    thread_.request_stop();
    if (thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    } else {
        thread_.detach();  // misuse: destroyed from its own work item
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(std::move(work));
        ++submissions_;
    }
    wake_.notify_one();
}

void SerialQueue::asyncAt(SteadyClock::time_point deadline, std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        timed_.emplace(deadline, std::move(work));
        ++submissions_;
    }
    wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == threadId_; }

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    async([&] {
        work();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_one();
    });
    std::unique_lock lock(doneMutex);
    doneCv.wait(lock, [&] { return done; });
}

void SerialQueue::run(std::stop_token token) {
    std::unique_lock lock(mutex_);
    for (;;) {
        std::function<void()> work;
        if (!ready_.empty()) {
            work = std::move(ready_.front());
            ready_.pop_front();
        } else if (token.stop_requested()) {
            return;
        } else if (!timed_.empty() && timed_.begin()->first <= SteadyClock::now()) {
            work = std::move(timed_.begin()->second);
            timed_.erase(timed_.begin());
        } else {
            // Any submission may change what runs next (an earlier timed item too).
            const uint64_t seen = submissions_;
            const auto changed = [&] { return submissions_ != seen; };
            if (timed_.empty()) wake_.wait(lock, token, changed);
            else wake_.wait_until(lock, token, timed_.begin()->first, changed);
            continue;
        }
        lock.unlock();
        work();
        work = nullptr;  // release captures outside the lock
        lock.lock();
    }
}

struct RepeatingTimer::State {
    std::mutex mutex;
    bool cancelled = false;  // guarded by mutex
    bool running = false;    // guarded by mutex; true while the handler runs
    std::condition_variable idle;
    SteadyClock::duration interval{};
    SteadyClock::time_point nextDeadline;  // touched on the queue only
    std::function<void()> handler;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, SteadyClock::duration interval,
                               std::function<void()> handler)
    : queue_(queue), state_(std::make_shared<State>()) {
    state_->interval = interval;
    state_->handler = std::move(handler);
}

RepeatingTimer::~RepeatingTimer() { cancel(); }

void RepeatingTimer::start() {
    state_->nextDeadline = SteadyClock::now() + state_->interval;
    schedule(queue_, state_);
}

void RepeatingTimer::schedule(SerialQueue& queue, const std::shared_ptr<State>& state) {
    std::weak_ptr<State> weak = state;
    SerialQueue* q = &queue;
    queue.asyncAt(state->nextDeadline, [weak, q] {
        auto s = weak.lock();
        if (!s) return;
        {
            std::lock_guard lock(s->mutex);
            if (s->cancelled) return;
            s->running = true;
        }
        s->handler();
        {
            std::lock_guard lock(s->mutex);
            s->running = false;
            s->idle.notify_all();
            if (s->cancelled) return;
        }
        const auto now = SteadyClock::now();
        s->nextDeadline += s->interval;
        if (s->nextDeadline <= now) {
            // Missed ticks are skipped; the grid stays anchored at the start.
            const auto behind = (now - s->nextDeadline) / s->interval + 1;
            s->nextDeadline += behind * s->interval;
        }
        schedule(*q, s);
    });
}

void RepeatingTimer::cancel() {
    std::unique_lock lock(state_->mutex);
    state_->cancelled = true;
    // Wait for a handler in flight, unless we are that handler.
    if (!queue_.isCurrent()) state_->idle.wait(lock, [&] { return !state_->running; });
}

}  // namespace brindlow
