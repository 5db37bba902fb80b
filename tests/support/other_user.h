// Other users of the machine, played by user ids that no account has: setpriv
// runs a command as one of them. That takes root; tests that need it skip
// without. No account is ever made.
#pragma once

#include <pwd.h>
#include <unistd.h>

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace testing_support {

constexpr uid_t kOtherUid = 54321;
inline constexpr char kOtherUsersNeedRoot[] = "acting as another user takes root, setpriv and a user id no account has";

inline bool CanActAsOtherUsers() {
    return ::geteuid() == 0 && !QStandardPaths::findExecutable("setpriv").isEmpty() && ::getpwuid(kOtherUid) == nullptr;
}

// What goes before a command to run it as `uid` (its group the same number,
// no supplementary groups).
inline QStringList AsUserPrefix(uid_t uid = kOtherUid) {
    const QString id = QString::number(uid);
    return {"--reuid", id, "--regid", id, "--clear-groups", "--"};
}

// Runs `command` as `uid`; true when it exits 0 within 20 s.
inline bool AsOtherUser(const QStringList& command, uid_t uid = kOtherUid) {
    QProcess p;
    p.start(QStringLiteral("setpriv"), AsUserPrefix(uid) + command);
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace testing_support
