// When the system's changes ask for a check, and when a timed check is
// skipped or a failure held back: the scheduler on a system state the test
// sets and a clock it advances. "No check" means none was asked for by the
// time every queued message had been delivered.
#include "app/check_scheduler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "net/check_failure.h"
#include "net/powersock.h"
#include "tests/support/fake_system_state.h"
#include "tests/support/manual_clock.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using platform::Reachability;
using testing_support::DeliverQueuedMessages;
using testing_support::ManualClock;
using Reason = CheckScheduler::Reason;

namespace {

enum class Outcome { Works, NetworkFails, Refused };

class Scheduler : public testing::Test {
protected:
    struct Asked {
        Reason reason;
        bool asked;
        ManualClock::duration at;
    };

    void Make(Reachability start) {
        system.StartWith(start);
        scheduler = std::make_unique<CheckScheduler>(system, clock);
        scheduler->OnCheck = [this](Reason reason, bool asked) {
            checks.push_back({reason, asked, clock.Elapsed()});
            RunCheck(asked);
        };
        scheduler->OnIntervalRestart = [this] { ++intervalRestarts; };
        scheduler->OnLog = [this](const std::string& line) { log.push_back(line); };
    }

    // A check that starts now and ends with the next outcome queued (it
    // works when none is). True when its failure was held back.
    bool RunCheck(bool asked = false) {
        const Outcome outcome = outcomes.empty() ? Outcome::Works : outcomes.front();
        if (!outcomes.empty())
            outcomes.pop_front();
        scheduler->CheckStarting();
        if (outcome == Outcome::Works)
            return false;
        const bool network = outcome == Outcome::NetworkFails;
        const bool held = scheduler->HoldBackFailure(network, asked, network ? "Connection Failed" : "-ERR no");
        heldBack.push_back(held);
        return held;
    }

    void Say(Reachability r) {
        system.Say(r);
        ASSERT_TRUE(DeliverQueuedMessages());
    }
    void Wake() {
        system.Wake();
        ASSERT_TRUE(DeliverQueuedMessages());
    }
    void Pass(ManualClock::duration d) {
        clock.Advance(d);
        ASSERT_TRUE(DeliverQueuedMessages());
    }

    ManualClock clock;
    FakeSystemState system;
    std::unique_ptr<CheckScheduler> scheduler;
    std::vector<Asked> checks;
    std::vector<std::string> log;
    std::deque<Outcome> outcomes;
    std::vector<bool> heldBack;
    int intervalRestarts = 0;
};

TEST_F(Scheduler, OfflineSkipsEveryTimedCheckWithOneLogLineEach) {
    Make(Reachability::Online);
    EXPECT_TRUE(scheduler->TimedCheckMayRun());
    Say(Reachability::Disconnected);
    EXPECT_FALSE(scheduler->TimedCheckMayRun());
    EXPECT_FALSE(scheduler->TimedCheckMayRun());
    EXPECT_EQ(log, std::vector<std::string>(2, "timed check skipped: the system is offline"));
    // Only "no network at all" is offline: a link, or not knowing, is not.
    for (const Reachability r : {Reachability::Local, Reachability::Unknown, Reachability::Site}) {
        Say(r);
        EXPECT_TRUE(scheduler->TimedCheckMayRun()) << static_cast<int>(r);
    }
    EXPECT_EQ(log.size(), 2u);
}

// What the system says, in order, and how many checks that asks for.
struct ChangeCase {
    const char* name;
    Reachability start;
    std::vector<Reachability> then;
    std::size_t checks;
};

class ReachabilityChanges : public Scheduler, public testing::WithParamInterface<ChangeCase> {};

TEST_P(ReachabilityChanges, AskForOneCheckWhenTheNetworkReturns) {
    const ChangeCase& c = GetParam();
    Make(c.start);
    for (const Reachability r : c.then) {
        Say(r);
        Pass(10s);
    }
    Pass(1h);
    ASSERT_EQ(checks.size(), c.checks);
    if (c.checks != 0) {
        EXPECT_EQ(checks[0].reason, Reason::NetworkBack);
        EXPECT_FALSE(checks[0].asked);
        EXPECT_EQ(intervalRestarts, 1);
        EXPECT_EQ(log, std::vector<std::string>{"the network is back: checking"});
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ReachabilityChanges,
    testing::Values(
        ChangeCase{"started_offline", Reachability::Disconnected, {Reachability::Online}, 1},
        ChangeCase{"lost_then_site", Reachability::Online, {Reachability::Disconnected, Reachability::Site}, 1},
        ChangeCase{"lost_then_local_then_online",
                   Reachability::Online,
                   {Reachability::Disconnected, Reachability::Local, Reachability::Online},
                   1},
        ChangeCase{"lost_then_unknown_then_online",
                   Reachability::Online,
                   {Reachability::Disconnected, Reachability::Unknown, Reachability::Online},
                   1},
        ChangeCase{
            "never_lost", Reachability::Unknown, {Reachability::Online, Reachability::Local, Reachability::Online}, 0},
        ChangeCase{"still_offline", Reachability::Online, {Reachability::Disconnected, Reachability::Local}, 0}),
    [](const testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

TEST_F(Scheduler, TheNetworksCheckComesAfterTheSettleDelay) {
    Make(Reachability::Disconnected);
    Say(Reachability::Online);
    Pass(CheckScheduler::kSettleDelay - 1ms);
    EXPECT_TRUE(checks.empty());
    Pass(1ms);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].at, CheckScheduler::kSettleDelay);
}

TEST_F(Scheduler, FlappingAsksForAtMostOneCheckAMinute) {
    Make(Reachability::Disconnected);
    Say(Reachability::Online);
    Pass(3s);
    ASSERT_EQ(checks.size(), 1u);
    for (int i = 0; i < 5; ++i) {
        Say(Reachability::Disconnected);
        Pass(1s);
        Say(Reachability::Online);
        Pass(5s);
    }
    Pass(checks[0].at + 60s - clock.Elapsed() - 1ms);
    EXPECT_EQ(checks.size(), 1u) << "a second check within the minute";
    Pass(1ms);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1].at - checks[0].at, 60s);
    Pass(1h);
    EXPECT_EQ(checks.size(), 2u);

    // A loss undone within the settle delay and lost again asks for nothing.
    Say(Reachability::Disconnected);
    Say(Reachability::Online);
    Pass(2s);
    Say(Reachability::Disconnected);
    Pass(1h);
    EXPECT_EQ(checks.size(), 2u);
}

TEST_F(Scheduler, AWakeChecksOnceTheSystemIsOnline) {
    // Online already: a few seconds later.
    Make(Reachability::Online);
    Wake();
    Pass(CheckScheduler::kSettleDelay);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].reason, Reason::Woke);
    EXPECT_EQ(log.back(), "woke from sleep: checking");

    // Offline at the wake, or not yet known (the network service still
    // asleep): once the system reaches beyond its link.
    for (const Reachability atWake : {Reachability::Disconnected, Reachability::Unknown, Reachability::Local}) {
        Pass(2min);
        Say(atWake);
        Wake();
        Pass(2min);
        EXPECT_EQ(checks.size(), 1u) << "checked while " << static_cast<int>(atWake);
        Say(Reachability::Online);
        Pass(CheckScheduler::kSettleDelay);
        ASSERT_EQ(checks.size(), 2u) << "no check after " << static_cast<int>(atWake);
        EXPECT_EQ(checks[1].reason, Reason::Woke);
        checks.pop_back();
    }
}

TEST_F(Scheduler, WithoutReachabilityEverythingIsAsBefore) {
    Make(Reachability::Unknown);
    Wake();
    Pass(1s);
    EXPECT_TRUE(scheduler->TimedCheckMayRun());
    // A network failure right after the wake counts at once.
    outcomes = {Outcome::NetworkFails};
    EXPECT_FALSE(RunCheck());
    Pass(1h);
    EXPECT_TRUE(checks.empty());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(intervalRestarts, 0);
}

TEST_F(Scheduler, ANetworkFailureRightAfterTheReturnIsTriedOnceMoreLater) {
    Make(Reachability::Disconnected);
    outcomes = {Outcome::NetworkFails, Outcome::NetworkFails};
    Say(Reachability::Online);
    Pass(3s);
    ASSERT_EQ(heldBack, std::vector<bool>{true});
    EXPECT_EQ(log.back(),
              "check held back: Connection Failed; the network may still be settling, trying again in 15 s");
    Pass(CheckScheduler::kRetryDelay - 1ms);
    ASSERT_EQ(checks.size(), 1u);
    Pass(1ms);
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[1].reason, Reason::Retry);
    EXPECT_FALSE(checks[1].asked);
    // The second failure counts, and nothing more is asked for.
    EXPECT_EQ(heldBack, (std::vector<bool>{true, false}));
    Pass(1h);
    EXPECT_EQ(checks.size(), 2u);

    // A check the user asked for is tried again as one the user asked for.
    Wake();
    Pass(1s);
    outcomes = {Outcome::NetworkFails};
    EXPECT_TRUE(RunCheck(/*asked=*/true));
    Pass(CheckScheduler::kRetryDelay);
    ASSERT_EQ(checks.size(), 3u);
    EXPECT_EQ(checks[2].reason, Reason::Retry);
    EXPECT_TRUE(checks[2].asked);
}

struct HoldBackCase {
    const char* name;
    Outcome outcome;
    ManualClock::duration startedAfterReturn;  // negative: before it
    bool held;
};

class HoldBack : public Scheduler, public testing::WithParamInterface<HoldBackCase> {};

TEST_P(HoldBack, OnlyNetworkFailuresOfChecksStartedWithinAMinute) {
    const HoldBackCase& c = GetParam();
    Make(Reachability::Online);
    Pass(5min);
    Say(Reachability::Disconnected);
    if (c.startedAfterReturn < 0s) {
        scheduler->CheckStarting();  // the check started while offline...
        Pass(-c.startedAfterReturn);
        Say(Reachability::Online);  // ...and fails once the network is back
        const bool network = c.outcome == Outcome::NetworkFails;
        EXPECT_EQ(scheduler->HoldBackFailure(network, false, "x"), c.held);
        return;
    }
    Say(Reachability::Online);
    Pass(c.startedAfterReturn);  // the network's own check, if due by then, works
    outcomes = {c.outcome};
    EXPECT_EQ(RunCheck(), c.held);
}

INSTANTIATE_TEST_SUITE_P(Cases, HoldBack,
                         testing::Values(HoldBackCase{"network_at_once", Outcome::NetworkFails, 0s, true},
                                         HoldBackCase{"network_within_the_minute", Outcome::NetworkFails, 60s, true},
                                         HoldBackCase{"network_after_the_minute", Outcome::NetworkFails, 61s, false},
                                         HoldBackCase{"network_started_before", Outcome::NetworkFails, -5s, false},
                                         HoldBackCase{"refused", Outcome::Refused, 1s, false}),
                         [](const testing::TestParamInfo<HoldBackCase>& info) { return std::string(info.param.name); });

TEST_F(Scheduler, ACheckThatStartsStandsInForTheChecksThatWait) {
    // For a change's check: no second check after it.
    Make(Reachability::Disconnected);
    Say(Reachability::Online);
    Pass(1s);
    RunCheck(/*asked=*/true);
    Pass(1h);
    EXPECT_TRUE(checks.empty());

    // For a second attempt: it is the second attempt, and its failure counts.
    Wake();
    outcomes = {Outcome::NetworkFails, Outcome::NetworkFails};
    Pass(3s);
    ASSERT_EQ(heldBack, std::vector<bool>{true});
    Pass(5s);
    EXPECT_FALSE(RunCheck());
    Pass(1h);
    EXPECT_EQ(checks.size(), 1u);
}

// What the scheduler holds back: failures of the kind "network".
TEST(NetworkFailure, IsWhatTheSocketLayerRaisesExceptTls) {
    EXPECT_EQ(ClassifyFailure(ESockError(SockFailure::ConnectFailed)), FailureKind::Network);
    EXPECT_EQ(ClassifyFailure(ESockError(SockFailure::LookupFailed)), FailureKind::Network);
    EXPECT_EQ(ClassifyFailure(ESockError(SockFailure::PlatformError, "10065:No route to host")), FailureKind::Network);
    EXPECT_EQ(ClassifyFailure(ESockError(SockFailure::TlsFailed, "certificate verify failed")), FailureKind::Tls);
    EXPECT_EQ(ClassifyFailure(ECheckFailure("Authentication failed", FailureKind::Refused)), FailureKind::Refused);
}

}  // namespace
