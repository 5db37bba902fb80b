// A clock for tests that stands still until the test moves it, and the timers
// measured on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/clock.h"

namespace testing_support {

// Time moves only by Advance. A timer started on this clock ticks when
// Advance carries the clock past its due time: its WM_TIMER goes through the
// message queue, so it arrives in the next message processing, as a window
// timer's would. Like a window timer it coalesces (one tick however many
// periods an Advance skips) and, once stopped, delivers nothing more, not even
// a tick already queued.
//
// Now() from any thread; everything else on the GUI thread. The clock must
// outlive the timers started on it.
class ManualClock final : public platform::Clock {
public:
    ManualClock();
    ~ManualClock() override;
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    time_point Now() const override;
    bool StartTimer(platform::MessageWindow& window, platform::WPARAM id, platform::UINT ms) const override;
    void StopTimer(platform::MessageWindow& window, platform::WPARAM id) const override;

    void Advance(duration by);
    // How far the clock has been moved since it was made.
    duration Elapsed() const;
    // Timers started and not stopped.
    int RunningTimers() const;

private:
    struct Timer {
        platform::HWND window;
        platform::WPARAM id;
        duration period;
        time_point due;
        std::uint64_t serial;  // tells a restarted timer from the one it replaced
        bool tickQueued;
    };

    void deliver(std::uint64_t serial);

    const time_point origin_;
    std::atomic<duration::rep> elapsed_{0};
    // Start and stop are const in the Clock interface; the timers are the
    // clock's bookkeeping, not its time.
    mutable std::vector<Timer> timers_;
    mutable std::uint64_t nextSerial_ = 1;
    std::unique_ptr<platform::MessageWindow> relay_;
};

// Ends a test that waits on a manual clock nobody advances: whenever another
// `realMs` of real time have passed it moves the clock a day ahead, so that
// every wait bounded by the clock ends and the test fails on what it sees
// rather than hanging. Harmless when the test ends in time.
class StuckWaitGuard {
public:
    StuckWaitGuard(ManualClock& clock, int realMs = 10000);
    ~StuckWaitGuard();
    StuckWaitGuard(const StuckWaitGuard&) = delete;
    StuckWaitGuard& operator=(const StuckWaitGuard&) = delete;

    bool fired() const { return fired_; }

private:
    std::unique_ptr<platform::MessageWindow> window_;
    bool fired_ = false;
};

}  // namespace testing_support
