// What recovery does with take folders it should not (or cannot) finish; whole takes
// are recovered end to end in the session and command-line tests.

#include "TakeRecovery.h"

#include <gtest/gtest.h>


#include <cstring>
#include <fstream>

#include "RecorderCore/MP4Fixture.h"
#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
#include "Support/SmallDisk.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using Kind = RecoveryOutcome::Kind;

class TakeRecoveryTest : public ::testing::Test {
protected:
    void TearDown() override { fs::remove_all(spool); }

    TakeRecord take(std::string uid = "alice", std::string createdAt = iso8601Now()) const {
        TakeRecord r;
        r.aid = randomUUID();
        r.uid = std::move(uid);
        r.environment = api.env().name;
        r.createdAt = std::move(createdAt);
        r.streams = {StreamInfo{StreamKey::screen, "video/mp4", 320, 240}};
        return r;
    }
    RecoveryOutcome recover(const TakeRecord& r, std::optional<std::chrono::hours> lastChange = std::nullopt) {
        TakeJournal::create(spool / r.aid, r);
        if (lastChange) age(spool / r.aid / TakeJournal::fileName, *lastChange);
        return recovery.recover(r.aid, user);
    }
    static void age(const fs::path& path, std::chrono::hours by) {
        fs::last_write_time(path, std::chrono::file_clock::from_sys(std::chrono::system_clock::now() - by));
    }
    static void write(const fs::path& path, const fixture::Bytes& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    std::string stored(const std::string& aid, const char* name) const {
        return readFile(server.dataDir() / "objects" / aid / "screen" / name).value_or("<none>");
    }
    static std::string text(const fixture::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

    // Signed URLs last two seconds: a slow recovery outlives them.
    testing::DevServerProcess server{{"--url-seconds", "2"}};
    BrindlowAPI api = server.api("alice");
    RecorderUser user = api.fetchUser("alice");
    fs::path spool = fs::temp_directory_path() / ("brindlow-recovery-" + randomUUID());
    TakeRecovery recovery{api, std::make_shared<HTTPObjectPutter>(server.transport()), spool, TakeRecovery::Options()};
};

TEST_F(TakeRecoveryTest, TakesThatCannotBeFinishedNowWaitOrAreSetAsideNeverDeleted) {
    const TakeRecord other = take("bob");
    EXPECT_EQ(recover(other).kind, Kind::waiting);
    EXPECT_TRUE(fs::exists(spool / other.aid / TakeJournal::fileName));

    TakeRecord elsewhere = take();
    elsewhere.environment = "prod";
    EXPECT_EQ(recover(elsewhere).kind, Kind::waiting);

    // Never registered, and the backend refuses it for good (another user's id): set aside.
    TakeRecord refused = take();
    server.api("bob").registerRecording(refused.aid, refused.streams, std::nullopt);
    const auto outcome = recover(refused);
    EXPECT_EQ(outcome.kind, Kind::abandoned) << outcome.reason;
    EXPECT_TRUE(fs::exists(spool / TakeRecovery::abandonedFolder / refused.aid));

    const std::string corrupt = randomUUID();
    fs::create_directories(spool / corrupt);
    writeFileAtomically(spool / corrupt / TakeJournal::fileName, "{\"aid\":");
    EXPECT_EQ(recovery.recover(corrupt, user).kind, Kind::abandoned);
    EXPECT_TRUE(fs::exists(spool / TakeRecovery::abandonedFolder / corrupt / TakeJournal::fileName));

    // A folder a live process owns is left alone.
    const TakeRecord live = take();
    TakeJournal::create(spool / live.aid, live);
    const auto owner = TakeLock::tryAcquire(spool / live.aid);
    ASSERT_TRUE(owner);
    EXPECT_EQ(recovery.recover(live.aid, user).kind, Kind::busy);
    EXPECT_TRUE(server.state(live.aid).at("recordings").empty());
}

TEST_F(TakeRecoveryTest, NothingPlayableIsClosedAsDiscardedAndAClosedTakeIsOnlyTidiedAway) {
    const TakeRecord empty = take();
    EXPECT_EQ(recover(empty).kind, Kind::discarded);
    EXPECT_EQ(server.state(empty.aid).at("recordings").at(0).at("status"), "discarded");
    EXPECT_FALSE(fs::exists(spool / empty.aid));

    TakeRecord closed = take();
    closed.closed = true;
    EXPECT_EQ(recover(closed).kind, Kind::saved);
    EXPECT_FALSE(fs::exists(spool / closed.aid));
    EXPECT_EQ(server.state(closed.aid).at("recordings").size(), 0u) << "nothing was sent for it";
}

TEST_F(TakeRecoveryTest, TheRecordSurvivesARoundTripAndRefusesGaps) {
    TakeRecord r = take();
    r.media[StreamKey::screen].ranges = {{0, 0, 15.5, 0, 100, true, true}, {1, 15.5, 31, 100, 50, true, false}};
    r.media[StreamKey::screen].entries = {{802, 40, 0}, {842, 60, 180000}};
    r.duration = 31.5;
    r.folderId = "f-1";
    EXPECT_EQ(TakeRecord::fromJSON(nlohmann::json::parse(r.toJSON().dump())), r);
    r.media[StreamKey::screen].ranges[1].offset = 120;  // a hole between the ranges
    EXPECT_THROW(TakeRecord::fromJSON(nlohmann::json::parse(r.toJSON().dump())), nlohmann::json::exception);
    // A size that is no integer.
    r.media[StreamKey::screen].ranges[1].offset = 100;
    std::string text = r.toJSON().dump();
    text.replace(text.find("\"bytes\":50"), 10, "\"bytes\":50.5");
    EXPECT_THROW(TakeRecord::fromJSON(nlohmann::json::parse(text)), nlohmann::json::exception);
}

// Age counts from the later of the stated creation and the record's last change (a
// clock set right after the take began), for waiting takes too; what was set aside goes
// after the same time.
TEST_F(TakeRecoveryTest, AgeCountsFromTheLastChangeForEveryTakeAndAbandonedTakesArePruned) {
    using namespace std::chrono;
    const auto monthAgo = iso8601(system_clock::now() - hours(24 * 31));
    EXPECT_EQ(recover(take("alice", monthAgo), hours(24 * 31)).kind, Kind::abandoned);
    EXPECT_EQ(recover(take("bob", monthAgo), hours(24 * 31)).kind, Kind::abandoned) << "another account's take ages";
    const auto outcome = recover(take("alice", monthAgo));
    EXPECT_NE(outcome.kind, Kind::abandoned) << "its record changed just now: " << outcome.reason;

    const fs::path setAside = spool / TakeRecovery::abandonedFolder;
    ASSERT_EQ(std::distance(fs::directory_iterator(setAside), fs::directory_iterator()), 2);
    for (const auto& [days, kept] : {std::pair{29, true}, std::pair{31, false}}) {
        TakeRecovery::Options later;
        later.now = [days = days] { return system_clock::now() + hours(24 * days); };
        TakeRecovery(api, std::make_shared<HTTPObjectPutter>(server.transport()), spool, later).pending();
        EXPECT_EQ(!fs::is_empty(setAside), kept) << days << " days later";
    }
}

// The live take died with range files its record never named: each is filed up to the
// last whole fragment of the one being filled, and a file that no longer joins on is set
// aside with the folder, never deleted. The first upload arrives after its URL expired,
// which an object store refuses with 403: the URL is signed again instead of the take
// being given up.
TEST_F(TakeRecoveryTest, EveryConsecutiveRangeFileIsFiledAndStrayFilesAreSetAside) {
    using namespace fixture;
    const Bytes init = initSegment(90000);
    const Bytes first = concat({init, mediaSegment(0, 400), mediaSegment(180000, 400)});
    const Bytes second = concat({mediaSegment(360000, 400), mediaSegment(540000, 400)});
    const Bytes third = mediaSegment(720000, 400);
    const Bytes torn = mediaSegment(900000, 400);
    server.setFault({{"route", "put"}, {"delayMs", 2500}, {"times", 1}});
    TakeRecord r = take();
    r.media[StreamKey::screen] = {int64_t(init.size()), 90000, false, {}, {}, false, false, false};
    TakeJournal::create(spool / r.aid, r);
    const fs::path dir = spool / r.aid / "screen";
    write(dir / "000.mp4", first);                                                   // synced, not yet recorded
    write(dir / "001.part", second);                                                 // closed, not yet synced
    write(dir / "002.part", concat({third, Bytes(torn.begin(), torn.end() - 100)}));  // being filled
    write(dir / "004.mp4", mediaSegment(1080000, 400));                              // after a gap
    {
        CursorLogBuilder cursor(Size{1920, 1080}, std::make_shared<CursorLogSpool>(spool / r.aid / CursorLogSpool::fileName, Size{1920, 1080}));
        cursor.move(0, 0.25, 0.5);
        cursor.buttons(40, {0});
    }

    const auto outcome = recovery.recover(r.aid, user);
    ASSERT_EQ(outcome.kind, Kind::saved) << outcome.reason;
    EXPECT_EQ(stored(r.aid, "0.mp4"), text(first));
    EXPECT_EQ(stored(r.aid, "1.mp4"), text(second));
    EXPECT_EQ(stored(r.aid, "2.mp4"), text(third));
    const auto state = server.state(r.aid).at("recordings").at(0);
    EXPECT_TRUE(state.at("check").at("ok").get<bool>()) << state.at("check").dump();
    const int64_t length = int64_t(torn.size()), at = int64_t(init.size());
    std::vector<FragmentIndex::Entry> entries;
    for (int64_t k = 0; k < 5; ++k) entries.push_back({at + k * length, length, uint64_t(k) * 180000});
    for (const auto& notice : state.at("notices")) {
        if (notice.at("kind") != "index") continue;
        const auto index = FragmentIndex::fromJSON(notice.at("body").at("index"));
        EXPECT_EQ(index.entries, entries);
    }
    // Without stated sample durations the last fragment is given the usual tail.
    EXPECT_DOUBLE_EQ(state.at("asset").at("durationSeconds").get<double>(), 8.0 + 2.0);
    EXPECT_FALSE(state.at("cursorLogBytes").is_null()) << "the spooled cursor log is filed with the take";
    EXPECT_FALSE(fs::exists(spool / r.aid));
    EXPECT_TRUE(fs::exists(spool / TakeRecovery::abandonedFolder / r.aid / "screen" / "004.mp4"));
}

// A record that cannot be written stops recovery before it deletes anything, so the next
// attempt still has every range.
TEST_F(TakeRecoveryTest, ARecordThatCannotBeWrittenStopsRecoveryBeforeAnythingIsDeleted) {
    using namespace fixture;
    const testing::SmallDisk disk(spool, "1m");
    if (!disk.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root: " << disk.refusal();
    const Bytes init = initSegment(90000), a = mediaSegment(0, 400), b = mediaSegment(180000, 400);
    const Bytes range = concat({init, a, b});
    const int64_t i = int64_t(init.size()), n = int64_t(a.size());
    TakeRecord r = take();
    r.registered = true;
    r.media[StreamKey::screen] = {i, 90000, false, {{0, 0, 4, 0, int64_t(range.size()), false, false}},
                                  {{i, n, 0}, {i + n, int64_t(b.size()), 180000}}, false, false, false};
    server.api("alice").registerRecording(r.aid, r.streams, std::nullopt);
    TakeJournal::create(spool / r.aid, r);
    write(spool / r.aid / "screen" / "000.mp4", range);
    testing::runCommand({"sh", "-c", "cat /dev/zero > \"$0\"", (spool / "filler").string()});
    // Notices fail too, so this attempt cannot end well either way.
    server.setFault({{"route", "ranges"}, {"status", 500}});
    EXPECT_EQ(recovery.recover(r.aid, user).kind, Kind::failed);
    fs::remove(spool / "filler");
    server.clearFaults();
    const auto outcome = recovery.recover(r.aid, user);
    EXPECT_EQ(outcome.kind, Kind::saved) << outcome.reason;
}

}  // namespace
}  // namespace brindlow
