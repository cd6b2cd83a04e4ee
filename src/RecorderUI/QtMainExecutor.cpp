#include "QtMainExecutor.h"

#include <QMetaObject>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(__SANITIZE_THREAD__)
#define __SANITIZE_THREAD__ 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

namespace brindlow {

namespace {

// Qt's event queue hands work to the main thread, and the finished work back to whichever thread
// drops the last reference, through a lock and a reference count inside uninstrumented Qt that the
// race detector cannot see. The work marks both hand-overs itself: its last move, into Qt's queued
// call, releases after every write to it and running it acquires; after running it releases, and
// the copy Qt destroys acquires.
class HandedOver {
public:
    explicit HandedOver(std::function<void()> work) : work_(std::move(work)) {}
    HandedOver(HandedOver&& other) noexcept : work_(std::move(other.work_)) {
        other.queued_ = false;
        queued_ = true;
        release();
    }
    HandedOver& operator=(HandedOver&&) = delete;
    ~HandedOver() {
        if (queued_) acquire();
    }
    void operator()() {
        acquire();
        work_();
        release();
    }

private:
#if defined(__SANITIZE_THREAD__)
    // One address for every hand-over, as the queue has one lock.
    static inline char handOver = 0;
#endif
    static void release() {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(&handOver);
#endif
    }
    static void acquire() {
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(&handOver);
#endif
    }

    std::function<void()> work_;
    bool queued_ = false;  // this is the copy in Qt's queue
};

}  // namespace

void QtMainExecutor::post(std::function<void()> work) {
    if (!work) return;
    QMetaObject::invokeMethod(context_, HandedOver(std::move(work)), Qt::QueuedConnection);
}

}  // namespace brindlow
