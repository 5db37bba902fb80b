#include "tests/support/manual_clock.h"

#include <algorithm>

namespace testing_support {

namespace {

// The relay window's one message: wParam names the timer by its serial.
constexpr platform::UINT kRelayTick = platform::WM_USER + 1;
constexpr platform::WPARAM kGuardTimerId = 1;

}  // namespace

ManualClock::ManualClock()
    : origin_(std::chrono::steady_clock::now()),
      relay_(std::make_unique<platform::MessageWindow>(
          [this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) -> platform::LRESULT {
              if (msg == kRelayTick)
                  deliver(static_cast<std::uint64_t>(wParam));
              return 0;
          })) {}

ManualClock::~ManualClock() = default;

ManualClock::time_point ManualClock::Now() const {
    return origin_ + duration(elapsed_.load());
}

ManualClock::duration ManualClock::Elapsed() const {
    return duration(elapsed_.load());
}

bool ManualClock::StartTimer(platform::MessageWindow& window, platform::WPARAM id, platform::UINT ms) const {
    StopTimer(window, id);
    // A window timer of 0 ms runs at the shortest period there is.
    const duration period = std::chrono::milliseconds(std::max<platform::UINT>(ms, 1));
    timers_.push_back({window.handle(), id, period, Now() + period, nextSerial_++, false});
    return true;
}

void ManualClock::StopTimer(platform::MessageWindow& window, platform::WPARAM id) const {
    std::erase_if(timers_, [&](const Timer& t) { return t.window == window.handle() && t.id == id; });
}

void ManualClock::Advance(duration by) {
    elapsed_ += by.count();
    const time_point now = Now();
    for (Timer& t : timers_) {
        if (t.due > now)
            continue;
        // The next due time after now, however many periods were skipped.
        t.due += ((now - t.due) / t.period + 1) * t.period;
        if (!t.tickQueued) {
            t.tickQueued = true;
            platform::PostMessage(relay_->handle(), kRelayTick, static_cast<platform::WPARAM>(t.serial), 0);
        }
    }
}

int ManualClock::RunningTimers() const {
    return static_cast<int>(timers_.size());
}

void ManualClock::deliver(std::uint64_t serial) {
    const auto it = std::find_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.serial == serial; });
    // Stopped or restarted since the tick was queued: it is not delivered.
    if (it == timers_.end())
        return;
    it->tickQueued = false;
    const platform::HWND window = it->window;
    const platform::WPARAM id = it->id;
    // The tick's handler may start and stop timers: nothing of timers_ is used after this.
    platform::SendMessage(window, platform::WM_TIMER, id, 0);
}

StuckWaitGuard::StuckWaitGuard(ManualClock& clock, int realMs) {
    window_ = std::make_unique<platform::MessageWindow>(
        [this, &clock](platform::UINT msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
            if (msg == platform::WM_TIMER) {
                fired_ = true;
                clock.Advance(std::chrono::hours(24));
            }
            return 0;
        });
    window_->setTimer(kGuardTimerId, static_cast<platform::UINT>(realMs));
}

StuckWaitGuard::~StuckWaitGuard() = default;

}  // namespace testing_support
