// UIDL and TOP after STAT against a scripted server: the exact lines sent,
// what a refusal leaves, and a server whose headers are too long, too many
// or never end.
#include "net/mailbox_listing.h"

#include <gtest/gtest.h>

#include <QTimer>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "net/kxpop3.h"
#include "tests/support/manual_clock.h"
#include "tests/support/scripted_pop3_server.h"

using namespace std::chrono_literals;
using testing_support::Expect;
using testing_support::Hang;
using testing_support::Script;
using testing_support::ScriptedPop3Server;
using testing_support::Send;
using Lines = std::vector<std::string>;

namespace {

constexpr auto kSessionEnd = 5s;

Script LogOn(int count) {
    return {Send("+OK ready\r\n"), Expect("USER alice", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
            Expect("STAT", "+OK " + std::to_string(count) + " 9999\r\n")};
}

Script operator+(Script a, const Script& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A TOP reply: the header lines, the empty line, the end.
std::string Header(const Lines& lines, const std::string& status = "+OK") {
    std::string reply = status + "\r\n";
    for (const std::string& line : lines) reply += line + "\r\n";
    return reply + "\r\n.\r\n";
}

const Lines kLogOnLines{"USER alice\r\n", "PASS secret\r\n", "STAT\r\n"};

Lines Sent(const Lines& after) {
    Lines all = kLogOnLines;
    all.insert(all.end(), after.begin(), after.end());
    all.push_back("QUIT\r\n");
    return all;
}

class MailboxListingTest : public ::testing::Test {
protected:
    void SetUp() override { MakeClient(clock); }

    void MakeClient(const platform::Clock& c) {
        client = std::make_unique<TKxPOP3>(nullptr, platform::SystemSockets(), c);
        client->SetHost("127.0.0.1");
        client->SetPort(server.Port());
        client->SetUserID("alice");
        client->SetPassword("secret");
    }

    // One check with the listing after STAT, then QUIT.
    MailboxListing Check(const ListingSteps& steps = {}) {
        client->Connect();
        MailboxListing listing;
        ReadMailboxListing(*client, client->MessageCount(), steps, listing);
        client->Disconnect();
        EXPECT_TRUE(server.WaitSessionEnded(0, kSessionEnd));
        EXPECT_TRUE(server.Mismatches(0).empty());
        return listing;
    }

    ScriptedPop3Server server;
    platform::SteadyClock clock;
    std::unique_ptr<TKxPOP3> client;
};

TEST_F(MailboxListingTest, ReadsUidsAndTheNewestHeadersNewestFirst) {
    server.AddSession(
        LogOn(3) +
        Script{Expect("UIDL", "+OK\r\n1 aaa\r\n2 bbb\r\n3 ccc\r\n.\r\n"),
               Expect("TOP 3 0", Header({"From: =?UTF-8?B?5pel5pys?= <n@example.jp>",
                                         "Subject: =?UTF-8?Q?caf=C3=A9?=", "Date: Wed, 9 Dec 2026 05:00:00 +0000"},
                                        "+OK 2048 octets")),
               // A server that sends body lines after all, and a stuffed dot.
               Expect("TOP 2 0",
                      "+OK\r\nSubject: two\r\n..X: dotted\r\n\r\nbody\r\n"
                      "..\r\n.\r\n"),
               Expect("QUIT", "+OK bye\r\n")});

    const MailboxListing listing = Check({2, {}});

    EXPECT_EQ(server.Lines(0), Sent({"UIDL\r\n", "TOP 3 0\r\n", "TOP 2 0\r\n"}));
    EXPECT_TRUE(listing.uidsKnown);
    EXPECT_EQ(listing.uids, (Lines{"aaa", "bbb", "ccc"}));
    EXPECT_EQ(listing.wantedCount, 3);
    ASSERT_EQ(listing.messages.size(), 2u);
    const MessageSummary& newest = listing.messages[0];
    EXPECT_EQ(newest.number, 3);
    EXPECT_EQ(newest.uid, "ccc");
    EXPECT_EQ(newest.size, 2048);
    EXPECT_TRUE(newest.headerRead);
    EXPECT_EQ(newest.headers.from, "日本");
    EXPECT_EQ(newest.headers.address, "n@example.jp");
    EXPECT_EQ(newest.headers.subject, "café");
    EXPECT_EQ(newest.headers.date, "Wed, 9 Dec 2026 05:00:00 +0000");
    EXPECT_EQ(listing.messages[1].number, 2);
    EXPECT_EQ(listing.messages[1].headers.subject, "two");
    EXPECT_FALSE(listing.messages[1].size.has_value());
}

TEST_F(MailboxListingTest, RefusalsLeaveRowsWithWhatIsKnown) {
    // No UIDL: rows without uids, every message taken. A refused TOP leaves
    // its row without headers and the next TOP goes out all the same.
    server.AddSession(LogOn(2) + Script{Expect("UIDL", "-ERR not supported\r\n"),
                                        Expect("TOP 2 0", "-ERR no such command\r\n"),
                                        Expect("TOP 1 0", Header({"Subject: one"})), Expect("QUIT", "+OK\r\n")});
    int asked = 0;
    const MailboxListing listing = Check({10, [&](const std::string&) { return ++asked > 0; }});

    EXPECT_EQ(server.Lines(0), Sent({"UIDL\r\n", "TOP 2 0\r\n", "TOP 1 0\r\n"}));
    EXPECT_FALSE(listing.uidsKnown);
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(listing.wantedCount, 2);
    ASSERT_EQ(listing.messages.size(), 2u);
    EXPECT_EQ(listing.messages[0].uid, "");
    EXPECT_FALSE(listing.messages[0].headerRead);
    EXPECT_EQ(listing.messages[0].headers.subject, "");
    EXPECT_TRUE(listing.messages[1].headerRead);
    EXPECT_EQ(listing.messages[1].headers.subject, "one");
}

TEST_F(MailboxListingTest, OnlyWantedMessagesAreCountedAndRead) {
    // Ids outside STAT's count, and ones RFC 1939 does not allow, name nothing.
    server.AddSession(LogOn(4) + Script{Expect("UIDL",
                                               "+OK\r\n1 old1\r\n2 new2\r\n3 old3\r\n4 bad\x01id\r\n"
                                               "9 ghost\r\ngarbage\r\n.\r\n"),
                                        Expect("TOP 4 0", Header({"Subject: no id"})),
                                        Expect("TOP 2 0", Header({"Subject: new"})), Expect("QUIT", "+OK\r\n")});
    const std::set<std::string> announced{"old1", "old3"};
    const MailboxListing listing = Check({10, [&](const std::string& uid) { return !announced.contains(uid); }});

    EXPECT_EQ(server.Lines(0), Sent({"UIDL\r\n", "TOP 4 0\r\n", "TOP 2 0\r\n"}));
    EXPECT_EQ(listing.uids, (Lines{"old1", "new2", "old3", ""}));
    EXPECT_EQ(listing.wantedCount, 2);
    ASSERT_EQ(listing.messages.size(), 2u);
    EXPECT_EQ(listing.messages[1].uid, "new2");
    EXPECT_EQ(listing.messages[1].headers.subject, "new");
}

TEST_F(MailboxListingTest, HugeAndEndlessHeadersAreCutAndReadToTheirEnd) {
    // A 1 MB header line, then 20,000 more lines: the From after them lies
    // past the kept 64 KiB. The next message and QUIT still read right.
    std::string top = "+OK\r\nSubject: " + std::string(1 << 20, 'x') + "\r\n";
    for (int i = 0; i < 20000; ++i) top += "X-Filler: " + std::to_string(i) + "\r\n";
    top += "From: late@example.org\r\n\r\n.\r\n";
    server.AddSession(LogOn(2) + Script{Expect("UIDL", "+OK\r\n1 a\r\n2 b\r\n.\r\n"), Expect("TOP 2 0", top),
                                        Expect("TOP 1 0", Header({"From: early@example.org"})),
                                        Expect("QUIT", "+OK\r\n")});
    const MailboxListing listing = Check();

    ASSERT_EQ(listing.messages.size(), 2u);
    EXPECT_EQ(listing.messages[0].headers.subject, std::string(MaxHeaderFieldChars, 'x'));
    EXPECT_EQ(listing.messages[0].headers.from, "");
    EXPECT_EQ(listing.messages[1].headers.from, "early@example.org");
}

TEST_F(MailboxListingTest, ACountFromAHostileServerAllocatesNoMoreThanItFollows) {
    server.AddSession(LogOn(2000000000) + Script{Expect("UIDL", "+OK\r\n2000000000 last\r\n1 first\r\n.\r\n"),
                                                 Expect("TOP 2000000000 0", Header({"Subject: last"})),
                                                 Expect("QUIT", "+OK\r\n")});
    const MailboxListing listing = Check({1, {}});

    EXPECT_EQ(listing.firstNumber, 2000000000 - MaxTrackedMessages + 1);
    EXPECT_EQ(listing.uids.size(), static_cast<std::size_t>(MaxTrackedMessages));
    EXPECT_EQ(listing.uids.back(), "last");
    ASSERT_EQ(listing.messages.size(), 1u);
    EXPECT_EQ(listing.messages[0].headers.subject, "last");
}

// A TOP that never ends runs into the check's time-out, not past it.
class MailboxListingTimeTest : public MailboxListingTest {
protected:
    void SetUp() override {
        MakeClient(manual);
        QObject::connect(&driver, &QTimer::timeout, [this] {
            if (client && client->Connected() && server.Lines(0).size() >= 5)
                manual.Advance(100ms);
        });
        driver.start(1);
    }
    void TearDown() override {
        driver.stop();
        client.reset();
    }

    testing_support::ManualClock manual;
    testing_support::StuckWaitGuard guard{manual, 20000};
    QTimer driver;
};

TEST_F(MailboxListingTimeTest, AnUnterminatedTopEndsAtTheTimeOut) {
    server.AddSession(LogOn(1) + Script{Expect("UIDL", "+OK\r\n1 only\r\n.\r\n"),
                                        Expect("TOP 1 0", "+OK\r\nSubject: never ends\r\n"), Hang()});
    client->SetTimeOut(3000);
    client->Connect();
    MailboxListing listing;
    std::string failure = "(no exception)";
    try {
        ReadMailboxListing(*client, client->MessageCount(), {}, listing);
    } catch (const Exception& e) {
        failure = e.Message();
    }
    EXPECT_EQ(failure, "Socket readln timed out");
    EXPECT_FALSE(guard.fired());
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(manual.Elapsed()).count();
    EXPECT_GE(elapsed, 3000);
    EXPECT_LE(elapsed, 3500);
    // What was known before the time ran out stays.
    EXPECT_EQ(listing.uids, Lines{"only"});
    ASSERT_EQ(listing.messages.size(), 1u);
    EXPECT_EQ(listing.messages[0].uid, "only");
    EXPECT_FALSE(listing.messages[0].headerRead);
}

}  // namespace
