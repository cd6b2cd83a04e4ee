#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

#include <functional>

namespace brindlow {

// One recorder per user session: a later launch asks the running one to show its
// window and ends. The socket lives in $XDG_RUNTIME_DIR (private to the user), and
// each side checks that the other runs as the same user. Its name covers the home,
// the config folder and the display, so that separate sessions (and tests with homes
// of their own) never meet. Without a private runtime folder there is no name: every
// launch then runs on its own.
class SingleInstance final : public QObject {
    Q_OBJECT

public:
    explicit SingleInstance(QString name = defaultName(), QObject* parent = nullptr);

    // A full path, or empty without a private runtime folder.
    static QString defaultName();

    // True when a running instance answered and was asked to raise its window.
    bool askRunningToRaise(int timeoutMs = 1000);
    // Starts answering later launches; `raise` runs on this thread for each. False when
    // the name could not be taken (the app then simply runs without it).
    bool listen(std::function<void()> raise);

private:
    QString name_;
    QLocalServer server_;
    std::function<void()> raise_;
};

}  // namespace brindlow
