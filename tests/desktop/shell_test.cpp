#include "desktop/shell.h"
#include "tests/support/recording_log.h"
#include "tests/support/wait.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <functional>
#include <string>

#include "core/event_wait.h"

namespace {

using testing_support::WaitUntil;

using platform::DesktopShell;
using platform::kShellOpenFailureMax;

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll()).trimmed();
}

class ShellOpen : public testing::Test {
protected:
    RecordingLog log;

protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }

    QString path(const QString& name) const { return dir_.filePath(name); }

    // A shell script; executable unless told otherwise.
    QString script(const QString& name, const QString& body, bool executable = true) {
        const QString p = path(name);
        QFile f(p);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(("#!/bin/sh\n" + body + "\n").toUtf8());
        f.close();
        QFileDevice::Permissions perms = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
        if (executable)
            perms |= QFileDevice::ExeOwner;
        EXPECT_TRUE(f.setPermissions(perms));
        return p;
    }

    // An opener that writes what it was given to a marker and answers `status`.
    QString opener(int status) {
        return script(QStringLiteral("opener"),
                      QStringLiteral("printf '%s' \"$1\" > '%1'\nexit %2").arg(path("opened")).arg(status));
    }

    QTemporaryDir dir_;
};

TEST_F(ShellOpen, AnExecutableFileStartsAndSucceeds) {
    const QString mailer =
        script(QStringLiteral("メーラー"), QStringLiteral("echo started > '%1'").arg(path("marker")));
    DesktopShell shell(log, path("no-opener"));
    EXPECT_GT(shell.Open(mailer), kShellOpenFailureMax);
    ASSERT_TRUE(WaitUntil([&] { return readAll(path("marker")) == QStringLiteral("started"); }));
}

TEST_F(ShellOpen, MissingEmptyAndUnstartableFilesFail) {
    DesktopShell shell(log, opener(0));
    EXPECT_EQ(shell.Open(path("does-not-exist")), platform::SE_ERR_FNF);
    EXPECT_EQ(shell.Open(QString()), platform::SE_ERR_FNF);
    // Executable, but nothing the system can run.
    QFile junk(path("junk"));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(
        "\x7f"
        "ELF garbage");
    junk.close();
    ASSERT_TRUE(junk.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    EXPECT_LE(shell.Open(path("junk")), kShellOpenFailureMax);
    EXPECT_FALSE(QFile::exists(path("opened")));  // none of these reached the opener
}

TEST_F(ShellOpen, OtherFilesAndAddressesGoToTheOpener) {
    DesktopShell shell(log, opener(0));
    const QString doc = script(QStringLiteral("notes.txt"), QString(), false);
    EXPECT_EQ(shell.Open(doc), platform::kShellOpenSucceeded);
    EXPECT_TRUE(WaitUntil([&] { return readAll(path("opened")) == doc; })) << readAll(path("opened")).toStdString();

    const QString address = QStringLiteral("https://example.org/~author/");
    EXPECT_GT(shell.Open(address), kShellOpenFailureMax);
    EXPECT_TRUE(WaitUntil([&] { return readAll(path("opened")) == address; })) << readAll(path("opened")).toStdString();

    // A relative name is made absolute against the current folder.
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    const int r = shell.Open(QStringLiteral("notes.txt"));
    QDir::setCurrent(saved);
    EXPECT_GT(r, kShellOpenFailureMax);
    EXPECT_TRUE(WaitUntil([&] { return readAll(path("opened")) == doc; })) << readAll(path("opened")).toStdString();
}

// True while `pid` is a process (running, or ended and not reaped) whose parent we are.
bool isOurChild(qint64 pid) {
    const QString stat = readAll(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype commEnd = stat.lastIndexOf(QLatin1Char(')'));
    if (commEnd < 0)
        return false;
    // After the command's name: the state, then the parent's id.
    const QStringList fields = stat.mid(commEnd + 2).split(QLatin1Char(' '));
    return fields.size() > 1 && fields[1].toLongLong() == ::getpid();
}

// An opener that tells its process id, then waits until the test lets it end
// with a status of its choice (a line on the opener's fifo; it gives up by
// itself after a minute).
class SlowOpener : public ShellOpen {
protected:
    void SetUp() override {
        ShellOpen::SetUp();
        fifo_ = path("release");
        ASSERT_EQ(::mkfifo(QFile::encodeName(fifo_).constData(), 0600), 0);
        opener_ =
            script(QStringLiteral("slow-opener"), QStringLiteral("exec 3<>'%1'\n"
                                                                 "echo $$ > '%2'\n"
                                                                 "status=$(timeout 60 head -n 1 <&3) || status=99\n"
                                                                 "echo \"$1\" > '%3'\n"
                                                                 "exit $status")
                                                      .arg(fifo_, path("pid"), path("opened")));
    }
    void TearDown() override { release(0); }

    // The opener's process id, once it has started.
    qint64 openerPid() {
        qint64 pid = 0;
        WaitUntil([&] { return (pid = readAll(path("pid")).toLongLong()) > 0; });
        return pid;
    }
    // Without blocking: an opener that never started has no end to read from.
    void release(int status) {
        if (released_)
            return;
        released_ = true;
        const int fd = ::open(QFile::encodeName(fifo_).constData(), O_WRONLY | O_NONBLOCK);
        if (fd < 0)
            return;
        const QByteArray line = QByteArray::number(status) + "\n";
        EXPECT_EQ(::write(fd, line.constData(), line.size()), line.size());
        ::close(fd);
    }

    QString fifo_;
    QString opener_;
    bool released_ = false;
};

TEST_F(SlowOpener, OpenDoesNotWaitForTheOpenerWhichIsReapedWhenItEnds) {
    DesktopShell shell(log, opener_);
    const QString doc = script(QStringLiteral("doc"), QString(), false);
    // The opener cannot end before it is released below; Open answers anyway.
    EXPECT_EQ(shell.Open(doc), platform::kShellOpenSucceeded);
    const qint64 pid = openerPid();
    ASSERT_GT(pid, 0) << "the opener did not start";
    EXPECT_TRUE(isOurChild(pid));
    EXPECT_FALSE(QFile::exists(path("opened")));

    release(0);
    EXPECT_TRUE(WaitUntil([&] { return readAll(path("opened")) == doc; }));
    // Reaped from the message loop: no process of ours, running or zombie, is left.
    EXPECT_TRUE(WaitUntil([&] { return !isOurChild(pid); }));
}

TEST_F(SlowOpener, ARefusalAfterOpenReturnedIsReportedAndReaped) {
    DesktopShell shell(log, opener_);
    const QString doc = script(QStringLiteral("data.bin"), QString(), false);
    // Whether the opener takes the file is not known yet: starting it is success.
    EXPECT_EQ(shell.Open(doc), platform::kShellOpenSucceeded);
    const qint64 pid = openerPid();
    ASSERT_GT(pid, 0) << "the opener did not start";

    release(4);
    const bool reaped = WaitUntil([&] { return !isOurChild(pid); });
    const std::string said = log.lines.empty() ? std::string() : log.lines.back();
    EXPECT_TRUE(reaped);
    EXPECT_NE(said.find(QStringLiteral("%1 did not open %2 (exit status 4)").arg(opener_, doc).toStdString()),
              std::string::npos)
        << said;
}

TEST_F(ShellOpen, AMissingOpenerFailsAtOnce) {
    const QString doc = script(QStringLiteral("data.bin"), QString(), false);
    DesktopShell missing(log, path("no-such-opener"));
    EXPECT_EQ(missing.Open(doc), platform::SE_ERR_NOASSOC);
    DesktopShell notExecutable(log, script(QStringLiteral("plain-file"), QString(), false));
    EXPECT_EQ(notExecutable.Open(doc), platform::SE_ERR_NOASSOC);
}

}  // namespace
