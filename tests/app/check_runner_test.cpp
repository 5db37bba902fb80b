// The life of a check in the program: what is told of a failure and when, the
// check that follows a busy one, the exit, and the scheduler's second attempt,
// on a clock the test advances. The check itself is the test's: each one
// ends with the next outcome queued.
#include "app/check_runner.h"

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/check_scheduler.h"
#include "tests/app/check_runner_peer.h"
#include "tests/support/fake_system_state.h"
#include "tests/support/manual_clock.h"
#include "tests/support/recording_log.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using testing_support::DeliverQueuedMessages;
using testing_support::ManualClock;

namespace {

FailureReport Report(FailureKind kind, const char* text) {
    FailureReport report;
    report.kind = kind;
    report.message = text;
    report.text = text;
    return report;
}

CheckResult Counted(int count, std::optional<FailureReport> quit = std::nullopt) {
    CheckResult result;
    result.count = count;
    result.quitFailure = std::move(quit);
    return result;
}

class Runner : public testing::Test {
protected:
    Runner() {
        CheckHooks hooks;
        hooks.check = [this] {
            ++checks;
            if (duringCheck)
                std::exchange(duringCheck, nullptr)();
            CheckOutcome next = outcomes.empty() ? CheckOutcome(Counted(0)) : outcomes.front();
            if (!outcomes.empty())
                outcomes.pop_front();
            return next;
        };
        hooks.cancel = [this] { ++cancels; };
        hooks.show = [this](const CheckResult& result, bool asked) { shown.push_back({result.count, asked}); };
        hooks.openSettings = [this] { ++dialogs; };
        hooks.timedChecksRun = [] { return true; };
        hooks.restartInterval = [] {};
        runner = std::make_unique<CheckRunner>(std::move(hooks), system, clock, log, notifier);
    }

    struct Shown {
        int count;
        bool asked;
    };

    ManualClock clock;
    FakeSystemState system;
    RecordingLog log;
    RecordingNotifier notifier;
    std::deque<CheckOutcome> outcomes;
    // Runs inside the next check, while it "waits on the network".
    std::function<void()> duringCheck;
    int checks = 0;
    int cancels = 0;
    int dialogs = 0;
    std::vector<Shown> shown;
    std::unique_ptr<CheckRunner> runner;
};

TEST_F(Runner, AFailureIsLoggedEachTimeNotifiedOncePerRunAndOpensTheDialogUnlessOnlyTemporary) {
    outcomes = {Report(FailureKind::Refused, "Authentication failed"), Report(FailureKind::Temporary, "-ERR [IN-USE]"),
                Counted(2), Report(FailureKind::Network, "Connection Failed")};
    for (int i = 0; i < 4; ++i) runner->Run(/*asked=*/false);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"check failed: Authentication failed", "check failed: -ERR [IN-USE]",
                                                   "check failed: Connection Failed"}));
    // The count ended the first run; the network failure began a second.
    ASSERT_EQ(notifier.notices.size(), 2u);
    EXPECT_EQ(notifier.notices[1].summary.toStdString(), "メールを確認できませんでした: Connection Failed");
    EXPECT_EQ(dialogs, 2);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].count, 2);
}

TEST_F(Runner, AMissingSignInIsNotifiedOnceAsSuchAndOpensTheDialogEachTime) {
    outcomes = {Report(FailureKind::SignIn, "Sign-in required"), Report(FailureKind::SignIn, "Sign-in required")};
    runner->Run(/*asked=*/false);
    runner->Run(/*asked=*/false);
    ASSERT_EQ(notifier.notices.size(), 1u);
    EXPECT_EQ(notifier.notices[0].summary.toStdString(), "サインインが必要です");
    EXPECT_EQ(dialogs, 2);
}

TEST_F(Runner, ARefusedQuitAfterTheCountShowsTheCountThenFailsTheCheck) {
    outcomes = {Counted(3, Report(FailureKind::Refused, "-ERR no"))};
    runner->Run(/*asked=*/true);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].asked);
    EXPECT_EQ(log.lines, std::vector<std::string>{"check failed: -ERR no"});
    EXPECT_EQ(dialogs, 1);
}

TEST_F(Runner, AFirstStartWithoutSettingsIsQuietUntilTheyAreConfirmedAndThenChecksAtOnce) {
    runner->QuietUntilConfirmed();
    outcomes = {Report(FailureKind::Usage, "Authentication failed"), Report(FailureKind::Refused, "-ERR bad")};
    runner->Run(/*asked=*/false);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(notifier.notices.empty());
    EXPECT_EQ(dialogs, 1);

    runner->SettingsConfirmed();
    // Not inside the caller: the check comes with the next messages.
    EXPECT_EQ(checks, 1);
    ASSERT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(log.lines, std::vector<std::string>{"check failed: -ERR bad"});
    EXPECT_EQ(notifier.notices.size(), 1u);
}

TEST_F(Runner, ChecksAskedForDuringACheckAreSkippedOrFollowItOnce) {
    duringCheck = [this] {
        EXPECT_TRUE(CheckRunnerTestPeer::Running(*runner));
        runner->Run(/*asked=*/true);                         // a menu command: skipped
        runner->Run(/*asked=*/false, /*queueIfBusy=*/true);  // the system's change: follows
        runner->Run(/*asked=*/true, /*queueIfBusy=*/true);   // and an asked one wins over it
    };
    outcomes = {Counted(0), Counted(1)};
    runner->Run(/*asked=*/false);
    EXPECT_EQ(checks, 1);
    ASSERT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(checks, 2);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[1].asked);
    EXPECT_FALSE(CheckRunnerTestPeer::Running(*runner));
}

TEST_F(Runner, TheExitCancelsTheRunningCheckWhichThenTellsNothingAndNothingFollows) {
    duringCheck = [this] {
        runner->Run(/*asked=*/true, /*queueIfBusy=*/true);
        runner->Exit();
    };
    outcomes = {Report(FailureKind::Network, "Socket readln aborted")};
    runner->Run(/*asked=*/false);
    EXPECT_EQ(cancels, 1);
    ASSERT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(checks, 1);
    EXPECT_TRUE(log.lines.empty());
    EXPECT_TRUE(notifier.notices.empty());
    EXPECT_EQ(dialogs, 0);
}

TEST_F(Runner, ANetworkFailureRightAfterTheNetworkReturnsIsTriedAgainOnTheClock) {
    system.StartWith(platform::Reachability::Online);
    system.Say(platform::Reachability::Disconnected);
    ASSERT_TRUE(DeliverQueuedMessages());
    system.Say(platform::Reachability::Online);
    ASSERT_TRUE(DeliverQueuedMessages());
    outcomes = {Report(FailureKind::Network, "Connection Failed"), Report(FailureKind::Network, "Connection Failed")};
    // The return's own check, after its settle delay.
    clock.Advance(CheckScheduler::kSettleDelay);
    ASSERT_TRUE(DeliverQueuedMessages());
    ASSERT_EQ(checks, 1);
    EXPECT_EQ(dialogs, 0) << "held back, not told";
    clock.Advance(CheckScheduler::kRetryDelay);
    ASSERT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(dialogs, 1);
    EXPECT_EQ(notifier.notices.size(), 1u);
}

}  // namespace
