// postwren-check as a process: its exit status, standard output and standard
// error, against the scripted server running in this test process.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "core/text.h"
#include "tests/support/scripted_pop3_server.h"

using namespace std::chrono_literals;
using testing_support::Expect;
using testing_support::Hang;
using testing_support::Script;
using testing_support::ScriptedPop3Server;
using testing_support::Send;
using testing_support::Stream;
using Lines = std::vector<std::string>;

namespace {

constexpr int kProcessLimitMs = 20000;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    qint64 elapsedMs = 0;
};

// Settings stored for the user running the tests must not change what the
// program does without --host: it gets an empty settings home unless a test
// gives one.
Outcome RunCheck(const QStringList& args, const std::string& input = {}, QString configHome = {}) {
    QProcess process;
    static const QTemporaryDir emptyConfigHome;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome.isEmpty() ? emptyConfigHome.path() : configHome);
    process.setProcessEnvironment(env);
    QElapsedTimer clock;
    clock.start();
    process.start(QStringLiteral(POSTWREN_CHECK_BIN), args);
    if (!process.waitForStarted(kProcessLimitMs))
        return {};
    process.write(input.data(), static_cast<qint64>(input.size()));
    process.closeWriteChannel();
    if (!process.waitForFinished(kProcessLimitMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    Outcome o;
    o.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    o.out = process.readAllStandardOutput().toStdString();
    o.err = process.readAllStandardError().toStdString();
    o.elapsedMs = clock.elapsed();
    return o;
}

Script CheckScript(const std::string& statReply) {
    return {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
            Expect("STAT", statReply), Expect("QUIT", "+OK bye\r\n")};
}

class PostwrenCheckTest : public ::testing::Test {
protected:
    QStringList Args(const QStringList& extra = {}) const {
        return QStringList{"--host", "127.0.0.1", "--port",          QString::number(server.Port()),
                           "--user", "alice",     "--password-stdin"} +
               extra;
    }

    ScriptedPop3Server server;
};

TEST_F(PostwrenCheckTest, PrintsTheMessageCount) {
    server.AddSession(CheckScript("+OK 3 1234\r\n"));
    const Outcome o = RunCheck(Args(), "secret\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "3\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
}

// Sign-in providers matter only to a check without a password of its own.
TEST_F(PostwrenCheckTest, ACheckWithItsPasswordDoesNotReadTheProvidersFile) {
    server.AddSession(CheckScript("+OK 3 1234\r\n"));
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid() && QDir(home.path()).mkdir("postwren"));
    std::ofstream(home.filePath("postwren/oauth2.json").toStdString()) << "{ \"providers\": [ damaged";
    const Outcome o = RunCheck(Args(), "secret\n", home.path());
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
}

// The mailbox was counted: a server that then refuses QUIT spoils nothing a
// script asked for, and is still told.
TEST_F(PostwrenCheckTest, ARefusedQuitAfterTheCountStillPrintsIt) {
    for (const QStringList& extra : {QStringList{}, QStringList{"--json"}}) {
        Script script = CheckScript("+OK 3 1234\r\n");
        script.back() = Expect("QUIT", "-ERR cannot update\r\n");
        server.AddSession(script);
        const Outcome o = RunCheck(Args(extra), "secret\n");
        EXPECT_EQ(o.exitCode, 0) << o.err;
        EXPECT_EQ(o.out, extra.isEmpty() ? "3\n" : "{\"count\": 3}\n");
        EXPECT_NE(o.err.find("-ERR cannot update"), std::string::npos) << o.err;
    }
}

TEST_F(PostwrenCheckTest, PrintsJson) {
    server.AddSession(CheckScript("+OK 12 99\r\n"));
    const Outcome o = RunCheck(Args({"--json"}), "secret");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "{\"count\": 12}\n");
}

// --summary: UIDL and the newest headers after STAT, one line each after
// the count; the same in --json and as a waybar line.
Script SummaryScript() {
    return {Send("+OK ready\r\n"),
            Expect("USER alice", "+OK\r\n"),
            Expect("PASS secret", "+OK\r\n"),
            Expect("STAT", "+OK 2 300\r\n"),
            Expect("UIDL", "+OK\r\n1 u-old\r\n2 u-new\r\n.\r\n"),
            Expect("TOP 2 0",
                   "+OK 120 octets\r\nFrom: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <taro@example.jp>\r\n"
                   "Subject: =?UTF-8?B?5pel5pys6Kqe44Gu5Lu25ZCN?=\r\nDate: Wed, 9 Dec 2026\r\n\r\n.\r\n"),
            Expect("TOP 1 0", "-ERR no TOP for you\r\n"),
            Expect("QUIT", "+OK bye\r\n")};
}

TEST_F(PostwrenCheckTest, SummaryListsSenderAndSubjectNewestFirst) {
    server.AddSession(SummaryScript());
    Outcome o = RunCheck(Args({"--summary"}), "secret\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "2\nu-new\t山田太郎\t日本語の件名\nu-old\t\t\n");
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "UIDL\r\n", "TOP 2 0\r\n",
                                      "TOP 1 0\r\n", "QUIT\r\n"}));

    server.AddSession(SummaryScript());
    o = RunCheck(Args({"--summary", "--json"}), "secret\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out,
              "{\"count\": 2, \"messages\": [{\"number\": 2, \"uid\": \"u-new\", \"from\": \"山田太郎\", \"address\": "
              "\"taro@example.jp\", \"subject\": \"日本語の件名\", \"date\": \"Wed, 9 Dec 2026\", \"size\": 120}, "
              "{\"number\": 1, \"uid\": \"u-old\", \"from\": null, \"address\": null, \"subject\": null, \"date\": "
              "null, \"size\": null}]}\n");
    EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(o.out)).isNull());

    // --max 1 asks for the newest message's headers only.
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
                       Expect("STAT", "+OK 2 300\r\n"), Expect("UIDL", "-ERR unsupported\r\n"),
                       Expect("TOP 2 0", "+OK\r\nFrom: a@example.org\r\nSubject: \x1b[2Jhi\r\n\r\n.\r\n"),
                       Expect("QUIT", "+OK bye\r\n")});
    o = RunCheck(Args({"--summary", "--max", "1", "--format", "waybar"}), "secret\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(
        o.out,
        "{\"text\": \"2\", \"tooltip\": \"2 messages\\u000aa@example.org — \\\\x1B[2Jhi\", \"class\": \"mail\"}\n");
    EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(o.out)).isNull());
    EXPECT_TRUE(server.Mismatches(2).empty());
}

TEST_F(PostwrenCheckTest, WaybarWithoutSummarySendsTheUsualExchange) {
    server.AddSession(CheckScript("+OK 0 0\r\n"));
    Outcome o = RunCheck(Args({"--format", "waybar"}), "secret\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "{\"text\": \"0\", \"tooltip\": \"No mail\", \"class\": \"empty\"}\n");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));

    server.AddSession(
        {Send("+OK ready\r\n"), Expect("USER alice", "-ERR [IN-USE] locked\r\n"), Expect("QUIT", "+OK\r\n")});
    o = RunCheck(Args({"--format", "waybar"}), "secret\n");
    EXPECT_EQ(o.exitCode, 5);
    EXPECT_EQ(o.out,
              "{\"text\": \"!\", \"tooltip\": \"Authentication failed (server: -ERR [IN-USE] locked)\", "
              "\"class\": \"temporary\"}\n");
    EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(o.out)).isNull());

    // One output form at a time.
    o = RunCheck(Args({"--json", "--format", "waybar"}), "secret\n");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(PostwrenCheckTest, StatWithoutOctetCountGivesZero) {
    server.AddSession(CheckScript("+OK 5\r\n"));
    const Outcome o = RunCheck(Args(), "secret\r\n");
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "0\n");
}

TEST_F(PostwrenCheckTest, RefusedUserFailsAfterQuitWithoutPass) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "-ERR who?\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck(Args(), "secret\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "Authentication failed (server: -ERR who?)\n");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "QUIT\r\n"}));
}

TEST_F(PostwrenCheckTest, ReplyLineIsPrintedWithoutItsLineEndInUtf8) {
    // The server's texts are CP932; the terminal gets UTF-8.
    server.AddSession({Send(Sjis("-ERR 混雑しています\r\n")), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck(Args(), "secret\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "-ERR 混雑しています\n");
}

// A server that cannot be reached, or stops answering, is status 3 with the
// engine's own message; --json says "network".
TEST_F(PostwrenCheckTest, ClosedPortAndUnknownHostAreNetworkFailures) {
    const Outcome closed = RunCheck({"--host", "127.0.0.1", "--port", QString::number(ScriptedPop3Server::UnusedPort()),
                                     "--user", "alice", "--password-stdin", "--json"},
                                    "secret\n");
    EXPECT_EQ(closed.exitCode, 3);
    EXPECT_EQ(closed.err, "Connection Failed\n");
    EXPECT_EQ(closed.out, "{\"error\": \"Connection Failed\", \"kind\": \"network\"}\n");

    // RFC 6761: no name under .invalid resolves.
    const Outcome unknown = RunCheck(
        {"--host", "no-such-host.invalid", "--user", "alice", "--password-stdin", "--timeout", "10"}, "secret\n");
    EXPECT_EQ(unknown.exitCode, 3);
    EXPECT_EQ(unknown.err, "Null Remote Address\n");
    EXPECT_EQ(unknown.out, "");
}

TEST_F(PostwrenCheckTest, SilentServerEndsInBoundedTime) {
    server.AddSession({Hang()});
    const Outcome o = RunCheck(Args({"--timeout", "1"}), "secret\n");
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err, "");
    EXPECT_LT(o.elapsedMs, 10000);
}

TEST_F(PostwrenCheckTest, EndlessLineEndsInBoundedTime) {
    server.AddSession({Stream(std::string(64 * 1024, 'x'))});
    const Outcome o = RunCheck(Args({"--timeout", "2"}), "secret\n");
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err, "");
    EXPECT_LT(o.elapsedMs, 15000);
}

TEST_F(PostwrenCheckTest, ARefusalIsStatusOneAndKindRefusedInJson) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"),
                       Expect("PASS secret", "-ERR [AUTH] Authentication failed.\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck(Args({"--json"}), "secret\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "Authentication failed (server: -ERR [AUTH] Authentication failed.)\n");
    EXPECT_EQ(o.out,
              "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR [AUTH] "
              "Authentication failed.\"}\n");
}

// Each refusal as scripts see it: the short message with the server's reply,
// its exit status and kind.
struct RefusalCase {
    const char* name;
    Script script;
    int status;
    const char* err;
    const char* json;
};

class Refusals : public PostwrenCheckTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, SayWhatTheServerSaid) {
    server.AddSession(GetParam().script);
    const Outcome o = RunCheck(Args({"--json"}), "secret\n");
    EXPECT_EQ(o.exitCode, GetParam().status);
    EXPECT_EQ(o.err, GetParam().err);
    EXPECT_EQ(o.out, GetParam().json);
}

Script RefusedPass(const std::string& reply, Script after) {
    Script s = {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", reply)};
    s.insert(s.end(), after.begin(), after.end());
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Refusals,
    ::testing::Values(
        // Servers that close after -ERR: the refusal, not the close, is the failure.
        RefusalCase{"closed_after_err", RefusedPass("-ERR authentication failed\r\n", {testing_support::Close()}), 1,
                    "Authentication failed (server: -ERR authentication failed)\n",
                    "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR "
                    "authentication failed\"}\n"},
        RefusalCase{"in_use", RefusedPass("-ERR [IN-USE] Mailbox is locked\r\n", {Expect("QUIT", "+OK\r\n")}), 5,
                    "Authentication failed (server: -ERR [IN-USE] Mailbox is locked)\n",
                    "{\"error\": \"Authentication failed\", \"kind\": \"temporary\", \"server\": \"-ERR "
                    "[IN-USE] Mailbox is locked\"}\n"},
        RefusalCase{"login_delay", RefusedPass("-ERR [LOGIN-DELAY] 300\r\n", {Expect("QUIT", "+OK\r\n")}), 5,
                    "Authentication failed (server: -ERR [LOGIN-DELAY] 300)\n",
                    "{\"error\": \"Authentication failed\", \"kind\": \"temporary\", \"server\": \"-ERR "
                    "[LOGIN-DELAY] 300\"}\n"},
        RefusalCase{"sys_temp", RefusedPass("-ERR [SYS/TEMP] try again\r\n", {Expect("QUIT", "+OK\r\n")}), 5,
                    "Authentication failed (server: -ERR [SYS/TEMP] try again)\n",
                    "{\"error\": \"Authentication failed\", \"kind\": \"temporary\", \"server\": \"-ERR "
                    "[SYS/TEMP] try again\"}\n"},
        RefusalCase{"sys_perm", RefusedPass("-ERR [SYS/PERM] disabled\r\n", {Expect("QUIT", "+OK\r\n")}), 1,
                    "Authentication failed (server: -ERR [SYS/PERM] disabled)\n",
                    "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR "
                    "[SYS/PERM] disabled\"}\n"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST_F(PostwrenCheckTest, AGreetingThatIsNotOkIsARefusal) {
    server.AddSession({Send("-ERR too many connections\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck(Args(), "secret\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "-ERR too many connections\n");
}

// A server's escape sequences must not reach the terminal (or a JSON reader).
TEST_F(PostwrenCheckTest, ServerControlCharactersAreEscaped) {
    server.AddSession({Send("-ERR \x1b]0;owned\x07\x1b[2J busy\"\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck(Args({"--json"}), "secret\n");
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "-ERR \\x1B]0;owned\\x07\\x1B[2J busy\"\n");
    EXPECT_EQ(o.out.find('\x1b'), std::string::npos);
    EXPECT_EQ(o.out,
              "{\"error\": \"-ERR \\\\x1B]0;owned\\\\x07\\\\x1B[2J busy\\\"\", \"kind\": \"refused\", \"server\": "
              "\"-ERR \\\\x1B]0;owned\\\\x07\\\\x1B[2J busy\\\"\"}\n");
}

// A reply as long as a line may be, plain or made of escape sequences: the
// report keeps 512 bytes of it on standard error and in --json.
TEST_F(PostwrenCheckTest, AMegabyteReplyIsCutAndMarked) {
    for (const std::string unit : {"x", "\x1b[2J"}) {
        std::string reply = "-ERR ";
        while (reply.size() < (1u << 20)) reply += unit;
        server.AddSession({Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"),
                           Expect("PASS secret", reply + "\r\n"), Expect("QUIT", "+OK\r\n")});
        const Outcome o = RunCheck(Args({"--json"}), "secret\n");
        EXPECT_EQ(o.exitCode, 1);
        EXPECT_LT(o.err.size(), 4096u);
        EXPECT_TRUE(o.err.starts_with("Authentication failed (server: -ERR ")) << o.err.substr(0, 80);
        EXPECT_TRUE(o.err.ends_with("…)\n")) << o.err.substr(o.err.size() > 80 ? o.err.size() - 80 : 0);
        EXPECT_LT(o.out.size(), 4096u);
        EXPECT_NE(o.out.find("…\"}"), std::string::npos) << o.out.substr(o.out.size() > 80 ? o.out.size() - 80 : 0);
    }
}

// Nothing was sent, so nothing was refused: what is missing is a usage error.
TEST_F(PostwrenCheckTest, EmptyCredentialsFailWithoutConnecting) {
    const Outcome noPassword = RunCheck(Args(), "\n");
    EXPECT_EQ(noPassword.exitCode, 2);
    EXPECT_EQ(noPassword.err, "Authentication failed\n");

    QStringList emptyUser = Args();
    emptyUser[emptyUser.indexOf("alice")] = "";
    const Outcome noUser = RunCheck(emptyUser, "secret\n");
    EXPECT_EQ(noUser.exitCode, 2);
    EXPECT_EQ(noUser.err, "Authentication failed\n");

    EXPECT_EQ(server.Connections(), 0);
}

TEST_F(PostwrenCheckTest, PasswordFileGivesItsFirstLine) {
    server.AddSession(CheckScript("+OK 1 1\r\n"));
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("password");
    std::ofstream(path.toStdString(), std::ios::binary) << "secret\r\nnot this line\n";
    const Outcome o = RunCheck(
        {"--host", "127.0.0.1", "--port", QString::number(server.Port()), "--user", "alice", "--password-file", path});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "1\n");
    EXPECT_EQ(server.Lines(0), (Lines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
}

// Servers store and compare UTF-8, and so the user ID and password go out as
// they were given, whether CP932 could write them or not.
TEST_F(PostwrenCheckTest, TextsAreSentAsTheUtf8TheyWereGivenIn) {
    server.AddSession({Send("+OK ready\r\n"), Expect("USER 山田", "+OK\r\n"), Expect("PASS ひみつ", "+OK\r\n"),
                       Expect("STAT", "+OK 2 2\r\n"), Expect("QUIT", "+OK\r\n")});
    server.AddSession({Send("+OK ready\r\n"), Expect("USER grete", "+OK\r\n"), Expect("PASS grüße-1", "+OK\r\n"),
                       Expect("STAT", "+OK 1 1\r\n"), Expect("QUIT", "+OK\r\n")});
    const Outcome o = RunCheck({"--host", "127.0.0.1", "--port", QString::number(server.Port()), "--user",
                                QString::fromUtf8("山田"), "--password-stdin"},
                               "ひみつ\n");
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "2\n");
    EXPECT_TRUE(server.Mismatches(0).empty());
    const Outcome umlauts = RunCheck(
        {"--host", "127.0.0.1", "--port", QString::number(server.Port()), "--user", "grete", "--password-stdin"},
        "grüße-1\n");
    EXPECT_EQ(umlauts.exitCode, 0) << umlauts.err;
    EXPECT_TRUE(server.Mismatches(1).empty());
}

// A server address with junk after the host never reaches the server, in any
// form: the resolver would connect to the part before the blank.
struct HostileHost {
    const char* host;  // %1 stands for the scripted server's port
    std::vector<const char*> extra;
    const char* says;
};

std::ostream& operator<<(std::ostream& os, const HostileHost& h) {
    return os << EscapeControls(h.host);
}

class HostileHostTest : public PostwrenCheckTest, public ::testing::WithParamInterface<HostileHost> {};

TEST_P(HostileHostTest, IsRefusedBeforeConnecting) {
    server.AddSession(CheckScript("+OK 3 1234\r\n"));
    QString host = QString::fromUtf8(GetParam().host);
    QStringList args{"--user", "alice", "--password-stdin", "--timeout", "10"};
    if (host.contains("%1"))
        host = host.arg(server.Port());
    else
        args << "--port" << QString::number(server.Port());
    args << "--host" << host;
    for (const char* a : GetParam().extra) args << QString::fromUtf8(a);
    const Outcome o = RunCheck(args, "secret\n");
    EXPECT_EQ(o.exitCode, 2) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find(GetParam().says), std::string::npos) << o.err;
    EXPECT_EQ(std::count_if(o.err.begin(), o.err.end(), [](char c) { return c != '\n' && 0 <= c && c < 0x20; }), 0)
        << o.err;
    EXPECT_EQ(server.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, HostileHostTest,
                         ::testing::Values(HostileHost{"127.0.0.1 evil.example", {}, "white space"},
                                           HostileHost{"127.0.0.1\tevil.example", {}, "white space"},
                                           HostileHost{"127.0.0.1 evil.example:%1", {}, "white space"},
                                           HostileHost{"pop3://127.0.0.1 evil.example:%1", {}, "white space"},
                                           HostileHost{"pop3+starttls://127.0.0.1\tevil.example:%1", {}, "white space"},
                                           HostileHost{"pop3s://127.0.0.1 evil.example:%1", {}, "white space"},
                                           HostileHost{"127.0.0.1 evil.example", {"--tls"}, "white space"},
                                           HostileHost{"127.0.0.1\x1b[2J", {}, "control characters"}));

// What the command line names cannot be used: status 2 and kind "usage",
// nothing sent, and at once.
struct UnusableCase {
    const char* name;
    std::vector<std::string> args;  // "%p": the scripted server's port, "%d": a fresh folder
    const char* err;                // the start of standard error
};

class UnusableInput : public PostwrenCheckTest, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(UnusableInput, IsAUsageError) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::ofstream(dir.filePath("long").toStdString()) << std::string(1025, 'p') << "\n";
    QStringList args;
    for (const std::string& a : GetParam().args) {
        QString arg = QString::fromStdString(a);
        arg.replace("%p", QString::number(server.Port()));
        arg.replace("%d", dir.path());
        args << arg;
    }
    const Outcome o = RunCheck(args + QStringList{"--json"}, "secret\n");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.err.rfind(GetParam().err, 0), 0u) << o.err;
    EXPECT_NE(o.out.find("\"kind\": \"usage\"}"), std::string::npos) << o.out;
    EXPECT_LT(o.elapsedMs, 10000);
    EXPECT_EQ(server.Connections(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, UnusableInput,
    ::testing::Values(
        UnusableCase{"imap",
                     {"--host", "imap://x", "--user", "alice", "--password-stdin"},
                     "Unsupported server address scheme \"imap\""},
        UnusableCase{"port_0",
                     {"--host", "127.0.0.1:0", "--user", "alice", "--password-stdin"},
                     "Bad port in server address: 127.0.0.1:0\n"},
        UnusableCase{"port_65536",
                     {"--host", "127.0.0.1:65536", "--user", "alice", "--password-stdin"},
                     "Bad port in server address: 127.0.0.1:65536\n"},
        UnusableCase{"port_abc",
                     {"--host", "127.0.0.1:abc", "--user", "alice", "--password-stdin"},
                     "Bad port in server address: 127.0.0.1:abc\n"},
        UnusableCase{"empty_host", {"--host", "", "--user", "alice", "--password-stdin"}, "Server address is empty\n"},
        UnusableCase{"password_file_is_a_folder",
                     {"--host", "127.0.0.1", "--port", "%p", "--user", "alice", "--password-file", "%d"},
                     "postwren-check: cannot read "},
        UnusableCase{"password_file_missing",
                     {"--host", "127.0.0.1", "--port", "%p", "--user", "alice", "--password-file", "%d/none"},
                     "postwren-check: cannot read "},
        // Read with a bound: an endless file ends the check at once.
        UnusableCase{"password_file_endless",
                     {"--host", "127.0.0.1", "--port", "%p", "--user", "alice", "--password-file", "/dev/zero"},
                     "postwren-check: the password in /dev/zero is longer than 1024 bytes\n"},
        UnusableCase{"password_line_too_long",
                     {"--host", "127.0.0.1", "--port", "%p", "--user", "alice", "--password-file", "%d/long"},
                     "postwren-check: the password in "}),
    [](const ::testing::TestParamInfo<UnusableCase>& info) { return std::string(info.param.name); });

// Usage errors: status 2, the usage line on standard error, nothing sent.
class UsageTest : public ::testing::TestWithParam<std::vector<const char*>> {};

TEST_P(UsageTest, IsRefusedWithTheUsageLine) {
    QStringList args;
    for (const char* a : GetParam()) args << QString::fromUtf8(a);
    const Outcome o = RunCheck(args, "secret\n");
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("usage: postwren-check --host HOST"), std::string::npos) << o.err;
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, UsageTest,
    ::testing::Values(
        std::vector<const char*>{}, std::vector<const char*>{"--user", "alice", "--password-stdin"},
        std::vector<const char*>{"--host", "127.0.0.1", "--password-stdin"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--password-file",
                                 "/dev/null"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password", "secret"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--port", "0"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--port", "70000"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--timeout", "soon"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--user"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--verbose"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--max", "5"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--summary", "--max",
                                 "0"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--summary", "--max",
                                 "101"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--format", "i3"},
        // A line break would smuggle in a second command.
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice\r\nDELE 1", "--password-stdin"}));

// The TLS switches: one of them, with a plain host, the port given once.
INSTANTIATE_TEST_SUITE_P(
    TlsArguments, UsageTest,
    ::testing::Values(
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--tls", "--starttls"},
        std::vector<const char*>{"--host", "127.0.0.1", "--user", "alice", "--password-stdin", "--tls=yes"},
        std::vector<const char*>{"--host", "pop3s://127.0.0.1", "--user", "alice", "--password-stdin", "--tls"},
        std::vector<const char*>{"--host", "127.0.0.1:995", "--user", "alice", "--password-stdin", "--tls", "--port",
                                 "995"},
        std::vector<const char*>{"--host", "127.0.0.1:110", "--user", "alice", "--password-stdin", "--port", "110"}));

TEST(PostwrenCheckHelp, BothSpellingsExplainServersStatusesAndMessages) {
    for (const char* flag : {"--help", "-h"}) {
        const Outcome o = RunCheck({flag});
        EXPECT_EQ(o.exitCode, 0) << flag;
        EXPECT_EQ(o.err, "") << flag;
        EXPECT_EQ(o.out.rfind("usage: postwren-check", 0), 0u) << flag;
        for (const char* part : {"host:port", "pop3s://", "pop3+starttls://", "pop3://", "--json", "\"kind\"",
                                 "\"server\"", "  0  ", "  1  refused", "  2  usage", "  3  network", "  4  tls",
                                 "  5  temporary", "[IN-USE]", "Null Remote Address", "could not be resolved", "UTF-8"})
            EXPECT_NE(o.out.find(part), std::string::npos) << flag << " lacks " << part;
    }
}

TEST(PostwrenCheckHelp, VersionIsOneLine) {
    const Outcome o = RunCheck({"--version"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.out, "postwren-check " POSTWREN_VERSION "\n");
}

}  // namespace
