#include "Capture/PipeWireScreen.h"

#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

namespace brindlow {
namespace {

constexpr int maxSide = 16384;
constexpr size_t cursorMetaSize(int w, int h) {
    return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + size_t(w) * size_t(h) * 4;
}

std::optional<ScreenPixelOrder> orderOf(uint32_t format) {
    switch (format) {
        case SPA_VIDEO_FORMAT_BGRx: return ScreenPixelOrder::bgrx;
        case SPA_VIDEO_FORMAT_BGRA: return ScreenPixelOrder::bgra;
        case SPA_VIDEO_FORMAT_RGBx: return ScreenPixelOrder::rgbx;
        case SPA_VIDEO_FORMAT_RGBA: return ScreenPixelOrder::rgba;
        default: return std::nullopt;
    }
}

void addMeta(spa_pod_builder& b, std::vector<const spa_pod*>& params, uint32_t type, int size, int least, int most) {
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
    spa_pod_builder_prop(&b, SPA_PARAM_META_type, 0);
    spa_pod_builder_id(&b, type);
    spa_pod_builder_prop(&b, SPA_PARAM_META_size, 0);
    if (least == most) {
        spa_pod_builder_int(&b, size);
    } else {
        spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
        spa_pod_builder_int(&b, size);
        spa_pod_builder_int(&b, least);
        spa_pod_builder_int(&b, most);
        spa_pod_builder_pop(&b, &choice);
    }
    params.push_back(static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object)));
}

}  // namespace

const spa_pod* screenFormatOffer(spa_pod_builder& b, int expectedWidth, int expectedHeight) {
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(&b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(&b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Enum, 0);
    for (uint32_t f : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                       SPA_VIDEO_FORMAT_RGBA})
        spa_pod_builder_id(&b, f);
    spa_pod_builder_pop(&b, &choice);
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_rectangle(&b, uint32_t(std::max(1, expectedWidth)), uint32_t(std::max(1, expectedHeight)));
    spa_pod_builder_rectangle(&b, 1, 1);
    spa_pod_builder_rectangle(&b, maxSide, maxSide);
    spa_pod_builder_pop(&b, &choice);
    // Compositors state 0/1: frames come when the screen changes, not at a rate.
    spa_pod_builder_prop(&b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(&b, &choice, SPA_CHOICE_Range, 0);
    spa_pod_builder_fraction(&b, 0, 1);
    spa_pod_builder_fraction(&b, 0, 1);
    spa_pod_builder_fraction(&b, 1000, 1);
    spa_pod_builder_pop(&b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object));
}

std::optional<ScreenStreamFormat> parseScreenFormat(const spa_pod* format) {
    if (!format) return std::nullopt;
    uint32_t mediaType = 0, mediaSubtype = 0;
    if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0) return std::nullopt;
    if (mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return std::nullopt;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(format, &info) < 0) return std::nullopt;
    const auto order = orderOf(info.format);
    if (!order || info.size.width < 1 || info.size.height < 1 || info.size.width > maxSide ||
        info.size.height > maxSide)
        return std::nullopt;
    return ScreenStreamFormat{*order, int(info.size.width), int(info.size.height)};
}

std::optional<StreamCursor> parseCursorMeta(const spa_meta_cursor* meta, size_t size) {
    if (!meta || size < sizeof(spa_meta_cursor) || meta->id == 0) return std::nullopt;
    return StreamCursor{meta->position.x, meta->position.y, true};
}

struct PipeWireScreen::Impl {
    int width = 0, height = 0;  // what the screen source expects
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_stream* stream = nullptr;
    pw_registry* registry = nullptr;
    uint32_t node = 0;
    spa_hook streamListener{};
    spa_hook coreListener{};
    spa_hook registryListener{};

    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint8_t> picture;       // guarded by lock: the latest, BGRx, width × height
    std::vector<uint8_t> grabbed;       // the grab thread's copy
    bool fresh = false;                 // guarded by lock
    bool hasPicture = false;            // guarded by lock
    std::optional<std::string> ended;   // guarded by lock
    std::optional<ScreenStreamFormat> format;  // loop thread only
    std::optional<StreamCursor> cursor;        // guarded by lock
    bool registryHooked = false, coreHooked = false;

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    // Also what a constructor that failed half way leaves: the loop stops before anything
    // its callbacks reach goes, and every listener is unhooked before the state it points at.
    ~Impl() {
        if (loop) pw_thread_loop_stop(loop);
        if (stream) pw_stream_destroy(stream);  // with its listener
        if (registryHooked) spa_hook_remove(&registryListener);
        if (registry) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        if (coreHooked) spa_hook_remove(&coreListener);
        if (core) pw_core_disconnect(core);
        if (context) pw_context_destroy(context);
        if (loop) pw_thread_loop_destroy(loop);
    }

    void finish(const std::string& why) {
        {
            std::lock_guard guard(lock);
            if (!ended) ended = why;
        }
        changed.notify_all();
    }

    void onParamChanged(uint32_t id, const spa_pod* param) {
        if (id != SPA_PARAM_Format || !param) return;
        format = parseScreenFormat(param);
        if (!format) {
            pw_stream_set_error(stream, -EINVAL, "unusable video format");
            return;
        }
        uint8_t buffer[1024];
        spa_pod_builder b{};
        spa_pod_builder_init(&b, buffer, sizeof buffer);
        std::vector<const spa_pod*> params;
        spa_pod_frame object;
        spa_pod_builder_push_object(&b, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
        spa_pod_builder_prop(&b, SPA_PARAM_BUFFERS_dataType, 0);
        spa_pod_builder_int(&b, (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd));
        params.push_back(static_cast<const spa_pod*>(spa_pod_builder_pop(&b, &object)));
        addMeta(b, params, SPA_META_Header, int(sizeof(spa_meta_header)), int(sizeof(spa_meta_header)),
                int(sizeof(spa_meta_header)));
        const int region = int(sizeof(spa_meta_region));
        addMeta(b, params, SPA_META_VideoDamage, region * 16, region, region * 16);
        addMeta(b, params, SPA_META_Cursor, int(cursorMetaSize(64, 64)), int(cursorMetaSize(1, 1)),
                int(cursorMetaSize(256, 256)));
        pw_stream_update_params(stream, params.data(), uint32_t(params.size()));
    }

    void onStateChanged(pw_stream_state old, pw_stream_state state, const char* error) {
        if (state == PW_STREAM_STATE_ERROR) finish(std::string("the screen stream failed: ") + (error ? error : "unknown"));
        else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED)
            finish("the screen stream was disconnected");
    }

    void onProcess() {
        pw_buffer* b = pw_stream_dequeue_buffer(stream);
        if (!b) return;
        consume(*b->buffer);
        pw_stream_queue_buffer(stream, b);
    }

    void consume(const spa_buffer& buffer) {
        if (auto* meta = static_cast<spa_meta_cursor*>(spa_buffer_find_meta_data(&buffer, SPA_META_Cursor,
                                                                                  sizeof(spa_meta_cursor)))) {
            if (const auto c = parseCursorMeta(meta, sizeof(spa_meta_cursor))) {
                std::lock_guard guard(lock);
                cursor = c;
            }
        }
        if (!format || buffer.n_datas < 1) return;
        const spa_data& d = buffer.datas[0];
        if (!d.data || !d.chunk || d.chunk->size == 0 || (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return;
        // A buffer whose damage lists no region carries no new picture (a cursor-only update).
        if (auto* damage = spa_buffer_find_meta(&buffer, SPA_META_VideoDamage)) {
            auto* first = static_cast<const spa_meta_region*>(damage->data);
            if (damage->size >= sizeof(spa_meta_region) && first->region.size.width == 0 &&
                first->region.size.height == 0 && hasPictureNow())
                return;
        }
        const int w = format->width, h = format->height;
        const int64_t stride = d.chunk->stride > 0 ? d.chunk->stride : int64_t(w) * 4;
        const int64_t offset = d.chunk->offset % std::max<uint32_t>(d.maxsize, 1);
        if (stride < int64_t(w) * 4 || offset + stride * (h - 1) + int64_t(w) * 4 > int64_t(d.maxsize)) return;
        const auto* source = static_cast<const uint8_t*>(d.data) + offset;
        const bool swap = format->order == ScreenPixelOrder::rgbx || format->order == ScreenPixelOrder::rgba;
        const int rows = std::min(h, height), columns = std::min(w, width);
        {
            std::lock_guard guard(lock);
            picture.assign(size_t(width) * size_t(height) * 4, 0);
            for (int y = 0; y < rows; ++y) {
                const uint8_t* in = source + stride * y;
                uint8_t* out = picture.data() + size_t(y) * size_t(width) * 4;
                if (!swap) {
                    std::memcpy(out, in, size_t(columns) * 4);
                    continue;
                }
                for (int x = 0; x < columns; ++x) {
                    out[4 * x] = in[4 * x + 2];
                    out[4 * x + 1] = in[4 * x + 1];
                    out[4 * x + 2] = in[4 * x];
                    out[4 * x + 3] = 0;
                }
            }
            fresh = true;
            hasPicture = true;
        }
        changed.notify_all();
    }

    bool hasPictureNow() {
        std::lock_guard guard(lock);
        return hasPicture;
    }
};

namespace {

const pw_stream_events streamEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = [](void* data, pw_stream_state old, pw_stream_state state, const char* error) {
        static_cast<PipeWireScreen::Impl*>(data)->onStateChanged(old, state, error);
    };
    e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        static_cast<PipeWireScreen::Impl*>(data)->onParamChanged(id, param);
    };
    e.process = [](void* data) { static_cast<PipeWireScreen::Impl*>(data)->onProcess(); };
    return e;
}();

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.error = [](void* data, uint32_t id, int, int res, const char* message) {
        // Errors on the core itself mean the remote is gone.
        if (id == PW_ID_CORE && res == -EPIPE)
            static_cast<PipeWireScreen::Impl*>(data)->finish(std::string("PipeWire went away: ") + (message ? message : ""));
    };
    return e;
}();

// The shared node going away is the share ending: the stream itself may only pause.
const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global_remove = [](void* data, uint32_t id) {
        auto* d = static_cast<PipeWireScreen::Impl*>(data);
        if (id == d->node) d->finish("the screen share ended");
    };
    return e;
}();

}  // namespace

PipeWireScreen::PipeWireScreen(int remoteFd, uint32_t node, int expectedWidth, int expectedHeight)
    : impl_(std::make_unique<Impl>()) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    Impl& d = *impl_;
    d.width = expectedWidth;
    d.height = expectedHeight;
    d.picture.assign(size_t(expectedWidth) * size_t(expectedHeight) * 4, 0);
    d.loop = pw_thread_loop_new("brindlow-screen", nullptr);
    if (!d.loop) throw ScreenConnectionError("cannot make a PipeWire loop");
    d.context = pw_context_new(pw_thread_loop_get_loop(d.loop), nullptr, 0);
    if (!d.context || pw_thread_loop_start(d.loop) < 0) throw ScreenConnectionError("cannot start PipeWire");
    pw_thread_loop_lock(d.loop);
    const int fd = fcntl(remoteFd, F_DUPFD_CLOEXEC, 3);
    d.core = fd >= 0 ? pw_context_connect_fd(d.context, fd, nullptr, 0) : nullptr;
    if (!d.core) {
        pw_thread_loop_unlock(d.loop);
        throw ScreenConnectionError("cannot connect to the screen's PipeWire remote");
    }
    pw_core_add_listener(d.core, &d.coreListener, &coreEvents, &d);
    d.coreHooked = true;
    d.node = node;
    d.registry = pw_core_get_registry(d.core, PW_VERSION_REGISTRY, 0);
    if (d.registry) {
        pw_registry_add_listener(d.registry, &d.registryListener, &registryEvents, &d);
        d.registryHooked = true;
    }
    d.stream = pw_stream_new(d.core, "Brindlow Recorder screen",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!d.stream) {
        pw_thread_loop_unlock(d.loop);
        throw ScreenConnectionError("cannot make a PipeWire stream");
    }
    pw_stream_add_listener(d.stream, &d.streamListener, &streamEvents, &d);
    uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* offer = screenFormatOffer(b, expectedWidth, expectedHeight);
    const int connected = pw_stream_connect(d.stream, PW_DIRECTION_INPUT, node,
                                            pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                            &offer, 1);
    pw_thread_loop_unlock(d.loop);
    if (connected < 0) throw ScreenConnectionError("cannot connect to the screen stream " + std::to_string(node));
}

PipeWireScreen::~PipeWireScreen() = default;  // Impl tears down

void PipeWireScreen::watch(const DisplayRect&) {
    // The stream is the whole share; the first picture counts as a change.
    std::lock_guard guard(impl_->lock);
    impl_->fresh = impl_->hasPicture;
}

bool PipeWireScreen::waitForChange(std::chrono::milliseconds timeout) {
    Impl& d = *impl_;
    std::unique_lock guard(d.lock);
    d.changed.wait_for(guard, timeout, [&] { return d.fresh || d.ended; });
    if (d.ended) throw ScreenConnectionError(*d.ended);
    const bool fresh = d.fresh;
    d.fresh = false;
    return fresh;
}

const uint8_t* PipeWireScreen::grab(int& stride) {
    Impl& d = *impl_;
    {
        std::lock_guard guard(d.lock);
        d.grabbed = d.picture;
    }
    stride = d.width * 4;
    return d.grabbed.data();
}

bool PipeWireScreen::waitForFirstPicture(std::chrono::milliseconds timeout) {
    Impl& d = *impl_;
    std::unique_lock guard(d.lock);
    return d.changed.wait_for(guard, timeout, [&] { return d.hasPicture || d.ended; }) && d.hasPicture;
}

std::optional<StreamCursor> PipeWireScreen::cursor() const {
    std::lock_guard guard(impl_->lock);
    return impl_->cursor;
}

void PipeWireScreen::end(const std::string& why) { impl_->finish(why); }

}  // namespace brindlow
