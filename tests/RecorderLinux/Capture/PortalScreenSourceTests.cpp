// The portal screen source on a private headless Wayland desktop: the real ScreenCast
// portal, PipeWire and sway (Support/WaylandPortalRig.h), and a real take through the
// command line against the devserver.

#include "Capture/PortalScreenSource.h"

#include <gtest/gtest.h>

#include <atomic>

#include "Support/CapturedFrames.h"
#include "Support/DevServerProcess.h"
#include "Support/OnWaylandDesktop.h"
#include "Support/Subprocess.h"

namespace brindlow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Frames;

// The middle of the screen in BT.709 video range.
bool red(const SampleBuffer& frame) { return testing::offBy(frame, 640, 360, {63, 102, 240}) <= 2; }
bool blue(const SampleBuffer& frame) { return testing::offBy(frame, 640, 360, {32, 240, 118}) <= 2; }

using PortalScreen = testing::OnWaylandDesktop;

// A share granted again from the first one's restore token (which needs version 4 of the
// portal): the desktop arrives, a change shows, and when the share's producer goes away
// that is reported once and the last picture goes on.
TEST_F(PortalScreen, ARestoredShareFollowsTheDesktopAndOutlivesItsEnd) {
    ASSERT_TRUE(rig.setBackground("#ff0000"));
    std::optional<std::string> token;
    bool loaded = false;
    const PortalTokenStore memory{[&] { return loaded = true, token; }, [&](const std::string& t) { token = t; }};
    { PortalScreenSource first(30, memory); }
    ASSERT_TRUE(token) << "the portal gave no restore token";
    loaded = false;
    PortalScreenSource source(30, memory);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(source.videoSize(), (CaptureSize{1280, 720}));
    std::atomic<int> errors{0};
    source.setOnError([&](const std::exception&) { ++errors; });
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(red)) << "the sway background's red never arrived";
    ASSERT_TRUE(rig.setBackground("#0000ff"));
    EXPECT_TRUE(frames.waitFor(blue)) << "the new background never arrived";

    ASSERT_TRUE(rig.stopComponent("xdg-desktop-portal-wlr"));
    for (int i = 0; i < 50 && errors == 0; ++i) std::this_thread::sleep_for(100ms);
    const size_t after = frames.size();
    std::this_thread::sleep_for(500ms);
    EXPECT_GT(frames.size(), after + 5) << "the last picture keeps being delivered";
    EXPECT_EQ(errors, 1);
    source.stop();
}

TEST_F(PortalScreen, ATakeThroughTheCommandLineIsSavedInTheScreensColour) {
    testing::DevServerProcess server;
    const fs::path home = fs::temp_directory_path() / ("brindlow-home-" + randomUUID());
    fs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    unsetenv("DISPLAY");
    const std::string standIn = std::to_string(server.port("web")) + "," + std::to_string(server.port("monolith")) +
                                "," + std::to_string(server.port("legacy")) + "," + std::to_string(server.port("google"));
    auto recorder = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"/bin/sh", "-c", "\"$@\" 2>&1", "sh", BRINDLOW_RECORDER_PATH, "--stand-in", standIn});
        return testing::runCommand(args);
    };
    ASSERT_EQ(recorder({"sign-in", "--token", server.mintCustomToken("alice")}).exitCode, 0);
    const auto take = recorder({"record", "--capture", "portal", "--seconds", "3", "--no-countdown", "--mic", "none"});
    ASSERT_EQ(take.exitCode, 0) << take.output;

    const auto rec = server.state().at("recordings").at(0);
    EXPECT_EQ(rec.at("status"), "saved");
    EXPECT_TRUE(rec.at("check").at("ok").get<bool>()) << rec.at("check").dump();
    const fs::path stream = server.storedStream(rec.at("aid").get<std::string>(), "screen", home / "screen.mp4");
    const auto pixel = testing::runCommand({"ffmpeg", "-v", "error", "-ss", "1.5", "-i", stream.string(), "-vf",
                                            "crop=2:2:640:360", "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "rgb24",
                                            "-"});
    ASSERT_EQ(pixel.output.size(), 12u) << "no picture 1.5 s into the take";  // 2×2, chroma-aligned
    EXPECT_GT(uint8_t(pixel.output[0]), 240);
    EXPECT_LT(uint8_t(pixel.output[1]), 16);
    EXPECT_LT(uint8_t(pixel.output[2]), 16);
    if (!HasFailure()) fs::remove_all(home);
}

}  // namespace
}  // namespace brindlow
