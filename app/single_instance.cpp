#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QThread>
#include <cerrno>

namespace {

constexpr char kConfirmation[] = "ok\n";
constexpr int kRequestLimit = 256;

QString fileNamePart(const QString& text) {
    QString out;
    for (QChar c : text) out += (c.isLetterOrNumber() || c == '-' || c == '_') ? c : QChar('_');
    return out;
}

}  // namespace

SingleInstance::SingleInstance(const QString& dir, const QString& key) : dir_(dir), key_(fileNamePart(key)) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();
    if (lockFd_ >= 0)
        ::close(lockFd_);  // releases the lock
}

QString SingleInstance::DefaultDir() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
        return QString::fromLocal8Bit(runtime);
    const QString dir = QDir::tempPath() + "/postwren-" + QString::number(::getuid());
    ::mkdir(QFile::encodeName(dir).constData(), 0700);
    return dir;
}

QString SingleInstance::DefaultKey() {
    const QString wayland = QString::fromLocal8Bit(qgetenv("WAYLAND_DISPLAY"));
    if (!wayland.isEmpty())
        return wayland;
    QString x = QString::fromLocal8Bit(qgetenv("DISPLAY"));
    // ":1.0" and ":1" are the same display.
    const int colon = x.lastIndexOf(':');
    const int dot = x.lastIndexOf('.');
    if (colon >= 0 && dot > colon)
        x.truncate(dot);
    return x.isEmpty() ? QStringLiteral("none") : x;
}

bool SingleInstance::Acquire() {
    const QByteArray lockPath = QFile::encodeName(LockPath());
    lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0)
        return true;
    // The kernel drops the lock when its holder dies, so a crashed process
    // leaves only a file behind, never a lock.
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(lockFd_);
        lockFd_ = -1;
        return !held;
    }
    // Whatever socket is there was left by a process that held the lock before.
    QLocalServer::removeServer(SocketPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() > kRequestLimit)
                        peer->abort();
                    return;
                }
                const QByteArray request = peer->readLine(kRequestLimit).trimmed();
                peer->write(kConfirmation);
                peer->flush();
                if (OnRequest)
                    OnRequest(request);
            });
        }
    });
    server_->listen(SocketPath());
    return true;
}

bool SingleInstance::Send(const QByteArray& request, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // The first instance may hold the lock and not listen yet.
    while (true) {
        QLocalSocket socket;
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.write(request + "\n");
            if (!socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
                return false;
            while (!socket.canReadLine())
                if (!socket.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
                    return false;
            return socket.readLine() == kConfirmation;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(20);
    }
}
