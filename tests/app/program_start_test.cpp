// The program's start as a process of its own: one resident instance per user
// and display whatever other users leave in the shared temporary directory or
// however the runtime directory is set up, and a start that cannot go on
// saying why with a failed status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/single_instance.h"
#include "tests/support/other_user.h"
#include "tests/support/wait.h"

namespace {

using testing_support::AsOtherUser;
using testing_support::AsUserPrefix;
using testing_support::CanActAsOtherUsers;
using testing_support::kOtherUid;
using testing_support::kOtherUsersNeedRoot;
using testing_support::WaitUntil;

constexpr int kStartLimitMs = 30000;

// A user's session without a display server or session bus: a home, a
// temporary directory every user may write to (like /tmp), and the offscreen
// platform, so the program runs as far as it would on a desktop.
class Session {
public:
    Session() {
        // Others must be able to reach the folders inside.
        ::chmod(QFile::encodeName(root_.path()).constData(), 0755);
        QDir(root_.path()).mkpath("tmp");
        QDir(root_.path()).mkpath("home/config");
        ::chmod(QFile::encodeName(Tmp()).constData(), 01777);
        env_.insert("PATH", "/usr/bin:/bin");
        env_.insert("HOME", root_.path() + "/home");
        env_.insert("XDG_CONFIG_HOME", root_.path() + "/home/config");
        env_.insert("TMPDIR", Tmp());
        env_.insert("QT_QPA_PLATFORM", "offscreen");
        env_.insert("DBUS_SESSION_BUS_ADDRESS", "disabled:");
        const QProcessEnvironment outer = QProcessEnvironment::systemEnvironment();
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (outer.contains(name))
                env_.insert(name, outer.value(name));
    }
    bool IsValid() const { return root_.isValid(); }
    QString Root() const { return root_.path(); }
    QString Tmp() const { return root_.path() + "/tmp"; }
    QProcessEnvironment& Env() { return env_; }
    // Hands the home to `uid`, for a session of that user.
    void GiveHomeTo(uid_t uid) {
        for (const char* dir : {"home", "home/config"})
            ::chown(QFile::encodeName(root_.path() + "/" + dir).constData(), uid, uid);
    }

private:
    QTemporaryDir root_;
    QProcessEnvironment env_;
};

// The program started in `env`, as `uid` when one is given; ended (SIGTERM)
// when the object goes.
class Program {
public:
    explicit Program(const QProcessEnvironment& env, std::optional<uid_t> uid = std::nullopt) {
        process_.setProcessEnvironment(env);
        if (uid)
            process_.start(QStringLiteral("setpriv"), AsUserPrefix(*uid) << QStringLiteral(POSTWREN_BIN));
        else
            process_.start(QStringLiteral(POSTWREN_BIN), {});
    }
    ~Program() {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        if (!process_.waitForFinished(10000)) {
            process_.kill();
            process_.waitForFinished();
        }
    }
    bool Running() { return process_.state() != QProcess::NotRunning; }
    bool Ended() { return process_.state() == QProcess::NotRunning; }
    bool EndedNormallyWith(int status) {
        return Ended() && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == status;
    }
    std::string Err() {
        err_ += process_.readAllStandardError().toStdString();
        return err_;
    }

private:
    QProcess process_;
    std::string err_;
};

// Another user makes the folder the program falls back to when
// XDG_RUNTIME_DIR is unset, holds its lock and answers every request: the
// start neither ends at once nor hands its request to them. It keeps its lock
// in a folder of its own, where a later start finds it.
TEST(ProgramStart, AnotherUsersFolderInTheTemporaryDirectoryNeitherStopsNorHearsIt) {
    if (!CanActAsOtherUsers())
        GTEST_SKIP() << kOtherUsersNeedRoot;
    Session session;
    ASSERT_TRUE(session.IsValid());
    const QString theirs = session.Tmp() + "/postwren-" + QString::number(::getuid());
    ASSERT_TRUE(AsOtherUser({"mkdir", "-m", "0777", theirs}));
    SingleInstance impostor(theirs, "none");
    std::vector<QByteArray> stolen;
    impostor.OnRequest = [&](const QByteArray& r) { stolen.push_back(r); };
    ASSERT_EQ(impostor.Acquire(), SingleInstance::LockResult::Taken);

    Program first(session.Env());
    const QString ownSocket = theirs + "-1/postwren-none.socket";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(ownSocket) || first.Ended(); }, kStartLimitMs)) << first.Err();
    EXPECT_TRUE(first.Running()) << first.Err();
    const std::string warning = "not keeping the single-instance lock in " + theirs.toStdString() +
                                ": owned by user id 54321, not by this user";
    EXPECT_TRUE(WaitUntil([&] { return first.Err().find(warning) != std::string::npos; })) << first.Err();

    Program second(session.Env());
    ASSERT_TRUE(WaitUntil([&] { return second.Ended(); }, kStartLimitMs)) << "a second instance stays resident";
    EXPECT_TRUE(second.EndedNormallyWith(0)) << second.Err();
    EXPECT_TRUE(first.Running());
    EXPECT_TRUE(testing_support::DeliverQueuedMessages());
    EXPECT_TRUE(stolen.empty()) << "another user received " << stolen.size() << " request(s)";
}

// XDG_RUNTIME_DIR is the user's but cannot be written to: no lock can be made
// there, and still only one instance stays resident.
TEST(ProgramStart, AnUnwritableRuntimeDirectoryStillAllowsOneInstanceOnly) {
    if (!CanActAsOtherUsers())
        GTEST_SKIP() << kOtherUsersNeedRoot;
    Session session;
    ASSERT_TRUE(session.IsValid());
    session.GiveHomeTo(kOtherUid);
    const QString runtime = session.Root() + "/run";
    ASSERT_TRUE(QDir().mkdir(runtime));
    ASSERT_EQ(::chown(QFile::encodeName(runtime).constData(), kOtherUid, kOtherUid), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(runtime).constData(), 0500), 0);
    session.Env().insert("XDG_RUNTIME_DIR", runtime);

    Program first(session.Env(), kOtherUid);
    const QString socket = session.Tmp() + "/postwren-" + QString::number(kOtherUid) + "/postwren-none.socket";
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(socket) || first.Ended(); }, kStartLimitMs)) << first.Err();
    EXPECT_TRUE(first.Running()) << first.Err();

    Program second(session.Env(), kOtherUid);
    ASSERT_TRUE(WaitUntil([&] { return second.Ended(); }, kStartLimitMs)) << "a second instance stays resident";
    EXPECT_TRUE(second.EndedNormallyWith(0)) << second.Err();
    EXPECT_TRUE(first.Running());
}

// Without a display there is nothing to show: the start says so and fails.
struct NoDisplay {
    const char* what;
    std::vector<std::pair<const char*, const char*>> env;
    const char* says;
};

std::ostream& operator<<(std::ostream& os, const NoDisplay& c) {
    return os << c.what;
}

class StartWithoutADisplay : public ::testing::TestWithParam<NoDisplay> {};

TEST_P(StartWithoutADisplay, SaysWhyAndEndsWithAFailedStatus) {
    Session session;
    ASSERT_TRUE(session.IsValid());
    session.Env().remove("QT_QPA_PLATFORM");
    for (const auto& [name, value] : GetParam().env) session.Env().insert(name, value);
    Program program(session.Env());
    ASSERT_TRUE(WaitUntil([&] { return program.Ended(); }, kStartLimitMs));
    EXPECT_TRUE(program.EndedNormallyWith(1)) << program.Err();
    EXPECT_NE(program.Err().find(GetParam().says), std::string::npos) << program.Err();
}

INSTANTIATE_TEST_SUITE_P(
    Displays, StartWithoutADisplay,
    ::testing::Values(NoDisplay{"none named",
                                {},
                                "postwren: cannot start: no display (neither DISPLAY nor WAYLAND_DISPLAY is set)\n"},
                      NoDisplay{"one that cannot be opened",
                                {{"DISPLAY", ":"}},
                                "postwren: cannot start: the display cannot be opened ("}));

}  // namespace
