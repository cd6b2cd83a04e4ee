#include "Cursor/X11CursorSampler.h"

#include <gtest/gtest.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <thread>

#include "Support/Subprocess.h"
#include "Support/XvfbProcess.h"

namespace brindlow {
namespace {

using namespace std::chrono_literals;

TEST(CursorNames, MapToShapesAndUnknownOnesAreArrows) {
    using enum CursorShape;
    const std::pair<const char*, CursorShape> cases[] = {
        {"left_ptr", arrow}, {"hand2", pointer}, {"xterm", text}, {"sb_v_double_arrow", nsResize}, {"col-resize", ewResize},
        {"crossed_circle", notAllowed}, {"closedhand", grabbing}, {"", arrow}, {"my-app-custom", arrow}, {"XTERM", arrow}};
    for (const auto& [name, shape] : cases) EXPECT_EQ(X11CursorSampler::classify(name), shape) << name;
}

class PointerOnXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfb.ready()) GTEST_SKIP() << "Xvfb could not be started (Debian package xvfb)";
        xvfb.use();
    }
    static void xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        ASSERT_EQ(testing::runCommand(args).exitCode, 0) << "xdotool (Debian package xdotool)";
    }
    testing::XvfbProcess xvfb{"1280x720x24"};
};

TEST_F(PointerOnXvfb, ReadsPositionAndButtonsAndCatchesShortClicks) {
    X11CursorSampler sampler;
    sampler.start();
    xdotool({"mousemove", "123", "456"});
    EXPECT_EQ(sampler.sample().location, (Point{123, 456}));
    using Buttons = std::set<int64_t>;
    const std::pair<std::vector<std::string>, std::vector<Buttons>> steps[] = {
        {{"mousedown", "3"}, {{1}}},
        {{"mouseup", "3"}, {{}}},
        // Pressed and released between two samples: held at the next, released after.
        {{"click", "1"}, {{0}, {}}},
        // Held, then released and pressed again between two samples: a click of its own.
        {{"mousedown", "1"}, {{0}}},
        {{"mouseup", "1", "mousedown", "1"}, {{}, {0}}},
    };
    for (const auto& [actions, samples] : steps) {
        xdotool(actions);
        std::this_thread::sleep_for(50ms);
        for (const Buttons& held : samples) EXPECT_EQ(sampler.sample().buttons, held) << actions[0] << " " << actions[1];
    }
    sampler.stop();
}

TEST_F(PointerOnXvfb, ShapeFollowsTheNamedCursorUnderThePointer) {
    // A window of the test's own with a named cursor-font cursor.
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    const xcb_font_t font = xcb_generate_id(c);
    xcb_open_font(c, font, 6, "cursor");
    auto namedCursor = [&](uint16_t glyph, const char* name) {
        const xcb_cursor_t cursor = xcb_generate_id(c);
        xcb_create_glyph_cursor(c, cursor, font, font, glyph, uint16_t(glyph + 1), 0, 0, 0, 0xffff, 0xffff, 0xffff);
        xcb_xfixes_set_cursor_name(c, cursor, uint16_t(strlen(name)), name);
        return cursor;
    };
    const xcb_cursor_t ibeam = namedCursor(152, "xterm");
    auto window = [&](int16_t x, xcb_cursor_t cursor) {
        const xcb_window_t w = xcb_generate_id(c);
        const uint32_t values[] = {screen->white_pixel, cursor};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, x, 0, 200, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_CURSOR, values);
        xcb_map_window(c, w);
    };
    window(0, ibeam);
    xcb_flush(c);
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));  // the server has it all

    X11CursorSampler sampler;
    sampler.start();
    auto shapeAt = [&](const char* x) {
        xdotool({"mousemove", x, "100"});
        std::this_thread::sleep_for(250ms);  // the shape is polled every 0.1 s
        return sampler.sample().shape;
    };
    EXPECT_EQ(shapeAt("100"), CursorShape::text);
    EXPECT_EQ(shapeAt("900"), CursorShape::arrow);  // the root's unnamed cursor
    sampler.stop();
    xcb_disconnect(c);
}

}  // namespace
}  // namespace brindlow
