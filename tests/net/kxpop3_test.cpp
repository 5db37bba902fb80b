// The POP3 client against a scripted server: the exact lines it sends, the
// exception texts, and what is cleaned up on each way out.
#include "net/kxpop3.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "net/check_failure.h"
#include "net/sasl.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scripted_pop3_server.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing_support::Close;
using testing_support::Expect;
using testing_support::Hang;
using testing_support::Script;
using testing_support::ScriptedPop3Server;
using testing_support::Send;
using testing_support::Stream;
using Lines = std::vector<std::string>;

namespace {

constexpr auto kSessionEnd = 5s;

// The text of the exception that f raises, or "(no exception)".
template <typename F>
std::string FailureOf(F&& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.Message();
    }
    return "(no exception)";
}

// A logged-on dialogue up to (and including) the STAT exchange.
Script LogOn(const std::string& statReply) {
    return {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
            Expect("STAT", statReply)};
}

class KxPop3Test : public ::testing::Test {
protected:
    void SetUp() override { MakeClient(clock); }

    // A client of alice's mailbox on the scripted server, on `c`.
    void MakeClient(const platform::Clock& c) {
        client = std::make_unique<TKxPOP3>(nullptr, platform::SystemSockets(), c);
        client->SetHost("127.0.0.1");
        client->SetPort(server.Port());
        client->SetUserID("alice");
        client->SetPassword("secret");
    }

    ScriptedPop3Server server;
    platform::SteadyClock clock;
    std::unique_ptr<TKxPOP3> client;
};

TEST_F(KxPop3Test, ChecksTheMailboxAndSaysQuit) {
    Script script = LogOn("+OK 3 1234\r\n");
    script.push_back(Expect("QUIT", "+OK bye\r\n"));
    server.AddSession(script);
    int connects = 0;
    client->OnConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, client.get());
        ++connects;
    };

    client->Connect();
    EXPECT_TRUE(client->Connected());
    EXPECT_EQ(client->MessageCount(), 3);
    EXPECT_EQ(connects, 1);
    client->Disconnect();

    EXPECT_FALSE(client->Connected());
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
    EXPECT_TRUE(server.Mismatches(0).empty());
}

// The message count is the second space-separated field of the STAT reply,
// taken as an integer with default 0.
struct StatCase {
    const char* reply;
    int count;
};

class StatReplyTest : public KxPop3Test, public ::testing::WithParamInterface<StatCase> {};

TEST_P(StatReplyTest, TakesTheCountFromTheSecondField) {
    Script script = LogOn(GetParam().reply);
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);
    client->Connect();
    EXPECT_EQ(client->MessageCount(), GetParam().count);
    client->Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Replies, StatReplyTest,
                         ::testing::Values(StatCase{"+OK 3 1234\r\n", 3}, StatCase{"+OK 0 0\r\n", 0},
                                           // The second field keeps the line end: not a number.
                                           StatCase{"+OK 5\r\n", 0},
                                           // Two spaces: the second field is empty.
                                           StatCase{"+OK  5 100\r\n", 0}, StatCase{"+OK 7 1\n", 7},
                                           StatCase{"+OK $1F 10\r\n", 31}, StatCase{"+OK 4294967296 1\r\n", 0},
                                           StatCase{"+OK 12abc 1\r\n", 0}));

// The greeting goes through the same reply test as every other reply: "+OK"
// somewhere in the first word.
struct GreetingCase {
    const char* greeting;
    bool accepted;
};

class GreetingTest : public KxPop3Test, public ::testing::WithParamInterface<GreetingCase> {};

TEST_P(GreetingTest, AcceptsPlusOkInTheFirstWord) {
    const std::string greeting = GetParam().greeting;
    if (GetParam().accepted) {
        Script script = {Send(greeting), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                         Expect("STAT", "+OK 1 10\r\n"), Expect("QUIT", "+OK\r\n")};
        server.AddSession(script);
        client->Connect();
        EXPECT_EQ(client->MessageCount(), 1);
        client->Disconnect();
    } else {
        server.AddSession({Send(greeting), Expect("QUIT", "+OK\r\n")});
        EXPECT_EQ(FailureOf([&] { client->Connect(); }), greeting);
        EXPECT_FALSE(client->Connected());
        ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
        EXPECT_EQ(server.Lines(0), (Lines{"QUIT\r\n"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Greetings, GreetingTest,
                         ::testing::Values(GreetingCase{"+OK ready\r\n", true}, GreetingCase{"+OK\r\n", true},
                                           GreetingCase{"x+OKy hello\r\n", true}, GreetingCase{"+OK ready\n", true},
                                           GreetingCase{"-ERR busy\r\n", false}, GreetingCase{" +OK ready\r\n", false},
                                           GreetingCase{"+ok ready\r\n", false}));

TEST_F(KxPop3Test, RefusedUserEndsWithQuitAndNoPass) {
    server.AddSession(
        {Send("+OK ready\r\n"), Expect("USER alice", "-ERR no such user\r\n"), Expect("QUIT", "+OK\r\n")});
    bool connected = false;
    client->OnConnect = [&](TObject*) { connected = true; };

    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_FALSE(client->Connected());
    EXPECT_FALSE(connected);
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "QUIT\r\n"}));
}

TEST_F(KxPop3Test, RefusedPassEndsWithQuit) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"),
                       Expect("PASS secret", "-ERR [AUTH] wrong\r\n"), Expect("QUIT", "+OK\r\n")});
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "QUIT\r\n"}));
}

TEST_F(KxPop3Test, AHandledRefusalLogsOnOnceMore) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "-ERR wrong\r\n"),
                       Expect("USER alice", "+OK\r\n"), Expect("PASS better", "+OK\r\n"),
                       Expect("STAT", "+OK 2 20\r\n"), Expect("QUIT", "+OK\r\n")});
    int asked = 0;
    client->OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        client->SetPassword("better");
        handled = true;
    };
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    EXPECT_EQ(asked, 1);
    client->Disconnect();
    EXPECT_TRUE(server.Mismatches(0).empty());
}

TEST_F(KxPop3Test, ASecondRefusalFailsWithoutAskingAgain) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "-ERR wrong\r\n"),
                       Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "-ERR wrong\r\n"),
                       Expect("QUIT", "+OK\r\n")});
    int asked = 0;
    client->OnAuthenticationFailed = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0),
              (Lines{"USER alice\r\n", "PASS secret\r\n", "USER alice\r\n", "PASS secret\r\n", "QUIT\r\n"}));
}

TEST_F(KxPop3Test, AnUnhandledRefusalFailsAtOnce) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "-ERR\r\n"), Expect("QUIT", "+OK\r\n")});
    int asked = 0;
    client->OnAuthenticationFailed = [&](bool&) { ++asked; };
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "QUIT\r\n"}));
}

TEST_F(KxPop3Test, MissingCredentialsFailBeforeAnyConnection) {
    client->SetPassword("");
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    client->SetPassword("secret");
    client->SetUserID("");
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");

    // A handler that declines is asked once and changes nothing.
    int asked = 0;
    client->OnAuthenticationNeeded = [&](bool&) { ++asked; };
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_EQ(asked, 1);

    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(KxPop3Test, TheNeededHandlerMayFillInTheCredentials) {
    Script script = LogOn("+OK 1 5\r\n");
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);
    client->SetUserID("");
    client->SetPassword("");
    client->OnAuthenticationNeeded = [&](bool& handled) {
        client->SetUserID("alice");
        client->SetPassword("secret");
        handled = true;
    };
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 1);
    client->Disconnect();
}

TEST_F(KxPop3Test, AHandledButStillEmptyPasswordIsSentAsItIs) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS ", "+OK\r\n"),
                       Expect("STAT", "+OK 0 0\r\n"), Expect("QUIT", "+OK\r\n")});
    client->SetPassword("");
    int asked = 0;
    client->OnAuthenticationNeeded = [&](bool& handled) {
        ++asked;
        handled = true;
    };
    client->Connect();
    EXPECT_EQ(asked, 1);
    client->Disconnect();
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS \r\n", "STAT\r\n", "QUIT\r\n"}));
}

TEST_F(KxPop3Test, RefusedStatStillFiresOnConnectAfterQuit) {
    Script script = LogOn("-ERR mailbox locked\r\n");
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);
    Lines seenAtConnect;
    bool connectedAtConnect = true;
    client->OnConnect = [&](TObject*) {
        seenAtConnect = server.Lines(0);
        connectedAtConnect = client->Connected();
    };

    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "-ERR mailbox locked\r\n");
    EXPECT_EQ(seenAtConnect, (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
    EXPECT_FALSE(connectedAtConnect);
}

TEST_F(KxPop3Test, RefusedQuitRaisesButCloses) {
    Script script = LogOn("+OK 1 1\r\n");
    script.push_back(Expect("QUIT", "-ERR cannot update\r\n"));
    server.AddSession(script);
    client->Connect();
    EXPECT_EQ(FailureOf([&] { client->Disconnect(); }), "-ERR cannot update\r\n");
    EXPECT_FALSE(client->Connected());
    EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
}

TEST_F(KxPop3Test, AFailedCheckKeepsTheEarlierCount) {
    Script first = LogOn("+OK 3 300\r\n");
    first.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(first);
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "-ERR\r\n"),
                       Expect("QUIT", "+OK\r\n")});

    client->Connect();
    client->Disconnect();
    ASSERT_EQ(client->MessageCount(), 3);
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_EQ(client->MessageCount(), 3);
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(KxPop3Test, DestroyingAConnectedClientClosesWithoutQuit) {
    server.AddSession(LogOn("+OK 1 1\r\n"));
    client->Connect();
    client.reset();
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n"}));
}

TEST_F(KxPop3Test, AbortWhenIdleClosesWithoutQuit) {
    Script script = LogOn("+OK 1 1\r\n");
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);
    script = LogOn("+OK 2 2\r\n");
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);

    client->Connect();
    client->Abort();
    EXPECT_FALSE(client->Connected());
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n"}));

    // The session is usable again.
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    client->Disconnect();
}

// The level of the session's status texts that name its operations.
constexpr int kStatusOperation = 8;

// Runs `action` from the event loop once the client waits for the greeting
// (it has said "ReadLn"; being connected is not enough, since the connect wait
// may still be running in the same turn). Nothing runs after the returned
// timer is gone.
std::unique_ptr<QTimer> WhenWaitingForTheGreeting(TKxPOP3& client, std::function<void()> action) {
    auto reading = std::make_shared<bool>(false);
    client.SetReportLevel(kStatusOperation);
    client.OnStatus = [reading](TComponent*, const AnsiString& status) {
        if (status == "ReadLn")
            *reading = true;
    };
    auto poll = std::make_unique<QTimer>();
    QTimer* raw = poll.get();
    QObject::connect(raw, &QTimer::timeout, [raw, &client, reading, action] {
        if (!client.Connected() || !*reading)
            return;
        raw->stop();
        action();
    });
    raw->start(1);
    return poll;
}

TEST_F(KxPop3Test, CancelDuringTheLogOnClosesTheConnection) {
    server.AddSession({Hang()});
    const auto cancel = WhenWaitingForTheGreeting(*client, [&] { client->Cancel(); });
    bool abortError = false;
    try {
        client->Connect();
    } catch (const EAbortError&) {
        abortError = true;
    }
    EXPECT_TRUE(abortError);
    EXPECT_FALSE(client->Connected());
    EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    // The QUIT of the cleanup cannot get out of a cancelled session.
    EXPECT_EQ(server.Lines(0), Lines{});
}

TEST_F(KxPop3Test, AbortDuringTheLogOnCancelsIt) {
    server.AddSession({Hang()});
    const auto abort = WhenWaitingForTheGreeting(*client, [&] { client->Abort(); });
    EXPECT_THROW(client->Connect(), EAbortError);
    EXPECT_FALSE(client->Connected());
    EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
}

TEST_F(KxPop3Test, ANestedConnectLeavesTheLogOnMarkedAsRunning) {
    server.AddSession({Hang()});
    std::string nested;
    const auto reenter = WhenWaitingForTheGreeting(*client, [&] {
        nested = FailureOf([&] { client->Connect(); });
        // Still inside the outer log-on: Abort must cancel it, not just close.
        client->Abort();
    });
    EXPECT_THROW(client->Connect(), EAbortError);
    EXPECT_EQ(nested, "Already connected");
    EXPECT_FALSE(client->Connected());
}

// Failures below the protocol: each ends Connect with an exception, in
// bounded time, and leaves the client unconnected.
class KxPop3FailureTest : public KxPop3Test {
protected:
    // Connect must fail within `limit`; returns its message.
    std::string ConnectFailsWithin(std::chrono::milliseconds limit) {
        const auto start = std::chrono::steady_clock::now();
        const std::string message = FailureOf([&] { client->Connect(); });
        EXPECT_LT(testing_support::MsSince(start), limit.count()) << message;
        EXPECT_FALSE(client->Connected());
        return message;
    }
};

TEST_F(KxPop3FailureTest, RefusedConnection) {
    client->SetPort(ScriptedPop3Server::UnusedPort());
    EXPECT_EQ(ConnectFailsWithin(5s), "Connection Failed");
}

TEST_F(KxPop3FailureTest, NameThatDoesNotResolve) {
    client->SetHost("no-such-host.invalid");
    // No bound of our own: a slow resolver must still answer "not found"
    // rather than time out.
    client->SetTimeOut(0);
    EXPECT_EQ(ConnectFailsWithin(60s), "Null Remote Address");
}

// A host the repair handler puts in is read as strictly as the one Connect
// started with; the resolver would take "127.0.0.1 evil.example" as 127.0.0.1.
TEST_F(KxPop3FailureTest, AHostSetByTheRepairHandlerIsReadAsStrictly) {
    client->SetHost("no-such-host.invalid");
    client->OnInvalidHost = [&](bool& handled) {
        client->SetHost("127.0.0.1 evil.example");
        handled = true;
    };
    EXPECT_EQ(ConnectFailsWithin(60s), "Server address must not contain white space: 127.0.0.1 evil.example");
    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(KxPop3FailureTest, CloseBeforeTheGreeting) {
    server.AddSession({Close()});
    const std::string message = ConnectFailsWithin(5s);
    EXPECT_NE(message, "(no exception)");
}

TEST_F(KxPop3FailureTest, CloseInTheMiddleOfALine) {
    server.AddSession({Send("+OK rea"), Close()});
    const std::string message = ConnectFailsWithin(5s);
    EXPECT_NE(message, "(no exception)");
    // The incomplete line is never taken for a greeting.
    EXPECT_EQ(message.find("+OK rea"), std::string::npos);
}

TEST_F(KxPop3FailureTest, CloseAfterAReply) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Close()});
    EXPECT_NE(ConnectFailsWithin(5s), "(no exception)");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n"}));
}

TEST_F(KxPop3FailureTest, SilentServer) {
    server.AddSession({Hang()});
    client->SetTimeOut(300);
    EXPECT_EQ(ConnectFailsWithin(5s), "Socket readln timed out");
    EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
}

TEST_F(KxPop3FailureTest, EndlessLine) {
    server.AddSession({Stream(std::string(64 * 1024, 'x'))});
    client->SetTimeOut(2000);
    // Watch the receive buffer while the client waits for the line end.
    std::int64_t largest = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] { largest = std::max(largest, client->ReceiveBuffer().Size()); });
    watch.start(1);
    EXPECT_EQ(ConnectFailsWithin(10s), "Socket readln line too long");
    watch.stop();
    EXPECT_LE(largest, 4 * 1024 * 1024) << "bytes held for one line";
    EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
}

TEST_F(KxPop3FailureTest, AlreadyConnected) {
    Script script = LogOn("+OK 1 1\r\n");
    script.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(script);
    client->Connect();
    // Fails in the session's own Connect: nothing is sent, the connection stays.
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Already connected");
    EXPECT_TRUE(client->Connected());
    client->Disconnect();
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
}

// Framing as the client sees it: replies split over several packets and
// LF-only line ends. (A line joined to a reply is no reply to the next
// command: see StaleLinesAreNeverTakenAsReplies.)
TEST_F(KxPop3Test, RepliesSplitAcrossPackets) {
    server.AddSession({Send("+O"), Send("K rea"), Send("dy\r\n"), Expect("USER alice", "+O"), Send("K\r\n"),
                       Expect("PASS secret", "+OK logged on\r\n"), Expect("STAT", "+OK 4 4000\n"),
                       Expect("QUIT", "+OK\n")});
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 4);
    client->Disconnect();
    EXPECT_TRUE(server.Mismatches(0).empty());
}

TEST_F(KxPop3Test, LongGreetingIsTakenWhole) {
    const std::string greeting = "+OK " + std::string(40000, 'g') + "\r\n";
    Script script = {Send(greeting), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                     Expect("STAT", "+OK 9 9\r\n"), Expect("QUIT", "+OK\r\n")};
    server.AddSession(script);
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 9);
    client->Disconnect();
    EXPECT_TRUE(server.Mismatches(0).empty());
}

// ---- replies belong to their command ---------------------------------------

// Lines a server sends before a command has gone out answer no command of
// ours. Taken in order, three of them after the greeting once made a refused
// password look like a log-on with 42 messages.
TEST_F(KxPop3Test, StaleLinesAreNeverTakenAsReplies) {
    server.AddSession({Send("+OK ready\r\n+OK\r\n+OK\r\n+OK 42 4200\r\n"), Expect("USER alice", "+OK\r\n"),
                       Expect("PASS secret", "-ERR [AUTH] wrong\r\n"), Expect("QUIT", "+OK\r\n")});
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_EQ(client->MessageCount(), 0);
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "QUIT\r\n"}));

    // Joined to a reply, an extra line is dropped before the next command.
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n+OK 7 700\r\n"),
                       Expect("PASS secret", "+OK\r\n"), Expect("STAT", "+OK 2 200\r\n-ERR stale\r\n"),
                       Expect("QUIT", "+OK\r\n")});
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    EXPECT_EQ(FailureOf([&] { client->Disconnect(); }), "(no exception)");
    EXPECT_TRUE(server.Mismatches(1).empty());
}

// ---- the first failure stands -------------------------------------------------

// The failure of a check as the caller sees it.
struct Failed {
    std::string message;
    FailureKind kind = FailureKind::Refused;
    std::string server;
    std::string advice;
};

template <typename F>
Failed FailedWith(F&& f) {
    try {
        f();
    } catch (const ECheckFailure& e) {
        return {e.Message(), e.Kind(), e.ServerReply(), e.Advice()};
    } catch (const Exception& e) {
        return {e.Message(), ClassifyFailure(e), "", ""};
    }
    return {"(no exception)"};
}

// What goes wrong with the courtesy QUIT after a refused log-on never takes
// the place of the refusal. Servers that close right after their -ERR once
// made a wrong password read "Connection closed by peer".
struct CleanupCase {
    const char* name;
    Script afterRefusal;
};

class CleanupAfterARefusal : public KxPop3Test, public ::testing::WithParamInterface<CleanupCase> {};

TEST_P(CleanupAfterARefusal, LeavesTheRefusalAsTheFailure) {
    Script script = {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"),
                     Expect("PASS secret", "-ERR [AUTH] Authentication failed.\r\n")};
    for (const auto& step : GetParam().afterRefusal) script.push_back(step);
    server.AddSession(script);
    const Failed f = FailedWith([&] { client->Connect(); });
    EXPECT_EQ(f.message, "Authentication failed");
    EXPECT_EQ(f.kind, FailureKind::Refused);
    EXPECT_EQ(f.server, "-ERR [AUTH] Authentication failed.\r\n");
    EXPECT_EQ(f.advice, "");
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(server.Connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(Quit, CleanupAfterARefusal,
                         ::testing::Values(CleanupCase{"closed_at_once", {Close()}},
                                           // The close comes once QUIT is on its way: its reply never does.
                                           CleanupCase{"closed_instead_of_an_answer", {Expect("QUIT", ""), Close()}},
                                           CleanupCase{"refused", {Expect("QUIT", "-ERR busy\r\n")}}),
                         [](const ::testing::TestParamInfo<CleanupCase>& info) {
                             return std::string(info.param.name);
                         });

// ---- refusals: their kind and the server's own text -----------------------------

struct RefusalCase {
    const char* name;
    Script script;
    const char* message;
    FailureKind kind;
    std::string server;
};

class Refusals : public KxPop3Test, public ::testing::WithParamInterface<RefusalCase> {};

// RFC 2449 response codes: a mailbox in use, log-ons too often and a passing
// fault (RFC 3206 SYS/TEMP) are "not now"; anything else is "no".
TEST_P(Refusals, CarryTheirKindAndTheReply) {
    server.AddSession(GetParam().script);
    const Failed f = FailedWith([&] { client->Connect(); });
    EXPECT_EQ(f.message, GetParam().message);
    EXPECT_EQ(f.kind, GetParam().kind);
    EXPECT_EQ(f.server, GetParam().server);
    EXPECT_FALSE(client->Connected());
}

Script RefusedPass(const std::string& reply) {
    return {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", reply),
            Expect("QUIT", "+OK\r\n")};
}

INSTANTIATE_TEST_SUITE_P(
    Codes, Refusals,
    ::testing::Values(
        RefusalCase{"in_use", RefusedPass("-ERR [IN-USE] Mailbox is locked by another session\r\n"),
                    "Authentication failed", FailureKind::Temporary,
                    "-ERR [IN-USE] Mailbox is locked by another session\r\n"},
        RefusalCase{"login_delay", RefusedPass("-ERR [LOGIN-DELAY] wait 5 minutes\r\n"), "Authentication failed",
                    FailureKind::Temporary, "-ERR [LOGIN-DELAY] wait 5 minutes\r\n"},
        RefusalCase{"sys_temp", RefusedPass("-ERR [SYS/TEMP] try later\r\n"), "Authentication failed",
                    FailureKind::Temporary, "-ERR [SYS/TEMP] try later\r\n"},
        RefusalCase{"below_in_use", RefusedPass("-ERR [in-use/session] busy\r\n"), "Authentication failed",
                    FailureKind::Temporary, "-ERR [in-use/session] busy\r\n"},
        RefusalCase{"auth", RefusedPass("-ERR [AUTH] Authentication failed.\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR [AUTH] Authentication failed.\r\n"},
        RefusalCase{"sys_perm", RefusedPass("-ERR [SYS/PERM] account disabled\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR [SYS/PERM] account disabled\r\n"},
        RefusalCase{"no_code", RefusedPass("-ERR in use, [IN-USE] as a word\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR in use, [IN-USE] as a word\r\n"},
        RefusalCase{"longer_code", RefusedPass("-ERR [IN-USES] busy\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR [IN-USES] busy\r\n"},
        // A greeting and STAT are their reply line, as ever, with the kind beside it.
        RefusalCase{"greeting",
                    {Send("-ERR [SYS/TEMP] overloaded\r\n"), Expect("QUIT", "+OK\r\n")},
                    "-ERR [SYS/TEMP] overloaded\r\n",
                    FailureKind::Temporary,
                    "-ERR [SYS/TEMP] overloaded\r\n"},
        RefusalCase{"stat",
                    [] {
                        Script s = LogOn("-ERR [IN-USE] locked\r\n");
                        s.push_back(Expect("QUIT", "+OK\r\n"));
                        return s;
                    }(),
                    "-ERR [IN-USE] locked\r\n", FailureKind::Temporary, "-ERR [IN-USE] locked\r\n"},
        // A server that echoes the password never gets it into a report.
        RefusalCase{"echoed_password", RefusedPass("-ERR wrong password secret for alice (secret)\r\n"),
                    "Authentication failed", FailureKind::Refused,
                    "-ERR wrong password ******** for alice (********)\r\n"},
        RefusalCase{"echoed_password_in_stat",
                    [] {
                        Script s = LogOn("-ERR secret is not a mailbox\r\n");
                        s.push_back(Expect("QUIT", "+OK\r\n"));
                        return s;
                    }(),
                    "-ERR ******** is not a mailbox\r\n", FailureKind::Refused, "-ERR ******** is not a mailbox\r\n"},
        // ... nor in any other form a server writes it in.
        RefusalCase{"echo_upper_case", RefusedPass("-ERR SECRET is wrong\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR ******** is wrong\r\n"},
        RefusalCase{"echo_mixed_case", RefusedPass("-ERR SeCrEt is wrong\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR ******** is wrong\r\n"},
        RefusalCase{"echo_base64", RefusedPass("-ERR c2VjcmV0 is wrong\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR ******** is wrong\r\n"},
        // "\0alice\0secret", as an AUTH PLAIN response is sent.
        RefusalCase{"echo_sasl_plain", RefusedPass("-ERR bad AGFsaWNlAHNlY3JldA==\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR bad ********==\r\n"},
        RefusalCase{"echo_sasl_plain_raw", RefusedPass("-ERR bad \0alice\0secret!\r\n"s), "Authentication failed",
                    FailureKind::Refused, "-ERR bad \0********!\r\n"s},
        RefusalCase{"echo_hex", RefusedPass("-ERR 736563726574 is wrong\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR ******** is wrong\r\n"},
        RefusalCase{"echo_hex_after_0x", RefusedPass("-ERR 0x736563726574\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR 0x********\r\n"},
        RefusalCase{"echo_percent", RefusedPass("-ERR pass=s%65cr%45t rejected\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR pass=******** rejected\r\n"},
        RefusalCase{"echo_split_by_cr", RefusedPass("-ERR sec\rret\r\n"), "Authentication failed", FailureKind::Refused,
                    "-ERR ********\r\n"},
        RefusalCase{"echo_split_by_nul", RefusedPass("-ERR sec\0ret\r\n"s), "Authentication failed",
                    FailureKind::Refused, "-ERR ********\r\n"},
        RefusalCase{"echo_split_by_escape", RefusedPass("-ERR sec\x1b[1mret\r\n"), "Authentication failed",
                    FailureKind::Refused, "-ERR ********\r\n"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// ---- advice after a refused plain log-on ------------------------------------------

struct AdviceCase {
    const char* name;
    bool atUser;         // USER is refused; otherwise PASS is
    const char* reply;   // the refusal
    const char* capa;    // the probe's answer to CAPA; nullptr: no probe is expected
    const char* advice;  // "%s" stands for 127.0.0.1:<port>, "%h" for 127.0.0.1
};

class Advice : public KxPop3Test, public ::testing::WithParamInterface<AdviceCase> {};

TEST_P(Advice, NamesTheAddressToWriteWhenTheServerWantsTls) {
    const AdviceCase& c = GetParam();
    Script logon = {Send("+OK ready\r\n")};
    if (c.atUser) {
        logon.push_back(Expect("USER alice", c.reply));
    } else {
        logon.push_back(Expect("USER alice", "+OK\r\n"));
        logon.push_back(Expect("PASS secret", c.reply));
    }
    logon.push_back(Expect("QUIT", "+OK\r\n"));
    server.AddSession(logon);
    if (c.capa != nullptr)
        server.AddSession({Send("+OK probe\r\n"), Expect("CAPA", c.capa), Expect("QUIT", "+OK\r\n")});

    const Failed f = FailedWith([&] { client->Connect(); });
    EXPECT_EQ(f.message, "Authentication failed");
    std::string advice = c.advice;
    if (const auto at = advice.find("%s"); at != std::string::npos)
        advice.replace(at, 2, "127.0.0.1:" + std::to_string(server.Port()));
    if (const auto at = advice.find("%h"); at != std::string::npos)
        advice.replace(at, 2, "127.0.0.1");
    EXPECT_EQ(f.advice, advice);
    EXPECT_EQ(server.Connections(), c.capa != nullptr ? 2 : 1);
    if (c.capa != nullptr) {
        ASSERT_TRUE(server.WaitSessionEnded(1, kSessionEnd));
        // The probe sends no credential.
        EXPECT_EQ(server.Lines(1), (Lines{"CAPA\r\n", "QUIT\r\n"}));
    }
}

constexpr char kDisallowed[] =
    "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Probes, Advice,
    ::testing::Values(
        AdviceCase{"text_and_stls", true, kDisallowed, "+OK\r\nTOP\r\nSTLS\r\nUIDL\r\n.\r\n",
                   "Advice: the server wants TLS for the log-on; write the server as pop3+starttls://%s"},
        AdviceCase{"text_without_stls", true, "-ERR TLS required to log in.\r\n", "+OK\r\nTOP\r\n.\r\n",
                   "Advice: the server wants TLS for the log-on; write the server as %h:995"},
        AdviceCase{"text_at_pass_without_capa", false, kDisallowed, "-ERR unknown command\r\n",
                   "Advice: the server wants TLS for the log-on; write the server as pop3+starttls://%s or %h:995"},
        AdviceCase{"capa_alone", true, "-ERR unknown command\r\n", "+OK\r\nSTLS\r\nSASL PLAIN\r\n.\r\n",
                   "Advice: the server wants TLS for the log-on; write the server as pop3+starttls://%s"},
        // USER in clear is offered: the refusal is about the user, not TLS.
        AdviceCase{"user_offered", true, "-ERR no such user\r\n", "+OK\r\nSTLS\r\nUSER\r\n.\r\n", ""},
        // A refused password that says nothing of TLS is a wrong password:
        // no second connection.
        AdviceCase{"wrong_password", false, "-ERR [AUTH] Authentication failed.\r\n", nullptr, ""},
        // Nor does a name that holds the letters.
        AdviceCase{"user_named_kessler", false, "-ERR wrong password for kessler\r\n", nullptr, ""},
        AdviceCase{"user_named_mtlsadmin", false, "-ERR mtlsadmin: bad password\r\n", nullptr, ""},
        AdviceCase{"words_that_say_it", false, "-ERR Use STARTTLS; unencrypted log-ons are off\r\n",
                   "-ERR unknown command\r\n",
                   "Advice: the server wants TLS for the log-on; write the server as pop3+starttls://%s or %h:995"}),
    [](const ::testing::TestParamInfo<AdviceCase>& info) { return std::string(info.param.name); });

// ---- credentials on the wire ------------------------------------------------------

// Servers store and compare UTF-8: the program's CP932 text is converted at
// the wire, and UTF-8 given as such goes out as it is.
TEST_F(KxPop3Test, CredentialsGoOutAsUtf8) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER 山田", "+OK\r\n"), Expect("PASS パスワード1", "+OK\r\n"),
                       Expect("STAT", "+OK 2 20\r\n"), Expect("QUIT", "+OK\r\n")});
    client->SetUserID(Sjis("山田"));
    client->SetPassword(Sjis("パスワード1"));
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 2);
    client->Disconnect();
    EXPECT_TRUE(server.Mismatches(0).empty());
    // Taken out of a reply that echoes it, in either form.
    client->SetPassword(Sjis("ひみつ"));
    server.AddSession({Send("+OK ready\r\n"), Expect("USER 山田", "+OK\r\n"),
                       Expect("PASS ひみつ", "-ERR ひみつ or " + Sjis("ひみつ") + " refused\r\n"),
                       Expect("QUIT", "+OK\r\n")});
    EXPECT_EQ(FailedWith([&] { client->Connect(); }).server, "-ERR ******** or ******** refused\r\n");

    server.AddSession({Send("+OK ready\r\n"), Expect("USER grete", "+OK\r\n"), Expect("PASS grüße-1", "+OK\r\n"),
                       Expect("STAT", "+OK 1 10\r\n"), Expect("QUIT", "+OK\r\n")});
    client->SetCredentialEncoding(CredentialText::Utf8);
    client->SetUserID("grete");
    client->SetPassword("grüße-1");
    client->Connect();
    client->Disconnect();
    EXPECT_TRUE(server.Mismatches(2).empty());
}

// ---- values that cannot be sent -----------------------------------------------

struct RefusedValueCase {
    const char* field;  // "host", "user" or "password"
    std::string value;
    const char* message;
};

void PrintTo(const RefusedValueCase& c, std::ostream* os) {
    *os << c.field << " of " << c.value.size() << " bytes: " << c.message;
}

class RefusedValueTest : public KxPop3Test, public ::testing::WithParamInterface<RefusedValueCase> {};

// A value with a line break would send a second command of its own choosing
// (a stored user ID "taro" CR LF "DELE 1" deleted the first message); one
// longer than a command line would lose its line end and swallow the next
// command. Neither is sent: the check fails before connecting.
TEST_P(RefusedValueTest, FailsBeforeConnecting) {
    // Should the client connect after all, this ends its check quickly.
    server.AddSession({Send("+OK ready\r\n"), Close()});
    const std::string field = GetParam().field;
    if (field == "host")
        client->SetHost(GetParam().value);
    else if (field == "user")
        client->SetUserID(GetParam().value);
    else
        client->SetPassword(GetParam().value);
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), GetParam().message);
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(server.Lines(0).empty());
}

const std::string kNul(1, '\0');

INSTANTIATE_TEST_SUITE_P(
    Values, RefusedValueTest,
    ::testing::Values(RefusedValueCase{"user", "taro\r\nDELE 1", "User ID contains a line break"},
                      RefusedValueCase{"user", "taro\nDELE 1", "User ID contains a line break"},
                      RefusedValueCase{"user", "taro\r", "User ID contains a line break"},
                      RefusedValueCase{"user", "taro" + kNul + "x", "User ID contains a NUL character"},
                      RefusedValueCase{"password", "secret\r\nDELE 1", "Password contains a line break"},
                      RefusedValueCase{"password", kNul, "Password contains a NUL character"},
                      RefusedValueCase{"host", "127.0.0.1\r\nDELE 1", "Host name contains a line break"},
                      RefusedValueCase{"host", "127.0.0.1" + kNul, "Host name contains a NUL character"},
                      // "USER " or "PASS ", the value and CR LF must fit the 16384 characters of one Write.
                      RefusedValueCase{"user", std::string(16378, 'u'), "User ID is too long"},
                      RefusedValueCase{"password", std::string(16378, 'p'), "Password is too long"}));

TEST_F(KxPop3Test, TheLongestValuesThatFitGoOutWhole) {
    const std::string user(16377, 'u');
    const std::string password(16377, 'p');
    server.AddSession({Send("+OK ready\r\n"), Expect("USER " + user, "+OK\r\n"), Expect("PASS " + password, "+OK\r\n"),
                       Expect("STAT", "+OK 1 1\r\n"), Expect("QUIT", "+OK\r\n")});
    client->SetUserID(user);
    client->SetPassword(password);
    client->Connect();
    client->Disconnect();
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_TRUE(server.Mismatches(0).empty());
    EXPECT_EQ(server.Lines(0).size(), 4u);
}

// ---- time ----------------------------------------------------------------------

// The client on a clock that stands still until the server has gone silent
// (it has read `silentAfter` lines of session `silentSession` and will answer
// none of them); from then on every turn of the message loop moves it 100 ms.
// A test may move it at other points too.
class KxPop3TimeTest : public KxPop3Test {
protected:
    void SetUp() override {
        MakeClient(manual);
        QObject::connect(&driver, &QTimer::timeout, [this] {
            if (client && client->Connected() && static_cast<int>(server.Lines(silentSession).size()) >= silentAfter)
                manual.Advance(100ms);
        });
        driver.start(1);
    }
    void TearDown() override {
        driver.stop();
        // The client's timer runs on `manual`, which goes before the base
        // fixture's members do.
        client.reset();
    }

    void SilentAfter(int session, int lines) {
        silentSession = session;
        silentAfter = lines;
    }
    long long ElapsedMs() const { return Ms(manual.Elapsed()); }
    static long long Ms(std::chrono::nanoseconds d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    }

    testing_support::ManualClock manual;
    testing_support::StuckWaitGuard guard{manual, 20000};
    QTimer driver;
    int silentSession = 0;
    int silentAfter = 0;
};

// Slack for the turns of the message loop between the bound and the moment
// the waiting client sees it has passed.
constexpr long long kSlackMs = 500;

// A silent server once took twice the time-out: the QUIT after the time-out
// waited for a whole time-out again.
TEST_F(KxPop3TimeTest, ASilentServerTakesTheTimeOutOnce) {
    server.AddSession({Hang()});
    SilentAfter(0, 0);
    client->SetTimeOut(3000);
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Socket readln timed out");
    EXPECT_GE(ElapsedMs(), 3000);
    EXPECT_LE(ElapsedMs(), 3000 + kSlackMs);
    EXPECT_FALSE(client->Connected());
    ASSERT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
    EXPECT_EQ(server.Lines(0), Lines{"QUIT\r\n"});  // still said, just not waited for
}

// The time-out bounds the check as a whole: time spent on the first replies
// is not given again to the later ones, QUIT included.
TEST_F(KxPop3TimeTest, TheTimeOutBoundsTheWholeCheck) {
    // Each reply line comes 800 ms after its command.
    client->SetReportLevel(1);
    client->OnStatus = [&](TComponent*, const AnsiString&) { manual.Advance(800ms); };
    client->SetTimeOut(3000);

    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                       Expect("STAT", ""), Hang()});
    SilentAfter(0, 3);
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Socket readln timed out");
    // STAT waited from 1600 ms: on its own bound it would have ended at 4600.
    EXPECT_GE(ElapsedMs(), 3000);
    EXPECT_LE(ElapsedMs(), 3000 + kSlackMs);

    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                       Expect("STAT", "+OK 1 1\r\n"), Expect("QUIT", ""), Hang()});
    SilentAfter(1, 4);
    const auto start = manual.Elapsed();
    client->Connect();
    EXPECT_EQ(client->MessageCount(), 1);
    EXPECT_EQ(FailureOf([&] { client->Disconnect(); }), "Socket readln timed out");
    // QUIT waited from 2400 ms: on its own bound it would have ended at 5400.
    EXPECT_GE(Ms(manual.Elapsed() - start), 3000);
    EXPECT_LE(Ms(manual.Elapsed() - start), 3000 + kSlackMs);
    EXPECT_FALSE(client->Connected());
}

// Without a time-out (the resident program's case) the QUIT after a failure
// still waits only briefly, and the failure reported is the one that ended
// the log-on, not QUIT's time-out.
TEST_F(KxPop3TimeTest, QuitAfterAFailureIsBrief) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "-ERR no\r\n"),
                       Expect("QUIT", ""), Hang()});
    SilentAfter(0, 3);
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Authentication failed");
    EXPECT_GE(ElapsedMs(), 2000);
    EXPECT_LE(ElapsedMs(), 2000 + kSlackMs);
    EXPECT_FALSE(client->Connected());
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "QUIT\r\n"}));

    // A later check has the usual bound for each reply again.
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", ""), Hang()});
    SilentAfter(1, 1);
    const auto start = manual.Elapsed();
    EXPECT_EQ(FailureOf([&] { client->Connect(); }), "Socket readln timed out");
    EXPECT_GE(Ms(manual.Elapsed() - start), 60000);
}

// The SASL responses of a token log-on, against the providers' own examples.
TEST(SaslResponses, MatchThePublishedExamples) {
    // Google's XOAUTH2 example.
    EXPECT_EQ(Xoauth2Response("someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg"),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXV"
              "ZMjl0Q2cBAQ==");
    // RFC 7628 section 4.1, with the user's "," and "=" written as RFC 5801 asks.
    EXPECT_EQ(OauthBearerResponse("us,er=@x", "pop.example.org", 995, "T0k"),
              Base64Of("n,a=us=2Cer=3D@x,\x01host=pop.example.org\x01port=995\x01"
                       "auth=Bearer T0k\x01\x01"));
    EXPECT_EQ(Base64Of(""), "");
    EXPECT_EQ(Base64Of("\x01"), "AQ==");
    EXPECT_EQ(Base64Of("ab"), "YWI=");
    EXPECT_EQ(ChooseMechanism({"PLAIN", "oauthbearer", "XOAUTH2"}, {}), kXoauth2);
    EXPECT_EQ(ChooseMechanism({"PLAIN", "OAUTHBEARER"}, {}), kOauthBearer);
    EXPECT_EQ(ChooseMechanism({"PLAIN", "OAUTHBEARER"}, {kXoauth2}), "");
}

// A token never goes out in clear: a plain address is refused before any
// connection, and so is a token log-on without a user ID.
TEST_F(KxPop3Test, ATokenLogOnOnAPlainAddressSendsNothing) {
    int asked = 0;
    client->SetBearer(BearerLogOn{[&](bool) {
                                      ++asked;
                                      return std::string("T0k");
                                  },
                                  {}});
    const Failed plain = FailedWith([&] { client->Connect(); });
    EXPECT_EQ(plain.message,
              "A sign-in token goes only over TLS: write the server as pop3s://127.0.0.1 or 127.0.0.1:995");
    EXPECT_EQ(plain.kind, FailureKind::Usage);
    client->SetUserID("");
    client->SetHost("pop3s://127.0.0.1");
    EXPECT_EQ(FailedWith([&] { client->Connect(); }).kind, FailureKind::Usage);
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(asked, 0);
}

}  // namespace
