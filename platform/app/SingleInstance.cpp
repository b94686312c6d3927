// The hand-over on the socket: the later start writes the message's length
// (4 bytes, big-endian) and its UTF-8 bytes; the first instance answers with
// one byte once it has passed the message on, and closes.
#include "platform/app/SingleInstance.h"
#include "platform/app/RuntimeDir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QtEndian>

namespace pallorwind::platform {
namespace {

constexpr char kAck = 0x06;
// A connection that has not said its piece by then is closed.
constexpr int kIdleMs = 5000;

int Left(const QElapsedTimer& clock, std::chrono::milliseconds timeout) {
    return int(std::max<qint64>(1, timeout.count() - clock.elapsed()));
}

} // namespace

SingleInstance::SingleInstance(const QString& key, const QString& folder) {
    const QString dir = folder.isEmpty() ? QString::fromStdString(UserRuntimeDir().path) : folder;
    // Without a private folder there is no socket: a shared one would let
    // other users in.
    if (!dir.isEmpty())
        m_name = QDir(dir).filePath(key + ".socket");
}

SingleInstance::~SingleInstance() {
    if (m_server)
        m_server->close(); // removes the socket file
}

SingleInstance::Result SingleInstance::Start(const QString& message, MessageHandler onMessage,
                                             std::chrono::milliseconds timeout) {
    if (m_name.isEmpty())
        return Result::Unavailable;
    // Two starts at the same moment take turns: one listens, the other
    // then finds it. QLockFile takes over a lock whose owner has died.
    QLockFile lock(m_name + ".lock");
    if (!lock.tryLock(int(timeout.count())))
        return lock.error() == QLockFile::LockFailedError ? Result::Failed : Result::Unavailable;
    bool nobodyThere = false;
    const Result delivered = Deliver(message, timeout, nobodyThere);
    // A first instance that is there but does not answer keeps its socket.
    if (!nobodyThere)
        return delivered;
    m_onMessage = std::move(onMessage);
    return Listen() ? Result::First : Result::Unavailable;
}

SingleInstance::Result SingleInstance::Deliver(const QString& message,
                                               std::chrono::milliseconds timeout,
                                               bool& nobodyThere) {
    QElapsedTimer clock;
    clock.start();
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (!socket.waitForConnected(Left(clock, timeout))) {
        // No socket, or one that an instance which crashed left behind.
        nobodyThere = socket.error() == QLocalSocket::ServerNotFoundError ||
                      socket.error() == QLocalSocket::ConnectionRefusedError;
        return Result::Failed;
    }
    const QByteArray bytes = message.toUtf8();
    if (bytes.size() > kMaxMessage)
        return Result::Failed; // not cut: a cut path names another file
    char length[4];
    qToBigEndian<quint32>(quint32(bytes.size()), length);
    socket.write(length, sizeof length);
    socket.write(bytes);
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(Left(clock, timeout)))
            return Result::Failed;
    while (socket.bytesAvailable() < 1)
        if (!socket.waitForReadyRead(Left(clock, timeout)))
            return Result::Failed;
    char answer = 0;
    socket.getChar(&answer);
    return answer == kAck ? Result::Delivered : Result::Failed;
}

bool SingleInstance::Listen() {
    // With the lock held and nobody answering, a socket file is stale.
    QLocalServer::removeServer(m_name);
    m_server = std::make_unique<QLocalServer>();
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        m_server.reset();
        return false;
    }
    QObject::connect(m_server.get(), &QLocalServer::newConnection, [this] { Accept(); });
    return true;
}

void SingleInstance::Accept() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kIdleMs, socket, [socket] { socket->abort(); });
        QObject::connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
            if (socket->bytesAvailable() < 4)
                return;
            char length[4];
            socket->peek(length, sizeof length);
            const quint32 size = qFromBigEndian<quint32>(length);
            if (size > quint32(kMaxMessage)) {
                socket->abort();
                return;
            }
            if (socket->bytesAvailable() < qint64(4 + size))
                return;
            socket->skip(4);
            const QString message = QString::fromUtf8(socket->read(qint64(size)));
            if (m_onMessage)
                m_onMessage(message);
            socket->putChar(kAck);
            socket->disconnectFromServer();
        });
    }
}

} // namespace pallorwind::platform
