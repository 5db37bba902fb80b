#include "app/single_instance.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/wait.h"

namespace {

using testing_support::WaitUntil;

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
    ASSERT_TRUE(first.Acquire());

    SingleInstance sameDisplay(dir.path(), ":7");
    EXPECT_FALSE(sameDisplay.Acquire());
    ASSERT_TRUE(SendFromAnotherThread(sameDisplay, "check", 5000));
    ASSERT_TRUE(WaitUntil([&] { return requests.size() == 1; }));
    EXPECT_EQ(requests[0], QByteArray("check"));

    // Another display has an instance of its own.
    SingleInstance otherDisplay(dir.path(), ":8");
    EXPECT_TRUE(otherDisplay.Acquire());

    // A later start that lost keeps nothing; once the first is gone, the
    // display is free again.
    {
        SingleInstance gone(dir.path(), ":9");
        ASSERT_TRUE(gone.Acquire());
    }
    SingleInstance next(dir.path(), ":9");
    EXPECT_TRUE(next.Acquire());
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
    ASSERT_TRUE(instance.Acquire());
    SingleInstance later(dir.path(), ":3");
    EXPECT_FALSE(later.Acquire());
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
    EXPECT_TRUE(odd.Acquire());
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
