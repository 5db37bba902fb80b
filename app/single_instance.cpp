#include "app/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QSysInfo>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr char kConfirmation[] = "ok\n";
constexpr char kLineFeed = '\n';
constexpr qint64 kMsPerSecond = 1000;
constexpr mode_t kPrivateDirMode = 0700;
// Fallback folders in the temporary directory: the plain name, then a few
// more, so that one another user made first does not leave the user unguarded.
constexpr int kFallbackDirs = 4;
// How long a start that cannot lock waits for an instance listening where
// the lock should be.
constexpr int kUnlockedAskMs = 2000;
// A start that was not answered tries again after a pause that doubles, from
// the first to the last of these.
constexpr int kFirstRetryPauseMs = 20;
constexpr int kMaxRetryPauseMs = 320;

QString errnoText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString fileNamePart(const QString& text) {
    QString out;
    for (QChar c : text) out += (c.isLetterOrNumber() || c == '-' || c == '_') ? c : QChar('_');
    return out;
}

// The steady clock the connection budget is counted on, in milliseconds.
qint64 steadyMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

}  // namespace

int InstanceRequestReader::Room() const {
    return state_ == State::Reading ? kMaxRequestBytes + 1 - static_cast<int>(buffer_.size()) : 0;
}

InstanceRequestReader::State InstanceRequestReader::Take(const QByteArray& bytes) {
    if (state_ != State::Reading)
        return state_;
    buffer_ += bytes.left(Room());
    const qsizetype end = buffer_.indexOf(kLineFeed);
    if (end >= 0) {
        request_ = buffer_.left(end).trimmed();
        state_ = State::Done;
    } else if (buffer_.size() > kMaxRequestBytes) {
        state_ = State::Refused;
    }
    if (state_ != State::Reading)
        buffer_.clear();
    return state_;
}

SingleInstance::SingleInstance(const QString& dir, const QString& key) : dir_(dir), key_(fileNamePart(key)) {}

SingleInstance::~SingleInstance() {
    if (server_)
        server_->close();
    if (lockFd_ >= 0)
        ::close(lockFd_);  // releases the lock
}

std::vector<GuardDir> SingleInstance::DefaultDirs() {
    std::vector<GuardDir> dirs;
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty())
        dirs.push_back({QString::fromLocal8Bit(runtime), false});
    const QString fallback = QDir::tempPath() + "/postwren-" + QString::number(::getuid());
    dirs.push_back({fallback, true});
    for (int i = 1; i < kFallbackDirs; ++i) dirs.push_back({fallback + "-" + QString::number(i), true});
    // Another user may have planted something under every name above; none
    // can make anything in this user's own folders. The machine's name keeps
    // two machines that share the home folder apart.
    QString cache = QString::fromLocal8Bit(qgetenv("XDG_CACHE_HOME"));
    if (cache.isEmpty() || !QDir::isAbsolutePath(cache))
        cache = QDir::homePath() + "/.cache";
    dirs.push_back({cache + "/postwren-" + fileNamePart(QSysInfo::machineHostName()), true});
    return dirs;
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

bool SingleInstance::IsPrivateDir(const QString& dir, bool make, QString& why) {
    const QByteArray path = QFile::encodeName(dir);
    // A missing parent (a new user's cache folder) is made private too.
    if (make)
        ::mkdir(QFile::encodeName(QFileInfo(dir).path()).constData(), kPrivateDirMode);
    if (make && ::mkdir(path.constData(), kPrivateDirMode) == 0) {
        // Made just now by this user: only the umask can have taken bits away.
        ::chmod(path.constData(), kPrivateDirMode);
    }
    struct stat st {};
    // Not followed: a link another user left would lead to a folder of theirs.
    if (::lstat(path.constData(), &st) != 0) {
        why = errnoText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        why = QStringLiteral("not a folder");
        return false;
    }
    if (st.st_uid != ::getuid()) {
        why = QStringLiteral("owned by user id %1, not by this user").arg(st.st_uid);
        return false;
    }
    const mode_t mode = st.st_mode & 0777;
    // A folder made as a fallback must be exactly what this program makes;
    // the runtime directory only private.
    if (make ? mode != kPrivateDirMode : (mode & 0077) != 0) {
        why = QStringLiteral("open to other users (mode %1)").arg(mode, 4, 8, QChar('0'));
        return false;
    }
    return true;
}

SingleInstance::LockResult SingleInstance::Acquire() {
    const QByteArray lockPath = QFile::encodeName(LockPath());
    lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        lockError_ = errnoText(errno);
        return LockResult::Unavailable;
    }
    // The kernel drops the lock when its holder dies, so a crashed process
    // leaves only a file behind, never a lock.
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(lockFd_);
        lockFd_ = -1;
        if (error == EWOULDBLOCK)
            return LockResult::HeldByAnother;
        lockError_ = errnoText(error);
        return LockResult::Unavailable;
    }
    listen();
    return LockResult::Taken;
}

bool SingleInstance::Listening() const {
    return server_ && server_->isListening();
}

void SingleInstance::listen() {
    // Whatever socket is there was left by a process that held the lock before.
    QLocalServer::removeServer(SocketPath());
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [this] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) accept(peer);
    });
    if (!server_->listen(SocketPath()))
        lockError_ = server_->errorString();
}

void SingleInstance::accept(QLocalSocket* peer) {
    QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
    const qint64 now = steadyMs();
    if (secondStartMs_ < 0 || now - secondStartMs_ >= kMsPerSecond) {
        secondStartMs_ = now;
        connectionsThisSecond_ = 0;
    }
    // The peers not yet deleted, this one included.
    const auto open = server_->findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly).size();
    if (++connectionsThisSecond_ > kMaxConnectionsPerSecond || open > kMaxOpenConnections) {
        peer->abort();
        peer->deleteLater();
        return;
    }
    // Qt reads no further ahead than this, so a flood stays in the kernel's
    // buffer (and then with its writer) instead of in this process.
    peer->setReadBufferSize(InstanceRequestReader::kMaxRequestBytes + 1);
    QTimer::singleShot(kRequestWaitMs, peer, [peer] { peer->abort(); });
    auto reader = std::make_shared<InstanceRequestReader>();
    QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer, reader] {
        // Answered already: whatever else it sends is never read.
        if (reader->Current() != InstanceRequestReader::State::Reading)
            return;
        while (reader->Room() > 0 && peer->bytesAvailable() > 0) reader->Take(peer->read(reader->Room()));
        switch (reader->Current()) {
            case InstanceRequestReader::State::Reading:
                return;
            case InstanceRequestReader::State::Refused:
                peer->abort();
                return;
            case InstanceRequestReader::State::Done:
                break;
        }
        peer->write(kConfirmation);
        peer->flush();
        peer->disconnectFromServer();
        deliver(reader->Request());
    });
}

void SingleInstance::deliver(const QByteArray& request) {
    // One at a time: a check that runs (or waits to) is the answer to every
    // request that comes meanwhile.
    if (requestBusy_)
        return;
    requestBusy_ = true;
    QTimer::singleShot(0, server_.get(), [this, request] {
        struct Done {
            bool& busy;
            ~Done() { busy = false; }
        } done{requestBusy_};
        if (OnRequest)
            OnRequest(request);
    });
}

bool SingleInstance::Send(const QByteArray& request, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    int pauseMs = kFirstRetryPauseMs;
    // The first instance may hold the lock and not listen yet, and one that
    // took its budget of connections for this second closes the others
    // unanswered; both take this start a little later.
    while (true) {
        QLocalSocket socket;
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(static_cast<int>(deadline.remainingTime()))) {
            socket.write(request + "\n");
            if (socket.waitForBytesWritten(static_cast<int>(deadline.remainingTime())))
                while (!socket.canReadLine() && socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()))) {
                }
            if (socket.canReadLine())
                return socket.readLine() == kConfirmation;
        }
        if (deadline.hasExpired())
            return false;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(pauseMs, deadline.remainingTime())));
        pauseMs = std::min(2 * pauseMs, kMaxRetryPauseMs);
    }
}

GuardedStart GuardStart(const std::vector<GuardDir>& dirs, const QString& key, const QByteArray& request,
                        int timeoutMs) {
    GuardedStart start;
    for (const GuardDir& dir : dirs) {
        QString why;
        if (!SingleInstance::IsPrivateDir(dir.path, dir.make, why)) {
            // A runtime directory that does not exist is common; a fallback
            // that is not ours may be another user's doing and is always
            // worth a line.
            if (dir.make || QFileInfo::exists(dir.path))
                start.warnings << QStringLiteral("not keeping the single-instance lock in %1: %2").arg(dir.path, why);
            continue;
        }
        auto instance = std::make_unique<SingleInstance>(dir.path, key);
        switch (instance->Acquire()) {
            case SingleInstance::LockResult::Taken:
                if (!instance->Listening())
                    start.warnings << QStringLiteral("cannot listen on %1 (%2): a later start cannot reach this one")
                                          .arg(instance->SocketPath(), instance->LockError());
                start.instance = std::move(instance);
                return start;
            case SingleInstance::LockResult::HeldByAnother:
                if (instance->Send(request, timeoutMs)) {
                    start.verdict = GuardedStart::Verdict::HandedOver;
                } else {
                    start.verdict = GuardedStart::Verdict::NoAnswer;
                    start.heldLock = instance->LockPath();
                }
                return start;
            case SingleInstance::LockResult::Unavailable:
                // An instance that made its lock here before may still listen.
                if (QFileInfo::exists(instance->SocketPath()) && instance->Send(request, kUnlockedAskMs)) {
                    start.verdict = GuardedStart::Verdict::HandedOver;
                    return start;
                }
                start.warnings << QStringLiteral("cannot make the single-instance lock %1: %2")
                                      .arg(instance->LockPath(), instance->LockError());
                break;
        }
    }
    start.warnings << QStringLiteral("running without the single-instance guard: a second start will not be stopped");
    return start;
}
