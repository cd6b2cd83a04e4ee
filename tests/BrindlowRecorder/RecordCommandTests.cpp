// brindlow-recorder end to end: the real X11 screen source on Xvfb, the PulseAudio
// sine, real encoding and upload to the devserver.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

#include "Support/AtomicFile.h"
#include "Support/DevServerProcess.h"
#include "Support/PulseAudioProcess.h"
#include "Support/Subprocess.h"
#include "Support/Text.h"
#include "Support/XvfbProcess.h"

extern char** environ;

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

// Checks `condition` every 50 ms until it holds or `limit` has passed; answers whether it held.
bool within(std::chrono::milliseconds limit, const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// A running command with a pipe to its standard input, its output in `output` or nowhere.
class Child {
public:
    explicit Child(const std::vector<std::string>& args, const fs::path& output = "/dev/null") {
        int in[2];
        if (pipe(in) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        input_ = in[1];
    }
    ~Child() {
        if (input_ >= 0) close(input_);
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void type(const std::string& text) { (void)!write(input_, text.data(), text.size()); }
    void kill9() {
        kill(pid_, SIGKILL);
        wait();
    }
    int wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void signal(int number) { kill(pid_, number); }
    // Its exit status once it has ended within `limit`; nothing (and it is killed) otherwise.
    std::optional<int> waitAtMost(std::chrono::milliseconds limit) {
        std::optional<int> status;
        within(limit, [&] {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
            reaped_ = true;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return true;
        });
        return status;
    }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    bool reaped_ = false;
};

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
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
        unsetenv("XDG_RUNTIME_DIR");
        if (pulse.ready()) pulse.use();
        standIn = std::to_string(server.port("web")) + "," + std::to_string(server.port("monolith")) + "," +
                  std::to_string(server.port("legacy")) + "," + std::to_string(server.port("google"));
    }
    void TearDown() override { fs::remove_all(home); }

    std::vector<std::string> recorder(std::vector<std::string> args) const {
        args.insert(args.begin(), {BRINDLOW_RECORDER_PATH, "--stand-in", standIn});
        return args;
    }
    // Runs the recorder with its error output in `output`; a minute at most.
    testing::CommandResult run(const std::vector<std::string>& args) const {
        std::vector<std::string> line{"timeout", "-s", "KILL", "60", "/bin/sh", "-c", "\"$@\" 2>&1", "sh"};
        const auto command = recorder(args);
        line.insert(line.end(), command.begin(), command.end());
        return testing::runCommand(line);
    }
    static std::string quoted(const std::vector<std::string>& args) {
        std::string line;
        for (const auto& a : args) line += (line.empty() ? "'" : " '") + a + "'";
        return line;
    }

    testing::XvfbProcess xvfb{"1280x720x24"};
    testing::PulseAudioProcess pulse;
    // Quiet for 2 s, a take is shown as failed: recovery comes later than that.
    testing::DevServerProcess server{{"--stale-seconds", "2"}};
    fs::path home = fs::temp_directory_path() / ("brindlow-home-" + randomUUID());
    std::string standIn;
};

TEST_F(RecordCommand, RecordsTwentySecondsWithAPauseAndFilesTheTake) {
    const auto signIn = testing::runCommand(recorder({"sign-in", "--token", server.mintCustomToken("alice")}));
    ASSERT_EQ(signIn.exitCode, 0) << signIn.output;
    EXPECT_NE(signIn.output.find("Signed in as alice"), std::string::npos);

    // Something moving on the screen and a pointer that clicks.
    std::atomic<bool> painting{true};
    std::thread painter([&] {
        for (int i = 0; painting; ++i) {
            testing::runCommand({"xsetroot", "-solid", i % 2 ? "#204080" : "#e0c020"});
            testing::runCommand({"xdotool", "mousemove", std::to_string(100 + i * 7 % 1000), "300", "click", "1"});
            std::this_thread::sleep_for(250ms);
        }
    });
    // Under `script` the recorder has a terminal, so it takes "p" to pause.
    const fs::path transcript = home / "record.txt";
    Child record({"script", "-qfec",
                  quoted(recorder({"record", "--seconds", "20", "--no-countdown", "--computer-sound"})),
                  transcript.string()});
    std::this_thread::sleep_for(6s);
    record.type("p\n");
    std::this_thread::sleep_for(3s);
    record.type("p\n");
    const int status = record.wait();
    painting = false;
    painter.join();
    const std::string output = readFile(transcript).value_or("");
    ASSERT_EQ(status, 0) << output;
    EXPECT_NE(output.find("paused"), std::string::npos);
    EXPECT_NE(output.find(", computer sound"), std::string::npos) << output;

    const json state = server.state();
    ASSERT_EQ(state.at("recordings").size(), 1u);
    const json rec = state.at("recordings").at(0);
    const std::string aid = rec.at("aid");
    // The take's page while it records, and the folder's once it is saved.
    EXPECT_NE(output.find("Watch it live: " + server.base("web") + "/screen-recorder/view/" + aid), std::string::npos)
        << output;
    EXPECT_NE(output.find("/screen-recorder/view/" + rec.at("folderId").get<std::string>()), std::string::npos);
    // The main thread never stalled: no hang diagnostic was filed, here or at the backend.
    for (const auto& d : state.at("diagnostics")) EXPECT_EQ(d.dump().find("metrickit"), std::string::npos) << d.dump();
    const fs::path pending = home / "data" / "BrindlowRecorder" / "telemetry" / "diagnostics";
    if (fs::exists(pending))
        for (const auto& file : fs::directory_iterator(pending)) ADD_FAILURE() << "left behind: " << file.path();
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_EQ(state.at("folders").size(), 1u);
    EXPECT_EQ(rec.at("folderId"), state.at("folders").at(0).at("id"));
    EXPECT_NEAR(rec.at("asset").at("durationSeconds").get<double>(), 20.0, 0.5);
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    EXPECT_GT(rec.at("cursorLogBytes").get<int64_t>(), 0);
    // Notices: the registration first, ranges, then the final and index, the close last.
    std::vector<std::string> kinds;
    for (const auto& n : rec.at("notices"))
        if (n.at("kind") != "heartbeat" && n.at("kind") != "cursor") kinds.push_back(n.at("kind"));
    ASSERT_GE(kinds.size(), 5u);
    EXPECT_EQ(kinds.front(), "register");
    EXPECT_EQ(kinds.back(), "close");
    EXPECT_EQ(kinds[kinds.size() - 3], "final");
    EXPECT_EQ(kinds[kinds.size() - 2], "index");
    for (size_t i = 1; i + 3 < kinds.size(); ++i) EXPECT_EQ(kinds[i], "range");

    // The screen stream as the web app will read it.
    const fs::path stream = server.storedStream(aid, "screen", home / "screen.mp4");
    const auto probed = testing::runCommand({"ffprobe", "-v", "error", "-of", "json", "-show_streams", "-show_format",
                                             "-show_entries", "packet=pts_time,flags", "-select_streams", "v:0",
                                             stream.string()});
    ASSERT_EQ(probed.exitCode, 0);
    const json info = json::parse(probed.output);
    const json video = info.at("streams").at(0);
    EXPECT_EQ(video.at("codec_name"), "h264");
    EXPECT_EQ(video.at("profile"), "High");
    EXPECT_EQ(video.at("has_b_frames"), 0);
    EXPECT_EQ(video.at("width"), 1280);
    EXPECT_EQ(video.at("height"), 720);
    EXPECT_NEAR(std::stod(info.at("format").at("duration").get<std::string>()), 20.0, 0.5);
    std::vector<double> keys;
    for (const auto& p : info.at("packets"))
        if (p.at("flags").get<std::string>()[0] == 'K') keys.push_back(std::stod(p.at("pts_time").get<std::string>()));
    ASSERT_GE(keys.size(), 9u);
    for (size_t i = 1; i < keys.size(); ++i) EXPECT_NEAR(keys[i] - keys[i - 1], 2.0, 0.05) << i << " " << json(keys).dump();
    if (pulse.ready()) {
        const auto audio = testing::runCommand({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                                "stream=sample_rate,channels", "-of", "csv=p=0", stream.string()});
        EXPECT_EQ(audio.output, "48000,1\n");
    }
}

TEST_F(RecordCommand, WithoutSignInRecordingIsRefusedWithTheMessage) {
    for (const auto& args : {std::vector<std::string>{"record", "--seconds", "1", "--no-countdown"}, {"whoami"}}) {
        const auto result = run(args);
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find("You're signed out"), std::string::npos) << result.output;
    }
}

TEST_F(RecordCommand, BadInputIsRefusedBeforeAnythingStarts) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
        int status;
    };
    const Case cases[] = {
        {{"record", "--seconds", "abc"}, "--seconds is a number of seconds above 0 and at most 9000, not abc", 2},
        {{"record", "--seconds", "-5"}, "not -5", 2},
        {{"record", "--seconds", "0"}, "not 0", 2},
        {{"record", "--seconds", "1e9"}, "not 1e9", 2},
        {{"record", "--seconds", "nan"}, "not nan", 2},
        {{"record", "--fps", "0"}, "--fps is a whole number from 1 to 120, not 0", 2},
        {{"record", "--display", "4242"}, "no display 4242; brindlow-recorder devices lists them", 2},
        {{"record", "--camera", "nope"}, "no camera nope", 2},
        {{"record", "--mic", "nope"}, "no microphone nope", 2},
        {{"record", "--display", "none", "--camera", "none"}, "nothing to record: --display none needs a camera", 2},
        {{"record", "--louder"}, "unknown option --louder", 2},
        {{"record", "--seconds"}, "--seconds needs a value", 2},
        {{"--env", "staging", "whoami"}, "the environment is \"dev\" or \"prod\"", 2},
        {{"dance"}, "unknown command dance", 2},
    };
    for (const auto& c : cases) {
        const auto result = run(c.args);
        EXPECT_EQ(result.exitCode, c.status) << quoted(c.args) << "\n" << result.output;
        EXPECT_NE(result.output.find(c.message), std::string::npos) << quoted(c.args) << "\n" << result.output;
    }
    EXPECT_TRUE(server.state().at("recordings").empty());

    // Without a display server the reason is said as it is.
    const std::string display = getenv("DISPLAY");
    unsetenv("DISPLAY");
    const auto result = run({"record", "--seconds", "1"});
    setenv("DISPLAY", display.c_str(), 1);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.output.find("no X display: DISPLAY is not set"), std::string::npos) << result.output;
}

TEST_F(RecordCommand, EndsInEveryStateAndKeepsWhatWasRecorded) {
    const auto signIn =
        testing::runCommand(recorder({"sign-in", "--token", server.mintCustomToken("alice")}));
    ASSERT_EQ(signIn.exitCode, 0) << signIn.output;
    const struct {
        const char* name;
        std::vector<std::string> args;
        const char* signalAt;  // nothing: the command ends by itself
        int status;
        const char* said;
    } cases[] = {
        // A bus with nothing on it: the desktop's screen share cannot start.
        {"a take that cannot start",
         {"record", "--capture", "portal", "--no-countdown"},
         nullptr,
         1,
         "brindlow-recorder: "},
        {"counting down", {"record", "--mic", "none"}, "3\u2026", 1, "cancelled"},
        {"recording",
         {"record", "--no-countdown", "--mic", "none"},
         "Recording. Watch it live",
         0,
         "Saved."},
        {"saving",
         {"record", "--no-countdown", "--mic", "none", "--seconds", "1"},
         "Finishing\u2026",
         1,
         "it is kept on this computer"},
    };
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (home / "no-bus").string()).c_str(), 1);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The last step of filing is held, so the take is still being saved when it is told to end.
        server.setFault({{"route", "asset"},
                         {"delayMs", 30000},
                         {"times", c.status == 1 && c.signalAt ? 1 : 0}});
        const fs::path output = home / "record.txt";
        Child record(recorder(c.args), output);
        if (c.signalAt) {
            ASSERT_TRUE(within(30s, [&] {
                return readFile(output).value_or("").find(c.signalAt) != std::string::npos;
            })) << readFile(output).value_or("");
            // A recording take is registered before it is stopped.
            if (c.status == 0) {
                ASSERT_TRUE(within(10s, [&] { return server.state().at("recordings").size() == 1; }));
            }
            record.signal(SIGTERM);
        }
        const auto status = record.waitAtMost(15s);
        const std::string said = readFile(output).value_or("");
        ASSERT_TRUE(status) << "still running:\n" << said;
        EXPECT_EQ(*status, c.status) << said;
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    const json recordings = server.state().at("recordings");
    ASSERT_EQ(recordings.size(), 2u) << "only the recording and the saving cases registered a take";
    EXPECT_EQ(recordings.at(0).value("status", ""), "saved");
    const std::string kept = recordings.at(1).at("aid");
    EXPECT_TRUE(fs::exists(home / "data" / "BrindlowRecorder" / "spool" / kept))
        << "the unsaved take was not kept";
}

// ---- takes cut short by a killed process, finished by `recover` ----

class RecoverCommand : public RecordCommand {
protected:
    void SetUp() override {
        RecordCommand::SetUp();
        if (IsSkipped()) return;
        signInAs("alice");
        painter = std::jthread([](std::stop_token stop) {
            for (int i = 0; !stop.stop_requested(); ++i) {
                testing::runCommand({"xsetroot", "-solid", i % 2 ? "#204080" : "#e0c020"});
                std::this_thread::sleep_for(200ms);
            }
        });
    }
    void signInAs(const std::string& uid) {
        const auto signIn = testing::runCommand(recorder({"sign-in", "--token", server.mintCustomToken(uid)}));
        ASSERT_EQ(signIn.exitCode, 0) << signIn.output;
    }
    Child startRecording(const std::string& seconds) {
        return Child(recorder({"record", "--seconds", seconds, "--no-countdown", "--mic", "none"}));
    }
    // Waits (at most a minute) until the only take's notices satisfy `ready`; its aid.
    std::string waitForTake(const std::function<bool(const json& take)>& ready) {
        for (int i = 0; i < 600; ++i) {
            const json recordings = server.state().at("recordings");
            if (!recordings.empty() && ready(recordings.back())) return recordings.back().at("aid");
            std::this_thread::sleep_for(100ms);
        }
        ADD_FAILURE() << "the take never got there: " << server.state().at("recordings").dump();
        return {};
    }
    static size_t count(const json& take, const std::string& kind) {
        size_t n = 0;
        for (const auto& notice : take.at("notices")) n += notice.at("kind") == kind;
        return n;
    }
    // Saved once, every notice and object once and in order, and the stored stream plays
    // to the filed duration, which lies within [least, most] seconds.
    void expectRecoveredOnce(const std::string& aid, double least, double most) {
        const json take = server.state(aid).at("recordings").at(0);
        EXPECT_EQ(take.at("status"), "saved");
        EXPECT_TRUE(take.at("check").at("ok").get<bool>()) << take.at("check").dump();
        for (const char* kind : {"register", "final", "index", "close"}) EXPECT_EQ(count(take, kind), 1u) << kind;
        for (const auto& object : take.at("objects")) EXPECT_EQ(object.at("puts"), 1) << object.dump();
        EXPECT_EQ(server.state().at("folders").size(), 1u);
        const double filed = take.at("asset").at("durationSeconds");
        EXPECT_GE(filed, least);
        EXPECT_LE(filed, most);

        const fs::path stream = server.storedStream(aid, "screen", home / "recovered.mp4");
        const auto decoded = testing::runCommand({"ffmpeg", "-v", "error", "-i", stream.string(), "-f", "null", "-"});
        EXPECT_EQ(decoded.exitCode, 0);
        EXPECT_EQ(decoded.output, "") << "the stream does not decode cleanly";
        const auto probed = testing::runCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                                                 "csv=p=0", stream.string()});
        EXPECT_NEAR(std::stod(probed.output.empty() ? "0" : probed.output), filed, 0.25);
        EXPECT_FALSE(fs::exists(spool() / aid)) << "the spool folder stayed";
        std::printf("recovered %.2f s of media in %zu ranges\n", filed, count(take, "range"));
    }
    fs::path spool() const { return home / "data" / "BrindlowRecorder" / "spool"; }

    std::jthread painter;
};

TEST_F(RecoverCommand, KilledInsideTheFirstRangeAndKilledAgainWhileRecovering) {
    auto record = startRecording("120");
    const std::string aid = waitForTake([](const json& take) { return count(take, "register") == 1; });
    std::this_thread::sleep_for(7s);
    record.kill9();
    ASSERT_TRUE(fs::exists(spool() / aid / "screen" / "000.part"));

    // The first recovery dies while the index notice is on its way.
    server.setFault({{"route", "index"}, {"delayMs", 5000}, {"status", 503}, {"times", 1}});
    Child first(recorder({"recover"}));
    waitForTake([&](const json&) { return server.faults().at("index").at("times") == 0; });
    first.kill9();

    const auto second = run({"recover"});
    EXPECT_EQ(second.exitCode, 0) << second.output;
    EXPECT_NE(second.output.find(aid + ": saved. " + server.base("web") + "/screen-recorder/view/f-"), std::string::npos)
        << second.output;
    // About 7 s recorded; the fragment being written when it died (up to 2 s) is lost.
    expectRecoveredOnce(aid, 4.0, 7.5);
}

TEST_F(RecoverCommand, KilledInsideTheThirdRange) {
    // Noise in a corner, so each range reaches its bytes in its 15 seconds.
    Child noise({"ffplay", "-loglevel", "error", "-noborder", "-an", "-left", "0", "-top", "0", "-f", "lavfi", "-i",
                 "color=c=gray:s=640x360:r=30,noise=alls=100:allf=t+u"});
    auto record = startRecording("120");
    const std::string aid = waitForTake([](const json& take) { return count(take, "range") == 2; });
    std::this_thread::sleep_for(4s);
    record.kill9();
    const auto result = run({"recover"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    const json take = server.state(aid).at("recordings").at(0);
    EXPECT_EQ(count(take, "range"), 3u) << "two ranges from the take, the third from its spool";
    // Two ranges of at least 15 seconds each and 4 more, less the fragment being written.
    expectRecoveredOnce(aid, 30.0, 40.0);
}

TEST_F(RecoverCommand, KilledBeforeTheIndexWaitsForItsOwnerThenIsSaved) {
    server.setFault({{"route", "index"}, {"delayMs", 6000}, {"status", 503}, {"times", 1}});
    auto record = startRecording("4");
    // Killed while the server holds its index notice, not before it was sent, or the
    // fault would be left for recovery to meet (so in each test here).
    const std::string aid =
        waitForTake([&](const json&) { return server.faults().at("index").at("times") == 0; });
    record.kill9();

    signInAs("bob");
    const auto other = run({"recover"});
    EXPECT_NE(other.output.find(aid + ": waiting: recorded by another account (alice)"), std::string::npos) << other.output;
    EXPECT_TRUE(server.state(aid).at("recordings").at(0).at("status").is_null());

    signInAs("alice");
    const auto result = run({"recover"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    expectRecoveredOnce(aid, 3.9, 4.3);
}

TEST_F(RecoverCommand, KilledBetweenTheFolderAndTheAsset) {
    server.setFault({{"route", "asset"}, {"delayMs", 6000}, {"status", 503}, {"times", 1}});
    auto record = startRecording("4");
    const std::string aid = waitForTake([&](const json&) { return server.faults().at("asset").at("times") == 0; });
    record.kill9();
    auto shown = [&] {
        const auto page = testing::runCommand({"curl", "-s", server.base("web") + "/screen-recorder/api/takes/" + aid});
        const json answer = json::parse(page.output, nullptr, false);
        return answer.is_object() ? answer.value("status", "") : "";
    };
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(shown(), "uploadFailed");
    // Long after its last heartbeat, the backend still takes what recovery sends.
    const auto result = run({"recover"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    expectRecoveredOnce(aid, 3.9, 4.3);
    EXPECT_EQ(shown(), "saved");
    EXPECT_EQ(server.state(aid).at("recordings").at(0).at("folderId"), server.state().at("folders").at(0).at("id"));
}

TEST_F(RecoverCommand, TheNextTakeFinishesAnEarlierOneOnTheSide) {
    auto killed = startRecording("120");
    const std::string aid = waitForTake([](const json& take) { return count(take, "register") == 1; });
    std::this_thread::sleep_for(5s);
    killed.kill9();
    const auto next = run({"record", "--seconds", "3", "--no-countdown", "--mic", "none"});
    EXPECT_EQ(next.exitCode, 0) << next.output;
    const json recovered = server.state(aid).at("recordings").at(0);
    EXPECT_EQ(recovered.at("status"), "saved");
    EXPECT_TRUE(recovered.at("check").at("ok").get<bool>()) << recovered.at("check").dump();
    EXPECT_FALSE(fs::exists(spool() / aid));
    EXPECT_EQ(server.state().at("recordings").at(1).at("status"), "saved");
}

}  // namespace
}  // namespace brindlow
