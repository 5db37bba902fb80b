// The session's notifications run from the message loop, where nothing may
// raise: what a handler raises there reaches the application's one report.
#include <gtest/gtest.h>

#include <vector>

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "net/powersock.h"
#include "tests/net/loopback_peer.h"

namespace {

TEST(SessionNotifications, AHandlersExceptionIsReportedAndTheSessionGoesOn) {
    struct Report {
        TObject* sender;
        AnsiString message;
    };
    std::vector<Report> reports;
    Application->OnException = [&](TObject* sender, const Exception& e) { reports.push_back({sender, e.Message()}); };
    struct Restore {
        ~Restore() { Application->OnException = nullptr; }
    } restore;

    testpeer::Listener listener;
    platform::SteadyClock clock;
    TPowersock sock(nullptr, platform::SystemSockets(), clock);
    // Run from the connect notification, inside Connect's wait.
    sock.OnConnect = [](TObject*) { throw Exception("connect handler failed"); };
    sock.SetHost("127.0.0.1");
    sock.SetPort(listener.port());
    sock.Connect();

    EXPECT_TRUE(sock.Connected());
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].sender, &sock);
    EXPECT_EQ(reports[0].message, "connect handler failed");
}

}  // namespace
