#include "RangeUploader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>

#include "RecorderCore/MP4Fixture.h"
#include "RecorderError.h"
#include "RecordingRegistration.h"
#include "Support/ExpectError.h"
#include "Support/FixedTokenProvider.h"
#include "Support/AtomicFile.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

using namespace fixture;
using json = nlohmann::json;

// Answers signing requests the way the backend does; can fail or short-change on command.
class FakeBackend : public HTTPTransport {
public:
    HTTPResponse perform(const HTTPRequest& request, std::stop_token) override {
        std::lock_guard lock(mutex);
        calls.push_back(request.url.substr(request.url.find("/", 8)) + " " + request.body);
        if (request.url.find("/upload/range-urls") == std::string::npos) return {200, "{}"};
        const json body = json::parse(request.body);
        const int64_t from = body["from"], count = std::min(body["count"].get<int64_t>(), batchLimit);
        signs.emplace_back(from, body["count"]);
        if (failSigns > 0 && failSigns--) return {503, "busy"};
        json urls = json::array();
        for (int64_t n = from; n < from + count; ++n) urls.push_back("http://store/" + std::to_string(n));
        return {200, json{{"urls", urls}, {"initUrl", "http://store/init"}, {"manifestUrl", "http://store/manifest"}}.dump()};
    }
    std::mutex mutex;
    std::vector<std::pair<int64_t, int64_t>> signs;
    std::vector<std::string> calls;
    int failSigns = 0;
    int64_t batchLimit = 1'000'000;
};

// Stores what is put; fails a URL as often as told with the store's 500, or holds every
// put until cancelled.
class FakePutter : public ObjectPutter {
public:
    void put(const std::string& url, const std::filesystem::path& file, const std::string& type, std::stop_token stop) override {
        put(url, std::string_view(readFile(file).value_or("<unreadable>")), type, stop);
    }
    void put(const std::string& url, std::string_view data, const std::string& type, std::stop_token stop) override {
        std::unique_lock lock(mutex);
        ++attempts[url];
        if (block) {
            blocked = true;
            changed.notify_all();
            changed.wait(lock, stop, [] { return false; });
            throw CancellationError();
        }
        if (failures[url]-- > 0) throw HTTPError(500, "store down");
        puts.push_back({url, std::string(data), type});
    }
    struct Put { std::string url, content, type; };
    std::mutex mutex;
    std::condition_variable_any changed;
    std::vector<Put> puts;
    std::map<std::string, int> failures, attempts;
    bool block = false, blocked = false;
};

class RangeUploaderTest : public ::testing::Test {
protected:
    void TearDown() override { std::filesystem::remove_all(spoolRoot); }

    // A range closes once it holds `bytes` and spans `seconds`.
    std::shared_ptr<RangeUploader> make(int64_t bytes, double seconds, int64_t attempts = 10) {
        return RangeUploader::make(
            "take", StreamKey::screen, BrindlowAPI(RecorderEnvironment::dev(), HTTPClient(backend, std::make_shared<testing::FixedTokenProvider>("tok"))),
            putter, spoolRoot, {.minRangeBytes = bytes, .minRangeSeconds = seconds, .maxAttempts = attempts, .sync = {}},
            [this](int64_t n, double t0, double t1) {
                std::lock_guard lock(reportsMutex);
                reports.push_back({n, t0, t1});
            },
            [this](double seconds, std::stop_token) {
                std::lock_guard lock(reportsMutex);
                sleeps.push_back(seconds);
                return true;
            });
    }
    static StreamSegment init() { return {StreamSegment::Kind::initialization, initSegment(1000)}; }
    // A fragment starting at `seconds` (timescale 1000) with `bytes` of media.
    static StreamSegment fragment(double seconds, size_t bytes = 100) {
        return {StreamSegment::Kind::media, mediaSegment(uint64_t(seconds * 1000), bytes)};
    }

    struct Report { int64_t n; double t0, t1; };
    std::filesystem::path spoolRoot = std::filesystem::temp_directory_path() / ("brindlow-spool-" + randomUUID());
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    std::shared_ptr<FakePutter> putter = std::make_shared<FakePutter>();
    std::mutex reportsMutex;
    std::vector<Report> reports;
    std::vector<double> sleeps;
};

TEST_F(RangeUploaderTest, OneThresholdAloneNeverCuts) {
    // Plenty of bytes in too little time, then plenty of time for too few bytes.
    for (const auto& [bytes, seconds, size] : {std::tuple{1000, 15.0, 5000}, std::tuple{1'000'000, 3.0, 100}}) {
        auto uploader = make(bytes, seconds);
        uploader->append(init());
        for (int i = 0; i < 10; ++i) uploader->append(fragment(i, size_t(size)));
        uploader->finish();
    }
    EXPECT_EQ(reports.size(), 2u);  // one range per stream
}

// The ranges meet in time and end at the last fragment plus the tail; the manifest counts
// them, and the spool is gone afterwards. (The stored stream itself is checked whole by
// the upload tests against the devserver.)
TEST_F(RangeUploaderTest, RangesMeetInTimeAndTheManifestCountsThem) {
    auto uploader = make(250, 3);
    uploader->append(init());
    int64_t bytes = int64_t(init().data.size());
    for (int i = 0; i < 10; ++i) {
        const auto f = fragment(i * 2.0);
        bytes += int64_t(f.data.size());
        uploader->append(f);
    }
    EXPECT_EQ(uploader->finish(), bytes);
    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front().t0, 0);
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_EQ(reports[i].t0, reports[i - 1].t1);
    EXPECT_DOUBLE_EQ(reports.back().t1, 18.0 + 2.0);
    const auto& manifest = putter->puts.back();
    EXPECT_EQ(manifest.url + " " + manifest.type, "http://store/manifest application/json");
    EXPECT_EQ(manifest.content, "{\"bytes\":" + std::to_string(bytes) + ",\"ranges\":" + std::to_string(reports.size()) + "}");
    EXPECT_FALSE(std::filesystem::exists(uploader->spool()));
}

TEST_F(RangeUploaderTest, OnlyTheFirstInitCountsAndMediaBeforeItGetsNoIndex) {
    EXPECT_EQ(make(1, 0)->finish(), std::nullopt) << "nothing spooled";
    auto uploader = make(1, 0);
    uploader->append(fragment(0));  // before any init: spooled, not indexed, no cut
    uploader->append(fragment(2));
    EXPECT_EQ(uploader->fragmentIndex(), std::nullopt);
    uploader->append(init());
    uploader->append(init());
    uploader->append({StreamSegment::Kind::media, {}});  // empty: ignored
    uploader->append(fragment(4));
    const auto index = uploader->fragmentIndex();
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(index->entries.size(), 1u);
    uploader->finish();
    EXPECT_EQ(std::ranges::count(putter->puts, "http://store/init", &FakePutter::Put::url), 1);
}

// URLs are signed 25 at a time from the first range without one; a short answer is
// followed up from where it ended, and answers with none give up after the attempts.
TEST_F(RangeUploaderTest, SigningFollowsTheRangesInBatches) {
    struct Case {
        const char* name;
        int64_t batchLimit;
        int fragments;
        std::vector<std::pair<int64_t, int64_t>> signs;
        bool fails;
    };
    const Case cases[] = {
        {"range 25 signs a second batch", 1'000'000, 26, {{0, 25}, {25, 25}}, false},
        {"short batches are followed up", 3, 7, {{0, 25}, {3, 25}, {6, 25}}, false},
        {"empty answers end in a failure", 0, 1, {{0, 25}, {0, 25}, {0, 25}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend->signs.clear();
        backend->batchLimit = c.batchLimit;
        reports.clear();
        auto uploader = make(1, 0, 3);
        uploader->append(init());
        for (int i = 0; i < c.fragments; ++i) uploader->append(fragment(i));
        if (c.fails) {
            EXPECT_EQ(testing::errorFrom<RecorderError>([&] { uploader->finish(); }),
                      RecorderError::uploadFailed("no signed URL for range 0"));
        } else {
            uploader->finish();
            ASSERT_EQ(reports.size(), size_t(c.fragments + 1));
            for (size_t i = 0; i < reports.size(); ++i) EXPECT_EQ(reports[i].n, int64_t(i));
        }
        EXPECT_EQ(backend->signs, c.signs);
    }
}

TEST_F(RangeUploaderTest, BackoffDoublesAndARetriedRangeGoesUpOnce) {
    putter->failures["http://store/0"] = 2;
    backend->failSigns = 1;
    auto uploader = make(1'000'000, 1000);
    uploader->append(init());
    uploader->append(fragment(0));
    uploader->finish();
    EXPECT_EQ(sleeps, (std::vector<double>{0.2, 0.2, 0.4}));  // one for signing, two for the range
    EXPECT_EQ(std::ranges::count(putter->puts, "http://store/0", &FakePutter::Put::url), 1);
}

TEST_F(RangeUploaderTest, TenthFailureIsFinalAndLeavesTheRestOnDisk) {
    putter->failures["http://store/1"] = 100;
    auto uploader = make(1, 0);
    uploader->append(init());
    for (int i = 0; i < 4; ++i) uploader->append(fragment(i));
    const auto error = testing::errorFrom<HTTPError>([&] { uploader->finish(); });
    EXPECT_EQ(error ? error->status() : 0, 500);
    EXPECT_EQ(sleeps, (std::vector<double>{0.2, 0.4, 0.8, 1.6, 3.2, 6.4, 12.8, 25.6, 30}));
    EXPECT_EQ(putter->attempts.count("http://store/manifest"), 0u);
    // Range 0 went up and was deleted; ranges 1..3 wait on disk for a later attempt.
    EXPECT_FALSE(std::filesystem::exists(uploader->spool() / "000.mp4"));
    for (const char* name : {"001.mp4", "002.mp4", "003.mp4"}) EXPECT_TRUE(std::filesystem::exists(uploader->spool() / name)) << name;
}

// A record that cannot be written (a full disk) must not cost the ranges it failed to
// mark as uploaded: recovery would then find them lost.
TEST_F(RangeUploaderTest, RangesStayOnDiskWhileTheRecordCannotSayTheyWentUp) {
    TakeRecord record;
    record.aid = "take";
    auto journal = TakeJournal::create(spoolRoot / "take", record);
    // From now on every write of the record fails.
    std::filesystem::remove(spoolRoot / "take" / TakeJournal::fileName);
    std::filesystem::create_directory(spoolRoot / "take" / TakeJournal::fileName);
    auto uploader = make(1, 0);
    uploader->setJournal(journal);
    uploader->append(init());
    for (int i = 0; i < 2; ++i) uploader->append(fragment(i));
    uploader->finish();
    EXPECT_EQ(reports.size(), 3u);
    for (const char* name : {"000.mp4", "001.mp4", "002.mp4"})
        EXPECT_TRUE(std::filesystem::exists(uploader->spool() / name)) << name;
}

TEST_F(RangeUploaderTest, AbortDuringAnUploadStopsEverything) {
    putter->block = true;
    auto uploader = make(1, 0);
    uploader->append(init());
    {
        std::unique_lock lock(putter->mutex);
        ASSERT_TRUE(putter->changed.wait_for(lock, std::chrono::seconds(5), [&] { return putter->blocked; }));
    }
    uploader->abort();
    uploader->append(fragment(0));
    EXPECT_THROW(uploader->finish(), CancellationError);
    EXPECT_FALSE(std::filesystem::exists(uploader->spool()));
}

// The close goes out on a worker that outlives the registration; heartbeats stop when told,
// and a second close sends nothing. (The order of range notices the session tests hold to
// the server's check.)
TEST(RecordingRegistration, TheCloseOutlivesTheRegistrationAndIsSentOnce) {
    auto backend = std::make_shared<FakeBackend>();
    const auto calls = [&](bool heartbeats) {
        std::lock_guard lock(backend->mutex);
        std::vector<std::string> out;
        for (const auto& c : backend->calls)
            if (heartbeats == (c.find("/heartbeat") != std::string::npos)) out.push_back(c);
        return out;
    };
    const auto waitFor = [&](bool heartbeats, size_t count) {
        for (int i = 0; i < 1000 && calls(heartbeats).size() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    auto registration = RecordingRegistration::make(
        "a1", BrindlowAPI{RecorderEnvironment::dev(), HTTPClient(backend, std::make_shared<testing::FixedTokenProvider>("tok"))}, 0.05);
    registration->start({{StreamKey::screen, "video/mp4", 2, 2}, {StreamKey::camera, "video/mp4", 2, 2}}, std::nullopt);
    waitFor(true, 2);
    registration->stopHeartbeat();
    registration->drain();
    const size_t heartbeats = calls(true).size();
    registration->close(CloseStatus::saved, "f1");
    registration->close(CloseStatus::discarded, std::nullopt);
    std::weak_ptr<RecordingRegistration> weak = registration;
    registration.reset();
    EXPECT_TRUE(weak.expired());
    waitFor(false, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // room for a late heartbeat or a second close
    const auto c = calls(false);
    ASSERT_EQ(c.size(), 2u);
    EXPECT_EQ(c[1], R"(/recordings/a1/close {"status":"saved","folderId":"f1"})");
    EXPECT_GE(heartbeats, 2u);
    EXPECT_EQ(calls(true).size(), heartbeats);
}

}  // namespace
}  // namespace brindlow
