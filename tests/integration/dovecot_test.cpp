// The POP3 client and postwren-check against a real Dovecot server, started by
// the test run (tests/integration/dovecot.sh): one instance for good log-ons,
// another for refused ones, because the server slows down every log-on from
// an address that has just failed one.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>
#include <string>

#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/text.h"
#include "net/kxpop3.h"

namespace {

const platform::SteadyClock clock;

constexpr int kProcessLimitMs = 20000;
constexpr int kTimeOutMs = 10000;

// The instance where alice (3 messages) and bob (none) log on.
std::string LogonHost() {
    return POSTWREN_DOVECOT_LOGON;
}
// The instance that sees the refused log-ons.
std::string RefusalHost() {
    return POSTWREN_DOVECOT_REFUSAL;
}

std::string FailureOf(TKxPOP3& client) {
    try {
        client.Connect();
    } catch (const Exception& e) {
        return e.Message();
    }
    client.Disconnect();
    return "(no exception)";
}

void Prepare(TKxPOP3& client, const std::string& host, const char* user, const char* password) {
    client.SetHost(host);
    client.SetTimeOut(kTimeOutMs);
    client.SetUserID(user);
    client.SetPassword(password);
}

TEST(Dovecot, CountsTheMessagesOfEachMailbox) {
    TKxPOP3 client(nullptr, platform::SystemSockets(), clock);
    Prepare(client, LogonHost(), "alice", "wonderland");
    client.Connect();
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(client.MessageCount(), 3);
    client.Disconnect();
    EXPECT_FALSE(client.Connected());

    // The same client checks the next mailbox on a fresh connection.
    client.SetUserID("bob");
    client.SetPassword("builder");
    client.Connect();
    EXPECT_EQ(client.MessageCount(), 0);
    client.Disconnect();
}

TEST(Dovecot, RepeatedChecksOnOneClient) {
    TKxPOP3 client(nullptr, platform::SystemSockets(), clock);
    Prepare(client, LogonHost(), "alice", "wonderland");
    for (int i = 0; i < 5; ++i) {
        client.Connect();
        EXPECT_EQ(client.MessageCount(), 3) << "check " << i;
        client.Disconnect();
    }
}

// The program holds the password as CP932 text; the server stores and
// compares UTF-8, which is what goes on the wire.
TEST(Dovecot, APasswordBeyondAsciiLogsOnAsTheProgramHoldsIt) {
    TKxPOP3 client(nullptr, platform::SystemSockets(), clock);
    Prepare(client, LogonHost(), "hanako", "");
    client.SetPassword(Sjis("パスワード1"));
    client.Connect();
    EXPECT_EQ(client.MessageCount(), 2);
    client.Disconnect();
}

TEST(Dovecot, WrongPasswordIsRefused) {
    TKxPOP3 client(nullptr, platform::SystemSockets(), clock);
    Prepare(client, RefusalHost(), "alice", "not-the-password");
    EXPECT_EQ(FailureOf(client), "Authentication failed");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.MessageCount(), 0);
}

TEST(Dovecot, UnknownUserIsRefused) {
    TKxPOP3 client(nullptr, platform::SystemSockets(), clock);
    Prepare(client, RefusalHost(), "mallory", "anything");
    EXPECT_EQ(FailureOf(client), "Authentication failed");
    EXPECT_FALSE(client.Connected());
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Outcome RunCheck(const std::string& host, const char* user, const std::string& password,
                 const QStringList& extra = {}) {
    QProcess process;
    process.start(QStringLiteral(POSTWREN_CHECK_BIN), QStringList{"--host", QString::fromStdString(host), "--user",
                                                                  user, "--password-stdin", "--timeout", "10"} +
                                                          extra);
    if (!process.waitForStarted(kProcessLimitMs))
        return {};
    process.write(QByteArray::fromStdString(password + "\n"));
    process.closeWriteChannel();
    if (!process.waitForFinished(kProcessLimitMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

TEST(Dovecot, CommandLineCheck) {
    const Outcome alice = RunCheck(LogonHost(), "alice", "wonderland");
    EXPECT_EQ(alice.exitCode, 0) << alice.err;
    EXPECT_EQ(alice.out, "3\n");

    const Outcome bob = RunCheck(LogonHost(), "bob", "builder");
    EXPECT_EQ(bob.exitCode, 0) << bob.err;
    EXPECT_EQ(bob.out, "0\n");

    // UTF-8 as given, also where CP932 has no form for it.
    const Outcome hanako = RunCheck(LogonHost(), "hanako", "パスワード1");
    EXPECT_EQ(hanako.exitCode, 0) << hanako.err;
    EXPECT_EQ(hanako.out, "2\n");
    const Outcome grete = RunCheck(LogonHost(), "grete", "grüße-1");
    EXPECT_EQ(grete.exitCode, 0) << grete.err;
    EXPECT_EQ(grete.out, "1\n");
}

// --summary against a real server: its uids, and each message's sender and
// subject from TOP, newest first.
TEST(Dovecot, CommandLineSummary) {
    const Outcome o = RunCheck(LogonHost(), "alice", "wonderland", {"--summary", "--max", "2"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.err, "");
    const QStringList lines = QString::fromStdString(o.out).split('\n');
    ASSERT_EQ(lines.size(), 4) << o.out;  // the count, two messages, the empty rest after the last line end
    EXPECT_EQ(lines[0], "3");
    for (int i = 1; i <= 2; ++i) {
        const QStringList fields = lines[i].split('\t');
        ASSERT_EQ(fields.size(), 3) << o.out;
        EXPECT_FALSE(fields[0].isEmpty());
        const int n = 4 - i;
        EXPECT_EQ(fields[1], QString("sender%1@example.org").arg(n));
        EXPECT_EQ(fields[2], QString("test message %1").arg(n));
    }
    EXPECT_NE(lines[1].split('\t')[0], lines[2].split('\t')[0]);
    EXPECT_EQ(lines[3], "");

    const Outcome bob = RunCheck(LogonHost(), "bob", "builder", {"--summary", "--json"});
    EXPECT_EQ(bob.exitCode, 0) << bob.err;
    EXPECT_EQ(bob.out, "{\"count\": 0, \"messages\": []}\n");
}

TEST(Dovecot, CommandLineCheckRefused) {
    // One refused log-on only: the server answers the next one from this
    // address only after a penalty.
    const Outcome o = RunCheck(RefusalHost(), "bob", "wrong", {"--json"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "Authentication failed (server: -ERR [AUTH] Authentication failed.)\n");
    EXPECT_EQ(o.out,
              "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR [AUTH] "
              "Authentication failed.\"}\n");
}

// The server's address, a port nothing listens on: a network failure, not a refusal.
TEST(Dovecot, CommandLineCheckOfAClosedPortIsANetworkFailure) {
    const Outcome o = RunCheck(RefusalHost(), "bob", "builder", {"--port", "1", "--json"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.err, "Connection Failed\n");
    EXPECT_EQ(o.out, "{\"error\": \"Connection Failed\", \"kind\": \"network\"}\n");
}

}  // namespace
