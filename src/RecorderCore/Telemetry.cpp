#include "Telemetry.h"

#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "BrindlowAPI.h"
#include "HTTPClient.h"
#include "Support/AtomicFile.h"
#include "Support/Text.h"
#include "Support/DetachedWork.h"

namespace brindlow {
namespace fs = std::filesystem;

void systemLog(const std::string& line) { syslog(LOG_WARNING, "%s", line.c_str()); }

Telemetry::Sender Telemetry::Sender::api(std::shared_ptr<const BrindlowAPI> api) {
    return Sender{
        [api](const AppInfo& app, const std::vector<TelemetryRecord>& events) { api->sendEvents(app, events); },
        [api](const AppInfo& app, const PendingDiagnostic& diagnostic) { api->sendDiagnostic(app, diagnostic); },
    };
}

bool Telemetry::FlushHandle::wait(double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return doneSignal_.wait_for(lock, std::chrono::duration<double>(std::max(0.0, timeoutSeconds)),
                                [this] { return done_; });
}

bool Telemetry::FlushHandle::isDone() const {
    std::lock_guard lock(mutex_);
    return done_;
}

void Telemetry::FlushHandle::markDone() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    doneSignal_.notify_all();
}

std::shared_ptr<Telemetry> Telemetry::make(fs::path directory, AppInfo app, Sender send, Log log) {
    return std::shared_ptr<Telemetry>(new Telemetry(std::move(directory), std::move(app), std::move(send),
                                                    log ? std::move(log) : Log(systemLog)));
}

Telemetry::Telemetry(fs::path directory, AppInfo app, Sender send, Log log)
    : directory_(std::move(directory)), app_(std::move(app)), send_(std::move(send)), log_(std::move(log)) {
    std::error_code ignored;
    fs::create_directories(diagnosticsDirectory(directory_), ignored);
    if (const auto bytes = readFile(directory_ / "queue.json")) {
        for (auto& record : decodeTelemetryQueue(*bytes)) queue_.push_back(std::move(record));
    }
}

void Telemetry::record(TelemetryEvent event, std::optional<std::string> aid, const TelemetryProps& props) {
    auto entry = TelemetryRecord::make(event, iso8601Now(), std::move(aid), props);
    std::lock_guard lock(lock_);
    queue_.push_back(std::move(entry));
    if (queue_.size() > maxQueued) queue_.erase(queue_.begin(), queue_.end() - maxQueued);
    persistLocked();
    startFlushLocked();
}

void Telemetry::notePhase(std::string_view phase, std::optional<std::string> aid) {
    std::function<void(const std::string&, const std::optional<std::string>&)> onPhase;
    {
        std::lock_guard lock(lock_);
        lastPhase_ = std::string(phase);
        lastAid_ = aid;
        onPhase = onPhase_;
    }
    if (onPhase) onPhase(std::string(phase), aid);
}

std::shared_ptr<Telemetry::FlushHandle> Telemetry::flush() {
    std::lock_guard lock(lock_);
    return startFlushLocked();
}

void Telemetry::flushAndWait(double timeoutSeconds) { flush()->wait(timeoutSeconds); }

std::shared_ptr<Telemetry::FlushHandle> Telemetry::startFlushLocked() {
    if (flushing_) {
        flushAgain_ = true;
        return flushing_;
    }
    auto handle = std::make_shared<FlushHandle>();
    try {
        DetachedWork::start([weak = weak_from_this(), handle] { runFlush(weak, handle); });
        flushing_ = handle;
    } catch (const std::system_error&) {
        // No thread to be had: everything stays queued for the next flush.
        handle->markDone();
    }
    return handle;
}

void Telemetry::runFlush(std::weak_ptr<Telemetry> weak, std::shared_ptr<FlushHandle> handle) {
    for (;;) {
        // Held only for one pass, so the object can go away between passes.
        const auto self = weak.lock();
        if (!self) break;
        {
            std::lock_guard lock(self->lock_);
            self->flushAgain_ = false;
        }
        self->sendDiagnostics();
        self->sendEvents();
        std::lock_guard lock(self->lock_);
        if (!self->flushAgain_) {
            self->flushing_.reset();
            break;
        }
    }
    handle->markDone();
}

void Telemetry::sendEvents() {
    for (;;) {
        std::vector<TelemetryRecord> batch;
        {
            std::lock_guard lock(lock_);
            batch.assign(queue_.begin(), queue_.begin() + std::min(batchSize, queue_.size()));
        }
        if (batch.empty()) return;
        try {
            send_.events(app_, batch);
        } catch (const HTTPError& error) {
            if (error.status() != 400) return;
            log_("Brindlow: telemetry batch rejected, dropped: " + characterPrefix(error.body(), 200));
        } catch (const std::exception&) {
            return;
        }
        std::lock_guard lock(lock_);
        // If the cap dropped records meanwhile, the queue no longer starts with the
        // batch; then nothing is removed and the survivors go again later.
        if (queue_.size() >= batch.size() && std::equal(batch.begin(), batch.end(), queue_.begin())) {
            queue_.erase(queue_.begin(), queue_.begin() + batch.size());
            persistLocked();
        }
    }
}

void Telemetry::sendDiagnostics() {
    for (const auto& file : pendingDiagnostics()) {
        std::error_code ignored;
        std::optional<PendingDiagnostic> diagnostic;
        if (const auto bytes = readFile(file)) {
            try {
                diagnostic = PendingDiagnostic::fromJSON(nlohmann::json::parse(*bytes));
            } catch (const std::exception&) {
            }
        }
        if (!diagnostic) {
            fs::remove(file, ignored);
            continue;
        }
        try {
            send_.diagnostic(app_, *diagnostic);
        } catch (const HTTPError& error) {
            if (error.status() != 400) return;
            log_("Brindlow: diagnostic rejected, dropped: " + characterPrefix(error.body(), 200));
        } catch (const std::exception&) {
            return;
        }
        fs::remove(file, ignored);
    }
}

void Telemetry::persistLocked() {
    try {
        auto array = nlohmann::ordered_json::array();
        for (const auto& entry : queue_) array.push_back(entry.toJSON());
        writeFileAtomically(directory_ / "queue.json", array.dump());
    } catch (const std::exception&) {
        // The in-memory queue stays authoritative for this run.
    }
}

void Telemetry::addDiagnostic(DiagnosticKind kind, JSONValue payload) {
    writeDiagnostic(PendingDiagnostic{kind, iso8601Now(), std::move(payload)}, directory_);
    const auto files = pendingDiagnostics();
    std::error_code ignored;
    for (size_t i = 0; i + maxPendingDiagnostics < files.size(); ++i) fs::remove(files[i], ignored);
    std::lock_guard lock(lock_);
    startFlushLocked();
}

fs::path Telemetry::diagnosticsDirectory(const fs::path& directory) { return directory / "diagnostics"; }

void Telemetry::writeDiagnostic(const PendingDiagnostic& diagnostic, const fs::path& directory) {
    const auto folder = diagnosticsDirectory(directory);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (ec) return;
    try {
        const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const auto name = std::to_string(millis) + "-" + randomUUID().substr(0, 8) + ".json";
        writeFileAtomically(folder / name, diagnostic.toJSON().dump());
    } catch (const std::exception&) {
    }
}

std::vector<fs::path> Telemetry::pendingDiagnostics() const {
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(diagnosticsDirectory(directory_), ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".json") files.push_back(it->path());
    }
    std::sort(files.begin(), files.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename().string() < b.filename().string(); });
    return files;
}

std::vector<TelemetryRecord> Telemetry::queued() const {
    std::lock_guard lock(lock_);
    return queue_;
}

std::string Telemetry::lastPhase() const {
    std::lock_guard lock(lock_);
    return lastPhase_;
}

std::optional<std::string> Telemetry::lastAid() const {
    std::lock_guard lock(lock_);
    return lastAid_;
}

void Telemetry::setOnPhase(std::function<void(const std::string&, const std::optional<std::string>&)> onPhase) {
    std::lock_guard lock(lock_);
    onPhase_ = std::move(onPhase);
}

}  // namespace brindlow
