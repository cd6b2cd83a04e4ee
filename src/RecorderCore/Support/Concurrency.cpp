#include "Support/Concurrency.h"
#include "Support/SignalStack.h"

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

struct SerialQueue::State {
    std::mutex mutex;
    std::condition_variable_any wake;
    std::deque<std::function<void()>> ready;                          // guarded by mutex
    std::multimap<SteadyClock::time_point, std::function<void()>> timed;  // guarded by mutex
    uint64_t submissions = 0;  // guarded by mutex; wakes the worker for any new item
};

SerialQueue::SerialQueue(std::string name) : name_(std::move(name)), state_(std::make_shared<State>()) {
    thread_ = std::jthread([state = state_](std::stop_token token) { run(state, token); });
    // Thread names are limited to 15 bytes: keep the distinctive tail.
    const std::string shortName = name_.size() > 15 ? name_.substr(name_.size() - 15) : name_;
    pthread_setname_np(thread_.native_handle(), shortName.c_str());
    threadId_ = thread_.get_id();
}

SerialQueue::~SerialQueue() {
    thread_.request_stop();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // released by one of its own items: the thread ends after it
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->ready.push_back(std::move(work));
        ++state_->submissions;
        // Under the lock: once it is released the item may run and release this queue.
        state_->wake.notify_one();
    }
}

void SerialQueue::asyncAt(SteadyClock::time_point deadline, std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->timed.emplace(deadline, std::move(work));
        ++state_->submissions;
        // Under the lock: once it is released the item may run and release this queue.
        state_->wake.notify_one();
    }
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

Task::Task(std::function<void(std::stop_token)> body)
    : thread_([body = std::move(body)](std::stop_token stop) {
          ensureSignalStack();
          body(stop);
      }) {}

void SerialQueue::run(const std::shared_ptr<State>& state, std::stop_token token) {
    ensureSignalStack();
    State& s = *state;
    std::unique_lock lock(s.mutex);
    for (;;) {
        std::function<void()> work;
        if (!s.ready.empty()) {
            work = std::move(s.ready.front());
            s.ready.pop_front();
        } else if (token.stop_requested()) {
            return;
        } else if (!s.timed.empty() && s.timed.begin()->first <= SteadyClock::now()) {
            work = std::move(s.timed.begin()->second);
            s.timed.erase(s.timed.begin());
        } else {
            // Any submission may change what runs next (an earlier timed item too).
            const uint64_t seen = s.submissions;
            const auto changed = [&] { return s.submissions != seen; };
            if (s.timed.empty()) s.wake.wait(lock, token, changed);
            else s.wake.wait_until(lock, token, s.timed.begin()->first, changed);
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
    std::function<void(SteadyClock::time_point)> handler;
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, SteadyClock::duration interval, std::function<void()> handler)
    : RepeatingTimer(queue, interval, [handler = std::move(handler)](SteadyClock::time_point) { handler(); }) {}

RepeatingTimer::RepeatingTimer(SerialQueue& queue, SteadyClock::duration interval,
                               std::function<void(SteadyClock::time_point)> handler)
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
        s->handler(s->nextDeadline);
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
