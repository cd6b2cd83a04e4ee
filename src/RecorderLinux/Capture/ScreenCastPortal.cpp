#include "Capture/ScreenCastPortal.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "Capture/ScreenSource.h"
#include "RecorderError.h"
#include "Support/SignalStack.h"
#include "Support/Text.h"

namespace brindlow {
namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
constexpr int kCallTimeoutMs = 10'000;

[[noreturn]] void fail(const std::string& what, GError* error) {
    std::string text = what;
    if (error) {
        text += ": " + std::string(error->message);
        g_error_free(error);
    }
    throw ScreenConnectionError(text);
}

GVariant* vardict(std::initializer_list<std::pair<const char*, GVariant*>> entries) {
    GVariantBuilder b;
    g_variant_builder_init(&b, G_VARIANT_TYPE_VARDICT);
    for (const auto& [key, value] : entries)
        if (value) g_variant_builder_add(&b, "{sv}", key, value);
    return g_variant_builder_end(&b);
}

std::string freshToken() {
    static std::atomic<int> counter{0};
    std::string token = "brindlow" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + randomUUID();
    for (char& c : token)
        if (c == '-') c = '_';
    return token;
}

}  // namespace

struct ScreenCastPortal::Impl {
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = nullptr;
    std::string sender;  // the unique name as request paths spell it
    std::string session;
    guint closedSubscription = 0;
    std::thread thread;
    std::mutex lock;
    std::function<void()> onClosed;  // guarded by lock, and called under it
    bool closed = false;             // guarded by lock

    ~Impl() {
        if (bus) g_object_unref(bus);
        g_main_loop_unref(loop);
        g_main_context_unref(context);
    }

    GVariant* property(const char* name) {
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, kPortal, kPath, "org.freedesktop.DBus.Properties", "Get",
                                                      g_variant_new("(ss)", kScreenCast, name), G_VARIANT_TYPE("(v)"),
                                                      G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
        if (!reply) fail("the desktop offers no screen-cast portal", error);
        GVariant* value = nullptr;
        g_variant_get(reply, "(v)", &value);
        g_variant_unref(reply);
        return value;
    }

    // Calls a portal method that answers through a Request object and waits for the answer.
    GVariant* request(const char* method, GVariant* parameters, const std::string& token,
                      std::chrono::milliseconds timeout) {
        struct Answer {
            bool done = false;
            uint32_t code = 2;
            GVariant* results = nullptr;
        } answer;
        const std::string path = std::string(kPath) + "/request/" + sender + "/" + token;
        // Subscribed before the call, so an answer that comes at once is not missed.
        const guint subscription = g_dbus_connection_signal_subscribe(
            bus, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
            G_DBUS_SIGNAL_FLAGS_NONE,
            [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* values, gpointer data) {
                auto* a = static_cast<Answer*>(data);
                g_variant_get(values, "(u@a{sv})", &a->code, &a->results);
                a->done = true;
            },
            &answer, nullptr);
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_sync(bus, kPortal, kPath, kScreenCast, method, parameters,
                                                      G_VARIANT_TYPE("(o)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
                                                      nullptr, &error);
        if (!reply) {
            g_dbus_connection_signal_unsubscribe(bus, subscription);
            fail(std::string("the screen-cast portal refused ") + method, error);
        }
        g_variant_unref(reply);
        bool timedOut = false;
        GSource* timer = g_timeout_source_new(guint(timeout.count()));
        g_source_set_callback(
            timer, [](gpointer flag) { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; }, &timedOut, nullptr);
        g_source_attach(timer, context);
        while (!answer.done && !timedOut) g_main_context_iteration(context, TRUE);
        g_source_destroy(timer);
        g_source_unref(timer);
        g_dbus_connection_signal_unsubscribe(bus, subscription);
        if (!answer.done) throw ScreenConnectionError(std::string("the screen-cast portal did not answer ") + method);
        if (answer.code == 1 || (answer.code == 2 && std::string_view(method) != "CreateSession")) {
            if (answer.results) g_variant_unref(answer.results);
            // Cancelled, or refused by the user or the desktop's policy.
            if (answer.code == 1) throw RecorderError::permissionDenied("Screen Recording");
            throw ScreenConnectionError(std::string("the desktop could not share the screen (") + method + ")");
        }
        if (answer.code != 0) {
            if (answer.results) g_variant_unref(answer.results);
            throw ScreenConnectionError(std::string("the screen-cast portal failed ") + method);
        }
        return answer.results;
    }
};

std::unique_ptr<ScreenCastPortal> ScreenCastPortal::open(const Options& options) {
    std::unique_ptr<ScreenCastPortal> portal(new ScreenCastPortal());
    portal->impl_ = std::make_unique<Impl>();
    Impl& d = *portal->impl_;
    std::promise<void> ready;
    auto opened = ready.get_future();
    ScreenCastPortal& p = *portal;
    // One thread owns the connection's main context: it runs the calls, then waits for
    // the desktop to close the share.
    d.thread = std::thread([&p, &d, &options, &ready] {
        ensureSignalStack();
        g_main_context_push_thread_default(d.context);
        try {
            GError* error = nullptr;
            gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            if (!address) fail("no session bus", error);
            d.bus = g_dbus_connection_new_for_address_sync(
                address,
                GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                     G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
                nullptr, nullptr, &error);
            g_free(address);
            if (!d.bus) fail("cannot connect to the session bus", error);
            d.sender = g_dbus_connection_get_unique_name(d.bus) + 1;
            for (char& c : d.sender)
                if (c == '.') c = '_';

            GVariant* versionValue = d.property("version");
            const uint32_t version = g_variant_get_uint32(versionValue);
            g_variant_unref(versionValue);
            GVariant* modesValue = d.property("AvailableCursorModes");
            const uint32_t modes = g_variant_get_uint32(modesValue);
            g_variant_unref(modesValue);
            p.cursorMode_ = (modes & uint32_t(CursorMode::metadata)) ? CursorMode::metadata : CursorMode::embedded;

            std::string token = freshToken();
            GVariant* created = d.request(
                "CreateSession",
                g_variant_new("(@a{sv})", vardict({{"handle_token", g_variant_new_string(token.c_str())},
                                                   {"session_handle_token", g_variant_new_string(freshToken().c_str())}})),
                token, std::chrono::milliseconds(kCallTimeoutMs));
            const gchar* handle = nullptr;
            if (!g_variant_lookup(created, "session_handle", "&s", &handle) || !handle) {
                g_variant_unref(created);
                throw ScreenConnectionError("the screen-cast portal made no session");
            }
            d.session = handle;
            g_variant_unref(created);
            d.closedSubscription = g_dbus_connection_signal_subscribe(
                d.bus, kPortal, "org.freedesktop.portal.Session", "Closed", d.session.c_str(), nullptr,
                G_DBUS_SIGNAL_FLAGS_NONE,
                [](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant*, gpointer data) {
                    auto* impl = static_cast<Impl*>(data);
                    // Called under the lock, so once setOnClosed returns no old callback is still running.
                    std::lock_guard guard(impl->lock);
                    if (impl->closed) return;
                    impl->closed = true;
                    if (impl->onClosed) impl->onClosed();
                },
                &d, nullptr);

            token = freshToken();
            const bool persists = version >= 4;
            GVariant* selectOptions = vardict(
                {{"handle_token", g_variant_new_string(token.c_str())},
                 {"types", g_variant_new_uint32(1)},  // monitors
                 {"multiple", g_variant_new_boolean(FALSE)},
                 {"cursor_mode", g_variant_new_uint32(uint32_t(p.cursorMode_))},
                 {"persist_mode", persists ? g_variant_new_uint32(2) : nullptr},  // until revoked
                 {"restore_token", persists && options.restoreToken
                                       ? g_variant_new_string(options.restoreToken->c_str())
                                       : nullptr}});
            g_variant_unref(d.request("SelectSources", g_variant_new("(o@a{sv})", d.session.c_str(), selectOptions),
                                      token, options.answerTimeout));

            token = freshToken();
            GVariant* started = d.request(
                "Start",
                g_variant_new("(os@a{sv})", d.session.c_str(), "",
                              vardict({{"handle_token", g_variant_new_string(token.c_str())}})),
                token, options.answerTimeout);
            GVariant* streams = g_variant_lookup_value(started, "streams", G_VARIANT_TYPE("a(ua{sv})"));
            if (!streams || g_variant_n_children(streams) < 1) {
                if (streams) g_variant_unref(streams);
                g_variant_unref(started);
                throw ScreenConnectionError("the screen-cast portal shared no stream");
            }
            GVariant* properties = nullptr;
            g_variant_get_child(streams, 0, "(u@a{sv})", &p.node_, &properties);
            int32_t width = 0, height = 0;
            if (!g_variant_lookup(properties, "size", "(ii)", &width, &height) || width < 1 || height < 1) {
                g_variant_unref(properties);
                g_variant_unref(streams);
                g_variant_unref(started);
                throw ScreenConnectionError("the screen-cast portal gave no stream size");
            }
            p.size_ = CaptureSize{width, height};
            const gchar* restore = nullptr;
            if (g_variant_lookup(started, "restore_token", "&s", &restore) && restore) p.restoreToken_ = restore;
            g_variant_unref(properties);
            g_variant_unref(streams);
            g_variant_unref(started);

            GUnixFDList* fds = nullptr;
            GVariant* remote = g_dbus_connection_call_with_unix_fd_list_sync(
                d.bus, kPortal, kPath, kScreenCast, "OpenPipeWireRemote",
                g_variant_new("(o@a{sv})", d.session.c_str(), vardict({})), G_VARIANT_TYPE("(h)"),
                G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &fds, nullptr, &error);
            if (!remote) fail("the screen-cast portal gave no PipeWire remote", error);
            gint32 index = -1;
            g_variant_get(remote, "(h)", &index);
            g_variant_unref(remote);
            p.fd_ = fds ? g_unix_fd_list_get(fds, index, &error) : -1;
            if (fds) g_object_unref(fds);
            if (p.fd_ < 0) fail("the screen-cast portal's PipeWire remote is unusable", error);
            ready.set_value();
        } catch (...) {
            ready.set_exception(std::current_exception());
            g_main_context_pop_thread_default(d.context);
            return;
        }
        g_main_loop_run(d.loop);
        g_main_context_pop_thread_default(d.context);
    });
    try {
        opened.get();
    } catch (...) {
        d.thread.join();
        throw;
    }
    return portal;
}

ScreenCastPortal::~ScreenCastPortal() {
    if (!impl_) return;
    Impl& d = *impl_;
    {
        std::lock_guard guard(d.lock);
        d.closed = true;  // our own close is not the desktop's
        d.onClosed = nullptr;
    }
    if (d.bus && !d.session.empty()) {
        GVariant* reply = g_dbus_connection_call_sync(d.bus, kPortal, d.session.c_str(), "org.freedesktop.portal.Session",
                                                      "Close", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr,
                                                      nullptr);
        if (reply) g_variant_unref(reply);
    }
    // Queued on the context, so a loop that has not started running yet still ends.
    g_main_context_invoke(
        d.context, [](gpointer loop) { return g_main_loop_quit(static_cast<GMainLoop*>(loop)), G_SOURCE_REMOVE; },
        d.loop);
    if (d.thread.joinable()) d.thread.join();
    if (d.closedSubscription) g_dbus_connection_signal_unsubscribe(d.bus, d.closedSubscription);
    if (d.bus) g_dbus_connection_close_sync(d.bus, nullptr, nullptr);
    if (fd_ >= 0) close(fd_);
}

void ScreenCastPortal::setOnClosed(std::function<void()> onClosed) {
    std::lock_guard guard(impl_->lock);
    impl_->onClosed = std::move(onClosed);
}

}  // namespace brindlow
