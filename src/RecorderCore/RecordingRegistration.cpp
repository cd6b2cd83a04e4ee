#include "RecordingRegistration.h"
#include "Support/DetachedWork.h"

#include <future>

namespace brindlow {

std::shared_ptr<RecordingRegistration> RecordingRegistration::make(std::string aid, BrindlowAPI api,
                                                                   double heartbeatSeconds) {
    return std::shared_ptr<RecordingRegistration>(new RecordingRegistration(std::move(aid), std::move(api), heartbeatSeconds));
}

RecordingRegistration::RecordingRegistration(std::string aid, BrindlowAPI api, double heartbeatSeconds)
    : aid_(std::move(aid)), api_(std::move(api)), heartbeatSeconds_(heartbeatSeconds) {
    // The worker owns the queue, not the registration: queued jobs outlive it.
    DetachedWork::start([jobs = jobs_] {
        while (auto job = jobs->receive()) (*job)();
    });
}

RecordingRegistration::~RecordingRegistration() {
    cancelHeartbeat();
    jobs_->finish();
}

void RecordingRegistration::cancelHeartbeat() {
    std::unique_ptr<std::jthread> heartbeat;
    {
        std::lock_guard guard(lock_);
        heartbeat = std::move(heartbeat_);
    }
    if (!heartbeat) return;
    heartbeat->request_stop();
    // The heartbeat may be the one releasing the registration; it must not wait for itself.
    if (heartbeat->get_id() == std::this_thread::get_id()) heartbeat->detach();
}

void RecordingRegistration::enqueue(std::function<void(const BrindlowAPI&, const std::string&)> call, Sent sent) {
    jobs_->send([api = api_, aid = aid_, call = std::move(call), sent = std::move(sent)] {
        try {
            call(api, aid);
            if (sent) sent();
        } catch (...) {
            // Notices are best effort: the next one goes ahead regardless.
        }
    });
}

void RecordingRegistration::start(const std::vector<StreamInfo>& streams, const std::optional<std::string>& languageCode,
                                  Sent sent) {
    enqueue([streams, languageCode](const BrindlowAPI& api,
                                    const std::string& aid) { api.registerRecording(aid, streams, languageCode); },
            std::move(sent));
    if (heartbeatSeconds_ <= 0) return;
    std::weak_ptr<RecordingRegistration> weak = weak_from_this();
    const auto interval = std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(heartbeatSeconds_));
    auto task = std::make_unique<std::jthread>([weak, interval](std::stop_token stop) {
        while (!stop.stop_requested()) {
            sleepFor(interval, stop);
            if (stop.stop_requested()) return;
            auto self = weak.lock();
            if (!self) return;
            self->enqueue([](const BrindlowAPI& api, const std::string& aid) { api.heartbeat(aid); });
        }
    });
    std::lock_guard guard(lock_);
    if (heartbeat_) heartbeat_->detach();  // a second start: the earlier loop keeps its own stop token
    heartbeat_ = std::move(task);
}

void RecordingRegistration::sendRange(StreamKey stream, int64_t n, double t0, double t1, Sent sent) {
    enqueue([=](const BrindlowAPI& api, const std::string& aid) { api.notifyRange(aid, stream, n, t0, t1); },
            std::move(sent));
}

void RecordingRegistration::sendRangesFinal(StreamKey stream, Sent sent) {
    enqueue([=](const BrindlowAPI& api, const std::string& aid) { api.notifyRangesFinal(aid, stream); }, std::move(sent));
}

void RecordingRegistration::sendIndex(StreamKey stream, const FragmentIndex& index, Sent sent) {
    enqueue([=](const BrindlowAPI& api, const std::string& aid) { api.sendIndex(aid, stream, index); }, std::move(sent));
}

void RecordingRegistration::close(CloseStatus status, const std::optional<std::string>& folderId) {
    cancelHeartbeat();
    {
        std::lock_guard guard(lock_);
        if (closed_) return;
        closed_ = true;
    }
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    jobs_->send([api = api_, aid = aid_, status, folderId, done] {
        try {
            api.close(aid, status, folderId);
        } catch (...) {
        }
        done->set_value();
    });
    finished.wait();
}

void RecordingRegistration::stopHeartbeat() { cancelHeartbeat(); }

void RecordingRegistration::drain() {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    jobs_->send([done] { done->set_value(); });
    finished.wait();
}

}  // namespace brindlow
