// Monotonic time for the deadlines of waits and timers. The program uses the
// system's steady clock; tests hand in a clock they advance themselves.
#pragma once

#include <chrono>

#include "core/message_window.h"

namespace platform {

// Now() from any thread; it never goes backwards.
//
// A clock also runs the timers whose period is measured on it, so that a
// timer and a deadline never disagree about how much time has passed. The
// system clock uses the window's own timers; a test clock delivers the same
// WM_TIMER messages through the message queue when it is advanced.
class Clock {
public:
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual time_point Now() const = 0;
    // The wall-clock time of log lines; may jump. The system's by default.
    virtual std::chrono::system_clock::time_point WallNow() const { return std::chrono::system_clock::now(); }

    // Starts or restarts timer `id` of `window`: WM_TIMER (wParam = id) every
    // `ms` milliseconds of this clock until StopTimer. False when the timer
    // cannot be made. GUI thread only.
    virtual bool StartTimer(MessageWindow& window, WPARAM id, UINT ms) const { return window.setTimer(id, ms); }
    // Harmless when no such timer runs. No tick of it arrives afterwards. GUI thread only.
    virtual void StopTimer(MessageWindow& window, WPARAM id) const { window.killTimer(id); }
};

// The system's monotonic clock.
class SteadyClock final : public Clock {
public:
    time_point Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace platform
