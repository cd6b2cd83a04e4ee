// What the portal source offers and accepts of a PipeWire screen stream, with format
// and meta pods built by hand the way a compositor sends them.

#include "Capture/PipeWireScreen.h"

#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <spa/pod/filter.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace brindlow {
namespace {

// A fixed format as a producer answers it.
struct ProducerFormat {
    uint32_t mediaType = SPA_MEDIA_TYPE_video;
    uint32_t format = SPA_VIDEO_FORMAT_BGRx;
    uint32_t width = 1920, height = 1080;
    bool withSize = true;
};

const spa_pod* build(spa_pod_builder& b, const ProducerFormat& f) {
    spa_pod_frame object;
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_Format);
    spa_pod_builder_add(&b, SPA_FORMAT_mediaType, SPA_POD_Id(f.mediaType), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format, SPA_POD_Id(f.format), 0);
    const spa_rectangle size{f.width, f.height};
    const spa_fraction rate{0, 1};
    if (f.withSize) spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), 0);
    spa_pod_builder_add(&b, SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
}

TEST(PipeWireScreenFormat, TheFourPixelOrdersAreTakenAndAnythingElseRefused) {
    struct Case {
        const char* what;
        ProducerFormat producer;
        std::optional<ScreenStreamFormat> parsed;
        bool offerDecides = true;
    };
    const Case cases[] = {
        {"BGRx", {}, ScreenStreamFormat{ScreenPixelOrder::bgrx, 1920, 1080}},
        {"BGRA", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_BGRA, 2560, 1440}, ScreenStreamFormat{ScreenPixelOrder::bgra, 2560, 1440}},
        {"RGBx", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_RGBx, 800, 600}, ScreenStreamFormat{ScreenPixelOrder::rgbx, 800, 600}},
        {"RGBA", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_RGBA, 1, 1}, ScreenStreamFormat{ScreenPixelOrder::rgba, 1, 1}},
        {"planar I420", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_I420}, std::nullopt},
        {"no size", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_BGRx, 0, 0, false}, std::nullopt, false},
        // SPA's filter lets this through (it orders rectangles loosely); the parser is the guard.
        {"an absurd size", {SPA_MEDIA_TYPE_video, SPA_VIDEO_FORMAT_BGRx, 100000, 10}, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        uint8_t buffer[1024], offerBuffer[1024], resultBuffer[1024];
        spa_pod_builder b{}, ob{}, rb{};
        spa_pod_builder_init(&b, buffer, sizeof buffer);
        spa_pod_builder_init(&ob, offerBuffer, sizeof offerBuffer);
        spa_pod_builder_init(&rb, resultBuffer, sizeof resultBuffer);
        const spa_pod* format = build(b, c.producer);
        EXPECT_EQ(parseScreenFormat(format), c.parsed);
        // The offer accepts exactly what the parser takes, as PipeWire's own filter decides.
        spa_pod* agreed = nullptr;
        const bool intersects = spa_pod_filter(&rb, &agreed, format, screenFormatOffer(ob, 1920, 1080)) >= 0;
        EXPECT_TRUE(!c.offerDecides || intersects == c.parsed.has_value());
    }
    EXPECT_EQ(parseScreenFormat(nullptr), std::nullopt);
}

TEST(PipeWireScreenCursor, OnlyAMetaWithAnIdAndRoomForItCounts) {
    spa_meta_cursor meta{};
    meta.position = {640, 360};
    EXPECT_EQ(parseCursorMeta(&meta, sizeof meta), std::nullopt) << "id 0: no new pointer data";
    meta.id = 7;
    EXPECT_EQ(parseCursorMeta(&meta, sizeof meta), (StreamCursor{640, 360, true}));
    EXPECT_EQ(parseCursorMeta(&meta, sizeof meta - 1), std::nullopt);
    EXPECT_EQ(parseCursorMeta(nullptr, sizeof meta), std::nullopt);
}

// A connection that fails, at once or once it runs, leaves nothing behind: no loop
// thread, and no listener pointing at the state that went away (under ASan a
// use-after-free or leak here fails the run).
TEST(PipeWireScreenConnect, AFailedConnectionLeavesNothingRunning) {
    using namespace std::chrono_literals;
    // A thread just joined can stay listed for a moment: count once two looks agree.
    auto threads = [] {
        const auto count = [] {
            return std::distance(std::filesystem::directory_iterator("/proc/self/task"), std::filesystem::directory_iterator());
        };
        for (auto last = count(), now = last;; last = now) {
            std::this_thread::sleep_for(10ms);
            if ((now = count()) == last) return now;
        }
    };
    // The race detector's runtime starts a thread of its own with the process's first one.
    std::thread([] {}).join();
    int hungUp[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, hungUp), 0);
    close(hungUp[1]);
    for (const auto& [what, fd] : {std::pair{"a remote that hung up", hungUp[0]}, std::pair{"no remote", -1}}) {
        const auto before = threads();
        try {
            EXPECT_FALSE(PipeWireScreen(fd, 42, 64, 48).waitForFirstPicture(2s)) << what;
        } catch (const ScreenConnectionError&) {
        }
        EXPECT_EQ(threads(), before) << what;
    }
    close(hungUp[0]);
}

}  // namespace
}  // namespace brindlow
