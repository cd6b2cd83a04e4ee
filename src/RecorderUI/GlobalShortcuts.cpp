#include "GlobalShortcuts.h"

#include <QtGui/qguiapplication_platform.h>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <utility>

namespace brindlow::portal {

// One shortcut as the GlobalShortcuts portal speaks of it: (sa{sv}).
struct Shortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument& operator<<(QDBusArgument& argument, const Shortcut& shortcut) {
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, Shortcut& shortcut) {
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

}  // namespace brindlow::portal

Q_DECLARE_METATYPE(brindlow::portal::Shortcut)

namespace brindlow {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

constexpr uint16_t wanted = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;  // Ctrl+Alt
// Caps Lock and Num Lock (usually Mod2) must not turn a shortcut off, so each
// combination of them is grabbed too.
constexpr uint16_t ignored[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

xcb_connection_t* x11Connection() {
    auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

// The keycode that types `keysym` without modifiers, or 0.
uint8_t keycodeOf(xcb_connection_t* connection, uint32_t keysym) {
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const uint8_t first = setup->min_keycode;
    const int count = setup->max_keycode - first + 1;
    std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, first, uint8_t(count)), nullptr),
        &std::free);
    if (!mapping || mapping->keysyms_per_keycode == 0) return 0;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    for (int i = 0; i < count; ++i)
        if (keysyms[i * mapping->keysyms_per_keycode] == keysym) return uint8_t(first + i);
    return 0;
}

}  // namespace

GlobalShortcuts::GlobalShortcuts(QObject* parent) : QObject(parent) {
    shortcuts_ = {{Action::recordOrStop,
                   QStringLiteral("record-or-stop"),
                   QStringLiteral("Start or stop recording"),
                   QStringLiteral("Ctrl+Alt+R"),
                   {}},
                  {Action::pauseOrResume,
                   QStringLiteral("pause-or-resume"),
                   QStringLiteral("Pause or resume"),
                   QStringLiteral("Ctrl+Alt+P"),
                   {}}};
}

GlobalShortcuts::~GlobalShortcuts() {
    releaseX11();
}

void GlobalShortcuts::install() {
    if (QGuiApplication::platformName() == QLatin1String("xcb") && x11Connection())
        return grabOnX11();
    askPortal();
}

void GlobalShortcuts::noShortcuts(const QString& why) {
    step_ = Step::none;
    shortcuts_.clear();
    note_ = why;
    Q_EMIT changed();
}

void GlobalShortcuts::askPortal() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString none =
        QStringLiteral("This desktop keeps shortcuts to itself; the README says more.");
    if (!bus.isConnected()) return noShortcuts(none);
    QDBusMessage version = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    version << portalInterface << QStringLiteral("version");
    if (bus.call(version, QDBus::Block, 5000).type() != QDBusMessage::ReplyMessage)
        return noShortcuts(none);
    qDBusRegisterMetaType<portal::Shortcut>();
    qDBusRegisterMetaType<QList<portal::Shortcut>>();
    for (auto& shortcut : shortcuts_) shortcut.note = QStringLiteral("waiting for the desktop");
    bus.connect(portalService, portalPath, portalInterface, QStringLiteral("Activated"), this,
                SLOT(portalActivated(QDBusMessage)));
    request(QStringLiteral("CreateSession"),
            {QVariantMap{{QStringLiteral("session_handle_token"), QStringLiteral("brindlow")}}},
            Step::creatingSession);
}

void GlobalShortcuts::request(const QString& method, QVariantList arguments, Step step) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The answer comes on a request object whose path follows from the token; listening
    // before asking means it cannot be missed.
    const QString token = QStringLiteral("brindlow%1").arg(++requests_);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    requestPath_ = portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
    bus.connect(portalService, requestPath_, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"), this, SLOT(portalResponse(uint, QVariantMap)));
    QVariantMap options = arguments.last().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.last() = options;
    QDBusMessage call =
        QDBusMessage::createMethodCall(portalService, portalPath, portalInterface, method);
    call.setArguments(arguments);
    step_ = step;
    const QDBusMessage sent = bus.call(call, QDBus::Block, 5000);
    if (sent.type() != QDBusMessage::ReplyMessage)
        noShortcuts(QStringLiteral("The desktop refused the shortcuts: ") + sent.errorMessage());
}

void GlobalShortcuts::bindShortcuts() {
    QList<portal::Shortcut> wantedShortcuts;
    for (const auto& shortcut : shortcuts_) {
        const QString trigger = shortcut.action == Action::recordOrStop
                                    ? QStringLiteral("CTRL+ALT+r")
                                    : QStringLiteral("CTRL+ALT+p");
        wantedShortcuts.push_back({shortcut.id,
                                   {{QStringLiteral("description"), shortcut.name},
                                    {QStringLiteral("preferred_trigger"), trigger}}});
    }
    request(QStringLiteral("BindShortcuts"),
            {QVariant::fromValue(QDBusObjectPath(sessionHandle_)),
             QVariant::fromValue(wantedShortcuts), QString(), QVariantMap()},
            Step::binding);
}

void GlobalShortcuts::portalResponse(uint response, const QVariantMap& results) {
    QDBusConnection::sessionBus().disconnect(
        portalService, requestPath_, QStringLiteral("org.freedesktop.portal.Request"),
        QStringLiteral("Response"), this, SLOT(portalResponse(uint, QVariantMap)));
    const Step step = std::exchange(step_, Step::none);
    if (response != 0)
        return noShortcuts(QStringLiteral("The desktop did not give Brindlow its shortcuts."));
    if (step == Step::creatingSession) {
        const QVariant handle = results.value(QStringLiteral("session_handle"));
        sessionHandle_ = handle.canConvert<QDBusObjectPath>() &&
                                 !handle.value<QDBusObjectPath>().path().isEmpty()
                             ? handle.value<QDBusObjectPath>().path()
                             : handle.toString();
        if (sessionHandle_.isEmpty())
            return noShortcuts(QStringLiteral("The desktop did not give Brindlow its shortcuts."));
        return bindShortcuts();
    }
    if (step != Step::binding) return;
    // What the desktop bound, with the keys it chose for each.
    QList<portal::Shortcut> bound;
    const QVariant list = results.value(QStringLiteral("shortcuts"));
    if (list.canConvert<QDBusArgument>()) list.value<QDBusArgument>() >> bound;
    for (auto& shortcut : shortcuts_) {
        shortcut.note = QStringLiteral("not given by the desktop");
        for (const auto& given : bound) {
            if (given.id != shortcut.id) continue;
            shortcut.note.clear();
            const QString keys =
                given.properties.value(QStringLiteral("trigger_description")).toString();
            if (!keys.isEmpty()) shortcut.keys = keys;
        }
    }
    Q_EMIT changed();
}

void GlobalShortcuts::portalActivated(const QDBusMessage& message) {
    // (o session_handle, s shortcut_id, t timestamp, a{sv} options)
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2 || arguments[0].value<QDBusObjectPath>().path() != sessionHandle_) return;
    const QString id = arguments[1].toString();
    for (const auto& shortcut : shortcuts_)
        if (shortcut.id == id && shortcut.note.isEmpty()) Q_EMIT activated(shortcut.action);
}

void GlobalShortcuts::grabOnX11() {
    xcb_connection_t* connection = x11Connection();
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    if (!screen) return;
    root_ = screen->root;
    for (auto& shortcut : shortcuts_) {
        const uint32_t keysym = shortcut.action == Action::recordOrStop ? 'r' : 'p';
        const uint8_t keycode = keycodeOf(connection, keysym);
        if (!keycode) {
            shortcut.note = QStringLiteral("no such key on this keyboard");
            continue;
        }
        bool taken = false;
        for (const uint16_t extra : ignored) {
            const xcb_void_cookie_t cookie =
                xcb_grab_key_checked(connection, 1, root_, wanted | extra, keycode,
                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
            if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
                taken = true;  // BadAccess: another client holds it
                std::free(error);
            }
        }
        if (taken) {
            shortcut.note = QStringLiteral("taken by another app");
            xcb_ungrab_key(connection, keycode, root_, XCB_MOD_MASK_ANY);
            continue;
        }
        grabs_.push_back({shortcut.action, keycode, 0});
    }
    xcb_flush(connection);
    if (!grabs_.empty()) qApp->installNativeEventFilter(this);
    Q_EMIT changed();
}

void GlobalShortcuts::releaseX11() {
    if (grabs_.empty()) return;
    if (qApp) qApp->removeNativeEventFilter(this);
    if (xcb_connection_t* connection = x11Connection()) {
        for (const auto& grab : grabs_)
            for (const uint16_t extra : ignored)
                xcb_ungrab_key(connection, grab.keycode, root_, wanted | extra);
        xcb_flush(connection);
    }
    grabs_.clear();
}

bool GlobalShortcuts::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t") return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    const uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
    if (key->event != root_) return false;
    constexpr uint16_t considered =
        XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    for (auto& grab : grabs_) {
        if (grab.keycode != key->detail) continue;
        if (type == XCB_KEY_RELEASE) {
            grab.lastRelease = key->time;
            return true;
        }
        // A held key repeats as a release and a press at the same moment.
        if (key->time == grab.lastRelease || (key->state & considered) != wanted) return true;
        Q_EMIT activated(grab.action);
        return true;
    }
    return false;
}

}  // namespace brindlow
