// What recovery does with take folders it should not (or cannot) finish; whole takes
// are recovered end to end in the session and command-line tests.

#include "TakeRecovery.h"

#include <gtest/gtest.h>

#include "RecorderCore/MP4Fixture.h"
#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
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
    RecoveryOutcome recover(const TakeRecord& r) {
        TakeJournal::create(spool / r.aid, r);
        return recovery.recover(r.aid, user);
    }

    testing::DevServerProcess server;
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

    const TakeRecord old = take("alice", iso8601(std::chrono::system_clock::now() - std::chrono::hours(24 * 31)));
    EXPECT_EQ(recover(old).kind, Kind::abandoned);
    EXPECT_TRUE(fs::exists(spool / TakeRecovery::abandonedFolder / old.aid / TakeJournal::fileName));

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
}

TEST_F(TakeRecoveryTest, AFolderOwnedByALiveProcessIsLeftAlone) {
    const TakeRecord r = take();
    TakeJournal::create(spool / r.aid, r);
    const auto owner = TakeLock::tryAcquire(spool / r.aid);
    ASSERT_TRUE(owner);
    EXPECT_EQ(recovery.recover(r.aid, user).kind, Kind::busy);
    EXPECT_TRUE(server.state().at("recordings").empty());
}

TEST_F(TakeRecoveryTest, NothingPlayableIsClosedAsDiscardedAndAClosedTakeIsOnlyTidiedAway) {
    const TakeRecord empty = take();
    EXPECT_EQ(recover(empty).kind, Kind::discarded);
    const auto state = server.state(empty.aid).at("recordings").at(0);
    EXPECT_EQ(state.at("status"), "discarded");
    EXPECT_FALSE(fs::exists(spool / empty.aid));

    TakeRecord closed = take();
    closed.closed = true;
    EXPECT_EQ(recover(closed).kind, Kind::saved);
    EXPECT_FALSE(fs::exists(spool / closed.aid));
    EXPECT_EQ(server.state(closed.aid).at("recordings").size(), 0u) << "nothing was sent for it";
}

TEST_F(TakeRecoveryTest, ARangeCutInsideAFragmentIsUploadedUpToItsLastWholeFragment) {
    using namespace fixture;
    const Bytes init = initSegment(90000);
    const Bytes whole = concat({init, mediaSegment(0, 400), mediaSegment(180000, 400)});
    const Bytes torn = mediaSegment(360000, 400);
    for (const size_t cut : {size_t(20), torn.size() - 100}) {  // inside the moof, inside the mdat
        SCOPED_TRACE(cut);
        TakeRecord r = take();
        r.media[StreamKey::screen] = {int64_t(init.size()), 90000, false, {}, {}, false, false, false};
        TakeJournal::create(spool / r.aid, r);
        Bytes part = concat({whole, Bytes(torn.begin(), torn.begin() + long(cut))});
        fs::create_directories(spool / r.aid / "screen");
        writeFileAtomically(spool / r.aid / "screen" / "000.part", std::string(part.begin(), part.end()));

        const auto outcome = recovery.recover(r.aid, user);
        ASSERT_EQ(outcome.kind, Kind::saved) << outcome.reason;
        const auto state = server.state(r.aid).at("recordings").at(0);
        EXPECT_TRUE(state.at("check").at("ok").get<bool>()) << state.at("check").dump();
        const auto stored = readFile(server.dataDir() / "objects" / r.aid / "screen" / "0.mp4");
        EXPECT_EQ(stored, std::string(whole.begin(), whole.end()));
        for (const auto& notice : state.at("notices")) {
            if (notice.at("kind") != "index") continue;
            const auto index = FragmentIndex::fromJSON(notice.at("body").at("index"));
            const int64_t length = int64_t(torn.size()), first = int64_t(init.size());
            EXPECT_EQ(index.entries,
                      (std::vector<FragmentIndex::Entry>{{first, length, 0}, {first + length, length, 180000}}));
            EXPECT_EQ(index.totalBytes, int64_t(whole.size()));
        }
        // Without stated sample durations the last fragment is given the usual tail.
        EXPECT_DOUBLE_EQ(state.at("asset").at("durationSeconds").get<double>(), 2.0 + 2.0);
    }
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
}

}  // namespace
}  // namespace brindlow
