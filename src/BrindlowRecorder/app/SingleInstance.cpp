#include "SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalSocket>

namespace brindlow {

namespace {

constexpr char raiseRequest[] = "raise\n";
constexpr char raiseAnswer[] = "ok\n";

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY"}) {
        hash.addData(qgetenv(variable));
        hash.addData(QByteArrayView("\0", 1));
    }
    return QStringLiteral("brindlow-recorder-%1-%2")
        .arg(getuid())
        .arg(QString::fromLatin1(hash.result().toHex().left(16)));
}

bool SingleInstance::askRunningToRaise(int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write(raiseRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    // An instance that is shutting down may accept and never answer: then this launch
    // carries on as the new instance.
    while (socket.bytesAvailable() < qint64(sizeof raiseAnswer - 1)) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    return socket.readAll().startsWith(raiseAnswer);
}

bool SingleInstance::listen(std::function<void()> raise) {
    raise_ = std::move(raise);
    // A socket left behind by an instance that was killed would block the name.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (!socket->canReadLine()) return;
                const QByteArray line = socket->readLine();
                if (line == raiseRequest) {
                    if (raise_) raise_();
                    socket->write(raiseAnswer);
                    socket->flush();
                }
                socket->disconnectFromServer();
            });
        }
    });
    return server_.listen(name_);
}

}  // namespace brindlow
