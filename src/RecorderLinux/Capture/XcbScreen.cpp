// The screen source's view of an X server, through xcb: RandR lists the monitors,
// DAMAGE reports changes, MIT-SHM hands over pixels without a copy through the socket.

#include <sys/ipc.h>
#include <sys/shm.h>
#include <poll.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Capture/ScreenSource.h"
#include "Support/XConnection.h"

namespace brindlow {
namespace {

template <typename T>
struct Reply {
    T* value;
    explicit Reply(T* v) : value(v) {}
    ~Reply() { std::free(value); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    T* operator->() const { return value; }
    explicit operator bool() const { return value != nullptr; }
};

// The monitor name from an EDID block's display descriptors (tag 0xFC).
std::string monitorName(const uint8_t* edid, size_t length) {
    if (length < 128) return {};
    for (size_t offset = 54; offset + 18 <= 126; offset += 18) {
        const uint8_t* d = edid + offset;
        if (d[0] != 0 || d[1] != 0 || d[3] != 0xFC) continue;
        std::string name;
        for (int i = 5; i < 18 && d[i] != '\n'; ++i) name += char(d[i]);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        return name;
    }
    return {};
}

class XcbScreenConnection final : public ScreenConnection {
public:
    XcbScreenConnection() {
        const auto* damageExt = xcb_get_extension_data(x_.xcb(), &xcb_damage_id);
        const auto* shmExt = xcb_get_extension_data(x_.xcb(), &xcb_shm_id);
        if (!damageExt || !damageExt->present) throw ScreenConnectionError("the X server has no DAMAGE extension");
        damageEvent_ = damageExt->first_event;
        Reply<xcb_xfixes_query_version_reply_t> fixes(
            xcb_xfixes_query_version_reply(x_.xcb(), xcb_xfixes_query_version(x_.xcb(), 2, 0), nullptr));
        Reply<xcb_damage_query_version_reply_t> damage(
            xcb_damage_query_version_reply(x_.xcb(), xcb_damage_query_version(x_.xcb(), 1, 1), nullptr));
        if (!fixes || !damage) throw ScreenConnectionError("the X server refused DAMAGE or XFixes");
        useShm_ = shmExt && shmExt->present;
    }

    ~XcbScreenConnection() override {
        if (segment_) xcb_shm_detach(x_.xcb(), segment_);
        if (memory_) shmdt(memory_);
        if (damage_) xcb_damage_destroy(x_.xcb(), damage_);
        if (region_) xcb_xfixes_destroy_region(x_.xcb(), region_);
        xcb_flush(x_.xcb());
    }

    void watch(const DisplayRect& area) override {
        area_ = area;
        damage_ = xcb_generate_id(x_.xcb());
        xcb_damage_create(x_.xcb(), damage_, x_.screen()->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
        region_ = xcb_generate_id(x_.xcb());
        xcb_xfixes_create_region(x_.xcb(), region_, 0, nullptr);
        if (useShm_) attachSegment();
        xcb_flush(x_.xcb());
        x_.check();
    }

    bool waitForChange(std::chrono::milliseconds timeout) override {
        bool reported = drainEvents();
        if (!reported && timeout.count() > 0) {
            pollfd fd{xcb_get_file_descriptor(x_.xcb()), POLLIN, 0};
            poll(&fd, 1, int(timeout.count()));
            reported = drainEvents();
        }
        if (!reported) return false;
        // Take the damage so far and see whether any of it is on this display.
        xcb_damage_subtract(x_.xcb(), damage_, XCB_NONE, region_);
        Reply<xcb_xfixes_fetch_region_reply_t> region(
            xcb_xfixes_fetch_region_reply(x_.xcb(), xcb_xfixes_fetch_region(x_.xcb(), region_), nullptr));
        x_.check();
        changed_.clear();
        if (!region) return true;
        const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(region.value);
        const int count = xcb_xfixes_fetch_region_rectangles_length(region.value);
        for (int i = 0; i < count; ++i) {
            const auto& r = rects[i];
            const int64_t left = std::max<int64_t>(r.x, area_.x), top = std::max<int64_t>(r.y, area_.y);
            const int64_t right = std::min<int64_t>(r.x + r.width, area_.x + area_.width);
            const int64_t bottom = std::min<int64_t>(r.y + r.height, area_.y + area_.height);
            if (left < right && top < bottom)
                changed_.push_back({int(left - area_.x), int(top - area_.y), int(right - left), int(bottom - top)});
        }
        return !changed_.empty();
    }

    // Without shared memory every grab crosses the socket whole, so one grab serves all.
    std::vector<PictureArea> changedAreas() override { return memory_ ? changed_ : std::vector<PictureArea>{}; }

    const uint8_t* grab(int& stride) override {
        if (memory_) return grabShared({0, 0, int(area_.width), int(area_.height)}, stride);
        stride = int(area_.width) * 4;
        // Without shared memory (a remote server) the pixels come through the socket.
        fallback_.reset(xcb_get_image_reply(
            x_.xcb(),
            xcb_get_image(x_.xcb(), XCB_IMAGE_FORMAT_Z_PIXMAP, x_.screen()->root, int16_t(area_.x), int16_t(area_.y),
                          uint16_t(area_.width), uint16_t(area_.height), ~0u),
            nullptr));
        x_.check();
        if (!fallback_ || xcb_get_image_data_length(fallback_.get()) < int(stride * area_.height))
            throw ScreenConnectionError("the X server would not hand over the screen's pixels");
        return xcb_get_image_data(fallback_.get());
    }

    const uint8_t* grab(const PictureArea& part, int& stride) override {
        if (memory_) return grabShared(part, stride);
        return ScreenConnection::grab(part, stride);
    }

private:
    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };

    // `part` of the watched area into the shared segment, rows packed.
    const uint8_t* grabShared(const PictureArea& part, int& stride) {
        stride = part.width * 4;
        Reply<xcb_shm_get_image_reply_t> image(xcb_shm_get_image_reply(
            x_.xcb(),
            xcb_shm_get_image(x_.xcb(), x_.screen()->root, int16_t(area_.x + part.x), int16_t(area_.y + part.y),
                              uint16_t(part.width), uint16_t(part.height), ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_,
                              0),
            nullptr));
        x_.check();
        if (!image) throw ScreenConnectionError("the X server would not hand over the screen's pixels");
        return static_cast<const uint8_t*>(memory_);
    }

    // True when a damage report arrived.
    bool drainEvents() {
        bool reported = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(x_.xcb())) {
            if ((event->response_type & 0x7F) == damageEvent_ + XCB_DAMAGE_NOTIFY) reported = true;
            std::free(event);
        }
        x_.check();
        return reported;
    }

    void attachSegment() {
        const size_t bytes = size_t(area_.width) * size_t(area_.height) * 4;
        const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
        if (id < 0) return;
        memory_ = shmat(id, nullptr, 0);
        shmctl(id, IPC_RMID, nullptr);  // freed once both sides detach
        if (memory_ == reinterpret_cast<void*>(-1)) {
            memory_ = nullptr;
            return;
        }
        segment_ = xcb_generate_id(x_.xcb());
        xcb_void_cookie_t attached = xcb_shm_attach_checked(x_.xcb(), segment_, uint32_t(id), 0);
        if (xcb_generic_error_t* error = xcb_request_check(x_.xcb(), attached)) {
            std::free(error);
            shmdt(memory_);
            memory_ = nullptr;
            segment_ = 0;
        }
    }

    XConnection x_;
    DisplayRect area_;
    std::vector<PictureArea> changed_;  // by the last waitForChange that saw a change
    uint8_t damageEvent_ = 0;
    bool useShm_ = false;
    xcb_damage_damage_t damage_ = 0;
    xcb_xfixes_region_t region_ = 0;
    xcb_shm_seg_t segment_ = 0;
    void* memory_ = nullptr;
    std::unique_ptr<xcb_get_image_reply_t, FreeDeleter> fallback_;
};

}  // namespace

std::vector<ScreenDisplay> availableDisplays() {
    XConnection x;
    Reply<xcb_randr_get_screen_resources_current_reply_t> resources(xcb_randr_get_screen_resources_current_reply(
        x.xcb(), xcb_randr_get_screen_resources_current(x.xcb(), x.screen()->root), nullptr));
    if (!resources) throw ScreenConnectionError("the X server did not list its monitors (RandR)");
    const xcb_intern_atom_cookie_t edidCookie = xcb_intern_atom(x.xcb(), 1, 4, "EDID");
    Reply<xcb_intern_atom_reply_t> edidAtom(xcb_intern_atom_reply(x.xcb(), edidCookie, nullptr));

    std::vector<ScreenDisplay> displays;
    const xcb_randr_output_t* outputs = xcb_randr_get_screen_resources_current_outputs(resources.value);
    const int count = xcb_randr_get_screen_resources_current_outputs_length(resources.value);
    for (int i = 0; i < count; ++i) {
        Reply<xcb_randr_get_output_info_reply_t> output(xcb_randr_get_output_info_reply(
            x.xcb(), xcb_randr_get_output_info(x.xcb(), outputs[i], resources->config_timestamp), nullptr));
        if (!output || output->connection != XCB_RANDR_CONNECTION_CONNECTED || output->crtc == XCB_NONE) continue;
        Reply<xcb_randr_get_crtc_info_reply_t> crtc(xcb_randr_get_crtc_info_reply(
            x.xcb(), xcb_randr_get_crtc_info(x.xcb(), output->crtc, resources->config_timestamp), nullptr));
        if (!crtc || crtc->width == 0 || crtc->height == 0) continue;
        ScreenDisplay display;
        display.id = outputs[i];
        display.pixels = {crtc->width, crtc->height};
        display.bounds = {crtc->x, crtc->y, crtc->width, crtc->height};
        if (edidAtom && edidAtom->atom != XCB_NONE) {
            Reply<xcb_randr_get_output_property_reply_t> edid(xcb_randr_get_output_property_reply(
                x.xcb(), xcb_randr_get_output_property(x.xcb(), outputs[i], edidAtom->atom, XCB_ATOM_ANY, 0, 128, 0, 0),
                nullptr));
            if (edid && edid->format == 8)
                display.name = monitorName(xcb_randr_get_output_property_data(edid.value),
                                           size_t(xcb_randr_get_output_property_data_length(edid.value)));
        }
        if (display.name.empty()) {
            display.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.value)),
                                size_t(xcb_randr_get_output_info_name_length(output.value)));
        }
        displays.push_back(std::move(display));
    }
    return displays;
}

ScreenConnector xcbScreenConnector() {
    return [] { return std::unique_ptr<ScreenConnection>(new XcbScreenConnection()); };
}

}  // namespace brindlow
