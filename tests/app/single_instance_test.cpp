#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <atomic>
#include <cstdio>
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

// The resident set of this process, in bytes.
long ResidentBytes() {
    long pages = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr)
        return -1;
    const int read = std::fscanf(statm, "%ld %ld", &pages, &resident);
    std::fclose(statm);
    return read == 2 ? resident * ::sysconf(_SC_PAGESIZE) : -1;
}

// Writes up to `total` bytes of "check\n" lines to the instance socket, each
// write given 2 s; the bytes the socket took.
long long Flood(const QByteArray& socketPath, long long total) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<std::size_t>(socketPath.size()));
    timeval patience{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    long long sent = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const QByteArray lines = QByteArray("check\n").repeated(1 << 18);  // 1.5 MB
        while (sent < total) {
            const ssize_t n = ::send(fd, lines.constData(), static_cast<std::size_t>(lines.size()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
    }
    ::close(fd);
    return sent;
}

// Connects once, sends one request and returns what came back before the
// instance closed the connection (or 5 s passed).
QByteArray AskOnce(const QByteArray& socketPath) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, socketPath.constData(), static_cast<std::size_t>(socketPath.size()));
    timeval patience{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    QByteArray reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, "check\n", 6, MSG_NOSIGNAL) == 6) {
        char buffer[16];
        ssize_t n = 0;
        while (reply.size() < 16 && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, n);
    }
    ::close(fd);
    return reply;
}

// A local client that writes 1 GB of requests gets one of them acted on, and
// the instance reads no more than one request's worth: its memory stays flat.
TEST(SingleInstance, AFloodOfRequestsOnOneConnectionIsOneRequestAndCostsNoMemory) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleInstance instance(dir.path(), ":6");
    int requests = 0;
    instance.OnRequest = [&](const QByteArray& r) {
        EXPECT_EQ(r, QByteArray("check"));
        ++requests;
    };
    ASSERT_EQ(instance.Acquire(), Lock::Taken);
    const long before = ResidentBytes();
    std::atomic<long long> sent{-1};
    std::thread flood([&] { sent = Flood(QFile::encodeName(instance.SocketPath()), 1LL << 30); });
    EXPECT_TRUE(WaitUntil([&] { return sent.load() != -1; }, 120000));
    flood.join();
    EXPECT_TRUE(DeliverQueuedMessages());
    const long after = ResidentBytes();
    std::printf("flood: %lld bytes taken by the socket, resident %ld -> %ld KiB, %d request(s)\n", sent.load(),
                before / 1024, after / 1024, requests);
    EXPECT_EQ(requests, 1);
    EXPECT_LT(sent.load(), 1LL << 30) << "the instance read everything";
    EXPECT_LT(after - before, 16L << 20);
}

// A request that comes while the last one is still acted on (a check runs,
// the message loop turning inside it) is answered and dropped; so are
// connections beyond the budget of a second.
TEST(SingleInstance, RequestsWhileOneIsActedOnAreDropped) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SingleInstance instance(dir.path(), ":6");
    SingleInstance later(dir.path(), ":6");
    int requests = 0;
    bool answeredMeanwhile = false;
    instance.OnRequest = [&](const QByteArray&) {
        ++requests;
        if (requests == 1)
            answeredMeanwhile = SendFromAnotherThread(later, "check", 5000);
    };
    ASSERT_EQ(instance.Acquire(), Lock::Taken);
    ASSERT_TRUE(SendFromAnotherThread(later, "check", 5000));
    ASSERT_TRUE(WaitUntil([&] { return requests >= 1 && answeredMeanwhile; }));
    EXPECT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(requests, 1);

    // Many connections at once: the ones over the budget of a second are
    // closed unanswered; none of the others is acted on more than once.
    constexpr int kStarts = 3 * SingleInstance::kMaxConnectionsPerSecond;
    const QByteArray socketPath = QFile::encodeName(instance.SocketPath());
    std::atomic<int> answered{0}, ended{0};
    std::vector<std::thread> starts;
    for (int i = 0; i < kStarts; ++i)
        starts.emplace_back([&] {
            if (AskOnce(socketPath) == "ok\n")
                ++answered;
            ++ended;
        });
    EXPECT_TRUE(WaitUntil([&] { return ended.load() == kStarts; }, 20000));
    for (std::thread& t : starts) t.join();
    EXPECT_TRUE(DeliverQueuedMessages());
    EXPECT_GE(answered.load(), 1);
    EXPECT_LT(answered.load(), kStarts);
    EXPECT_GE(requests, 2);
    EXPECT_LE(requests, 1 + answered.load());

    // A start that comes in such a second is not told that nobody answers:
    // it tries again within its deadline.
    std::atomic<int> handedOver{0};
    ended = 0;
    starts.clear();
    for (int i = 0; i < kStarts; ++i)
        starts.emplace_back([&] {
            SingleInstance start(dir.path(), ":6");
            if (start.Send("check", 30000))
                ++handedOver;
            ++ended;
        });
    EXPECT_TRUE(WaitUntil([&] { return ended.load() == kStarts; }, 40000));
    for (std::thread& t : starts) t.join();
    EXPECT_EQ(handedOver.load(), kStarts);
}

// Another user planted something under every name in the temporary directory
// and there is no runtime directory: the start still finds the running
// instance, through the folder in this user's cache.
TEST(SingleInstance, PlantedFallbacksOfAnotherUserDoNotMakeASecondInstance) {
    if (!testing_support::CanActAsOtherUsers())
        GTEST_SKIP() << testing_support::kOtherUsersNeedRoot;
    QTemporaryDir tmp, home;
    ASSERT_TRUE(tmp.isValid() && home.isValid());
    ASSERT_EQ(::chmod(QFile::encodeName(tmp.path()).constData(), 01777), 0);
    const QByteArray saved[] = {qgetenv("TMPDIR"), qgetenv("XDG_RUNTIME_DIR"), qgetenv("XDG_CACHE_HOME"),
                                qgetenv("HOME")};
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_CACHE_HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    const std::vector<GuardDir> dirs = SingleInstance::DefaultDirs();
    qputenv("TMPDIR", saved[0]);
    saved[1].isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", saved[1]);
    saved[2].isNull() ? qunsetenv("XDG_CACHE_HOME") : qputenv("XDG_CACHE_HOME", saved[2]);
    qputenv("HOME", saved[3]);

    // A folder, a link, a FIFO, a file and a socket, in turn.
    using testing_support::AsOtherUser;
    const char* plants[] = {"mkdir -m 0777 \"$0\"", "ln -s / \"$0\"", "mkfifo \"$0\"", "touch \"$0\"",
                            "python3 -c 'import socket,sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' \"$0\""};
    std::size_t planted = 0;
    for (const GuardDir& d : dirs) {
        if (!d.path.startsWith(tmp.path()))
            continue;
        ASSERT_TRUE(AsOtherUser({"sh", "-c", plants[planted % std::size(plants)], d.path})) << d.path.toStdString();
        ++planted;
    }
    ASSERT_GE(planted, 4u);

    GuardedStart first = GuardStart(dirs, ":4", "check", 2000);
    ASSERT_NE(first.instance, nullptr) << first.warnings.join("\n").toStdString();
    EXPECT_TRUE(first.instance->LockPath().startsWith(home.path() + "/.cache/postwren-"));
    std::vector<QByteArray> requests;
    first.instance->OnRequest = [&](const QByteArray& r) { requests.push_back(r); };

    std::atomic<int> verdict{-1};
    std::thread second([&] { verdict = static_cast<int>(GuardStart(dirs, ":4", "check", 5000).verdict); });
    EXPECT_TRUE(WaitUntil([&] { return verdict.load() != -1; }, 20000));
    second.join();
    EXPECT_EQ(verdict.load(), static_cast<int>(GuardedStart::Verdict::HandedOver));
    EXPECT_TRUE(WaitUntil([&] { return requests.size() == 1; }));
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
