#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "TelemetryRecords.h"

namespace brindlow {

class BrindlowAPI;

// Usage events and diagnostics, kept on disk until the backend has them. Events go
// to an in-memory queue mirrored to "queue.json"; each diagnostic is a file of its
// own under "diagnostics". One background flush at a time drains both; asking for
// a flush while one runs makes it pass once more. Callable from any thread.
class Telemetry final : public TelemetrySink, public std::enable_shared_from_this<Telemetry> {
public:
    static constexpr size_t batchSize = 50;
    static constexpr size_t maxQueued = 500;
    static constexpr size_t maxPendingDiagnostics = 20;

    // Both may be called from any thread; a failure is thrown (HTTPError for an answer).
    struct Sender {
        std::function<void(const AppInfo&, const std::vector<TelemetryRecord>&)> events;
        std::function<void(const AppInfo&, const PendingDiagnostic&)> diagnostic;
        static Sender api(std::shared_ptr<const BrindlowAPI> api);
    };

    // The end of one flush task; waitable from any thread but the task's own.
    class FlushHandle {
    public:
        bool wait(double timeoutSeconds) const;
        bool isDone() const;

    private:
        friend class Telemetry;
        void markDone();
        mutable std::mutex mutex_;
        mutable std::condition_variable doneSignal_;
        bool done_ = false;
    };

    using Log = std::function<void(const std::string&)>;

    // Never fails: an unreadable queue file gives an empty queue. `log` receives the
    // "rejected, dropped" lines (the system log when not given).
    static std::shared_ptr<Telemetry> make(std::filesystem::path directory, AppInfo app, Sender send, Log log = {});

    void record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props) override;
    void notePhase(std::string_view phase, std::optional<std::string> aid) override;
    using TelemetrySink::record;

    std::shared_ptr<FlushHandle> flush();
    void flushAndWait(double timeoutSeconds);
    void addDiagnostic(DiagnosticKind kind, JSONValue payload);

    static std::filesystem::path diagnosticsDirectory(const std::filesystem::path& directory);
    // Stores one diagnostic file without starting anything; errors are ignored.
    static void writeDiagnostic(const PendingDiagnostic& diagnostic, const std::filesystem::path& directory);
    // The diagnostic files, oldest first.
    std::vector<std::filesystem::path> pendingDiagnostics() const;

    std::vector<TelemetryRecord> queued() const;
    std::string lastPhase() const;
    std::optional<std::string> lastAid() const;
    void setOnPhase(std::function<void(const std::string&, const std::optional<std::string>&)> onPhase);

    const std::filesystem::path& directory() const { return directory_; }
    const AppInfo& app() const { return app_; }

private:
    Telemetry(std::filesystem::path directory, AppInfo app, Sender send, Log log);

    std::shared_ptr<FlushHandle> startFlushLocked();
    static void runFlush(std::weak_ptr<Telemetry> weak, std::shared_ptr<FlushHandle> handle);
    void sendDiagnostics();
    void sendEvents();
    void persistLocked();

    const std::filesystem::path directory_;
    const AppInfo app_;
    const Sender send_;
    const Log log_;

    mutable std::mutex lock_;
    std::vector<TelemetryRecord> queue_;             // guarded by lock_
    std::shared_ptr<FlushHandle> flushing_;          // guarded by lock_
    bool flushAgain_ = false;                        // guarded by lock_
    std::string lastPhase_ = "idle";                 // guarded by lock_
    std::optional<std::string> lastAid_;             // guarded by lock_
    std::function<void(const std::string&, const std::optional<std::string>&)> onPhase_;  // guarded by lock_
};

// One line to the system log (syslog), never read as a format.
void systemLog(const std::string& line);

}  // namespace brindlow
