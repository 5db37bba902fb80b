#include "net/thread_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "framework/application.h"
#include "framework/exception.h"
#include "tests/net/loopback_peer.h"

namespace {

using Clock = std::chrono::steady_clock;
using testpeer::PumpUntil;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Counts the ticks of a timer and when the first came.
struct TickLog {
    int ticks = 0;
    long long firstAtMs = -1;
    Clock::time_point start = Clock::now();
    TNotifyEvent handler() {
        return [this](TObject*) {
            if (ticks++ == 0)
                firstAtMs = MsSince(start);
        };
    }
};

// A second timer ticking alongside, so that "no tick" is judged against
// ticks that did arrive rather than against a guess of elapsed time.
struct ReferenceTimer {
    std::unique_ptr<TThreadTimer> timer{new TThreadTimer(nullptr)};
    int ticks = 0;
    explicit ReferenceTimer(unsigned intervalMs) {
        timer->SetInterval(intervalMs);
        timer->SetOnTimer([this](TObject*) { ++ticks; });
    }
};

TEST(ThreadTimer, NewTimerIsEnabledButSilentUntilItHasAHandler) {
    TThreadTimer timer(nullptr);
    EXPECT_TRUE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000u);
    TickLog log;
    timer.SetInterval(10);  // would tick quickly if anything were armed
    ReferenceTimer reference(10);
    ASSERT_TRUE(PumpUntil([&] { return reference.ticks >= 5; }));
    timer.SetOnTimer(log.handler());
    EXPECT_TRUE(PumpUntil([&] { return log.ticks >= 2; }));
}

TEST(ThreadTimer, ZeroIntervalOrDisabledNeverTicks) {
    TThreadTimer timer(nullptr);
    TickLog log;
    timer.SetOnTimer(log.handler());
    timer.SetInterval(0);
    ReferenceTimer reference(10);
    ASSERT_TRUE(PumpUntil([&] { return reference.ticks >= 5; }));
    EXPECT_EQ(log.ticks, 0);

    timer.SetInterval(10);
    ASSERT_TRUE(PumpUntil([&] { return log.ticks >= 1; }));
    timer.SetEnabled(false);
    const int before = log.ticks;
    reference.ticks = 0;
    ASSERT_TRUE(PumpUntil([&] { return reference.ticks >= 5; }));
    EXPECT_EQ(log.ticks, before);
}

// Timing cases use wide margins: window timers are coarse (a few percent).
TEST(ThreadTimer, SettingAnUnchangedValueDoesNotRestartThePeriod) {
    TThreadTimer timer(nullptr);
    timer.SetInterval(300);
    TickLog log;
    timer.SetOnTimer(log.handler());
    PumpUntil([&] { return MsSince(log.start) >= 200; }, 1000);
    ASSERT_EQ(log.ticks, 0);
    timer.SetEnabled(true);  // already true
    timer.SetInterval(300);  // already 300
    ASSERT_TRUE(PumpUntil([&] { return log.ticks >= 1; }));
    // A restart at 200 ms would put the first tick near 500 ms.
    EXPECT_LT(log.firstAtMs, 450);
}

TEST(ThreadTimer, SettingTheHandlerAlwaysRestartsThePeriod) {
    TThreadTimer timer(nullptr);
    timer.SetInterval(300);
    TickLog log;
    timer.SetOnTimer(log.handler());
    PumpUntil([&] { return MsSince(log.start) >= 200; }, 1000);
    ASSERT_EQ(log.ticks, 0);
    timer.SetOnTimer(log.handler());
    ASSERT_TRUE(PumpUntil([&] { return log.ticks >= 1; }));
    EXPECT_GE(log.firstAtMs, 450);
}

TEST(ThreadTimer, HandlerExceptionGoesToTheApplicationAndTicksGoOn) {
    ASSERT_NE(Application, nullptr);
    std::vector<std::string> reported;
    TObject* reportedSender = nullptr;
    Application->OnException = [&](TObject* Sender, const Exception& E) {
        reported.push_back(E.Message());
        reportedSender = Sender;
    };
    TThreadTimer timer(nullptr);
    timer.SetInterval(10);
    int ticks = 0;
    timer.SetOnTimer([&](TObject*) {
        ++ticks;
        throw Exception("tick failed");
    });
    const bool ticked = PumpUntil([&] { return ticks >= 3; });
    Application->OnException = nullptr;
    ASSERT_TRUE(ticked);
    ASSERT_GE(reported.size(), 3u);
    EXPECT_EQ(reported[0], "tick failed");
    EXPECT_EQ(reportedSender, &timer);
}

TEST(ThreadTimer, OwnerDestroysItAndItsTimerStops) {
    auto owner = std::make_unique<TComponent>(nullptr);
    auto* timer = new TThreadTimer(owner.get());
    int ticks = 0;
    timer->SetInterval(5);
    timer->SetOnTimer([&](TObject*) { ++ticks; });
    ASSERT_TRUE(PumpUntil([&] { return ticks >= 1; }));
    owner.reset();  // destroys the timer; a tick after this would touch freed memory
    const int before = ticks;
    ReferenceTimer reference(5);
    ASSERT_TRUE(PumpUntil([&] { return reference.ticks >= 5; }));
    EXPECT_EQ(ticks, before);
}

}  // namespace
