// The thread timer on a clock the tests advance: a tick is due exactly when
// the clock has moved one period, and "no tick" means none was delivered by
// the time every queued message had been.
#include "net/thread_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "tests/support/manual_clock.h"
#include "tests/support/wait.h"

using namespace std::chrono_literals;
using testing_support::DeliverQueuedMessages;
using testing_support::ManualClock;
using testing_support::WaitUntil;

namespace {

class ThreadTimer : public testing::Test {
protected:
    // Moves the clock and returns how many ticks that delivered.
    int AdvanceAndCount(ManualClock::duration by) {
        const int before = ticks;
        clock.Advance(by);
        EXPECT_TRUE(DeliverQueuedMessages());
        return ticks - before;
    }
    TNotifyEvent Counter() {
        return [this](TObject* Sender) {
            ++ticks;
            sender = Sender;
        };
    }

    ManualClock clock;  // outlives the timers
    int ticks = 0;
    TObject* sender = nullptr;
};

TEST_F(ThreadTimer, NewTimerIsEnabledButSilentUntilItHasAHandler) {
    TThreadTimer timer(nullptr, clock);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    timer.SetInterval(10);
    EXPECT_EQ(clock.RunningTimers(), 0);
    EXPECT_EQ(AdvanceAndCount(100ms), 0);

    timer.SetOnTimer(Counter());
    EXPECT_EQ(AdvanceAndCount(9ms), 0);
    EXPECT_EQ(AdvanceAndCount(1ms), 1);
    EXPECT_EQ(sender, &timer);
    EXPECT_EQ(AdvanceAndCount(10ms), 1) << "the timer repeats";
}

TEST_F(ThreadTimer, ZeroIntervalOrDisabledNeverTicks) {
    TThreadTimer timer(nullptr, clock);
    timer.SetOnTimer(Counter());
    timer.SetInterval(0);
    EXPECT_EQ(clock.RunningTimers(), 0);
    EXPECT_EQ(AdvanceAndCount(5000ms), 0);

    timer.SetInterval(10);
    EXPECT_EQ(AdvanceAndCount(10ms), 1);
    timer.SetEnabled(false);
    EXPECT_EQ(clock.RunningTimers(), 0);
    EXPECT_EQ(AdvanceAndCount(5000ms), 0);

    // Re-enabled, it starts a fresh period.
    timer.SetEnabled(true);
    EXPECT_EQ(AdvanceAndCount(9ms), 0);
    EXPECT_EQ(AdvanceAndCount(1ms), 1);
}

TEST_F(ThreadTimer, SettingAnUnchangedValueDoesNotRestartThePeriod) {
    TThreadTimer timer(nullptr, clock);
    timer.SetInterval(300);
    timer.SetOnTimer(Counter());
    EXPECT_EQ(AdvanceAndCount(200ms), 0);
    timer.SetEnabled(true);  // already true
    timer.SetInterval(300);  // already 300
    // A restart at 200 ms would put the tick at 500 ms.
    EXPECT_EQ(AdvanceAndCount(100ms), 1);
}

TEST_F(ThreadTimer, ChangingTheIntervalOrSettingTheHandlerRestartsThePeriod) {
    TThreadTimer timer(nullptr, clock);
    timer.SetInterval(300);
    timer.SetOnTimer(Counter());
    EXPECT_EQ(AdvanceAndCount(200ms), 0);
    timer.SetOnTimer(Counter());  // the same handler once more
    EXPECT_EQ(AdvanceAndCount(100ms), 0);
    EXPECT_EQ(AdvanceAndCount(200ms), 1);

    EXPECT_EQ(AdvanceAndCount(200ms), 0);
    timer.SetInterval(250);
    EXPECT_EQ(AdvanceAndCount(200ms), 0);
    EXPECT_EQ(AdvanceAndCount(50ms), 1);
}

TEST_F(ThreadTimer, ATickDueButNotYetDeliveredIsDroppedWhenTheTimerStops) {
    TThreadTimer timer(nullptr, clock);
    timer.SetInterval(10);
    timer.SetOnTimer(Counter());
    clock.Advance(10ms);  // the tick is queued
    timer.SetEnabled(false);
    ASSERT_TRUE(DeliverQueuedMessages());
    EXPECT_EQ(ticks, 0);
}

TEST_F(ThreadTimer, HandlerExceptionGoesToTheApplicationAndTicksGoOn) {
    ASSERT_NE(Application, nullptr);
    std::vector<std::string> reported;
    TObject* reportedSender = nullptr;
    Application->OnException = [&](TObject* Sender, const Exception& E) {
        reported.push_back(E.Message());
        reportedSender = Sender;
    };
    TThreadTimer timer(nullptr, clock);
    timer.SetInterval(10);
    timer.SetOnTimer([&](TObject*) {
        ++ticks;
        throw Exception("tick failed");
    });
    for (int i = 0; i < 3; ++i) AdvanceAndCount(10ms);
    Application->OnException = nullptr;
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(reported, (std::vector<std::string>(3, "tick failed")));
    EXPECT_EQ(reportedSender, &timer);
}

TEST_F(ThreadTimer, OwnerDestroysItAndItsTimerStops) {
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* timer = new TThreadTimer(owner.get(), clock);
    timer->SetInterval(5);
    timer->SetOnTimer(Counter());
    ASSERT_EQ(AdvanceAndCount(5ms), 1);
    clock.Advance(5ms);  // a tick queued for a timer about to go
    owner.reset();       // a tick after this would touch freed memory
    EXPECT_EQ(clock.RunningTimers(), 0);
    EXPECT_EQ(AdvanceAndCount(50ms), 0);
}

// On the system clock the ticks are the window's own timer.
TEST(ThreadTimerOnTheSystemClock, TicksArriveThroughTheMessageLoop) {
    const platform::SteadyClock clock;
    TThreadTimer timer(nullptr, clock);
    int ticks = 0;
    timer.SetInterval(5);
    timer.SetOnTimer([&](TObject*) { ++ticks; });
    EXPECT_TRUE(WaitUntil([&] { return ticks >= 3; }));
    timer.SetEnabled(false);
    ASSERT_TRUE(DeliverQueuedMessages());
    const int stopped = ticks;
    // A window timer's ticks are not posted messages, so give one a chance
    // to come: another timer of the same period ticks meanwhile.
    TThreadTimer reference(nullptr, clock);
    int referenceTicks = 0;
    reference.SetInterval(5);
    reference.SetOnTimer([&](TObject*) { ++referenceTicks; });
    ASSERT_TRUE(WaitUntil([&] { return referenceTicks >= 3; }));
    EXPECT_EQ(ticks, stopped);
}

}  // namespace
