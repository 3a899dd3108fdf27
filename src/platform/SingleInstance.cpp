#include "platform/SingleInstance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>
#include <QtEndian>
#include <unistd.h>

namespace {

// A message is its payload's length (4 bytes, big-endian) and the payload:
// each argument in UTF-8 followed by a NUL (command-line arguments hold none).
// The running instance answers one byte once it has read the whole message.
constexpr qsizetype kLengthBytes = 4;
constexpr quint32 kMaxPayloadBytes = 64 * 1024;
constexpr char kAcknowledgement = '\x06';

QByteArray encode(const QStringList& arguments)
{
    QByteArray payload;
    for (const QString& argument : arguments)
        payload += argument.toUtf8() + '\0';
    QByteArray message(kLengthBytes, Qt::Uninitialized);
    qToBigEndian(quint32(payload.size()), message.data());
    return message + payload;
}

QStringList decode(const QByteArray& payload)
{
    QList<QByteArray> parts = payload.split('\0');
    parts.removeLast();   // after the last terminator (or an unterminated rest)
    QStringList arguments;
    for (const QByteArray& part : parts)
        arguments.append(QString::fromUtf8(part));
    return arguments;
}

int remainingMs(const QDeadlineTimer& deadline)
{
    return int(std::max<qint64>(deadline.remainingTime(), 0));
}

}  // namespace

SingleInstance::SingleInstance(const QString& lockFolder, SingleInstanceTiming timing,
                               QObject* parent)
    : QObject(parent)
    , m_lockFolder(lockFolder)
    , m_timing(timing)
    , m_lock(lockFolder + QLatin1Char('/') + QLatin1String(kLockFileName))
{
    // Stale only when its owner is gone, however long a running instance lives.
    m_lock.setStaleLockTime(0);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
}

QString SingleInstance::serverName()
{
    // The runtime folder is the user's own (0700), so no other user can
    // stand in for the running instance and receive its callback URLs.
    const QString name = QStringLiteral("talvex-%1").arg(::getuid());
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return folder.isEmpty() ? name : folder + QLatin1Char('/') + name;
}

QList<QUrl> SingleInstance::callbackUrls(const QStringList& arguments)
{
    QList<QUrl> urls;
    for (const QString& argument : arguments) {
        const QUrl url(argument);
        if (url.isValid() && url.scheme() == QLatin1String(kUrlScheme))
            urls.append(url);
    }
    return urls;
}

SingleInstance::Outcome SingleInstance::start(const QStringList& arguments)
{
    m_error.clear();
    QDir().mkpath(m_lockFolder);
    if (m_lock.tryLock(0))   // also takes over a lock whose owner is gone
        return becomePrimary();
    if (m_lock.error() != QLockFile::LockFailedError) {
        m_error = QStringLiteral("cannot create the lock file %1").arg(m_lock.fileName());
        return Outcome::failed;
    }
    if (forward(arguments))
        return Outcome::forwarded;
    // Nobody answered. QLockFile cannot judge a lock file it cannot read (a
    // crash while it was written); the file system lock on it can: the
    // removal succeeds only when no live process holds it.
    if (m_lock.removeStaleLockFile() && m_lock.tryLock(0))
        return becomePrimary();
    m_error = QStringLiteral("Talvex is already running but does not answer: %1").arg(m_error);
    return Outcome::failed;
}

SingleInstance::Outcome SingleInstance::becomePrimary()
{
    m_error.clear();
    // Holding the lock, a socket file left under the name is a dead
    // instance's: remove it rather than rely on listen() replacing it.
    QLocalServer::removeServer(serverName());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(serverName()))
        m_error = QStringLiteral("cannot listen on %1: %2")
                      .arg(serverName(), m_server.errorString());
    return Outcome::primary;
}

bool SingleInstance::forward(const QStringList& arguments)
{
    const QDeadlineTimer deadline(m_timing.forwardTimeout);
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(remainingMs(deadline))) {
        m_error = socket.errorString();
        return false;
    }
    socket.write(encode(arguments));
    socket.flush();
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(remainingMs(deadline))) {
            m_error = socket.errorString();
            return false;
        }
    }
    if (socket.read(1) != QByteArray(1, kAcknowledgement)) {
        m_error = QStringLiteral("unexpected answer");
        return false;
    }
    return true;
}

void SingleInstance::accept()
{
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { receive(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        // A launch that never completes its message does not keep its connection.
        QTimer::singleShot(m_timing.receiveTimeout, socket, &QLocalSocket::abort);
        receive(socket);
    }
}

void SingleInstance::receive(QLocalSocket* socket)
{
    if (socket->bytesAvailable() < kLengthBytes)
        return;
    const quint32 length = qFromBigEndian<quint32>(socket->peek(kLengthBytes).constData());
    if (length > kMaxPayloadBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < kLengthBytes + qint64(length))
        return;
    socket->skip(kLengthBytes);
    const QStringList arguments = decode(socket->read(length));
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);   // one message per connection
    socket->write(QByteArray(1, kAcknowledgement));
    socket->disconnectFromServer();
    deliver(arguments);
}

void SingleInstance::deliver(const QStringList& arguments)
{
    const QList<QUrl> urls = callbackUrls(arguments);
    if (urls.isEmpty())
        emit activationRequested();
    for (const QUrl& url : urls)
        emit urlReceived(url);
}
