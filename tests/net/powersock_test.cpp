#include "net/powersock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/message_window.h"
#include "core/socket.h"
#include "tests/net/loopback_peer.h"
#include "tests/support/manual_clock.h"
#include "tests/support/wait.h"

namespace {

using namespace std::chrono_literals;
using platform::HWND;
using platform::LookupHandle;
using platform::UINT;
using testing_support::DeliverQueuedMessages;
using testing_support::Later;
using testing_support::ManualClock;
using testing_support::WaitUntil;

// What an operation raised: the message and the exception's class and kind.
struct Outcome {
    std::string message = "<nothing raised>";
    bool sockError = false;
    bool abortError = false;
    SockFailure kind = SockFailure::Other;
};

template <class F>
Outcome Raised(F&& f) {
    Outcome o;
    try {
        f();
    } catch (const EAbortError& e) {
        o = {e.Message(), true, true, e.Kind()};
    } catch (const ESockError& e) {
        o = {e.Message(), true, false, e.Kind()};
    } catch (const Exception& e) {
        o = {e.Message(), false, false};
    }
    return o;
}

// The system's sockets, with failures on cue. Everything not told to fail
// goes to the real sockets.
class FailingSockets : public platform::SocketApi {
public:
    enum class Lookup { Real, Fail, Never };

    bool failCreate = false;
    bool failLinger = false;
    int createError = platform::WSAEMFILE;
    bool failConnect = false;
    int connectError = 0;
    int sendError = 0;            // Send fails with this code when not 0
    int recvError = 0;            // Recv fails with this code when not 0
    std::string unannounced;      // bytes Recv hands out first, with no FD_READ for them
    bool sendWouldBlock = false;  // Send never gets anywhere
    Lookup lookup = Lookup::Real;
    int lookupError = platform::WSAHOST_NOT_FOUND;
    bool replayFirstLookup = false;  // a later look-up also posts the first one's completion

    struct Started {
        HWND window;
        UINT msg;
        LookupHandle handle;
    };
    std::vector<Started> lookups;
    std::vector<LookupHandle> withdrawn;
    struct Selection {
        platform::SOCKET socket;
        HWND window;
        UINT msg;
        long events;
    };
    std::vector<Selection> selections;
    int liveSockets = 0;

    bool Startup() override { return real_.Startup(); }
    void Cleanup() override { real_.Cleanup(); }
    platform::SOCKET CreateStreamSocket() override {
        if (failCreate)
            return fail(createError), platform::INVALID_SOCKET;
        own_ = false;
        const platform::SOCKET s = real_.CreateStreamSocket();
        if (s != platform::INVALID_SOCKET)
            ++liveSockets;
        return s;
    }
    int SetLinger(platform::SOCKET s, bool on, std::uint16_t seconds) override {
        if (failLinger)
            return fail(platform::WSAENOPROTOOPT);
        own_ = false;
        return real_.SetLinger(s, on, seconds);
    }
    int AsyncSelect(platform::SOCKET s, HWND w, UINT m, long e) override {
        selections.push_back({s, w, m, e});
        own_ = false;
        return real_.AsyncSelect(s, w, m, e);
    }
    int Connect(platform::SOCKET s, const platform::SockAddrIn& a) override {
        if (failConnect)
            return fail(connectError);
        own_ = false;
        return real_.Connect(s, a);
    }
    int Send(platform::SOCKET s, const char* d, int n) override {
        if (sendWouldBlock)
            return fail(platform::WSAEWOULDBLOCK);
        if (sendError != 0)
            return fail(sendError);
        own_ = false;
        return real_.Send(s, d, n);
    }
    int Recv(platform::SOCKET s, char* d, int len) override {
        if (recvError != 0)
            return fail(recvError);
        if (!unannounced.empty()) {
            const std::size_t n = std::min<std::size_t>(unannounced.size(), static_cast<std::size_t>(len));
            unannounced.copy(d, n);
            unannounced.erase(0, n);
            own_ = false;
            return static_cast<int>(n);
        }
        own_ = false;
        return real_.Recv(s, d, len);
    }
    int CloseSocket(platform::SOCKET s) override {
        own_ = false;
        const int rc = real_.CloseSocket(s);
        if (rc == 0)
            --liveSockets;
        return rc;
    }
    int LastError() const override { return own_ ? error_ : real_.LastError(); }
    std::uint32_t InetAddr(const std::string& t) override { return real_.InetAddr(t); }
    LookupHandle AsyncGetHostByName(HWND w, UINT m, const std::string& name,
                                    std::shared_ptr<platform::HostEntry> r) override {
        if (lookup == Lookup::Real) {
            own_ = false;
            const LookupHandle h = real_.AsyncGetHostByName(w, m, name, r);
            lookups.push_back({w, m, h});
            return h;
        }
        const LookupHandle h = nextHandle_++;
        lookups.push_back({w, m, h});
        if (lookup == Lookup::Fail)
            platform::PostMessage(w, m, h, platform::MakeLong(0, static_cast<std::uint16_t>(lookupError)));
        if (replayFirstLookup && lookups.size() > 1)
            platform::PostMessage(lookups.front().window, lookups.front().msg, lookups.front().handle, 0);
        return h;
    }
    int CancelAsyncRequest(LookupHandle h) override {
        withdrawn.push_back(h);
        if (lookup == Lookup::Real)
            return real_.CancelAsyncRequest(h);
        return 0;
    }

private:
    int fail(int code) {
        own_ = true;
        error_ = code;
        return platform::SOCKET_ERROR;
    }

    platform::SocketApi& real_ = platform::SystemSockets();
    bool own_ = false;
    int error_ = 0;
    LookupHandle nextHandle_ = 0x7000000;
};

// Moves a manual clock from the message loop, one step per turn of the loop,
// so that the ticks a step makes due are delivered before the next step.
class ClockSteps {
public:
    ClockSteps(ManualClock& clock, std::vector<ManualClock::duration> steps) : clock_(clock), steps_(std::move(steps)) {
        next();
    }

private:
    void next() {
        if (taken_ == steps_.size())
            return;
        laters_.push_back(std::make_unique<Later>([this] {
            clock_.Advance(steps_[taken_++]);
            next();
        }));
    }

    ManualClock& clock_;
    std::vector<ManualClock::duration> steps_;
    std::size_t taken_ = 0;
    std::vector<std::unique_ptr<Later>> laters_;  // each lives as long as the steps
};

long long Ms(ManualClock::duration d) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

// A session (on real or failing sockets) and a loopback peer to talk to. Its
// clock moves only when a test advances it, so every time-out below happens
// exactly where the test says, and a wait that ends without one did not need it.
class Session : public testing::Test {
protected:
    void UseFailingSockets() { sock = std::make_unique<TPowersock>(nullptr, fake, clock); }

    // Notes the clock's reading (ms since the test began) whenever the
    // session's operation timer fires.
    void RecordTriggers() {
        sock->SetReportLevel(8);
        sock->OnStatus = [this](TComponent*, const AnsiString& status) {
            if (status == "Timer Triggered")
                triggers.push_back(Ms(clock.Elapsed()));
        };
    }

    void ConnectToPeer() {
        sock->SetHost("127.0.0.1");
        sock->SetPort(listener.port());
        sock->Connect();
        peer = listener.Accept();
        ASSERT_TRUE(peer.valid());
    }

    FailingSockets fake;  // declared first: it outlives the session
    ManualClock clock;
    testing_support::StuckWaitGuard guard{clock};
    testpeer::Listener listener;
    std::unique_ptr<TPowersock> sock = std::make_unique<TPowersock>(nullptr, platform::SystemSockets(), clock);
    testpeer::PeerConnection peer;
    std::vector<long long> triggers;
};

// ---- field splitting ------------------------------------------------------

struct FieldCase {
    const char* text;
    int n;
    const char* field;
};

class FieldAtCase : public testing::TestWithParam<FieldCase> {};

TEST_P(FieldAtCase, SplitsAtEverySingleSeparator) {
    EXPECT_EQ(FieldAt(GetParam().text, ' ', GetParam().n), GetParam().field);
}

INSTANTIATE_TEST_SUITE_P(Session, FieldAtCase,
                         testing::Values(FieldCase{"+OK 2 320", 2, "2"}, FieldCase{"+OK\r\n", 1, "+OK\r\n"},
                                         FieldCase{"a  b", 3, "b"}, FieldCase{"a  b", 2, ""},
                                         FieldCase{"+OK 5\r\n", 2, "5\r\n"}, FieldCase{"", 1, ""},
                                         FieldCase{"one two", 3, ""}, FieldCase{" +OK", 1, ""}));

// ---- connecting ------------------------------------------------------------

TEST_F(Session, DottedQuadConnectsWithoutLookup) {
    int resolved = 0;
    int connected = 0;
    sock->OnHostResolved = [&](TComponent*) { ++resolved; };
    sock->OnConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, sock.get());
        ++connected;
    };
    ConnectToPeer();
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Already connected");
}

TEST_F(Session, HostNameIsLookedUpAndAnnounced) {
    int resolved = 0;
    sock->OnHostResolved = [&](TComponent* sender) {
        EXPECT_EQ(sender, sock.get());
        ++resolved;
    };
    sock->SetHost("localhost");
    sock->SetPort(listener.port());
    sock->SetTimeOut(10000);
    sock->Connect();
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(resolved, 1);
    EXPECT_TRUE(listener.Accept().valid());
}

TEST_F(Session, NullAddressAsksOnInvalidHostOnce) {
    UseFailingSockets();
    sock->SetHost("0.0.0.0");
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Null Remote Address");
    EXPECT_TRUE(fake.lookups.empty());

    // A name that never resolves: asked once, tried twice.
    fake.lookup = FailingSockets::Lookup::Fail;
    sock->SetHost("nowhere.invalid");
    int asked = 0;
    sock->OnInvalidHost = [&](bool& Handled) {
        ++asked;
        Handled = true;
    };
    const Outcome o = Raised([&] { sock->Connect(); });
    EXPECT_EQ(o.message, "Null Remote Address");
    EXPECT_TRUE(o.sockError);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(fake.lookups.size(), 2u);

    // Declined: no second attempt.
    fake.lookups.clear();
    asked = 0;
    sock->OnInvalidHost = [&](bool&) { ++asked; };
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Null Remote Address");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(fake.lookups.size(), 1u);

    // The handler may repair the host.
    sock->OnInvalidHost = [&](bool& Handled) {
        sock->SetHost("127.0.0.1");
        Handled = true;
    };
    sock->SetHost("nowhere.invalid");
    sock->SetPort(listener.port());
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "<nothing raised>");
    EXPECT_TRUE(sock->Connected());
}

TEST_F(Session, LookupTimeoutAndCancelPassOutOfConnect) {
    UseFailingSockets();
    fake.lookup = FailingSockets::Lookup::Never;
    int asked = 0;
    sock->OnInvalidHost = [&](bool& Handled) {
        ++asked;
        Handled = true;
    };
    sock->SetHost("slow.invalid");
    sock->SetTimeOut(50);
    RecordTriggers();
    {
        ClockSteps steps(clock, {49ms, 1ms});
        EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Host Lookup Timed Out");
    }
    EXPECT_EQ(triggers, std::vector<long long>{50});
    EXPECT_EQ(asked, 0);
    ASSERT_EQ(fake.lookups.size(), 1u);
    ASSERT_EQ(fake.withdrawn.size(), 1u);  // the abandoned look-up is withdrawn
    EXPECT_EQ(fake.withdrawn[0], fake.lookups[0].handle);

    sock->SetTimeOut(0);
    Later cancel([&] { sock->Cancel(); });
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Host Lookup Canceled");
    EXPECT_EQ(asked, 0);
}

TEST_F(Session, LateCompletionOfAnAbandonedLookupIsIgnored) {
    UseFailingSockets();
    fake.lookup = FailingSockets::Lookup::Never;
    sock->SetHost("slow.invalid");
    sock->SetTimeOut(50);
    {
        ClockSteps steps(clock, {50ms});
        EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Host Lookup Timed Out");
    }
    // The first look-up "completes" while the second is being waited for:
    // that says nothing about the second, which still times out.
    fake.replayFirstLookup = true;
    ClockSteps steps(clock, {50ms});
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Host Lookup Timed Out");
}

TEST_F(Session, RefusedConnectionFailsAfterOnConnectionFailed) {
    std::vector<std::string> order;
    sock->OnConnectionFailed = [&](TObject*) { order.push_back("OnConnectionFailed"); };
    sock->SetHost("127.0.0.1");
    sock->SetPort(testpeer::ClosedPort());
    const Outcome o = Raised([&] { sock->Connect(); });
    order.push_back(o.message);
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], "OnConnectionFailed");
    EXPECT_EQ(order[1], "Connection Failed");
    EXPECT_TRUE(o.sockError);
    EXPECT_EQ(sock->LastError(), platform::WSAECONNREFUSED);
    EXPECT_FALSE(sock->Connected());

    // The same socket is used again and now reaches a listener.
    sock->SetPort(listener.port());
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "<nothing raised>");
    EXPECT_TRUE(sock->Connected());
}

TEST_F(Session, ConnectToAFullBacklogTimesOut) {
    testpeer::Listener full(0);
    // With a backlog of 0 one finished handshake fills the queue; the
    // session's handshake then gets no answer.
    const int filler = testpeer::ConnectClient(full.port());
    int failed = 0;
    sock->OnConnectionFailed = [&](TObject*) { ++failed; };
    sock->SetHost("127.0.0.1");
    sock->SetPort(full.port());
    sock->SetTimeOut(100);
    RecordTriggers();
    ClockSteps steps(clock, {99ms, 1ms});
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Connection Timed out");
    EXPECT_EQ(triggers, std::vector<long long>{100});
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(sock->Connected());
    ::close(filler);
}

TEST_F(Session, AbandonedConnectThatCompletesLaterBlocksTheNextConnect) {
    int connected = 0;
    sock->OnConnect = [&](TObject*) { ++connected; };
    sock->SetReportLevel(8);
    // Cancel as soon as the connect is under way (the timer is armed right after it).
    sock->OnStatus = [&](TComponent*, const AnsiString& status) {
        if (status == "Timer On")
            sock->Cancel();
    };
    sock->SetHost("127.0.0.1");
    sock->SetPort(listener.port());
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Connection Canceled");
    sock->OnStatus = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return sock->Connected(); }));
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Already connected");
}

struct ErrorTextCase {
    int code;
    const char* text;
};

class ConnectError : public Session, public testing::WithParamInterface<ErrorTextCase> {};

TEST_P(ConnectError, RaisesTheCodeAndItsText) {
    UseFailingSockets();
    fake.failConnect = true;
    fake.connectError = GetParam().code;
    sock->SetHost("127.0.0.1");
    sock->SetPort(listener.port());
    const Outcome o = Raised([&] { sock->Connect(); });
    EXPECT_TRUE(o.sockError);
    EXPECT_EQ(o.message, GetParam().text);
    EXPECT_EQ(o.kind, SockFailure::PlatformError);
    EXPECT_EQ(sock->LastError(), GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(Session, ConnectError,
                         testing::Values(ErrorTextCase{10061, "10061:Connection refused"},
                                         ErrorTextCase{10065, "10065:No route to Host"},
                                         ErrorTextCase{11001, "11001:Host not found"},
                                         ErrorTextCase{10093, "10093:Successful WSAStartup not yet performed"},
                                         ErrorTextCase{12345, "Unknown Error No. 12345"}, ErrorTextCase{0, ""}));

// ---- creation, close and destruction ----------------------------------------

TEST_F(Session, SocketFailuresAtCreationRaiseAndReleaseEverything) {
    const int users = TPowersock::WinsockUsers();
    fake.failCreate = true;
    EXPECT_EQ(Raised([&] { TPowersock s(nullptr, fake, clock); }).message, "Initializaton of windows sockets failed");
    EXPECT_EQ(TPowersock::WinsockUsers(), users);

    fake.failCreate = false;
    fake.failLinger = true;
    TComponent owner(nullptr);
    EXPECT_EQ(Raised([&] { new TPowersock(&owner, fake, clock); }).message, "Initializaton of windows sockets failed");
    EXPECT_EQ(TPowersock::WinsockUsers(), users);
    EXPECT_EQ(fake.liveSockets, 0);
    EXPECT_EQ(owner.ComponentCount(), 0);
}

TEST_F(Session, WinsockUsersCountsLiveSessions) {
    const int users = TPowersock::WinsockUsers();
    {
        TPowersock a(nullptr, platform::SystemSockets(), clock), b(nullptr, platform::SystemSockets(), clock);
        EXPECT_EQ(TPowersock::WinsockUsers(), users + 2);
    }
    EXPECT_EQ(TPowersock::WinsockUsers(), users);
}

TEST_F(Session, FirstSocketClosesAbortivelyLaterOnesGracefully) {
    int disconnects = 0;
    sock->OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectToPeer();
    sock->Disconnect();
    EXPECT_EQ(disconnects, 1);
    EXPECT_FALSE(sock->Connected());
    EXPECT_EQ(peer.WaitForEnd(), ECONNRESET);

    ConnectToPeer();
    sock->Disconnect();
    EXPECT_EQ(disconnects, 2);
    EXPECT_EQ(peer.WaitForEnd(), 0);
}

TEST_F(Session, FreshSocketThatCouldNotBeMadeIsMadeAtTheNextConnect) {
    UseFailingSockets();
    ConnectToPeer();
    fake.failCreate = true;
    sock->Disconnect();
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "10024:Too many open files");
    fake.failCreate = false;
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "<nothing raised>");
    EXPECT_TRUE(sock->Connected());
}

TEST_F(Session, NotificationForAnEarlierSocketDoesNotTouchTheCurrentOne) {
    UseFailingSockets();
    int disconnects = 0;
    sock->OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectToPeer();
    const FailingSockets::Selection first = fake.selections.front();
    sock->Disconnect();
    ConnectToPeer();
    ASSERT_NE(fake.selections.back().socket, first.socket);
    // A close of the first socket, still queued from before.
    platform::PostMessage(first.window, first.msg, first.socket,
                          platform::MakeLong(static_cast<std::uint16_t>(platform::FD_CLOSE), 0));
    bool marker = false;
    Later after([&] { marker = true; });  // queued behind it
    ASSERT_TRUE(WaitUntil([&] { return marker; }));
    EXPECT_TRUE(sock->Connected());
    EXPECT_EQ(disconnects, 1);
}

TEST_F(Session, DestroyingAConnectedSessionClosesWithoutOnDisconnect) {
    int disconnects = 0;
    int statuses = 0;
    sock->OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectToPeer();
    const int users = TPowersock::WinsockUsers();
    sock->SetReportLevel(16);
    sock->OnStatus = [&](TComponent*, const AnsiString&) { ++statuses; };
    sock.reset();
    EXPECT_EQ(disconnects, 0);
    EXPECT_EQ(statuses, 0);
    EXPECT_EQ(TPowersock::WinsockUsers(), users - 1);
    EXPECT_EQ(peer.WaitForEnd(), ECONNRESET);
}

// ---- lines in -----------------------------------------------------------------

TEST_F(Session, TwoLinesInOneChunkComeOutOneByOne) {
    EXPECT_EQ(Raised([&] { sock->ReadLn(); }).message, "Not connected");
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("one\r\ntwo\r\n"));
    EXPECT_EQ(sock->ReadLn(), "one\r\n");
    // The second line is already here; its position stays at the end.
    EXPECT_EQ(sock->ReceiveBuffer().Size(), 5);
    EXPECT_EQ(sock->ReceiveBuffer().Position(), 5);
    peer.Close();
    EXPECT_EQ(sock->ReadLn(), "two\r\n");
}

TEST_F(Session, LongLineInSeveralChunksComesOutWhole) {
    ConnectToPeer();
    const std::string line = std::string(40000, 'L') + "\r\n";
    ASSERT_TRUE(peer.Send(line.substr(0, 20000)));
    ASSERT_TRUE(peer.Send(line.substr(20000)));
    EXPECT_EQ(sock->ReadLn(), line);
    EXPECT_EQ(sock->ReceiveBuffer().Size(), 0);
}

TEST_F(Session, PeerCloseKeepsCompleteLinesAndFailsTheIncompleteOne) {
    int disconnects = 0;
    sock->OnDisconnect = [&](TObject*) { ++disconnects; };
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("a\r\npartial"));
    peer.Close();
    ASSERT_TRUE(WaitUntil([&] { return disconnects == 1; }));
    EXPECT_FALSE(sock->Connected());
    EXPECT_EQ(std::string(sock->ReceiveBuffer().Memory(), sock->ReceiveBuffer().Size()), "a\r\npartial");
    EXPECT_EQ(sock->ReadLn(), "a\r\n");
    // The clock stands still: only the close can end this wait.
    const Outcome o = Raised([&] { sock->ReadLn(); });
    EXPECT_EQ(o.message, "Connection closed by peer");
    EXPECT_EQ(o.kind, SockFailure::ClosedByPeer);
    EXPECT_TRUE(o.sockError);
    EXPECT_FALSE(o.abortError);
    EXPECT_EQ(Raised([&] { sock->Writeln("QUIT"); }).message, "Connection closed by peer");

    // The next connection starts clean: no piece of the old line in front.
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("+OK ready\r\n"));
    EXPECT_EQ(sock->ReadLn(), "+OK ready\r\n");
}

TEST_F(Session, PeerClosingDuringReadLnEndsItAtOnce) {
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("no line end"));
    Later close([&] { peer.Close(); });
    EXPECT_EQ(Raised([&] { sock->ReadLn(); }).message, "Connection closed by peer");
    EXPECT_FALSE(guard.fired());
}

TEST_F(Session, SilentPeerTimesReadLnOut) {
    ConnectToPeer();
    sock->SetTimeOut(100);
    {
        // Not yet at 99 ms: the line that comes then is taken.
        Later almost([&] {
            clock.Advance(99ms);
            peer.Send("+OK in time\r\n");
        });
        EXPECT_EQ(sock->ReadLn(), "+OK in time\r\n");
    }
    ClockSteps steps(clock, {99ms, 1ms});
    const Outcome o = Raised([&] { sock->ReadLn(); });
    EXPECT_EQ(o.message, "Socket readln timed out");
    EXPECT_EQ(o.kind, SockFailure::ReadTimedOut);
    EXPECT_TRUE(o.sockError);
    EXPECT_EQ(Ms(clock.Elapsed()), 199);
    EXPECT_TRUE(sock->Connected());
    // The line can still come afterwards.
    ASSERT_TRUE(peer.Send("+OK late\r\n"));
    EXPECT_EQ(sock->ReadLn(), "+OK late\r\n");
}

TEST_F(Session, EndlessLineIsCutOffWithBoundedMemory) {
    ConnectToPeer();
    const std::int64_t cap = 1 << 20;
    const std::int64_t bound = cap + 16383;  // one chunk may land on top of the cap
    const std::string flood(static_cast<std::size_t>(cap + cap / 2), 'x');
    peer.SetSendTimeout(5000);
    std::thread sender([&] { peer.Send(flood + "\r\nnext\r\n"); });

    // Arriving while nobody reads lines: receiving stops at the cap and the
    // rest waits with the peer.
    ASSERT_TRUE(WaitUntil([&] { return sock->ReceiveBuffer().Size() >= cap; }));
    EXPECT_FALSE(WaitUntil([&] { return sock->ReceiveBuffer().Size() > bound; }, 200));

    const Outcome o = Raised([&] { sock->ReadLn(); });
    EXPECT_EQ(o.message, "Socket readln line too long");
    EXPECT_TRUE(o.sockError);

    // Reading resumes: the rest of the runaway line, then the next one.
    std::int64_t largest = 0;
    platform::MessageWindow probe([&](UINT, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
        largest = std::max(largest, sock->ReceiveBuffer().Size());
        return 0;
    });
    probe.setTimer(1, 1);
    const AnsiString tail = sock->ReadLn();
    EXPECT_LT(static_cast<std::int64_t>(tail.size()), cap);
    EXPECT_EQ(tail.substr(tail.size() - 3), "x\r\n");
    EXPECT_EQ(sock->ReadLn(), "next\r\n");
    EXPECT_LE(largest, bound);
    probe.killTimer(1);
    sender.join();
}

TEST_F(Session, ReadingPausedByAFullBufferResumesOnceReadLnTakesLines) {
    ConnectToPeer();
    const std::int64_t cap = 1 << 20;
    // Complete lines, twice as many bytes as the buffer may hold: receiving
    // pauses at the cap, and only ReadLn taking lines can start it again.
    const std::string line = std::string(1000, 'x') + "\r\n";
    const int lines = static_cast<int>(2 * cap / static_cast<std::int64_t>(line.size()));
    std::string all;
    for (int i = 0; i < lines; ++i) all += line;
    peer.SetSendTimeout(5000);
    std::thread sender([&] { peer.Send(all + "end\r\n"); });

    // Wait until the read handler has found the buffer full and left the
    // rest with the peer.
    bool paused = false;
    int handlerRuns = 0;
    sock->SetReportLevel(8);
    sock->OnStatus = [&](TComponent*, const AnsiString& status) {
        if (status != "ReadToStream")
            return;
        ++handlerRuns;
        paused = paused || sock->ReceiveBuffer().Size() >= cap;
    };
    bool sawPause = WaitUntil([&] { return paused; });
    // Let what was already on its way (a queued notification, a read
    // notifier about to fire) find the buffer full as well, so that nothing
    // but ReadLn can start reading again.
    for (int before = -1; sawPause && before != handlerRuns;) {
        before = handlerRuns;
        sawPause = DeliverQueuedMessages() && DeliverQueuedMessages();
    }
    sock->OnStatus = nullptr;
    sawPause = sawPause && sock->ReceiveBuffer().Size() >= cap;

    int taken = 0;
    const Outcome o = Raised([&] {
        for (AnsiString got = sock->ReadLn(); got != "end\r\n"; got = sock->ReadLn()) taken += got == line;
    });
    sender.join();
    ASSERT_TRUE(sawPause);
    EXPECT_EQ(o.message, "<nothing raised>");
    EXPECT_EQ(taken, lines);
}

TEST_F(Session, AFailedReceiveEndsTheLineWaitWithItsError) {
    UseFailingSockets();
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("+OK one\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return sock->ReceiveBuffer().Size() == 9; }));
    fake.recvError = platform::WSAECONNRESET;
    ASSERT_TRUE(peer.Send("+OK lost\r\n"));
    // The line that came before the failure is still handed out; then the
    // failure's own text ends the wait (the clock stands still).
    EXPECT_EQ(sock->ReadLn(), "+OK one\r\n");
    const Outcome o = Raised([&] { sock->ReadLn(); });
    EXPECT_EQ(o.message, "10054:Connection reset by peer");
    EXPECT_EQ(o.kind, SockFailure::PlatformError);
    EXPECT_EQ(sock->LastError(), platform::WSAECONNRESET);

    // It belonged to that connection only.
    fake.recvError = 0;
    sock->Disconnect();
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("+OK again\r\n"));
    EXPECT_EQ(sock->ReadLn(), "+OK again\r\n");
}

TEST_F(Session, DiscardInputDropsEverythingReceivedSoFar) {
    UseFailingSockets();
    ConnectToPeer();
    EXPECT_NO_THROW(sock->DiscardInput());  // nothing there: nothing waits
    ASSERT_TRUE(peer.Send("stale one\r\nstale two\r\npart"));
    ASSERT_TRUE(WaitUntil([&] { return sock->ReceiveBuffer().Size() == 26; }));
    // Bytes the socket holds that no handler has read yet go too.
    fake.unannounced = "stale three\r\n";
    sock->DiscardInput();
    EXPECT_EQ(sock->ReceiveBuffer().Size(), 0);
    EXPECT_EQ(fake.unannounced, "");

    ASSERT_TRUE(peer.Send("+OK fresh\r\n"));
    EXPECT_EQ(sock->ReadLn(), "+OK fresh\r\n");
}

// ---- replies ----------------------------------------------------------------------

struct ReplyCase {
    const char* reply;
    int code;               // ReplyCode afterwards
    const char* exception;  // what Transaction raises, or null
};

class Reply : public Session, public testing::WithParamInterface<ReplyCase> {};

TEST_P(Reply, CodeIsTakenFromLeadingDigits) {
    ConnectToPeer();
    ASSERT_TRUE(peer.Send(GetParam().reply));
    AnsiString got;
    const Outcome o = Raised([&] { got = sock->Transaction("NOOP"); });
    EXPECT_EQ(peer.Receive(6), "NOOP\r\n");
    EXPECT_EQ(sock->LastReply(), GetParam().reply);
    if (GetParam().exception != nullptr) {
        EXPECT_EQ(o.message, GetParam().exception);
        EXPECT_FALSE(o.sockError);
    } else {
        EXPECT_EQ(o.message, "<nothing raised>");
        EXPECT_EQ(got, GetParam().reply);
        EXPECT_EQ(sock->ReplyCode(), GetParam().code);
    }
}

INSTANTIATE_TEST_SUITE_P(Session, Reply,
                         testing::Values(ReplyCase{"+OK 2 320\r\n", 0, nullptr}, ReplyCase{"250 ok\r\n", 250, nullptr},
                                         ReplyCase{"-1 no\r\n", 0, nullptr}, ReplyCase{"0042x\r\n", 42, nullptr},
                                         ReplyCase{"4294967296 big\r\n", 0, nullptr},
                                         ReplyCase{"99999 big\r\n", 0, "Range check error"}));

// ---- lines out -----------------------------------------------------------------

TEST_F(Session, WriteSendsAtMost16384Characters) {
    ConnectToPeer();
    // Each case ends with a marker, so one byte too many shows up in its place.
    sock->Write(std::string(16384, 'a'));
    sock->Write("#");
    EXPECT_EQ(peer.Receive(16385), std::string(16384, 'a') + "#");

    sock->Write(std::string(16385, 'b'));
    sock->Write("#");
    EXPECT_EQ(peer.Receive(16385), std::string(16384, 'b') + "#");

    sock->Writeln(std::string(16383, 'c'));  // keeps its CR, loses its LF
    sock->Write("#");
    EXPECT_EQ(peer.Receive(16385), std::string(16383, 'c') + "\r#");

    sock->Write(std::string("ab\0cd", 5));
    sock->Writeln("");
    sock->Write("");  // nothing to send: returns at once
    sock->Write("#");
    EXPECT_EQ(peer.Receive(5), "ab\r\n#");
}

TEST_F(Session, CancelEndsReadLnUntilTheNextConnect) {
    ConnectToPeer();
    Later cancel([&] { sock->Cancel(); });
    Outcome o = Raised([&] { sock->ReadLn(); });
    EXPECT_EQ(o.message, "Socket readln aborted");
    EXPECT_TRUE(o.abortError);
    EXPECT_TRUE(sock->Cancelled());

    // Still cancelled: a buffered line is not handed out, and nothing is sent.
    ASSERT_TRUE(peer.Send("+OK\r\n"));
    EXPECT_EQ(Raised([&] { sock->ReadLn(); }).message, "Socket readln aborted");
    EXPECT_EQ(Raised([&] { sock->Writeln("QUIT"); }).message, "<nothing raised>");
    sock->Disconnect();
    EXPECT_EQ(peer.WaitForEnd(), ECONNRESET) << "data went out after Cancel";

    EXPECT_EQ(Raised([&] { ConnectToPeer(); }).message, "<nothing raised>");
    EXPECT_FALSE(sock->Cancelled());
}

TEST_F(Session, CancelledReadHandsTheConnectionToCancelCleanup) {
    ConnectToPeer();
    int cleanups = 0;
    sock->CancelCleanup = [&](TObject* sender) {
        EXPECT_EQ(sender, sock.get());
        ++cleanups;
        sock->Disconnect();
    };
    sock->Cancel();
    ASSERT_TRUE(peer.Send("+OK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return cleanups == 1; }));
    EXPECT_FALSE(sock->Connected());
}

TEST_F(Session, SendBufferFailuresEndTheWaitAndDropTheUnsentBytes) {
    UseFailingSockets();
    ConnectToPeer();

    fake.sendError = platform::WSAECONNRESET;
    Outcome o = Raised([&] { sock->Writeln("LOST"); });
    EXPECT_EQ(o.message, "10054:Connection reset by peer");
    EXPECT_EQ(o.kind, SockFailure::PlatformError);

    fake.sendError = 0;
    fake.sendWouldBlock = true;
    sock->SetTimeOut(100);
    {
        ClockSteps steps(clock, {99ms, 1ms});
        o = Raised([&] { sock->Writeln("STUCK"); });
    }
    EXPECT_EQ(o.message, "Socket send timed out");
    EXPECT_EQ(o.kind, SockFailure::SendTimedOut);
    EXPECT_EQ(Ms(clock.Elapsed()), 100);

    sock->SetTimeOut(0);
    {
        Later cancel([&] { sock->Cancel(); });
        o = Raised([&] { sock->Writeln("CANCELLED"); });
    }
    EXPECT_EQ(o.message, "Socket send aborted");
    EXPECT_TRUE(o.abortError);
    EXPECT_FALSE(sock->Cancelled());

    // Only the next line goes out, nothing of the failed ones.
    fake.sendWouldBlock = false;
    sock->Writeln("NEXT");
    EXPECT_EQ(peer.Receive(6), "NEXT\r\n");
    sock->Write("#");
    EXPECT_EQ(peer.Receive(1), "#");
}

// ---- one limit over all waits -----------------------------------------------------

TEST_F(Session, AWaitLimitCutsLineWaitsShortUntilItIsCleared) {
    ConnectToPeer();
    sock->SetTimeOut(1000);
    sock->LimitWaits(300);
    {
        ClockSteps steps(clock, {299ms, 1ms});
        EXPECT_EQ(Raised([&] { sock->ReadLn(); }).kind, SockFailure::ReadTimedOut);
    }
    EXPECT_EQ(Ms(clock.Elapsed()), 300);

    // A later, looser limit does not lift it: the next wait ends at once.
    sock->LimitWaits(5000);
    EXPECT_EQ(Raised([&] { sock->ReadLn(); }).message, "Socket readln timed out");
    // A line already here, or a send the platform takes at once, is not a wait.
    ASSERT_TRUE(peer.Send("+OK\r\n"));
    ASSERT_TRUE(WaitUntil([&] { return sock->ReceiveBuffer().Size() == 5; }));
    EXPECT_EQ(sock->ReadLn(), "+OK\r\n");
    EXPECT_EQ(Raised([&] { sock->Writeln("QUIT"); }).message, "<nothing raised>");
    EXPECT_EQ(peer.Receive(6), "QUIT\r\n");

    // Cleared, each wait has its own bound again.
    sock->ClearWaitLimit();
    ClockSteps steps(clock, {999ms, 1ms});
    EXPECT_EQ(Raised([&] { sock->ReadLn(); }).message, "Socket readln timed out");
    EXPECT_EQ(Ms(clock.Elapsed()), 1300);
}

TEST_F(Session, AWaitLimitBoundsLookupAndConnectWaitsToo) {
    UseFailingSockets();
    fake.lookup = FailingSockets::Lookup::Never;
    sock->SetHost("slow.invalid");
    sock->SetTimeOut(60000);
    RecordTriggers();
    sock->LimitWaits(250);
    {
        ClockSteps steps(clock, {249ms, 1ms});
        EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Host Lookup Timed Out");
    }
    EXPECT_EQ(triggers, std::vector<long long>{250});

    // With the limit passed, a connect wait is over before it starts.
    testpeer::Listener full(0);
    const int filler = testpeer::ConnectClient(full.port());
    sock->SetHost("127.0.0.1");
    sock->SetPort(full.port());
    EXPECT_EQ(Raised([&] { sock->Connect(); }).message, "Connection Timed out");
    EXPECT_EQ(Ms(clock.Elapsed()), 250);
    ::close(filler);
}

// ---- status reports ------------------------------------------------------------------

class Reporting : public Session, public testing::WithParamInterface<int> {};

TEST_P(Reporting, OnlyTextsUpToReportLevelAreReported) {
    const int level = GetParam();
    const std::map<std::string, int> levels = {
        {"Sending Buffer", 4},
        {"Request Close Socket", 4},
        {"Connecting", 8},
        {"Resolve Host", 8},
        {"Timer On", 8},
        {"Timer Off", 8},
        {"Disconnecting", 8},
        {"Write", 8},
        {"Writeln", 8},
        {"ReadLn", 8},
        {"Transaction", 8},
        {"ReadToStream", 8},
        {"WriteFromStream", 8},
        {"Canceling", 8},
        {"Checking Error In Error Manager", 16},
    };
    std::vector<std::string> seen;
    sock->SetReportLevel(level);
    sock->OnStatus = [&](TComponent* sender, const AnsiString& status) {
        EXPECT_EQ(sender, sock.get());
        seen.push_back(status);
    };
    ConnectToPeer();
    ASSERT_TRUE(peer.Send("+OK hi\r\n"));
    sock->Transaction("NOOP");
    sock->Disconnect();

    int highest = 0;
    for (const std::string& s : seen) {
        const auto it = levels.find(s);
        const int l = it == levels.end() ? (s == "+OK hi\r\n" ? 1 : 99) : it->second;
        EXPECT_LE(l, level) << s;
        highest = std::max(highest, l);
    }
    EXPECT_EQ(highest, level) << "nothing of the highest allowed level was reported";
    if (!seen.empty()) {
        EXPECT_EQ(sock->Status(), seen.back());
    }
}

INSTANTIATE_TEST_SUITE_P(Session, Reporting, testing::Values(0, 1, 4, 8, 16));

}  // namespace
