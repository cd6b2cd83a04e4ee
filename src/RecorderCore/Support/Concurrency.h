#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>

namespace brindlow {

using SteadyClock = std::chrono::steady_clock;

// Thrown where a wait or an operation ends because its task was cancelled.
class CancellationError : public std::runtime_error {
public:
    CancellationError() : std::runtime_error("cancelled") {}
};

// Sleeps for `duration`; returns false early when `token` asks to stop.
bool sleepFor(SteadyClock::duration duration, std::stop_token token);
bool sleepUntil(SteadyClock::time_point deadline, std::stop_token token);

// A named serial queue with its own thread. Work runs one item at a time, immediate
// items in submission order; timed items run at (not before) their deadline.
// Destroying the queue runs the immediate items already submitted, drops timed ones
// and joins the thread; when a work item itself releases the queue, the thread
// finishes on its own (its state outlives the queue object).
class SerialQueue {
public:
    explicit SerialQueue(std::string name);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& name() const { return name_; }
    void async(std::function<void()> work);
    void asyncAt(SteadyClock::time_point deadline, std::function<void()> work);
    // Runs `work` on the queue and waits for it; runs inline when called from the queue itself.
    void sync(const std::function<void()>& work);
    bool isCurrent() const;

private:
    struct State;
    static void run(const std::shared_ptr<State>& state, std::stop_token token);

    const std::string name_;
    std::shared_ptr<State> state_;  // shared with the worker thread
    std::thread::id threadId_;
    std::jthread thread_;  // last: stops before the state it uses goes away
};

// An unbounded FIFO between threads. Senders never block; a receiver waits for the
// next value and gets nothing once the channel is finished and empty, or when cancelled.
template <typename T>
class Channel {
public:
    // Returns false when the channel was already finished (the value is dropped).
    bool send(T value) {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return false;
            items_.push_back(std::move(value));
        }
        ready_.notify_one();
        return true;
    }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        ready_.notify_all();
    }

    std::optional<T> receive(std::stop_token token = {}) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, token, [&] { return !items_.empty() || finished_; });
        if (items_.empty()) return std::nullopt;
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }

    std::optional<T> tryReceive() {
        std::lock_guard lock(mutex_);
        if (items_.empty()) return std::nullopt;
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }

    size_t size() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<T> items_;  // guarded by mutex_
    bool finished_ = false;  // guarded by mutex_
};

// A cancellable background task. Destroying it requests a stop and joins.
class Task {
public:
    Task() = default;
    explicit Task(std::function<void(std::stop_token)> body);
    Task(Task&&) = default;
    Task& operator=(Task&&) = default;

    void cancel() { thread_.request_stop(); }
    bool isCancelled() const { return thread_.get_stop_token().stop_requested(); }
    bool isRunning() const { return thread_.joinable(); }
    void wait() {
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    std::jthread thread_;
};

// A repeating timer on a serial queue with absolute deadlines: tick n is due at
// start + n * interval, so the spacing does not drift with handler run time. A tick
// that is late by a whole interval or more is skipped, not run twice. After cancel()
// returns, the handler is never called again (cancel from the handler itself is fine).
class RepeatingTimer {
public:
    RepeatingTimer(SerialQueue& queue, SteadyClock::duration interval, std::function<void()> handler);
    // The handler is told the tick's deadline (start + n * interval), which a late tick has passed.
    RepeatingTimer(SerialQueue& queue, SteadyClock::duration interval,
                   std::function<void(SteadyClock::time_point deadline)> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // First tick one interval from now.
    void start();
    void cancel();

private:
    struct State;
    static void schedule(SerialQueue& queue, const std::shared_ptr<State>& state);

    SerialQueue& queue_;
    std::shared_ptr<State> state_;
};

}  // namespace brindlow
