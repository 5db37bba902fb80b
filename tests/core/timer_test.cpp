#include "core/timer.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

#include "core/application.h"
#include "core/event_wait.h"

namespace {

using testing_support::WaitUntil;

// A fast timer that counts its ticks: the yardstick for "this other timer
// had every chance to fire and did not".
struct Yardstick {
    TTimer timer{nullptr};
    int ticks = 0;
    Yardstick() {
        timer.SetInterval(2);
        timer.OnTimer = [this](TObject*) { ++ticks; };
    }
    bool runFor(int n) {
        const int target = ticks + n;
        return WaitUntil([&] { return ticks >= target; });
    }
};

TEST(Timer, StartsEnabledAtOneSecondAndTicksWhileEnabled) {
    TTimer t(nullptr);
    EXPECT_TRUE(t.Enabled());
    EXPECT_EQ(t.Interval(), 1000u);
    int ticks = 0;
    TObject* sender = nullptr;
    t.OnTimer = [&](TObject* s) {
        ++ticks;
        sender = s;
    };
    t.SetInterval(3);
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 3; }));
    EXPECT_EQ(sender, &t);

    // Disabled: no further ticks while a yardstick runs on.
    t.SetEnabled(false);
    const int stopped = ticks;
    Yardstick y;
    ASSERT_TRUE(y.runFor(10));
    EXPECT_EQ(ticks, stopped);

    // Enabled again: ticks resume.
    t.SetEnabled(true);
    ASSERT_TRUE(WaitUntil([&] { return ticks > stopped; }));
}

TEST(Timer, ZeroIntervalAndDisabledTimersNeverFire) {
    int zeroTicks = 0, disabledTicks = 0;
    TTimer zero(nullptr);
    zero.SetInterval(0);
    zero.OnTimer = [&](TObject*) { ++zeroTicks; };
    TTimer disabled(nullptr);
    disabled.SetEnabled(false);
    disabled.SetInterval(1);
    disabled.OnTimer = [&](TObject*) { ++disabledTicks; };

    Yardstick y;
    ASSERT_TRUE(y.runFor(15));
    EXPECT_EQ(zeroTicks, 0);
    EXPECT_EQ(disabledTicks, 0);

    // Giving the zero timer an interval starts it.
    zero.SetInterval(2);
    ASSERT_TRUE(WaitUntil([&] { return zeroTicks > 0; }));
}

TEST(Timer, IntervalsBeyondThePlatformLimitRunAtTheLimitInsteadOfFailing) {
    // A negative minute count times 60000, taken as unsigned, is such an interval.
    const unsigned fromNegativeMinutes = static_cast<unsigned>(-1 * 60000);
    TTimer t(nullptr);
    int ticks = 0;
    t.OnTimer = [&](TObject*) { ++ticks; };
    EXPECT_NO_THROW(t.SetInterval(fromNegativeMinutes));
    EXPECT_EQ(t.Interval(), fromNegativeMinutes);
    Yardstick y;
    ASSERT_TRUE(y.runFor(5));
    EXPECT_EQ(ticks, 0);
}

TEST(Timer, AnExceptionFromTheHandlerIsReportedAndTheTimerKeepsRunning) {
    ASSERT_NE(Application, nullptr);
    std::vector<std::string> reported;
    auto saved = Application->OnException;
    Application->OnException = [&](TObject*, const Exception& e) { reported.push_back(e.Message()); };
    TTimer t(nullptr);
    t.SetInterval(2);
    int ticks = 0;
    t.OnTimer = [&](TObject*) {
        ++ticks;
        throw Exception("tick failed");
    };
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 2; }));
    Application->OnException = saved;
    ASSERT_GE(reported.size(), 2u);
    EXPECT_EQ(reported[0], "tick failed");
}

}  // namespace
