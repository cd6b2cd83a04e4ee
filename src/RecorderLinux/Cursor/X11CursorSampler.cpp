#include "Cursor/X11CursorSampler.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "Support/Concurrency.h"
#include "Support/XConnection.h"
#include "Support/SignalStack.h"

namespace brindlow {
namespace {

// X button numbers to the log's: 1 primary, 3 secondary, 2 middle.
std::optional<int64_t> logButton(uint32_t xButton) {
    switch (xButton) {
        case 1: return 0;
        case 3: return 1;
        case 2: return 2;
        default: return std::nullopt;  // wheel steps and extra buttons
    }
}

}  // namespace

struct X11CursorSampler::Connection {
    XConnection x;
    xcb_connection_t* xcb = x.xcb();
    xcb_window_t root = x.screen()->root;
    uint8_t inputOpcode = 0;
    bool rawEvents = false;

    Connection() {
        if (auto* fixes = xcb_xfixes_query_version_reply(xcb, xcb_xfixes_query_version(xcb, 4, 0), nullptr))
            std::free(fixes);
        const auto* input = xcb_get_extension_data(xcb, &xcb_input_id);
        if (input && input->present) {
            auto* version = xcb_input_xi_query_version_reply(xcb, xcb_input_xi_query_version(xcb, 2, 2), nullptr);
            if (version && version->major_version >= 2) {
                struct {
                    xcb_input_event_mask_t head;
                    uint32_t mask;
                } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                            XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE};
                xcb_input_xi_select_events(xcb, root, 1, &selection.head);
                inputOpcode = input->major_opcode;
                rawEvents = true;
            }
            std::free(version);
        }
        xcb_flush(xcb);
    }
};

X11CursorSampler::X11CursorSampler() : x_(std::make_unique<Connection>()) {}

X11CursorSampler::~X11CursorSampler() { stop(); }

CursorShape X11CursorSampler::classify(std::string_view name) {
    static const std::pair<std::string_view, CursorShape> names[] = {
        {"left_ptr", CursorShape::arrow},
        {"default", CursorShape::arrow},
        {"hand1", CursorShape::pointer},
        {"hand2", CursorShape::pointer},
        {"pointer", CursorShape::pointer},
        {"xterm", CursorShape::text},
        {"text", CursorShape::text},
        {"crosshair", CursorShape::crosshair},
        {"cross", CursorShape::crosshair},
        {"openhand", CursorShape::grab},
        {"grab", CursorShape::grab},
        {"closedhand", CursorShape::grabbing},
        {"grabbing", CursorShape::grabbing},
        {"sb_h_double_arrow", CursorShape::ewResize},
        {"ew-resize", CursorShape::ewResize},
        {"col-resize", CursorShape::ewResize},
        {"sb_v_double_arrow", CursorShape::nsResize},
        {"ns-resize", CursorShape::nsResize},
        {"row-resize", CursorShape::nsResize},
        {"not-allowed", CursorShape::notAllowed},
        {"crossed_circle", CursorShape::notAllowed},
    };
    for (const auto& [known, shape] : names)
        if (known == name) return shape;
    return CursorShape::arrow;
}

void X11CursorSampler::start() {
    if (shapePoller_.joinable()) return;
    // Presses from before this take are not this take's clicks.
    if (x_->rawEvents) latchRawEvents();
    pressed_.clear();
    released_.clear();
    repressed_.clear();
    deferred_.clear();
    shapePoller_ = std::jthread([this](std::stop_token stop) {
        ensureSignalStack();
        pollShape(stop);
    });
}

void X11CursorSampler::stop() {
    if (!shapePoller_.joinable()) return;
    shapePoller_.request_stop();
    shapePoller_.join();
    shapePoller_ = {};
}

void X11CursorSampler::pollShape(std::stop_token stop) {
    do {
        auto* cursor = xcb_xfixes_get_cursor_image_and_name_reply(
            x_->xcb, xcb_xfixes_get_cursor_image_and_name(x_->xcb), nullptr);
        CursorShape shape = CursorShape::arrow;
        if (cursor) {
            const std::string name(xcb_xfixes_get_cursor_image_and_name_name(cursor),
                                   size_t(xcb_xfixes_get_cursor_image_and_name_name_length(cursor)));
            shape = classify(name);
            std::free(cursor);
        }
        std::lock_guard lock(lock_);
        shape_ = shape;
    } while (sleepFor(std::chrono::milliseconds(100), stop));
}

void X11CursorSampler::latchRawEvents() {
    while (xcb_generic_event_t* event = xcb_poll_for_event(x_->xcb)) {
        if ((event->response_type & 0x7F) == XCB_GE_GENERIC) {
            auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
            const bool press = generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
            const bool release = generic->event_type == XCB_INPUT_RAW_BUTTON_RELEASE;
            if (generic->extension == x_->inputOpcode && (press || release)) {
                // Press and release events share their layout.
                auto* raw = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event);
                if (const auto button = logButton(raw->detail)) {
                    if (release) released_.insert(*button);
                    else if (reported_.contains(*button) && released_.contains(*button)) repressed_.insert(*button);
                    else pressed_.insert(*button);
                }
            }
        }
        std::free(event);
    }
}

CursorState X11CursorSampler::sample() {
    CursorState state;
    if (x_->rawEvents) latchRawEvents();
    if (auto* pointer = xcb_query_pointer_reply(x_->xcb, xcb_query_pointer(x_->xcb, x_->root), nullptr)) {
        state.location = {double(pointer->root_x), double(pointer->root_y)};
        if (pointer->mask & XCB_BUTTON_MASK_1) state.buttons.insert(0);
        if (pointer->mask & XCB_BUTTON_MASK_3) state.buttons.insert(1);
        if (pointer->mask & XCB_BUTTON_MASK_2) state.buttons.insert(2);
        std::free(pointer);
    }
    // A press that began and ended since the last sample counts as held now; one
    // deferred from the last sample too.
    state.buttons.insert(pressed_.begin(), pressed_.end());
    state.buttons.insert(deferred_.begin(), deferred_.end());
    deferred_.clear();
    // Released and pressed again while held: released now, held at the next sample.
    for (const int64_t button : repressed_) {
        state.buttons.erase(button);
        deferred_.insert(button);
    }
    pressed_.clear();
    released_.clear();
    repressed_.clear();
    reported_ = state.buttons;
    std::lock_guard lock(lock_);
    state.shape = shape_;
    return state;
}

}  // namespace brindlow
