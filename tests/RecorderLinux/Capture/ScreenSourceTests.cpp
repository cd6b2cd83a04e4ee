#include "Capture/ScreenSource.h"

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <cstring>
#include <thread>

#include "Support/CapturedFrames.h"
#include "Support/Subprocess.h"
#include "Support/XConnection.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;
using testing::Frames, testing::yuvAt;

// A display server the test controls: it reports the areas painted since the last report.
struct FakeScreen {
    std::mutex mutex;
    const int width = 65, height = 33;  // odd: the picture leaves out a column and a row
    bool changed = true;
    std::atomic<bool> broken = false;
    std::atomic<int> grabs = 0;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(size_t(width) * height * 4, 0);  // B, G, R, X
    std::vector<PictureArea> damage;  // empty: everything

    void paint(const PictureArea& area, uint8_t r, uint8_t g, uint8_t b) {
        std::lock_guard lock(mutex);
        for (int y = area.y; y < area.y + area.height; ++y)
            for (int x = area.x; x < area.x + area.width; ++x)
                std::memcpy(&pixels[(size_t(y) * width + x) * 4], std::array{b, g, r}.data(), 3);
        if (!std::exchange(changed, true)) damage.clear();
        damage.push_back(area);
    }
    ScreenConnector connector() {
        struct Connection : ScreenConnection {
            FakeScreen& screen;
            std::vector<PictureArea> reported;
            std::vector<uint8_t> grabbed;
            explicit Connection(FakeScreen& s) : screen(s) {}
            void watch(const DisplayRect&) override {}
            bool waitForChange(std::chrono::milliseconds timeout) override {
                for (const auto until = std::chrono::steady_clock::now() + timeout;; std::this_thread::sleep_for(2ms)) {
                    {
                        std::lock_guard lock(screen.mutex);
                        if (screen.broken) throw ScreenConnectionError("the connection to the X server broke");
                        if (std::exchange(screen.changed, false)) return reported = std::exchange(screen.damage, {}), true;
                    }
                    if (std::chrono::steady_clock::now() >= until) return false;
                }
            }
            std::vector<PictureArea> changedAreas() override { return reported; }
            const uint8_t* grab(int& stride) override {
                std::lock_guard lock(screen.mutex);
                ++screen.grabs;
                grabbed = screen.pixels;
                stride = screen.width * 4;
                return grabbed.data();
            }
        };
        return [this] {
            std::lock_guard lock(mutex);
            changed = true;
            return std::make_unique<Connection>(*this);
        };
    }
};

ScreenDisplay fakeDisplay(int width, int height) { return {7, "Fake", {width, height}, {0, 0, width, height}}; }

// A still screen is grabbed once and its picture shared by every tick, stamped on the tick
// grid however late a tick ran; a change outside an odd display's even picture leaves the
// picture as it is. Changed areas show in BT.709 video range, converted alone to what the
// whole picture converts to, and a picture once delivered is never written again. A
// connection that breaks is reported once and the last picture keeps coming; nothing comes
// after stop, and the source starts again.
TEST(ScreenSource, StillScreensChangedAreasAndABrokenConnection) {
    FakeScreen screen;
    ScreenSource source(fakeDisplay(65, 33), {65, 33}, 50, screen.connector());
    ASSERT_EQ(source.videoSize(), (CaptureSize{64, 32}));
    std::atomic<int> errors{0};
    source.setOnError([&](const std::exception&) { ++errors; });
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(10));
    EXPECT_EQ(screen.grabs, 1);
    screen.paint({64, 0, 1, 33}, 255, 255, 255);
    screen.paint({0, 32, 65, 1}, 255, 255, 255);
    ASSERT_TRUE(frames.waitFor(frames.size() + 10));
    const size_t still = frames.size();
    const SampleBuffer held = frames.last();
    const std::vector<uint8_t> heldBytes = held.videoFrame()->bytes;
    const struct {
        PictureArea area;
        uint8_t r, g, b;
    } paints[] = {{{5, 3, 10, 7}, 255, 0, 0}, {{0, 31, 64, 1}, 255, 255, 255}};
    for (const auto& p : paints) {
        const auto before = frames.last().payload();
        screen.paint(p.area, p.r, p.g, p.b);
        ASSERT_TRUE(frames.waitFor([&](const SampleBuffer& frame) { return frame.payload() != before; }));
    }
    screen.broken = true;
    ASSERT_TRUE(frames.waitFor(frames.size() + 10));
    source.stop();
    EXPECT_EQ(errors.load(), 1);
    const size_t delivered = frames.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(frames.size(), delivered) << "delivered after stop";
    for (size_t i = 1; i < frames.buffers.size(); ++i) {
        const auto &a = frames.buffers[i - 1], &b = frames.buffers[i];
        if (i < still) { EXPECT_EQ(a.payload(), b.payload()) << "a still picture is shared, not copied"; }
        EXPECT_EQ(b.duration(), MediaTime(1, 50));
        const int64_t gap = (b.presentationTime() - a.presentationTime()).convertedTo(1'000'000'000).value();
        EXPECT_GT(gap, 0);
        EXPECT_EQ(gap % 20'000'000, 0) << i;
    }
    EXPECT_EQ(held.videoFrame()->bytes, heldBytes) << "a picture once delivered was written";
    const SampleBuffer after = frames.last();
    EXPECT_LE(testing::offBy(after, 8, 6, {63, 102, 240}), 2) << "pure red";
    {
        std::lock_guard lock(screen.mutex);
        const FrameConverter whole(FrameConverter::Input::bgr0, 65, 33, 64, 32);
        EXPECT_EQ(after.videoFrame()->bytes, whole.convert(screen.pixels.data(), 65 * 4).bytes);
    }
    screen.broken = false;
    Frames again;
    source.start(again.deliver());
    EXPECT_TRUE(again.waitFor(2));
    source.stop();
}

// A connection that never came up fails start, and stop is safe after it.
TEST(ScreenSource, AMissingConnectionFailsStart) {
    ScreenSource idle(fakeDisplay(64, 32), {64, 32}, 30, []() -> std::unique_ptr<ScreenConnection> {
        throw ScreenConnectionError("cannot connect to the X server :99");
    });
    EXPECT_THROW(idle.start([](const SampleBuffer&) {}), ScreenConnectionError);
    idle.stop();
    setenv("DISPLAY", ":9999", 1);
    EXPECT_THROW(availableDisplays(), ScreenConnectionError);
}

// Against a real X server: its screen listed, a whole change seen in BT.709 video range,
// and a rectangle drawn onto the root window (damage for just that area) giving the same
// picture as a whole grab. A 5K screen is fitted to the encoder.
TEST(ScreenCaptureOnXvfb, ListsTheScreenCapturesWholeAndSmallChangesAndFitsA5KScreen) {
    testing::XvfbProcess xvfb("1920x1080x24");
    if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
    xvfb.use();
    const auto displays = availableDisplays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].pixels, (CaptureSize{1920, 1080}));
    ASSERT_EQ(testing::runCommand({"xsetroot", "-solid", "#0000ff"}).exitCode, 0) << "xsetroot (x11-xserver-utils)";
    ScreenSource source(displays[0], displays[0].pixels, 30);
    Frames frames;
    source.start(frames.deliver());
    ASSERT_TRUE(frames.waitFor(5));
    EXPECT_LE(testing::offBy(frames.last(), 960, 540, {32, 240, 118}), 2) << "pure blue";
    {
        XConnection x;
        const xcb_gcontext_t gc = xcb_generate_id(x.xcb());
        const uint32_t red = 0xff0000;
        xcb_create_gc(x.xcb(), gc, x.screen()->root, XCB_GC_FOREGROUND, &red);
        const xcb_rectangle_t rect{101, 201, 37, 13};
        xcb_poly_fill_rectangle(x.xcb(), x.screen()->root, gc, 1, &rect);
        xcb_free_gc(x.xcb(), gc);
        std::free(xcb_get_input_focus_reply(x.xcb(), xcb_get_input_focus(x.xcb()), nullptr));  // a round trip
    }
    EXPECT_TRUE(frames.waitFor([](const SampleBuffer& frame) { return yuvAt(frame, 110, 206)[0] == 63; }));
    source.stop();
    const auto connection = xcbScreenConnector()();
    connection->watch(displays[0].bounds);
    int stride = 0;
    const uint8_t* pixels = connection->grab(stride);
    const FrameConverter whole(FrameConverter::Input::bgr0, 1920, 1080, 1920, 1080);
    EXPECT_TRUE(frames.last().videoFrame()->bytes == whole.convert(pixels, stride).bytes);

    testing::XvfbProcess large("5120x2880x24");
    ASSERT_TRUE(large.ready());
    large.use();
    ScreenSource fitted(availableDisplays().at(0), {5120, 2880}, 10);
    EXPECT_EQ(fitted.videoSize(), (CaptureSize{4096, 2304}));
    Frames big;
    fitted.start(big.deliver());
    ASSERT_TRUE(big.waitFor(2));
    fitted.stop();
    EXPECT_EQ(big.last().videoFrame()->width, 4096);
}

}  // namespace
}  // namespace brindlow
