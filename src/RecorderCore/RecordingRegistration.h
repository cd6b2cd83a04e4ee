#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "BrindlowAPI.h"
#include "Support/Concurrency.h"

namespace brindlow {

// The backend side of one take: registration, heartbeats, range notices, final
// notices, indexes and the close, made one at a time in the order they were queued
// by a single worker. Every request is made once; its failure is swallowed. Jobs
// already queued still run after the registration is released. Any thread may call.
class RecordingRegistration : public std::enable_shared_from_this<RecordingRegistration> {
public:
    // A heartbeatSeconds of zero or less sends no heartbeats.
    static std::shared_ptr<RecordingRegistration> make(std::string aid, BrindlowAPI api, double heartbeatSeconds);
    ~RecordingRegistration();
    RecordingRegistration(const RecordingRegistration&) = delete;
    RecordingRegistration& operator=(const RecordingRegistration&) = delete;

    // `sent` runs on the worker after the backend accepted the request.
    using Sent = std::function<void()>;
    void start(const std::vector<StreamInfo>& streams, const std::optional<std::string>& languageCode, Sent sent = {});
    void sendRange(StreamKey stream, int64_t n, double t0, double t1, Sent sent = {});
    void sendRangesFinal(StreamKey stream, Sent sent = {});
    void sendIndex(StreamKey stream, const FragmentIndex& index, Sent sent = {});
    // Stops the heartbeat and returns once the close request was made (either way).
    // Only the first call sends one; later calls return at once.
    void close(CloseStatus status, const std::optional<std::string>& folderId);
    void stopHeartbeat();
    // Returns once every job queued before it has run.
    void drain();

    const std::string& aid() const { return aid_; }

private:
    using Job = std::function<void()>;
    RecordingRegistration(std::string aid, BrindlowAPI api, double heartbeatSeconds);
    // Queues one backend call; its errors are swallowed.
    void enqueue(std::function<void(const BrindlowAPI&, const std::string&)> call, Sent sent = {});
    void cancelHeartbeat();

    const std::string aid_;
    const BrindlowAPI api_;
    const double heartbeatSeconds_;
    const std::shared_ptr<Channel<Job>> jobs_ = std::make_shared<Channel<Job>>();

    std::mutex lock_;
    std::unique_ptr<std::jthread> heartbeat_;  // guarded by lock_
    bool closed_ = false;                      // guarded by lock_
};

}  // namespace brindlow
