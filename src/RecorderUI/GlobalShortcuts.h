#pragma once

#include <QAbstractNativeEventFilter>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <cstdint>
#include <vector>

namespace brindlow {

// Keys that reach the recorder while another app has the focus: Ctrl+Alt+R starts or
// stops a take, Ctrl+Alt+P pauses or resumes it. On X11 they are passive grabs on the
// root window. Elsewhere (Wayland) the desktop's GlobalShortcuts portal is asked for
// them where it has one; the desktop may ask the person and may choose other keys.
// Where there is neither, note() says so. GUI thread only; install() once the
// application exists.
class GlobalShortcuts final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    enum class Action { recordOrStop, pauseOrResume };
    Q_ENUM(Action)
    struct Shortcut {
        Action action;
        QString id;    // the portal's name for it
        QString name;  // what it does, as the account menu says it
        QString keys;  // "Ctrl+Alt+R", or what the desktop chose
        QString note;  // empty when it works, else why not
    };

    explicit GlobalShortcuts(QObject* parent = nullptr);
    ~GlobalShortcuts() override;

    // Takes the keys, or asks the desktop for them (the answer comes with changed()).
    void install();
    const std::vector<Shortcut>& shortcuts() const { return shortcuts_; }
    // Why there are no shortcuts at all; empty when there are.
    const QString& note() const { return note_; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    void activated(brindlow::GlobalShortcuts::Action action);
    void changed();

private Q_SLOTS:
    void portalResponse(uint response, const QVariantMap& results);
    void portalActivated(const QDBusMessage& message);

private:
    struct Grab {
        Action action;
        uint8_t keycode = 0;
        uint32_t lastRelease = 0;  // X time of its last release: a press at that time is a repeat
    };
    enum class Step { none, creatingSession, binding };

    void grabOnX11();
    void releaseX11();
    void askPortal();
    // Calls a portal method whose answer comes as a Response on a request object.
    void request(const QString& method, QVariantList arguments, Step step);
    void bindShortcuts();
    void noShortcuts(const QString& why);

    std::vector<Shortcut> shortcuts_;
    QString note_;
    std::vector<Grab> grabs_;
    uint32_t root_ = 0;
    Step step_ = Step::none;
    QString requestPath_, sessionHandle_;
    int requests_ = 0;
};

}  // namespace brindlow
