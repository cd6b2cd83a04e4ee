#include "Telemetry.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <limits>

#include "HTTPClient.h"
#include "RunMarker.h"
#include "Support/AtomicFile.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

// A backend whose answers the test scripts: each call takes the next scripted outcome
// ("ok" when the script is empty) and fails as the real one would; "block" waits until
// release().
class ScriptedSender {
public:
    Telemetry::Sender sender() {
        return {[this](const AppInfo&, const std::vector<TelemetryRecord>& batch) { answer([&] { batches.push_back(batch); }); },
                [this](const AppInfo&, const PendingDiagnostic& d) { answer([&] { diagnostics.push_back(d); }); }};
    }
    void script(std::vector<std::string> next) {
        std::lock_guard lock(mutex);
        outcomes = std::move(next);
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    bool waitUntilBlocked() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [this] { return blocked; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> outcomes;
    std::vector<std::vector<TelemetryRecord>> batches;  // every batch offered
    std::vector<PendingDiagnostic> diagnostics;         // every diagnostic offered
    int concurrent = 0, maxConcurrent = 0;
    bool blocked = false, released = false;

private:
    void answer(const std::function<void()>& keep) {
        std::unique_lock lock(mutex);
        maxConcurrent = std::max(maxConcurrent, ++concurrent);
        keep();
        const std::string outcome = outcomes.empty() ? "ok" : outcomes.front();
        if (!outcomes.empty()) outcomes.erase(outcomes.begin());
        if (outcome == "block") {
            blocked = true;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
        }
        --concurrent;
        if (outcome == "400") throw HTTPError(400, std::string(300, 'x') + "tail");
        if (outcome == "500") throw HTTPError(500, "server error");
        if (outcome == "offline") throw TransportError("offline");
    }
};

class TelemetryTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    std::shared_ptr<Telemetry> make() {
        return Telemetry::make(dir, AppInfo{"1.0", "42", "Debian 12", "dev", "x86_64"}, backend.sender(),
                               [this](const std::string& line) { logged.push_back(line); });
    }
    json queueFile() const { return json::parse(readFile(dir / "queue.json").value_or("null")); }
    static std::vector<std::string> names(const std::vector<TelemetryRecord>& records) {
        std::vector<std::string> out;
        for (const auto& r : records) out.push_back(r.aid.value_or(""));
        return out;
    }
    // Records tagged by aid "0", "1", … while the backend is offline.
    void queueOffline(Telemetry& telemetry, int count) {
        backend.script(std::vector<std::string>(size_t(count) * 2, "offline"));
        for (int i = 0; i < count; ++i) {
            telemetry.record(TelemetryEvent::takeStarted, std::to_string(i));
            telemetry.flushAndWait(10);
        }
        backend.script({});
    }

    fs::path dir = fs::temp_directory_path() / ("brindlow-telemetry-" + randomUUID());
    ScriptedSender backend;
    std::vector<std::string> logged;
};

// The queue keeps the newest 500 records across a restart and sends them in order,
// 50 to a batch.
TEST_F(TelemetryTest, KeepsTheNewest500RecordsAcrossARestartAndSendsThemInOrder) {
    {
        auto first = make();
        queueOffline(*first, 501);
        EXPECT_EQ(queueFile().size(), 500u);
    }
    backend.batches.clear();
    auto second = make();
    second->record(TelemetryEvent::appLaunched, std::nullopt);
    second->flushAndWait(10);
    std::vector<std::string> sent;
    for (const auto& batch : backend.batches) {
        EXPECT_LE(batch.size(), 50u);
        for (const auto& name : names(batch)) sent.push_back(name);
    }
    // The new record pushed out the oldest again.
    ASSERT_EQ(sent.size(), 500u);
    for (int i = 0; i < 499; ++i) EXPECT_EQ(sent[size_t(i)], std::to_string(i + 2));
    EXPECT_EQ(sent[499], "");
    EXPECT_EQ(queueFile(), json::array());
}

// A flush asked for while one runs joins it and adds one more pass; the running flush
// ends even when the telemetry is released under it.
TEST_F(TelemetryTest, OneFlushAtATimeWithOneMorePassWhenAskedWhileRunning) {
    for (const bool releaseWhileFlushing : {false, true}) {
        SCOPED_TRACE(releaseWhileFlushing ? "released" : "kept");
        backend.blocked = backend.released = false;
        backend.batches.clear();
        auto telemetry = make();
        backend.script({"block"});
        telemetry->record(TelemetryEvent::appLaunched, std::nullopt);
        ASSERT_TRUE(backend.waitUntilBlocked());
        const auto running = telemetry->flush();
        telemetry->record(TelemetryEvent::takeStarted, "a1");
        EXPECT_EQ(telemetry->flush(), running);
        if (releaseWhileFlushing) telemetry.reset();
        backend.release();
        ASSERT_TRUE(running->wait(10));
        if (releaseWhileFlushing) continue;
        EXPECT_EQ(backend.maxConcurrent, 1);
        ASSERT_EQ(backend.batches.size(), 2u);
        EXPECT_EQ(names(backend.batches[1]), std::vector<std::string>{"a1"});
    }
}

// A batch the backend refuses (400) is dropped and the flush goes on; one it cannot take
// now (500) stays queued and ends the flush.
TEST_F(TelemetryTest, RejectedBatchesAreDroppedAndFailedOnesKept) {
    struct Case {
        const char* outcome;
        std::vector<std::string> firstOfEachBatch;
        size_t queuedAfter;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {"400", {"0", "50", "100"}, 0, {"Brindlow: telemetry batch rejected, dropped: " + std::string(200, 'x')}},
        {"500", {"0"}, 120, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        fs::remove_all(dir);
        logged.clear();
        auto telemetry = make();
        queueOffline(*telemetry, 120);
        backend.batches.clear();
        backend.script({c.outcome});
        telemetry->flushAndWait(10);
        std::vector<std::string> firsts;
        for (const auto& batch : backend.batches) firsts.push_back(names(batch).at(0));
        EXPECT_EQ(firsts, c.firstOfEachBatch);
        EXPECT_EQ(telemetry->queued().size(), c.queuedAfter);
        EXPECT_EQ(logged, c.logged);
    }
}

// A queue file keeps what reads back of it; a record stored after it leaves out the
// properties that cannot be sent (and "props" when none remain, "aid" without a take).
TEST_F(TelemetryTest, TheQueueFileKeepsWhatReadsBack) {
    const std::string good = R"({"name":"app_launched","at":"2026-01-01T00:00:00.000Z"})";
    const double nan = std::numeric_limits<double>::quiet_NaN(), infinity = std::numeric_limits<double>::infinity();
    const std::tuple<const char*, std::string, size_t, TelemetryProps, std::optional<json>> cases[] = {
        {"torn file", "[{\"name\":\"app_launched\",\"at\":", 0, {}, std::nullopt},
        // A null where a number was, as older builds wrote a NaN, costs that record only.
        {"one bad record", "[" + good + R"(,{"name":"take_stopped","at":"x","props":{"seconds":null}},)" + good + "]", 2, {}, std::nullopt},
        {"not finite", "", 0, {{"seconds", nan}, {"bytes", infinity}, {"screen", "1920x1080"}}, json{{"screen", "1920x1080"}}},
    };
    for (const auto& [name, file, kept, props, stored] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        if (!file.empty()) writeFileAtomically(dir / "queue.json", file);
        {
            auto telemetry = make();
            EXPECT_EQ(telemetry->queued().size(), kept);
            // Two refusals: flushAndWait may add a pass to the flush the record started.
            backend.script({"offline", "offline"});
            telemetry->record(TelemetryEvent::takeStopped, std::nullopt, props);
            telemetry->flushAndWait(10);
        }
        const auto record = queueFile().at(kept);
        EXPECT_FALSE(record.contains("aid"));
        EXPECT_EQ(record.contains("props") ? std::optional(record["props"]) : std::nullopt, stored);
        EXPECT_EQ(make()->queued().size(), kept + 1) << "the stored queue does not read back";
    }
}

TEST_F(TelemetryTest, DiagnosticsAreSentOldestFirstAtMostTwentyKeptAndBadFilesDeleted) {
    auto telemetry = make();
    const auto folder = Telemetry::diagnosticsDirectory(dir);
    writeFileAtomically(folder / "1000-aaaaaaaa.json", "{\"kind\":\"exception\"");
    writeFileAtomically(folder / "1001-bbbbbbbb.json",
                        PendingDiagnostic{DiagnosticKind::exception, "t1", JSONValue("first")}.toJSON().dump());
    writeFileAtomically(folder / "1002-cccccccc.json",
                        PendingDiagnostic{DiagnosticKind::metricKit, "t2", JSONValue("second")}.toJSON().dump());
    backend.script({"400"});
    telemetry->flushAndWait(10);
    // The corrupt file goes unsent; the rejected one is dropped, not kept for later.
    ASSERT_EQ(backend.diagnostics.size(), 2u);
    EXPECT_EQ(backend.diagnostics[0].at, "t1");
    EXPECT_EQ(logged, std::vector<std::string>{"Brindlow: diagnostic rejected, dropped: " + std::string(200, 'x')});
    EXPECT_TRUE(telemetry->pendingDiagnostics().empty());
    // At most 20 wait: the 21st pushes out the oldest.
    backend.script(std::vector<std::string>(100, "offline"));
    for (int i = 0; i < 21; ++i) {
        telemetry->addDiagnostic(DiagnosticKind::metricKit, JSONValue(JSONValue::Object{{"n", i}}));
        telemetry->flushAndWait(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));  // distinct millisecond names
    }
    const auto files = telemetry->pendingDiagnostics();
    ASSERT_EQ(files.size(), 20u);
    const auto oldest = PendingDiagnostic::fromJSON(json::parse(*readFile(files.front())));
    EXPECT_EQ(*oldest.payload["n"]->number(), 1);
}

// The run marker.

class RunMarkerTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(dir); }
    void leave(const RunMarker::Run& run) {
        fs::create_directories(dir);
        writeFileAtomically(dir / ("run-" + std::to_string(run.pid) + ".json"), run.toJSON().dump());
    }
    fs::path dir = fs::temp_directory_path() / ("brindlow-marker-" + randomUUID());
};

TEST_F(RunMarkerTest, ReportsDeadRunsOldestFirstLeavesLiveOnesAloneAndKeepsItsOwnPhase) {
    leave({901, "2026-01-02T00:00:00.000Z", "7", "recording", "a-late", "std::bad_alloc: no memory"});
    leave({902, "2026-01-01T00:00:00.000Z", "7", "stopping", std::nullopt, std::nullopt});
    leave({903, "2026-01-01T00:00:00.000Z", "7", "idle", std::nullopt, std::nullopt});
    writeFileAtomically(dir / "run-904.json", "{\"pid\":");
    writeFileAtomically(dir / "queue.json", "[]");
    RunMarker marker(dir, "8", 100, [](int32_t pid) { return pid == 903; });
    const auto stale = marker.begin();
    ASSERT_EQ(stale.size(), 2u);
    EXPECT_EQ(stale[0].pid, 902);
    EXPECT_EQ(stale[1].aid, "a-late");
    EXPECT_EQ(stale[1].exception, "std::bad_alloc: no memory");
    for (const char* gone : {"run-901.json", "run-902.json", "run-904.json"}) EXPECT_FALSE(fs::exists(dir / gone)) << gone;
    for (const char* kept : {"run-903.json", "queue.json"}) EXPECT_TRUE(fs::exists(dir / kept)) << kept;
    const auto mine = json::parse(*readFile(marker.file()));
    EXPECT_EQ(mine.at("phase"), "launching");
    // Its own file is never its own stale run.
    EXPECT_TRUE(RunMarker(dir, "8", 100, [](int32_t pid) { return pid == 903; }).begin().empty());
    // It keeps the phase and at most 500 characters of an exception, and goes at the end.
    marker.update("recording", "a1");
    marker.recordException("std::runtime_error: " + std::string(1000, 'r'));
    const auto stored = RunMarker::Run::fromJSON(json::parse(*readFile(marker.file())));
    EXPECT_EQ(stored.phase, "recording");
    EXPECT_EQ(stored.aid, "a1");
    EXPECT_EQ(characterCount(*stored.exception), 500u);
    marker.end();
    EXPECT_FALSE(fs::exists(marker.file()));
}

TEST(RunMarker, ProcessIsAliveOnlyForARealProcess) {
    // 0 and -1 would signal a whole group; the last is above the kernel's pid limit.
    for (int32_t pid : {int32_t(getpid()), 1, 0, -1, 4194305}) EXPECT_EQ(RunMarker::processIsAlive(pid), pid > 0 && pid < 4194305) << pid;
}

}  // namespace
}  // namespace brindlow
