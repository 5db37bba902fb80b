// Monotonic time for the deadlines of waits and timers. The program uses the
// system's steady clock; tests hand in a clock they advance themselves.
#pragma once

#include <chrono>

namespace platform {

// Any thread; Now() never goes backwards.
class Clock {
public:
    using duration = std::chrono::steady_clock::duration;
    using time_point = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;
    virtual time_point Now() const = 0;
};

// The system's monotonic clock.
class SteadyClock final : public Clock {
public:
    time_point Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace platform
