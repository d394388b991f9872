#include "gui/uMainInstance.h"

#include "platform/AppPaths.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>

#include <deque>

namespace {

const QByteArray kShow = QByteArrayLiteral("show\n");
const QByteArray kShown = QByteArrayLiteral("shown\n");
constexpr int kMaxRequest = 64; // a longer line is nobody's request
// A connection that has not asked within this time is closed. Every
// connection is accepted at once, so that a second start never waits behind
// idle ones; with more than kMaxServed open the oldest is closed.
constexpr int kRequestTimeoutMs = 2000;
constexpr int kMaxServed = 8;

} // namespace

QString InstanceSocketPath(const QString& appDir) {
    return appDir + QLatin1Char('/') + platform::AppBaseName() + QStringLiteral(".socket");
}

TInstanceServer::TInstanceServer(std::function<void()> onShow, QObject* parent)
    : QObject(parent), OnShow_(std::move(onShow)), Server_(new QLocalServer(this)) {
    // Only this user may ask: the socket file gets the owner's rights alone.
    Server_->setSocketOptions(QLocalServer::UserAccessOption);

    connect(Server_, &QLocalServer::newConnection, this, &TInstanceServer::Serve);
}

TInstanceServer::~TInstanceServer() {
    // Closing removes the socket file: a later start finds no stale one.
    Server_->close();
}

bool TInstanceServer::Listen(const QString& path, QString* error) {
    QLocalServer::removeServer(path);
    if (Server_->listen(path))
        return true;
    if (error)
        *error = path + QStringLiteral(": ") + Server_->errorString();
    return false;
}

void TInstanceServer::Serve() {
    while (QLocalSocket* socket = Server_->nextPendingConnection()) {
        // The oldest goes first: an idle flood costs the newest asker
        // nothing.
        std::erase_if(Open_, [](const QPointer<QLocalSocket>& s) { return s.isNull(); });
        while (Open_.size() >= kMaxServed) {
            if (QLocalSocket* oldest = Open_.front()) {
                oldest->abort();
                oldest->deleteLater();
            }
            Open_.pop_front();
        }
        Open_.emplace_back(socket);
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kRequestTimeoutMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        // The request arrives in its own time; the main thread never waits
        // for a peer.
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequest)
                    socket->abort();
                return;
            }
            const QByteArray line = socket->readLine(kMaxRequest + 1);
            if (line != kShow) {
                socket->abort();
                return;
            }
            const QPointer<QLocalSocket> alive(socket);
            if (OnShow_)
                OnShow_();
            if (alive) {
                alive->write(kShown);
                alive->disconnectFromServer();
            }
        });
    }
}

bool AskRunningInstanceToShow(const QString& path, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(kShow);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    return socket.readLine(kMaxRequest + 1) == kShown;
}
