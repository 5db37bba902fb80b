// A clock for tests that drive deadlines without waiting: it stands still
// until Start(), then moves on by `step` each time it is read, so any
// deadline taken from it passes after a known number of readings, however
// slow the machine is. Any thread.
#pragma once

#include <atomic>
#include <chrono>

#include "core/clock.h"

class SteppingClock final : public platform::Clock {
public:
    explicit SteppingClock(duration step = std::chrono::seconds(1)) : step_(step) {}

    time_point Now() const override {
        if (!running_.load())
            return time_point(duration(ticks_.load()));
        return time_point(duration(ticks_.fetch_add(step_.count()) + step_.count()));
    }
    void Start() { running_.store(true); }
    bool Running() const { return running_.load(); }

private:
    const duration step_;
    std::atomic<bool> running_{false};
    mutable std::atomic<duration::rep> ticks_{0};
};
