#include "SingleInstance.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QLocalSocket>

namespace brindlow {

namespace {

constexpr char raiseRequest[] = "raise\n";
constexpr char raiseAnswer[] = "ok\n";

// Whether the other end of a connected local socket runs as this user.
bool peerIsUs(qintptr fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    return fd >= 0 && ::getsockopt(int(fd), SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && peer.uid == ::getuid();
}

// $XDG_RUNTIME_DIR when it is a folder of ours that nobody else may enter; nothing else
// will do, since any other account could take a name in a shared folder first.
QString privateRuntimeDirectory() {
    const QByteArray dir = qgetenv("XDG_RUNTIME_DIR");
    struct stat st {};
    if (!dir.startsWith('/') || ::lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 077) != 0)
        return {};
    return QString::fromLocal8Bit(dir);
}

}  // namespace

SingleInstance::SingleInstance(QString name, QObject* parent) : QObject(parent), name_(std::move(name)) {}

QString SingleInstance::defaultName() {
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "DISPLAY", "WAYLAND_DISPLAY"}) {
        hash.addData(qgetenv(variable));
        hash.addData(QByteArrayView("\0", 1));
    }
    const QString dir = privateRuntimeDirectory();
    if (dir.isEmpty()) return {};
    return dir + QStringLiteral("/brindlow-recorder-%1").arg(QString::fromLatin1(hash.result().toHex().left(16)));
}

bool SingleInstance::askRunningToRaise(int timeoutMs) {
    if (name_.isEmpty()) return false;
    QLocalSocket socket;
    socket.connectToServer(name_);
    if (!socket.waitForConnected(timeoutMs)) return false;
    // Only our own account's instance is trusted to have taken over.
    if (!peerIsUs(socket.socketDescriptor())) return false;
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
    if (name_.isEmpty()) return false;
    // A socket left behind by an instance that was killed would block the name.
    QLocalServer::removeServer(name_);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (!peerIsUs(socket->socketDescriptor())) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
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
