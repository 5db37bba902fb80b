#include "platform/shell.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "platform/event_wait.h"

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
    DesktopShell shell(path("no-opener"));
    EXPECT_GT(shell.Open(mailer), kShellOpenFailureMax);
    ASSERT_TRUE(WaitUntil([&] { return readAll(path("marker")) == QStringLiteral("started"); }));
}

TEST_F(ShellOpen, MissingEmptyAndUnstartableFilesFail) {
    DesktopShell shell(opener(0));
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
    DesktopShell shell(opener(0));
    const QString doc = script(QStringLiteral("notes.txt"), QString(), false);
    EXPECT_EQ(shell.Open(doc), platform::kShellOpenSucceeded);
    EXPECT_EQ(readAll(path("opened")), doc);

    EXPECT_GT(shell.Open(QStringLiteral("https://example.org/~author/")), kShellOpenFailureMax);
    EXPECT_EQ(readAll(path("opened")), QStringLiteral("https://example.org/~author/"));

    // A relative name is made absolute against the current folder.
    const QString saved = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir_.path()));
    const int r = shell.Open(QStringLiteral("notes.txt"));
    QDir::setCurrent(saved);
    EXPECT_GT(r, kShellOpenFailureMax);
    EXPECT_EQ(readAll(path("opened")), doc);
}

TEST_F(ShellOpen, AnOpenerThatRefusesOrIsMissingGivesAFailure) {
    const QString doc = script(QStringLiteral("data.bin"), QString(), false);
    DesktopShell refusing(opener(4));
    EXPECT_EQ(refusing.Open(doc), platform::SE_ERR_NOASSOC);
    DesktopShell notFound(opener(2));
    EXPECT_EQ(notFound.Open(doc), platform::SE_ERR_FNF);
    DesktopShell missing(path("no-such-opener"));
    EXPECT_EQ(missing.Open(doc), platform::SE_ERR_NOASSOC);
}

TEST_F(ShellOpen, AnOpenerStillBusyAfterTheWaitCountsAsSuccess) {
    const QString slow = script(QStringLiteral("slow-opener"),
                                QStringLiteral("exec >/dev/null 2>&1\nsleep 3\necho late > '%1'").arg(path("late")));
    DesktopShell shell(slow, 50);
    const QString doc = script(QStringLiteral("doc"), QString(), false);
    EXPECT_EQ(shell.Open(doc), platform::kShellOpenSucceeded);
    EXPECT_FALSE(QFile::exists(path("late")));
}

}  // namespace
