#include "net/thread_timer.h"

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/message_window.h"

namespace {
// The timer always runs as window timer 1 of its own window.
constexpr platform::WPARAM kTimerId = 1;
}  // namespace

TThreadTimer::TThreadTimer(TComponent* AOwner, const platform::Clock& clock)
    : TComponent(AOwner), FClock(clock), FWindow(new platform::MessageWindow) {
    FWindow->setUserSlot(this);
    FWindow->setWindowProc([this](platform::UINT msg, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
        if (msg == platform::WM_TIMER)
            handleTick();
        // WM_ACTIVATEAPP and everything else: nothing to do, answer 0.
        return 0;
    });
    // No timer yet: OnTimer is unset, so UpdateTimer would start nothing.
}

TThreadTimer::~TThreadTimer() {
    FEnabled = false;
    FClock.StopTimer(*FWindow, kTimerId);
    FWindow.reset();
}

void TThreadTimer::SetEnabled(bool Value) {
    if (Value == FEnabled)
        return;
    FEnabled = Value;
    UpdateTimer();
}

void TThreadTimer::SetInterval(unsigned Value) {
    if (Value == FInterval)
        return;
    FInterval = Value;
    UpdateTimer();
}

void TThreadTimer::SetOnTimer(TNotifyEvent Value) {
    FOnTimer = std::move(Value);
    UpdateTimer();
}

void TThreadTimer::Timer() {
    if (FOnTimer) {
        // A copy: the handler may replace itself.
        TNotifyEvent handler = FOnTimer;
        handler(this);
    }
}

void TThreadTimer::UpdateTimer() {
    FClock.StopTimer(*FWindow, kTimerId);
    if (FInterval != 0 && FEnabled && FOnTimer) {
        if (!FClock.StartTimer(*FWindow, kTimerId, FInterval))
            throw Exception("No Timer");
    }
}

void TThreadTimer::handleTick() {
    try {
        Timer();
    } catch (...) {
        // A failing handler is reported, never passed to the message loop.
        ReportHandlerException(this);
    }
}
