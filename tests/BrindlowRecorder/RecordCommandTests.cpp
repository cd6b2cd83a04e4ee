// brindlow-recorder end to end: the real X11 screen source on Xvfb, the PulseAudio
// sine, real encoding and upload to the devserver.

#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <thread>

#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
#include "Support/PulseAudioProcess.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using testing::ChildProcess;
using namespace std::chrono_literals;

class RecordCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
        xvfb.use();
        fs::create_directories(home);
        // A home of its own: the session file, spool and telemetry stay in the test.
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
        setenv("BRINDLOW_STAND_IN", (std::to_string(server.port("web")) + "," + std::to_string(server.port("monolith")) + "," +
                                     std::to_string(server.port("legacy")) + "," + std::to_string(server.port("google"))).c_str(), 1);
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_RUNTIME_DIR");
        if (pulse.ready()) pulse.use();
    }
    void TearDown() override { fs::remove_all(home); }

    static std::vector<std::string> recorder(std::vector<std::string> args) {
        args.insert(args.begin(), BRINDLOW_RECORDER_PATH);
        return args;
    }
    // Runs the recorder with its error output in `output`; a minute at most.
    static testing::CommandResult run(std::vector<std::string> args) {
        args.insert(args.begin(), {"timeout", "-s", "KILL", "60", "/bin/sh", "-c", "\"$@\" 2>&1", "sh", BRINDLOW_RECORDER_PATH});
        return testing::runCommand(args);
    }
    void signInAs(const std::string& uid) const {
        const auto signIn = run({"sign-in", "--token", server.mintCustomToken(uid)});
        ASSERT_EQ(signIn.exitCode, 0) << signIn.output;
        EXPECT_NE(signIn.output.find("Signed in as " + uid), std::string::npos) << signIn.output;
    }
    // Whether `done` came true within a minute.
    static bool eventually(const std::function<bool()>& done) {
        for (int i = 0; i < 600; ++i, std::this_thread::sleep_for(100ms))
            if (done()) return true;
        return false;
    }
    static bool eventuallySays(const fs::path& output, const std::string& text) {
        return eventually([&] { return readFile(output).value_or("").find(text) != std::string::npos; });
    }
    fs::path spool() const { return home / "data" / "BrindlowRecorder" / "spool"; }
    // Something moving on the screen, and a pointer that clicks when asked, until stopped.
    static std::jthread paint(bool clicks) {
        return std::jthread([clicks](std::stop_token stop) {
            for (int i = 0; !stop.stop_requested(); ++i) {
                testing::runCommand({"xsetroot", "-solid", i % 2 ? "#204080" : "#e0c020"});
                if (clicks) testing::runCommand({"xdotool", "mousemove", std::to_string(100 + i * 7 % 1000), "300", "click", "1"});
                std::this_thread::sleep_for(250ms);
            }
        });
    }

    testing::XvfbProcess xvfb{"1280x720x24"};
    testing::PulseAudioProcess pulse;
    // Quiet for 2 s, a take is shown as failed: recovery comes later than that.
    testing::DevServerProcess server{{"--stale-seconds", "2"}};
    fs::path home = fs::temp_directory_path() / ("brindlow-home-" + randomUUID());
};

// Under `script` the recorder has a terminal, so "p" and Enter pause it; the paused
// seconds do not count towards --seconds.
TEST_F(RecordCommand, RecordsWithAPauseByKeyAndFilesTheTake) {
    signInAs("alice");
    std::jthread painter = paint(true);
    const fs::path transcript = home / "record.txt";
    ChildProcess record({"script", "-qfec", "'" BRINDLOW_RECORDER_PATH "' record --seconds 6 --no-countdown --computer-sound",
                         transcript.string()}, ChildProcess::Options().typingInput());
    ASSERT_TRUE(eventuallySays(transcript, "Recording. Watch it live")) << readFile(transcript).value_or("");
    std::this_thread::sleep_for(2s);
    record.type("p\n");
    std::this_thread::sleep_for(2s);
    record.type("p\n");
    const int status = record.wait();
    const std::string output = readFile(transcript).value_or("");
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("paused"), std::string::npos) << output;
    EXPECT_NE(output.find(", computer sound"), std::string::npos) << output;

    const json state = server.state();
    ASSERT_EQ(state.at("recordings").size(), 1u);
    const json rec = state.at("recordings").at(0);
    const std::string aid = rec.at("aid");
    // The take's page while it records, and the folder's once it is saved.
    EXPECT_NE(output.find("Watch it live: " + server.base("web") + "/screen-recorder/view/" + aid), std::string::npos);
    EXPECT_NE(output.find("/screen-recorder/view/" + rec.at("folderId").get<std::string>()), std::string::npos);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_NEAR(rec.at("asset").at("durationSeconds").get<double>(), 6.0, 0.5);
    EXPECT_GT(rec.at("cursorLogBytes").get<int64_t>(), 0);
}

TEST_F(RecordCommand, BadInputAndNoAccountAreRefusedBeforeAnythingStarts) {
    const struct {
        std::vector<std::string> args;
        std::string message;
        int status;
    } cases[] = {
        {{"record", "--seconds", "abc"}, "--seconds is a number of seconds above 0 and at most 9000, not abc", 2},
        {{"record", "--seconds", "0"}, "not 0", 2},
        {{"record", "--seconds", "1e9"}, "not 1e9", 2},
        {{"record", "--seconds", "nan"}, "not nan", 2},
        {{"record", "--fps", "0"}, "--fps is a whole number from 1 to 120, not 0", 2},
        {{"record", "--display", "4242"}, "no display 4242; brindlow-recorder devices lists them", 2},
        {{"record", "--camera", "nope"}, "no camera nope", 2},
        {{"record", "--display", "none", "--camera", "none"}, "nothing to record: --display none needs a camera", 2},
        {{"record", "--louder"}, "unknown option --louder", 2},
        {{"record", "--seconds"}, "--seconds needs a value", 2},
        {{"--env", "staging", "whoami"}, "the environment is \"dev\" or \"prod\"", 2},
        {{"dance"}, "unknown command dance", 2},
        {{"record", "--seconds", "1", "--no-countdown"}, "You're signed out", 1},
    };
    for (const auto& c : cases) {
        const auto result = run(c.args);
        EXPECT_EQ(result.exitCode, c.status) << c.message << "\n" << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
    }

    // Without a display server the reason is said as it is.
    const std::string display = getenv("DISPLAY");
    unsetenv("DISPLAY");
    const auto result = run({"record", "--seconds", "1"});
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no X display: DISPLAY is not set"), std::string::npos) << result.output;
    EXPECT_TRUE(server.state().at("recordings").empty());
}

TEST_F(RecordCommand, EndsInEveryStateAndKeepsWhatWasRecorded) {
    signInAs("alice");
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* signalAt;
        int status;
        const char* said;
    } cases[] = {
        {"counting down", {"record", "--mic", "none"}, "3\u2026", 1, "cancelled"},
        {"recording", {"record", "--no-countdown", "--mic", "none"}, "Recording. Watch it live", 0, "Saved."},
        {"saving", {"record", "--no-countdown", "--mic", "none", "--seconds", "1"}, "Finishing\u2026", 1,
         "it is kept on this computer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The last step of filing is held, so the take is still being saved when it is told to end.
        server.setFault({{"route", "asset"}, {"delayMs", 30000}, {"times", c.status == 1 ? 1 : 0}});
        const fs::path output = home / "record.txt";
        ChildProcess record(recorder(c.args), ChildProcess::Options().writingTo(output).stoppedBy(SIGKILL));
        ASSERT_TRUE(eventuallySays(output, c.signalAt)) << readFile(output).value_or("");
        // A recording take is registered before it is stopped.
        if (c.status == 0) {
            ASSERT_TRUE(eventually([&] { return server.state().at("recordings").size() == 1; }));
        }
        record.signal(SIGTERM);
        const auto status = record.waitAtMost(15s);
        const std::string said = readFile(output).value_or("");
        ASSERT_TRUE(status) << "still running:\n" << said;
        EXPECT_EQ(*status, c.status) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
    const json recordings = server.state().at("recordings");
    ASSERT_EQ(recordings.size(), 2u) << "only the recording and the saving cases registered a take";
    EXPECT_EQ(recordings.at(0).value("status", ""), "saved");
    EXPECT_TRUE(fs::exists(spool() / recordings.at(1).at("aid").get<std::string>())) << "the unsaved take was not kept";
}

// ---- takes cut short by a killed process, finished by `recover` ----

class RecoverCommand : public RecordCommand {
protected:
    void SetUp() override {
        RecordCommand::SetUp();
        if (IsSkipped()) return;
        signInAs("alice");
        painter = paint(false);
    }
    // Records a take of `seconds`, kills it with SIGKILL `after` the take's notices (or the
    // server) satisfy `ready`, and answers its aid.
    std::string killedTake(const char* seconds, const std::function<bool(const json& take)>& ready,
                           std::chrono::milliseconds after = 0ms) {
        ChildProcess record(recorder({"record", "--seconds", seconds, "--no-countdown", "--mic", "none"}),
                            ChildProcess::Options().stoppedBy(SIGKILL));
        std::string aid;
        EXPECT_TRUE(eventually([&] {
            const json recordings = server.state().at("recordings");
            if (recordings.empty() || !ready(recordings.back())) return false;
            aid = recordings.back().at("aid");
            return true;
        })) << "the take never got there: " << server.state().at("recordings").dump();
        std::this_thread::sleep_for(after);
        record.stop();
        return aid;
    }
    static size_t count(const json& take, const std::string& kind) {
        const json& notices = take.at("notices");
        return size_t(std::count_if(notices.begin(), notices.end(), [&](const json& n) { return n.at("kind") == kind; }));
    }
    // Whether the server holds the one call its fault for `route` was set for.
    bool held(const std::string& route) const { return server.faults().at(route).at("times") == 0; }
    // Saved once, every notice and object once, one folder per saved take, and the stored
    // stream decodes cleanly and plays to the filed duration, within [least, most] seconds.
    void expectRecoveredOnce(const std::string& aid, double least, double most) {
        const json state = server.state(), take = server.state(aid).at("recordings").at(0);
        EXPECT_EQ(take.at("status"), "saved");
        EXPECT_TRUE(take.at("check").at("ok").get<bool>()) << take.at("check").dump();
        for (const char* kind : {"register", "final", "index", "close"}) EXPECT_EQ(count(take, kind), 1u) << kind;
        for (const auto& object : take.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
        const json &recordings = state.at("recordings"), &folders = state.at("folders");
        EXPECT_EQ(folders.size(), size_t(std::count_if(recordings.begin(), recordings.end(),
                                                       [](const json& r) { return r.value("status", "") == "saved"; })));
        EXPECT_EQ(std::count_if(folders.begin(), folders.end(), [&](const json& f) { return f.at("id") == take.at("folderId"); }), 1);
        const double filed = take.at("asset").at("durationSeconds");
        EXPECT_GE(filed, least);
        EXPECT_LE(filed, most);
        const fs::path stream = server.storedStream(aid, "screen", home / "recovered.mp4");
        // In the stream's own time base: frames closer than the guessed rate's tick are no fault.
        const auto decoded = testing::runCommand(
            {"sh", "-c", "ffmpeg -v error -i \"$0\" -enc_time_base -1 -f null - 2>&1", stream.string()});
        EXPECT_EQ(decoded.output, "") << "the stream does not decode cleanly";
        const auto probed = testing::runCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                                 "csv=p=0", stream.string()});
        EXPECT_NEAR(std::stod(probed.output.empty() ? "0" : probed.output), filed, 0.25);
        EXPECT_FALSE(fs::exists(spool() / aid)) << "the spool folder stayed";
    }
    std::string savedLine(const std::string& aid) const {
        return aid + ": saved. " + server.base("web") + "/screen-recorder/view/f-";
    }

    std::jthread painter;
};

// Two ranges went up with the take; the third, cut inside a fragment, comes from the
// spool. The first recovery is killed too, while its index notice is on its way.
TEST_F(RecoverCommand, KilledInsideTheThirdRangeAndAgainWhileRecovering) {
    // Noise in a corner, so each range reaches its bytes in its 15 seconds.
    ChildProcess noise({"ffplay", "-loglevel", "error", "-noborder", "-an", "-left", "0", "-top", "0", "-f", "lavfi",
                        "-i", "color=c=gray:s=640x360:r=30,noise=alls=100:allf=t+u"});
    const std::string aid = killedTake("120", [](const json& take) { return count(take, "range") == 2; }, 4s);
    ASSERT_TRUE(fs::exists(spool() / aid / "screen" / "002.part"));

    server.setFault({{"route", "index"}, {"delayMs", 5000}, {"status", 503}, {"times", 1}});
    ChildProcess first(recorder({"recover"}), ChildProcess::Options().stoppedBy(SIGKILL));
    EXPECT_TRUE(eventually([&] { return held("index"); }));
    first.stop();

    const auto second = run({"recover"});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find(savedLine(aid)), std::string::npos) << second.output;
    // Two ranges of at least 15 seconds each and 4 more, less the fragment being written.
    expectRecoveredOnce(aid, 30.0, 40.0);
}

// Killed while its index notice, or its asset call, is held by the server: shown as
// failed long after its last heartbeat, it is still taken by recovery, into the folder
// it has.
TEST_F(RecoverCommand, KilledWhileSavingWaitsForItsOwnerThenIsSavedOnce) {
    for (const std::string stage : {"index", "asset"}) {
        SCOPED_TRACE(stage);
        server.setFault({{"route", stage}, {"delayMs", 6000}, {"status", 503}, {"times", 1}});
        // Killed once the server holds the call, or the fault would be left for recovery to meet.
        const std::string aid = killedTake("4", [&](const json&) { return held(stage); });
        auto shown = [&] {
            const auto page = testing::runCommand({"curl", "-s", server.base("web") + "/screen-recorder/api/takes/" + aid});
            const json answer = json::parse(page.output, nullptr, false);
            return answer.is_object() ? answer.value("status", "") : "";
        };
        EXPECT_TRUE(eventually([&] { return shown() == "uploadFailed"; })) << shown();
        const auto result = run({"recover"});
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find(savedLine(aid)), std::string::npos) << result.output;
        expectRecoveredOnce(aid, 3.9, 4.3);
    }
}

TEST_F(RecoverCommand, TheNextTakeFinishesOneKilledInsideTheFirstRangeOnTheSide) {
    const std::string aid = killedTake("120", [](const json& take) { return count(take, "register") == 1; }, 5s);
    ASSERT_TRUE(fs::exists(spool() / aid / "screen" / "000.part"));
    const auto next = run({"record", "--seconds", "3", "--no-countdown", "--mic", "none"});
    EXPECT_EQ(next.exitCode, 0) << next.output;
    // About 5 s recorded; the fragment being written when it died (up to 2 s) is lost.
    expectRecoveredOnce(aid, 2.5, 5.5);
}

}  // namespace
}  // namespace brindlow
