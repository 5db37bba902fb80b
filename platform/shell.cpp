#include "platform/shell.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>
#include <cerrno>
#include <thread>

extern char** environ;

namespace platform {
namespace {

// How often a waiting open looks at the opener, and how often openers that
// outlived the wait are looked for afterwards.
constexpr int kOpenerPollMs = 10;
constexpr int kReapIntervalMs = 2000;
// xdg-open's exit status when the file does not exist.
constexpr int kOpenerExitFileNotFound = 2;

// "https://...", "mailto:...": a scheme of two or more characters before the colon.
bool looksLikeAddress(const QString& target) {
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]+:"));
    return scheme.match(target).hasMatch();
}

// Openers that were still running when Open returned are our children until
// they end; collect them from the event loop so none is left a zombie.
class OpenerReaper final : public QObject {
public:
    static void adopt(pid_t pid) {
        static OpenerReaper* reaper = nullptr;
        if (reaper == nullptr)
            reaper = new OpenerReaper(QCoreApplication::instance());
        reaper->pids_.push_back(pid);
        if (!reaper->timer_.isActive())
            reaper->timer_.start(kReapIntervalMs);
    }

private:
    explicit OpenerReaper(QObject* parent) : QObject(parent) {
        connect(&timer_, &QTimer::timeout, this, [this] { reap(); });
    }
    void reap() {
        std::erase_if(pids_, [](pid_t pid) {
            int status = 0;
            const pid_t r = ::waitpid(pid, &status, WNOHANG);
            return r == pid || (r < 0 && errno == ECHILD);
        });
        if (pids_.empty())
            timer_.stop();
    }

    std::vector<pid_t> pids_;
    QTimer timer_;
};

}  // namespace

DesktopShell::DesktopShell(QString opener, int verdictMs) : opener_(std::move(opener)), verdictMs_(verdictMs) {}
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

    // The opener answers quickly when it hands the target over, or when it
    // refuses; one still running after the wait is busy opening it.
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                return kShellOpenSucceeded;
            if (WIFEXITED(status) && WEXITSTATUS(status) == kOpenerExitFileNotFound)
                return SE_ERR_FNF;
            return SE_ERR_NOASSOC;
        }
        if (r < 0 && errno != EINTR)
            return kShellOpenSucceeded;  // reaped elsewhere: nothing to say against it
        if (clock.elapsed() >= verdictMs_)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(kOpenerPollMs));
    }
    OpenerReaper::adopt(pid);
    return kShellOpenSucceeded;
}

}  // namespace platform
