#include "core/socket.h"

#include <gtest/gtest.h>
#include <netdb.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "core/message_window.h"
#include "tests/net/loopback_peer.h"
#include "tests/support/manual_clock.h"

namespace {

using platform::LPARAM;
using platform::UINT;
using platform::WPARAM;
using testpeer::PumpUntil;

constexpr UINT kNotify = platform::WM_USER + 101;
constexpr UINT kLookupDone = platform::WM_USER + 102;

// A window that keeps every message it is sent, in order.
struct RecordingWindow {
    struct Message {
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
        long event() const { return platform::LoWord(lParam); }
        int error() const { return platform::HiWord(lParam); }
    };
    platform::MessageWindow window;
    std::vector<Message> got;

    RecordingWindow() {
        window.setWindowProc([this](UINT m, WPARAM w, LPARAM l) -> platform::LRESULT {
            got.push_back({m, w, l});
            return 0;
        });
    }
    int count(long event) const {
        int n = 0;
        for (const auto& m : got) n += (m.msg == kNotify && m.event() == event) ? 1 : 0;
        return n;
    }
    std::vector<long> events() const {
        std::vector<long> out;
        for (const auto& m : got)
            if (m.msg == kNotify)
                out.push_back(m.event());
        return out;
    }
};

platform::SockAddrIn Loopback(int port) {
    platform::SockAddrIn a;
    a.port = platform::HostToNetwork16(static_cast<std::uint16_t>(port));
    a.address = platform::SystemSockets().InetAddr("127.0.0.1");
    return a;
}

// A selected socket connected to a fresh listener, with the accepted peer.
struct ConnectedPair {
    platform::SocketApi& api = platform::SystemSockets();
    RecordingWindow rec;
    testpeer::Listener listener;
    platform::SOCKET s = platform::INVALID_SOCKET;
    testpeer::PeerConnection peer;

    ConnectedPair() {
        s = api.CreateStreamSocket();
        api.AsyncSelect(s, rec.window.handle(), kNotify, platform::FD_ALL_EVENTS);
        api.Connect(s, Loopback(listener.port()));
        PumpUntil([&] { return rec.count(platform::FD_CONNECT) == 1; });
        peer = listener.Accept();
    }
    ~ConnectedPair() {
        if (s != platform::INVALID_SOCKET)
            api.CloseSocket(s);
    }
};

struct ErrnoCase {
    int error;
    int code;
};

class ErrnoMapping : public testing::TestWithParam<ErrnoCase> {};

TEST_P(ErrnoMapping, GivesTheSocketLibraryCode) {
    EXPECT_EQ(platform::ErrnoToSocketError(GetParam().error), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Socket, ErrnoMapping,
                         testing::Values(ErrnoCase{ECONNREFUSED, 10061}, ErrnoCase{ETIMEDOUT, 10060},
                                         ErrnoCase{EINPROGRESS, 10035}, ErrnoCase{EWOULDBLOCK, 10035},
                                         ErrnoCase{EAGAIN, 10035}, ErrnoCase{EALREADY, 10037},
                                         ErrnoCase{ECONNRESET, 10054}, ErrnoCase{ENOTCONN, 10057},
                                         ErrnoCase{EHOSTUNREACH, 10065}, ErrnoCase{EMFILE, 10024},
                                         // Unlisted errno values must not land on a listed code:
                                         // ENODATA is 61 on Linux, and 10061 would read "refused".
                                         ErrnoCase{ENODATA, ENODATA}, ErrnoCase{EIO, EIO}));

TEST(Socket, LookupErrorsMapOntoHostCodes) {
    EXPECT_EQ(platform::LookupErrorToSocketError(0, 0), 0);
    EXPECT_EQ(platform::LookupErrorToSocketError(EAI_NONAME, 0), platform::WSAHOST_NOT_FOUND);
    EXPECT_EQ(platform::LookupErrorToSocketError(EAI_AGAIN, 0), platform::WSATRY_AGAIN);
    EXPECT_EQ(platform::LookupErrorToSocketError(EAI_SYSTEM, ECONNREFUSED), platform::WSAECONNREFUSED);
}

TEST(Socket, DottedQuadParsing) {
    platform::SocketApi& api = platform::SystemSockets();
    const std::uint32_t loopback = api.InetAddr("127.0.0.1");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&loopback);
    EXPECT_EQ(bytes[0], 127);  // network byte order: first octet first
    EXPECT_EQ(bytes[3], 1);
    EXPECT_EQ(api.InetAddr("0.0.0.0"), 0u);
    EXPECT_EQ(api.InetAddr("mail.example.org"), platform::kInaddrNone);
    EXPECT_EQ(api.InetAddr("1.2.3.256"), platform::kInaddrNone);
    EXPECT_EQ(api.InetAddr(""), platform::kInaddrNone);
    EXPECT_EQ(api.InetAddr(std::string("127.0.0.1\0.5", 12)), platform::kInaddrNone);
    const std::uint16_t port = platform::HostToNetwork16(0x1234);
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&port)[0], 0x12);
}

TEST(Socket, HandlesAreSixteenBitAndNotReusedAtOnce) {
    platform::SocketApi& api = platform::SystemSockets();
    const platform::SOCKET a = api.CreateStreamSocket();
    ASSERT_NE(a, platform::INVALID_SOCKET);
    ASSERT_EQ(api.CloseSocket(a), 0);
    const platform::SOCKET b = api.CreateStreamSocket();
    ASSERT_NE(b, platform::INVALID_SOCKET);
    EXPECT_NE(a, b);
    // The closed handle is gone for good.
    char c = 'x';
    EXPECT_EQ(api.Send(a, &c, 1), platform::SOCKET_ERROR);
    EXPECT_EQ(api.LastError(), platform::WSAENOTSOCK);
    EXPECT_EQ(api.CloseSocket(a), platform::SOCKET_ERROR);
    EXPECT_EQ(api.CloseSocket(b), 0);
}

TEST(Socket, ConnectIsAnnouncedOnceThenSendingMayStart) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.peer.valid());
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_WRITE) == 1; }));
    const auto events = pair.rec.events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], platform::FD_CONNECT);
    EXPECT_EQ(pair.rec.got[0].error(), 0);
    EXPECT_EQ(pair.rec.got[0].wParam, pair.s);
    EXPECT_EQ(events[1], platform::FD_WRITE);
    EXPECT_EQ(pair.api.Send(pair.s, "hello", 5), 5);
    EXPECT_EQ(pair.peer.Receive(5), "hello");
    EXPECT_EQ(pair.rec.count(platform::FD_CONNECT), 1);
}

TEST(Socket, ReadIsAnnouncedAgainOnlyAfterReceiving) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.peer.Send("abcdef"));
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_READ) == 1; }));
    // More data without a receive in between: no second FD_READ.
    ASSERT_TRUE(pair.peer.Send("ghi"));
    PumpUntil([&] { return pair.rec.count(platform::FD_READ) > 1; }, 100);
    EXPECT_EQ(pair.rec.count(platform::FD_READ), 1);

    char buf[4];
    ASSERT_EQ(pair.api.Recv(pair.s, buf, 4), 4);
    // Data remain, so receiving re-arms the announcement.
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_READ) == 2; }));
    char rest[16];
    EXPECT_EQ(pair.api.Recv(pair.s, rest, sizeof rest), 5);
    EXPECT_EQ(pair.api.Recv(pair.s, rest, sizeof rest), platform::SOCKET_ERROR);
    EXPECT_EQ(pair.api.LastError(), platform::WSAEWOULDBLOCK);
}

TEST(Socket, PeerCloseIsAnnouncedOnceAfterItsData) {
    ConnectedPair pair;
    ASSERT_TRUE(pair.peer.Send("last words"));
    pair.peer.Close();
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_READ) == 1; }));
    EXPECT_EQ(pair.rec.count(platform::FD_CLOSE), 0) << "close announced before its data was taken";
    char buf[64];
    EXPECT_EQ(pair.api.Recv(pair.s, buf, sizeof buf), 10);
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_CLOSE) == 1; }));
    EXPECT_EQ(pair.rec.got.back().error(), 0);
    EXPECT_EQ(pair.api.Recv(pair.s, buf, sizeof buf), 0);
    PumpUntil([&] { return pair.rec.count(platform::FD_CLOSE) > 1; }, 100);
    EXPECT_EQ(pair.rec.count(platform::FD_CLOSE), 1);
}

TEST(Socket, RefusedConnectReportsItsErrorAndTheSocketCanTryAgain) {
    platform::SocketApi& api = platform::SystemSockets();
    RecordingWindow rec;
    const platform::SOCKET s = api.CreateStreamSocket();
    api.AsyncSelect(s, rec.window.handle(), kNotify, platform::FD_ALL_EVENTS);
    const int rc = api.Connect(s, Loopback(testpeer::ClosedPort()));
    if (rc == platform::SOCKET_ERROR && api.LastError() == platform::WSAEWOULDBLOCK) {
        ASSERT_TRUE(PumpUntil([&] { return rec.count(platform::FD_CONNECT) == 1; }));
        EXPECT_EQ(rec.got.back().error(), platform::WSAECONNREFUSED);
    } else {
        EXPECT_EQ(api.LastError(), platform::WSAECONNREFUSED);
    }
    EXPECT_EQ(rec.count(platform::FD_WRITE), 0);

    // The same socket connects once something listens.
    testpeer::Listener listener;
    api.Connect(s, Loopback(listener.port()));
    ASSERT_TRUE(PumpUntil([&] { return rec.count(platform::FD_CONNECT) == 2; }));
    const auto second =
        std::find_if(rec.got.rbegin(), rec.got.rend(), [](const auto& m) { return m.event() == platform::FD_CONNECT; });
    EXPECT_EQ(second->error(), 0);
    EXPECT_TRUE(listener.Accept().valid());
    api.CloseSocket(s);
}

TEST(Socket, FullSendBufferAnnouncesWriteWhenDrained) {
    ConnectedPair pair;
    ASSERT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_WRITE) == 1; }));
    const std::string block(65536, 'z');
    std::size_t sent = 0;
    // The peer reads nothing, so the buffers fill up.
    for (int i = 0; i < 4096; ++i) {
        const int n = pair.api.Send(pair.s, block.data(), static_cast<int>(block.size()));
        if (n == platform::SOCKET_ERROR)
            break;
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_EQ(pair.api.LastError(), platform::WSAEWOULDBLOCK);
    EXPECT_EQ(pair.rec.count(platform::FD_WRITE), 1);
    EXPECT_EQ(pair.peer.Receive(sent, 10000).size(), sent);
    EXPECT_TRUE(PumpUntil([&] { return pair.rec.count(platform::FD_WRITE) == 2; }));
}

TEST(Socket, LingerZeroAbortsTheConnectionOnClose) {
    ConnectedPair pair;
    ASSERT_EQ(pair.api.SetLinger(pair.s, true, 0), 0);
    ASSERT_EQ(pair.api.CloseSocket(pair.s), 0);
    pair.s = platform::INVALID_SOCKET;
    EXPECT_EQ(pair.peer.WaitForEnd(), ECONNRESET);

    ConnectedPair graceful;
    ASSERT_EQ(graceful.api.CloseSocket(graceful.s), 0);
    graceful.s = platform::INVALID_SOCKET;
    EXPECT_EQ(graceful.peer.WaitForEnd(), 0);
}

TEST(Socket, EmptyMaskStopsNotifications) {
    ConnectedPair pair;
    ASSERT_EQ(pair.api.AsyncSelect(pair.s, pair.rec.window.handle(), 0, 0), 0);
    const std::size_t before = pair.rec.got.size();
    ASSERT_TRUE(pair.peer.Send("ignored"));
    pair.peer.Close();
    PumpUntil([&] { return pair.rec.got.size() > before; }, 150);
    EXPECT_EQ(pair.rec.got.size(), before);
}

TEST(Socket, NameLookupPostsItsResultWithTheHandle) {
    platform::SocketApi& api = platform::SystemSockets();
    RecordingWindow rec;
    auto entry = std::make_shared<platform::HostEntry>();
    const platform::LookupHandle h = api.AsyncGetHostByName(rec.window.handle(), kLookupDone, "localhost", entry);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(PumpUntil([&] { return !rec.got.empty(); }, 10000));
    EXPECT_EQ(rec.got[0].msg, kLookupDone);
    EXPECT_EQ(rec.got[0].wParam, h);
    EXPECT_EQ(rec.got[0].error(), 0);
    // Both families: localhost is 127.0.0.1, and ::1 too where the hosts file says so.
    const platform::IpAddress loopback = platform::IpAddress::V4(api.InetAddr("127.0.0.1"));
    EXPECT_NE(std::find(entry->addresses.begin(), entry->addresses.end(), loopback), entry->addresses.end());
    // Finished look-ups cannot be withdrawn any more.
    EXPECT_EQ(api.CancelAsyncRequest(h), platform::SOCKET_ERROR);
}

TEST(Socket, WithdrawnLookupKeepsItsResultAreaAlive) {
    platform::SocketApi& api = platform::SystemSockets();
    RecordingWindow rec;
    auto entry = std::make_shared<platform::HostEntry>();
    std::weak_ptr<platform::HostEntry> watch = entry;
    const platform::LookupHandle withdrawn =
        api.AsyncGetHostByName(rec.window.handle(), kLookupDone, "localhost", std::move(entry));
    ASSERT_NE(withdrawn, 0u);
    // A look-up that already finished cannot be withdrawn; then its message is on its way.
    const bool withdrew = api.CancelAsyncRequest(withdrawn) == 0;
    // The caller holds nothing now; the worker still writes safely (the
    // sanitizer build checks this) and lets go when it is done.
    ASSERT_TRUE(PumpUntil([&] { return watch.expired(); }, 10000));
    const platform::LookupHandle later =
        api.AsyncGetHostByName(rec.window.handle(), kLookupDone, "localhost", std::make_shared<platform::HostEntry>());
    auto seen = [&](platform::LookupHandle h) {
        return std::count_if(rec.got.begin(), rec.got.end(), [h](const auto& m) { return m.wParam == h; });
    };
    ASSERT_TRUE(PumpUntil([&] { return seen(later) == 1 && (withdrew || seen(withdrawn) == 1); }, 10000));
    EXPECT_EQ(seen(withdrawn), withdrew ? 0 : 1);
}

TEST(Socket, LookupRefusesNamesWithAnEmbeddedNul) {
    platform::SocketApi& api = platform::SystemSockets();
    RecordingWindow rec;
    EXPECT_EQ(api.AsyncGetHostByName(rec.window.handle(), kLookupDone, std::string("localhost\0.evil", 15),
                                     std::make_shared<platform::HostEntry>()),
              0u);
    EXPECT_EQ(api.LastError(), platform::WSAEINVAL);
}

}  // namespace

// Connection races (several addresses for one name): real loopback listeners,
// a silent address made by a full backlog, the attempt delay on a clock the
// test moves.
namespace race {

using platform::IpAddress;

IpAddress V6(const char* text) {
    return *platform::ParseIpv6(text);
}
IpAddress V4(const char* text) {
    return IpAddress::V4(platform::SystemSockets().InetAddr(text));
}

TEST(ConnectionRace, TakesTheFamiliesInTurnIpv6First) {
    const std::vector<IpAddress> mixed{V4("192.0.2.1"), V4("192.0.2.2"), V6("2001:db8::1"), V4("192.0.2.3"),
                                       V6("2001:db8::2")};
    EXPECT_EQ(platform::RaceOrder(mixed), (std::vector<IpAddress>{V6("2001:db8::1"), V4("192.0.2.1"), V6("2001:db8::2"),
                                                                  V4("192.0.2.2"), V4("192.0.2.3")}));
    EXPECT_EQ(platform::RaceOrder({V4("192.0.2.1")}), std::vector<IpAddress>{V4("192.0.2.1")});
    EXPECT_EQ(platform::AddressText(V6("2001:DB8:0::7")), "2001:db8::7");
    EXPECT_FALSE(platform::ParseIpv6("192.0.2.1").has_value());
    EXPECT_FALSE(platform::ParseIpv6("[::1]").has_value());
}

struct RaceFixture : ::testing::Test {
    testing_support::ManualClock clock;
    std::unique_ptr<platform::SocketApi> api = platform::MakePosixSockets(clock);
    RecordingWindow rec;
    platform::SOCKET s = platform::INVALID_SOCKET;

    void SetUp() override {
        s = api->CreateStreamSocket();
        ASSERT_NE(s, platform::INVALID_SOCKET);
        api->AsyncSelect(s, rec.window.handle(), kNotify, platform::FD_ALL_EVENTS);
    }
    void TearDown() override { api->CloseSocket(s); }

    int Race(const std::vector<IpAddress>& addresses, int port) {
        return api->ConnectRace(s, addresses, platform::HostToNetwork16(static_cast<std::uint16_t>(port)));
    }
    // The one FD_CONNECT of the race, or -1 when none came.
    int Outcome(int waitMs = 3000) {
        PumpUntil([&] { return rec.count(platform::FD_CONNECT) > 0; }, waitMs);
        for (const auto& m : rec.got)
            if (m.msg == kNotify && m.event() == platform::FD_CONNECT)
                return m.error();
        return -1;
    }
};

TEST_F(RaceFixture, AFailedAttemptHandsOnAtOnceAndTheWinnerCarriesTheSocket) {
    testpeer::Listener v4;
    // Nothing listens on ::1 at this port: refused, and IPv4 goes next
    // without the attempt delay (the clock never moves).
    ASSERT_EQ(Race({V4("127.0.0.1"), V6("::1")}, v4.port()), platform::SOCKET_ERROR);
    EXPECT_EQ(api->LastError(), platform::WSAEWOULDBLOCK);
    EXPECT_EQ(Outcome(), 0);
    testpeer::PeerConnection peer = v4.Accept();
    ASSERT_TRUE(peer.valid());
    // The winning connection is the socket now: bytes go both ways.
    ASSERT_TRUE(peer.Send("+OK\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return rec.count(platform::FD_READ) > 0; }));
    char buffer[16] = {};
    EXPECT_EQ(api->Recv(s, buffer, sizeof buffer), 5);
    EXPECT_EQ(api->Send(s, "STAT\r\n", 6), 6);
    EXPECT_EQ(rec.count(platform::FD_CONNECT), 1);
}

TEST_F(RaceFixture, ASilentAddressGetsTheAttemptDelayThenTheNextOneWins) {
    testpeer::SilentListener silent(/*ipv6=*/true);
    testpeer::Listener v4(8, false, silent.port());
    Race({V4("127.0.0.1"), V6("::1")}, silent.port());
    // IPv6 goes first and hangs; nothing more starts until the delay is over.
    EXPECT_EQ(Outcome(300), -1);
    EXPECT_FALSE(v4.Accept(0).valid());
    clock.Advance(platform::kConnectionAttemptDelay);
    EXPECT_EQ(Outcome(), 0);
    EXPECT_TRUE(v4.Accept().valid());
    EXPECT_EQ(clock.RunningTimers(), 0);
}

TEST_F(RaceFixture, WhenEveryAddressFailsTheRefusalIsTold) {
    const int port = testpeer::ClosedPort();
    Race({V6("::1"), V4("127.0.0.1"), V4("127.0.0.2")}, port);
    EXPECT_EQ(Outcome(), platform::WSAECONNREFUSED);
    EXPECT_EQ(rec.count(platform::FD_CONNECT), 1);
    // The socket is free for the next connect.
    testpeer::Listener again;
    Race({V4("127.0.0.1")}, again.port());
    rec.got.clear();
    EXPECT_EQ(Outcome(), 0);
}

TEST_F(RaceFixture, ClosingTheSocketEndsARaceThatRuns) {
    testpeer::SilentListener silent(/*ipv6=*/true);
    testpeer::Listener v4(8, false, silent.port());
    Race({V6("::1"), V4("127.0.0.1")}, silent.port());
    api->CloseSocket(s);
    s = api->CreateStreamSocket();
    clock.Advance(platform::kConnectionAttemptDelay);
    EXPECT_EQ(Outcome(300), -1);
    EXPECT_FALSE(v4.Accept(0).valid());
}

}  // namespace race
