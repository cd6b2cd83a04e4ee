#include "Capture/ScreenSource.h"

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <condition_variable>
#include <thread>

#include "Support/CapturedFrames.h"
#include "Support/XConnection.h"
#include "Support/Subprocess.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

using testing::Frames;
using testing::yuvAt;

// A display server the test controls.
struct FakeScreen {
    std::mutex mutex;
    int width = 64, height = 32;
    bool changed = false, broken = false;
    int grabs = 0;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(size_t(width) * height * 4, 0);  // B, G, R, X
    std::vector<PictureArea> damage;  // since the last report; empty: everything

    void paint(uint8_t r, uint8_t g, uint8_t b) { paintArea({0, 0, width, height}, r, g, b); }
    void paintArea(const PictureArea& area, uint8_t r, uint8_t g, uint8_t b) {
        std::lock_guard lock(mutex);
        for (int y = area.y; y < area.y + area.height; ++y)
            for (int x = area.x; x < area.x + area.width; ++x) {
                uint8_t* p = &pixels[(size_t(y) * width + x) * 4];
                p[0] = b, p[1] = g, p[2] = r;
            }
        if (!std::exchange(changed, true)) damage.clear();
        damage.push_back(area);
    }
    std::vector<uint8_t> snapshot() {
        std::lock_guard lock(mutex);
        return pixels;
    }
    ScreenConnector connector() {
        return [this] {
            struct Connection : ScreenConnection {
                FakeScreen* screen;
                std::vector<PictureArea> reported;
                std::vector<uint8_t> grabbed;
                explicit Connection(FakeScreen* s) : screen(s) {}
                void watch(const DisplayRect&) override {
                    std::lock_guard lock(screen->mutex);
                    screen->changed = true;
                }
                bool waitForChange(std::chrono::milliseconds timeout) override {
                    const auto until = std::chrono::steady_clock::now() + timeout;
                    for (;;) {
                        {
                            std::lock_guard lock(screen->mutex);
                            if (screen->broken) throw ScreenConnectionError("the connection to the X server broke");
                            if (std::exchange(screen->changed, false)) {
                                reported = std::exchange(screen->damage, {});
                                return true;
                            }
                        }
                        if (std::chrono::steady_clock::now() >= until) return false;
                        std::this_thread::sleep_for(2ms);
                    }
                }
                std::vector<PictureArea> changedAreas() override { return reported; }
                const uint8_t* grab(int& stride) override {
                    std::lock_guard lock(screen->mutex);
                    ++screen->grabs;
                    grabbed = screen->pixels;
                    stride = screen->width * 4;
                    return grabbed.data();
                }
            };
            return std::make_unique<Connection>(this);
        };
    }
};

ScreenDisplay fakeDisplay(int width, int height) { return {7, "Fake", {width, height}, {0, 0, width, height}}; }

TEST(ScreenSource, StillScreenYieldsOneFramePerTickFromOneGrab) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(64, 32), {64, 32}, 50, screen.connector());
    ASSERT_EQ(source.videoSize(), (CaptureSize{64, 32}));
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(10));
    source.stop();
    const size_t delivered = frames.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(frames.size(), delivered) << "delivered after stop";

    std::lock_guard lock(screen.mutex);
    EXPECT_EQ(screen.grabs, 1);
    for (size_t i = 1; i < frames.buffers.size(); ++i) {
        const auto& a = frames.buffers[i - 1];
        const auto& b = frames.buffers[i];
        EXPECT_EQ(a.payload(), b.payload()) << "a still picture is shared, not copied";
        EXPECT_EQ(b.duration(), MediaTime(1, 50));
        // On the tick grid, however late a tick ran: whole intervals apart.
        const int64_t gap = (b.presentationTime() - a.presentationTime()).convertedTo(1'000'000'000).value();
        EXPECT_GT(gap, 0);
        EXPECT_EQ(gap % 20'000'000, 0) << i;
    }
    EXPECT_EQ(yuvAt(frames.buffers[0]), (std::array<int, 3>{16, 128, 128}));
}

TEST(ScreenSource, AChangeShowsInTheNextFramesInBT709VideoRange) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(64, 32), {64, 32}, 50, screen.connector());
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(2));
    screen.paint(255, 0, 0);
    ASSERT_TRUE(frames.waitFor([](const SampleBuffer& frame) { return yuvAt(frame)[0] != 16; }));
    // Pure red in BT.709 video range: Y 63, Cb 102, Cr 240.
    const auto red = yuvAt(frames.last());
    EXPECT_NEAR(red[0], 63, 2);
    EXPECT_NEAR(red[1], 102, 2);
    EXPECT_NEAR(red[2], 240, 2);
    screen.paint(255, 255, 255);
    ASSERT_TRUE(frames.waitFor([](const SampleBuffer& frame) { return yuvAt(frame)[0] >= 200; }));
    EXPECT_EQ(yuvAt(frames.last()), (std::array<int, 3>{235, 128, 128}));
    source.stop();
}

TEST(ScreenSource, ConvertsOnlyWhatChangedAndNeverWritesADeliveredPicture) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(64, 32), {64, 32}, 50, screen.connector());
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(2));
    const SampleBuffer held = frames.last();
    const std::vector<uint8_t> heldBytes = held.videoFrame()->bytes;
    for (const PictureArea& area : {PictureArea{5, 3, 10, 7}, PictureArea{50, 20, 3, 3}, PictureArea{0, 31, 64, 1}}) {
        const auto before = frames.last().payload();
        screen.paintArea(area, 255, 255, 255);
        ASSERT_TRUE(frames.waitFor([&](const SampleBuffer& frame) { return frame.payload() != before; }));
    }
    source.stop();
    EXPECT_EQ(held.videoFrame()->bytes, heldBytes) << "a picture once delivered was written";
    const SampleBuffer after = frames.last();
    EXPECT_EQ(yuvAt(after, 8, 6)[0], 235);
    EXPECT_EQ(yuvAt(after, 51, 21)[0], 235);
    EXPECT_EQ(yuvAt(after, 30, 15)[0], 16);
    const FrameConverter whole(FrameConverter::Input::bgr0, 64, 32, 64, 32);
    EXPECT_EQ(after.videoFrame()->bytes, whole.convert(screen.snapshot().data(), 64 * 4).bytes);
}

TEST(ScreenSource, AChangeOutsideAnOddDisplaysPictureLeavesThePictureAsItIs) {
    FakeScreen screen;
    screen.width = 65;
    screen.height = 33;
    screen.pixels.assign(size_t(65) * 33 * 4, 0);
    ScreenSource source(fakeDisplay(65, 33), {65, 33}, 50, screen.connector());
    ASSERT_EQ(source.videoSize(), (CaptureSize{64, 32}));
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(2));
    const auto before = frames.last().payload();
    screen.paintArea({64, 0, 1, 33}, 255, 255, 255);
    screen.paintArea({0, 32, 65, 1}, 255, 255, 255);
    const size_t seen = frames.size();
    ASSERT_TRUE(frames.waitFor(seen + 10));
    source.stop();
    EXPECT_EQ(frames.last().payload(), before);
}

TEST(ScreenSource, BrokenConnectionIsReportedAndTheLastPictureKeepsComing) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(64, 32), {64, 32}, 50, screen.connector());
    std::atomic<int> errors{0};
    source.setOnError([&](const std::exception&) { ++errors; });
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(2));
    {
        std::lock_guard lock(screen.mutex);
        screen.broken = true;
    }
    const size_t before = frames.size();
    ASSERT_TRUE(frames.waitFor(before + 10));
    source.stop();
    EXPECT_EQ(errors.load(), 1);
}

TEST(ScreenSource, StopIsSafeWithoutStartAndAfterAFailedStart) {
    ScreenSource idle(fakeDisplay(64, 32), {64, 32}, 30, [] () -> std::unique_ptr<ScreenConnection> {
        throw ScreenConnectionError("cannot connect to the X server :99");
    });
    idle.stop();
    Frames frames;
    EXPECT_THROW(idle.start(frames.deliver()), ScreenConnectionError);
    idle.stop();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(frames.size(), 0u);
}

TEST(ScreenSource, RestartsAfterStop) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(64, 32), {64, 32}, 50, screen.connector());
    Frames first, second;
    source.start(first.deliver());
    ASSERT_TRUE(first.waitFor(2));
    source.stop();
    source.start(second.deliver());
    ASSERT_TRUE(second.waitFor(2));
    source.stop();
}

// Against a real X server.

class ScreenCaptureOnXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
        xvfb.use();
    }
    void paintRoot(const char* colour) {
        ASSERT_EQ(testing::runCommand({"xsetroot", "-solid", colour}).exitCode, 0) << "xsetroot (x11-xserver-utils)";
    }
    testing::XvfbProcess xvfb{"1920x1080x24"};
};

TEST_F(ScreenCaptureOnXvfb, ListsTheScreenAndCapturesItsChanges) {
    const auto displays = availableDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixels, (CaptureSize{1920, 1080}));
    EXPECT_EQ(displays[0].bounds, (DisplayRect{0, 0, 1920, 1080}));
    EXPECT_FALSE(displays[0].name.empty());

    paintRoot("#0000ff");
    ScreenSource source(displays[0], displays[0].pixels, 30);
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(30));
    const auto blue = yuvAt(frames.last(), 960, 540);
    EXPECT_NEAR(blue[0], 32, 2);
    EXPECT_NEAR(blue[1], 240, 2);
    EXPECT_NEAR(blue[2], 118, 2);

    paintRoot("#ffffff");
    frames.waitFor([](const SampleBuffer& frame) { return yuvAt(frame, 960, 540)[0] == 235; });
    EXPECT_EQ(yuvAt(frames.last(), 960, 540), (std::array<int, 3>{235, 128, 128}));
    source.stop();

    std::lock_guard lock(frames.mutex);
    std::vector<double> gaps;
    for (size_t i = 1; i < frames.buffers.size(); ++i) {
        EXPECT_EQ(frames.buffers[i].videoFrame()->width, 1920);
        gaps.push_back((frames.buffers[i].presentationTime() - frames.buffers[i - 1].presentationTime()).seconds());
    }
    std::sort(gaps.begin(), gaps.end());
    EXPECT_NEAR(gaps[gaps.size() / 2], 1.0 / 30, 0.005);
}

// A rectangle drawn straight onto the root window: damage for just that area.
void fillRootRectangle(const PictureArea& area, uint32_t rgb) {
    XConnection x;
    const xcb_gcontext_t gc = xcb_generate_id(x.xcb());
    xcb_create_gc(x.xcb(), gc, x.screen()->root, XCB_GC_FOREGROUND, &rgb);
    const xcb_rectangle_t rect{int16_t(area.x), int16_t(area.y), uint16_t(area.width), uint16_t(area.height)};
    xcb_poly_fill_rectangle(x.xcb(), x.screen()->root, gc, 1, &rect);
    xcb_free_gc(x.xcb(), gc);
    std::free(xcb_get_input_focus_reply(x.xcb(), xcb_get_input_focus(x.xcb()), nullptr));  // a round trip
}

TEST_F(ScreenCaptureOnXvfb, ASmallChangeGivesTheSamePictureAsAWholeGrab) {
    paintRoot("#808080");
    const auto displays = availableDisplays();
    ASSERT_EQ(displays.size(), 1u);
    ScreenSource source(displays[0], displays[0].pixels, 30);
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(5));
    const SampleBuffer held = frames.last();
    const std::vector<uint8_t> heldBytes = held.videoFrame()->bytes;
    fillRootRectangle({101, 201, 37, 13}, 0xff0000);
    frames.waitFor([](const SampleBuffer& frame) { return yuvAt(frame, 110, 206)[0] == 63; });
    source.stop();
    EXPECT_EQ(held.videoFrame()->bytes, heldBytes) << "a picture once delivered was written";

    const auto connection = xcbScreenConnector()();
    connection->watch(displays[0].bounds);
    int stride = 0;
    const uint8_t* pixels = connection->grab(stride);
    const FrameConverter whole(FrameConverter::Input::bgr0, 1920, 1080, 1920, 1080);
    const VideoFrame expected = whole.convert(pixels, stride);
    EXPECT_EQ(yuvAt(frames.last(), 110, 206)[0], 63);
    EXPECT_TRUE(frames.last().videoFrame()->bytes == expected.bytes);
}

TEST(ScreenCaptureOnLargeXvfb, FitsA5KScreenToTheEncoder) {
    testing::XvfbProcess xvfb("5120x2880x24");
    if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
    xvfb.use();
    const auto displays = availableDisplays();
    ASSERT_EQ(displays.size(), 1u);
    ScreenSource source(displays[0], displays[0].pixels, 10);
    EXPECT_EQ(source.videoSize(), (CaptureSize{4096, 2304}));
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(2));
    source.stop();
    EXPECT_EQ(frames.last().videoFrame()->width, 4096);
    EXPECT_EQ(frames.last().videoFrame()->height, 2304);
}

TEST(ScreenCapture, NoServerIsAClearError) {
    setenv("DISPLAY", ":9999", 1);
    EXPECT_THROW(availableDisplays(), ScreenConnectionError);
}

}  // namespace
}  // namespace brindlow
