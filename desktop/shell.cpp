#include "desktop/shell.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <utility>

#include "core/log.h"

extern char** environ;

namespace platform {
namespace {

// How often an opener is looked at where the kernel cannot say when it ends.
constexpr int kOpenerPollMs = 250;

// "https://...", "mailto:...": a scheme of two or more characters before the colon.
bool looksLikeAddress(const QString& target) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(target).hasMatch();
}

// Follows one opener, our child, from the event loop until it ends; then
// reaps it, reports a refusal and deletes itself. The process descriptor
// becomes readable when the opener ends; kernels without process descriptors
// get a timer that looks now and then.
class OpenerWatch final : public QObject {
public:
    // Takes charge of `pid`. Without an application object there is no event
    // loop to follow it from; it then stays unreaped until we exit.
    static void Follow(Log& log, pid_t pid, QString opener, QString target) {
        if (QCoreApplication::instance() != nullptr)
            new OpenerWatch(log, pid, std::move(opener), std::move(target), QCoreApplication::instance());
    }

    ~OpenerWatch() override {
        if (pidfd_ >= 0)
            ::close(pidfd_);
    }
    OpenerWatch(const OpenerWatch&) = delete;
    OpenerWatch& operator=(const OpenerWatch&) = delete;

private:
    OpenerWatch(Log& log, pid_t pid, QString opener, QString target, QObject* parent)
        : QObject(parent), log_(log), pid_(pid), opener_(std::move(opener)), target_(std::move(target)) {
        // WORKAROUND: glibc 2.36's <sys/pidfd.h> lacks the C linkage for C++;
        // the system call itself is the same.
        pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        if (pidfd_ >= 0) {
            notifier_ = new QSocketNotifier(pidfd_, QSocketNotifier::Read, this);
            connect(notifier_, &QSocketNotifier::activated, this, [this] { look(); });
        } else {
            timer_ = new QTimer(this);
            connect(timer_, &QTimer::timeout, this, [this] { look(); });
            timer_->start(kOpenerPollMs);
        }
    }

    void look() {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == 0 || (r < 0 && errno == EINTR))
            return;  // still running
        // The descriptor stays readable: no more looks until the deletion.
        if (notifier_ != nullptr)
            notifier_->setEnabled(false);
        if (timer_ != nullptr)
            timer_->stop();
        if (r == pid_)
            report(status);
        // r < 0 otherwise: reaped elsewhere, nothing left to learn.
        deleteLater();
    }

    void report(int status) const {
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return;
        const QString how = WIFEXITED(status) ? QStringLiteral("exit status %1").arg(WEXITSTATUS(status))
                                              : QStringLiteral("signal %1").arg(WTERMSIG(status));
        log_.Line(QStringLiteral("%1 did not open %2 (%3)").arg(opener_, target_, how).toStdString());
    }

    Log& log_;
    pid_t pid_;
    int pidfd_ = -1;
    QSocketNotifier* notifier_ = nullptr;  // owned as a child, with a descriptor
    QTimer* timer_ = nullptr;              // owned as a child, without one
    QString opener_;
    QString target_;
};

}  // namespace

DesktopShell::DesktopShell(Log& log, QString opener) : log_(log), opener_(std::move(opener)) {}
DesktopShell::~DesktopShell() = default;

int DesktopShell::Open(const QString& target) {
    if (target.isEmpty())
        return SE_ERR_FNF;
    const QFileInfo info(target);
    if (!info.exists()) {
        if (looksLikeAddress(target))
            return openWithOpener(target);
        return SE_ERR_FNF;
    }
    if (info.isFile() && info.isExecutable()) {
        // Started directly, without a shell, so nothing in the path is interpreted.
        if (!QProcess::startDetached(info.absoluteFilePath(), {}))
            return SE_ERR_BADFORMAT;
        return kShellOpenSucceeded;
    }
    if (!info.isReadable())
        return SE_ERR_ACCESSDENIED;
    return openWithOpener(info.absoluteFilePath());
}

int DesktopShell::openWithOpener(const QString& target) {
    const QByteArray program = opener_.toLocal8Bit();
    const QByteArray argument = target.toLocal8Bit();
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>(argument.constData()), nullptr};

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A session of its own: the opened program outlives us and our terminal.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int err = ::posix_spawnp(&pid, program.constData(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (err != 0)
        return SE_ERR_NOASSOC;

    // posix_spawn reports a failed exec itself, so a missing opener is known
    // here; whether it takes the target is known only when it ends.
    OpenerWatch::Follow(log_, pid, opener_, target);
    return kShellOpenSucceeded;
}

}  // namespace platform
