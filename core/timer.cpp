#include "core/timer.h"

#include <algorithm>

#include "core/application.h"
#include "core/clock.h"
#include "core/message_window.h"

namespace {

// The one window timer each TTimer runs on its window.
constexpr platform::WPARAM kTimerId = 1;
// The longest interval the platform's window timers take; longer ones are cut to it.
constexpr unsigned kMaxTimerIntervalMs = 0x7FFFFFFF;

// The clock of timers made without one.
const platform::Clock& SystemClock() {
    static const platform::SteadyClock clock;
    return clock;
}

}  // namespace

TTimer::TTimer(TComponent* AOwner) : TTimer(AOwner, SystemClock()) {}

TTimer::TTimer(TComponent* AOwner, const platform::Clock& clock) : TComponent(AOwner), clock_(clock) {
    window_ = std::make_unique<platform::MessageWindow>(
        [this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) -> platform::LRESULT {
            if (msg != platform::WM_TIMER || wParam != kTimerId)
                return 0;
            try {
                Timer();
            } catch (...) {
                ReportHandlerException(this);
            }
            return 0;
        });
    updateTimer();
}

TTimer::~TTimer() {
    enabled_ = false;
    clock_.StopTimer(*window_, kTimerId);
    window_.reset();
}

void TTimer::SetEnabled(bool v) {
    if (v == enabled_)
        return;
    enabled_ = v;
    updateTimer();
}

void TTimer::SetInterval(unsigned ms) {
    if (ms == interval_)
        return;
    interval_ = ms;
    updateTimer();
}

void TTimer::updateTimer() {
    clock_.StopTimer(*window_, kTimerId);
    if (!enabled_ || interval_ == 0)
        return;
    if (!clock_.StartTimer(*window_, kTimerId, std::min(interval_, kMaxTimerIntervalMs)))
        throw EOutOfResources("Not enough timers available");
}

void TTimer::Timer() {
    if (OnTimer)
        OnTimer(this);
}
