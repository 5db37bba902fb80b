#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tests/support/other_user.h"
#include "tests/support/wait.h"

namespace {

using testing_support::DeliverQueuedMessages;
using testing_support::WaitUntil;
using Lock = SingleInstance::LockResult;

// Sends from another thread: the first instance answers from this thread's
// message loop, which must keep running meanwhile.
bool SendFromAnotherThread(SingleInstance& sender, const QByteArray& request, int timeoutMs) {
    std::atomic<int> result{-1};
    std::thread t([&] { result = sender.Send(request, timeoutMs) ? 1 : 0; });
    const bool finished = WaitUntil([&] { return result.load() != -1; }, timeoutMs + 5000);
    t.join();
    return finished && result.load() == 1;
}

TEST(SingleInstance, TheFirstStartHoldsTheDisplayALaterOneHandsItsRequestOver) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleInstance first(dir.path(), ":7");
    std::vector<QByteArray> requests;
    first.OnRequest = [&](const QByteArray& r) { requests.push_back(r); };
    ASSERT_EQ(first.Acquire(), Lock::Taken);

    SingleInstance sameDisplay(dir.path(), ":7");
    EXPECT_EQ(sameDisplay.Acquire(), Lock::HeldByAnother);
    ASSERT_TRUE(SendFromAnotherThread(sameDisplay, "check", 5000));
    ASSERT_TRUE(WaitUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(requests[0], QByteArray("check"));

    // Another display has an instance of its own.
    SingleInstance otherDisplay(dir.path(), ":8");
    EXPECT_EQ(otherDisplay.Acquire(), Lock::Taken);

    // A later start that lost keeps nothing; once the first is gone, the
    // display is free again.
    {
        SingleInstance gone(dir.path(), ":9");
        ASSERT_EQ(gone.Acquire(), Lock::Taken);
    }
    SingleInstance next(dir.path(), ":9");
    EXPECT_EQ(next.Acquire(), Lock::Taken);
}

TEST(SingleInstance, LeftoversOfACrashedProcessDoNotBlockAStart) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleInstance probe(dir.path(), ":3");
    // A lock file nobody holds, and a socket nobody listens on.
    QFile lock(probe.LockPath());
    ASSERT_TRUE(lock.open(QIODevice::WriteOnly));
    lock.close();
    const QByteArray socketPath = QFile::encodeName(probe.SocketPath());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(static_cast<std::size_t>(socketPath.size()), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<std::size_t>(socketPath.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);  // the file stays, nothing listens

    SingleInstance instance(dir.path(), ":3");
    int requests = 0;
    instance.OnRequest = [&](const QByteArray&) { ++requests; };
    ASSERT_EQ(instance.Acquire(), Lock::Taken);
    SingleInstance later(dir.path(), ":3");
    EXPECT_EQ(later.Acquire(), Lock::HeldByAnother);
    ASSERT_TRUE(SendFromAnotherThread(later, "check", 5000)) << "the new instance listens on the old path";
    EXPECT_TRUE(WaitUntil([&] { return requests == 1; }));
}

TEST(SingleInstance, NobodyAnsweringIsReportedAndKeysAreFileNames) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleInstance lonely(dir.path(), "wayland-1");
    EXPECT_FALSE(SendFromAnotherThread(lonely, "check", 200));
    // Display names become one file-name part each.
    SingleInstance odd(dir.path(), "../x/:1");
    EXPECT_EQ(QFileInfo(odd.LockPath()).dir().path(), dir.path());
    EXPECT_EQ(odd.Acquire(), Lock::Taken);
}

// What another user, or a stray file, may have left where a fallback folder
// goes. None of it is used; the start takes the next folder and says why.
struct Leftover {
    const char* what;
    bool otherUser;  // made as another user (setpriv)
    std::function<void(const QString& path, const QString& elsewhere)> make;
    const char* says;
};

std::ostream& operator<<(std::ostream& os, const Leftover& l) {
    return os << l.what;
}

class LeftoverFolder : public ::testing::TestWithParam<Leftover> {};

TEST_P(LeftoverFolder, IsNeverUsedAndTheNextPlaceIs) {
    const Leftover& l = GetParam();
    if (l.otherUser && !testing_support::CanActAsOtherUsers())
        GTEST_SKIP() << testing_support::kOtherUsersNeedRoot;
    QTemporaryDir tmp;  // stands for /tmp, where every user may make folders
    ASSERT_TRUE(tmp.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(tmp.path()).constData(), 01777), 0);
    const QString fallback = tmp.path() + "/postwren-7";
    l.make(fallback, tmp.path() + "/elsewhere");
    // Whoever made it holds a lock there and answers every request.
    SingleInstance impostor(fallback, ":4");
    std::vector<QByteArray> stolen;
    impostor.OnRequest = [&](const QByteArray& r) { stolen.push_back(r); };
    impostor.Acquire();

    const GuardedStart start = GuardStart({{fallback, true}, {fallback + "-1", true}}, ":4", "check", 2000);
    EXPECT_EQ(start.verdict, GuardedStart::Verdict::Run);
    ASSERT_NE(start.instance, nullptr);
    EXPECT_EQ(QFileInfo(start.instance->LockPath()).path(), fallback + "-1");
    EXPECT_TRUE(start.instance->Listening());
    EXPECT_EQ(QFileInfo(fallback + "-1").permissions(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                                            QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    ASSERT_FALSE(start.warnings.isEmpty());
    EXPECT_TRUE(start.warnings[0].startsWith("not keeping the single-instance lock in " + fallback + ": "));
    EXPECT_TRUE(start.warnings[0].contains(l.says)) << start.warnings[0].toStdString();
    EXPECT_TRUE(DeliverQueuedMessages());
    EXPECT_TRUE(stolen.empty());
}

using testing_support::AsOtherUser;
using testing_support::kOtherUid;

INSTANTIATE_TEST_SUITE_P(Folders, LeftoverFolder,
                         ::testing::Values(Leftover{"another user's folder open to all", true,
                                                    [](const QString& path, const QString&) {
                                                        ASSERT_TRUE(AsOtherUser({"mkdir", "-m", "0777", path}));
                                                    },
                                                    "owned by user id 54321, not by this user"},
                                           Leftover{"another user's link to a folder of theirs", true,
                                                    [](const QString& path, const QString& elsewhere) {
                                                        ASSERT_TRUE(AsOtherUser({"mkdir", "-m", "0777", elsewhere}));
                                                        ASSERT_TRUE(AsOtherUser({"ln", "-s", elsewhere, path}));
                                                    },
                                                    "not a folder"},
                                           Leftover{"this user's folder open to others", false,
                                                    [](const QString& path, const QString&) {
                                                        ASSERT_TRUE(QDir().mkdir(path));
                                                        ASSERT_EQ(::chmod(QFile::encodeName(path).constData(), 0777),
                                                                  0);
                                                    },
                                                    "open to other users (mode 0777)"},
                                           Leftover{"a file", false,
                                                    [](const QString& path, const QString&) {
                                                        QFile f(path);
                                                        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
                                                    },
                                                    "not a folder"}));

TEST(SingleInstance, WithNoPrivateFolderLeftTheStartRunsUnguardedAndSaysSo) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    QFile file(tmp.path() + "/postwren-7");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    const GuardedStart start = GuardStart({{file.fileName(), true}}, ":4", "check", 2000);
    EXPECT_EQ(start.verdict, GuardedStart::Verdict::Run);
    EXPECT_EQ(start.instance, nullptr);
    ASSERT_EQ(start.warnings.size(), 2);
    EXPECT_EQ(start.warnings[1], "running without the single-instance guard: a second start will not be stopped");
}

// Where no lock can be made (here: a folder stands where the lock file goes),
// an instance listening there still gets the request; with none, the next
// folder takes the lock.
TEST(SingleInstance, WhereNoLockCanBeMadeAListeningInstanceIsAskedFirst) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString first = tmp.path() + "/a", second = tmp.path() + "/b";
    const std::vector<GuardDir> dirs{{first, true}, {second, true}};
    QString why;
    ASSERT_TRUE(SingleInstance::IsPrivateDir(first, true, why)) << why.toStdString();
    {
        SingleInstance running(first, ":4");
        std::vector<QByteArray> requests;
        running.OnRequest = [&](const QByteArray& r) { requests.push_back(r); };
        ASSERT_EQ(running.Acquire(), Lock::Taken);
        ASSERT_TRUE(QFile::remove(running.LockPath()));
        ASSERT_TRUE(QDir().mkdir(running.LockPath()));

        std::atomic<int> verdict{-1};
        std::thread later([&] { verdict = static_cast<int>(GuardStart(dirs, ":4", "check", 5000).verdict); });
        EXPECT_TRUE(WaitUntil([&] { return verdict.load() != -1; }, 10000));
        later.join();
        EXPECT_EQ(verdict.load(), static_cast<int>(GuardedStart::Verdict::HandedOver));
        EXPECT_TRUE(WaitUntil([&] { return requests.size() == 1; }));
    }
    const GuardedStart start = GuardStart(dirs, ":4", "check", 2000);
    EXPECT_EQ(start.verdict, GuardedStart::Verdict::Run);
    ASSERT_NE(start.instance, nullptr);
    EXPECT_EQ(QFileInfo(start.instance->LockPath()).path(), second);
    ASSERT_FALSE(start.warnings.isEmpty());
    EXPECT_TRUE(start.warnings[0].startsWith("cannot make the single-instance lock " + first + "/"));
}

TEST(SingleInstance, TheDefaultKeyNamesTheDisplayWithoutItsScreen) {
    const QByteArray savedX = qgetenv("DISPLAY");
    const QByteArray savedW = qgetenv("WAYLAND_DISPLAY");
    qunsetenv("WAYLAND_DISPLAY");
    qputenv("DISPLAY", ":5.1");
    EXPECT_EQ(SingleInstance::DefaultKey(), QString(":5"));
    qputenv("DISPLAY", "host.example:5");
    EXPECT_EQ(SingleInstance::DefaultKey(), QString("host.example:5"));
    qputenv("WAYLAND_DISPLAY", "wayland-0");
    EXPECT_EQ(SingleInstance::DefaultKey(), QString("wayland-0"));
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("DISPLAY");
    EXPECT_EQ(SingleInstance::DefaultKey(), QString("none"));
    savedX.isNull() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", savedX);
    savedW.isNull() ? qunsetenv("WAYLAND_DISPLAY") : qputenv("WAYLAND_DISPLAY", savedW);
}

}  // namespace
