// A timer component whose ticks arrive as window-timer messages on a hidden
// window of its own, so they run inside any loop that processes messages.
#pragma once

#include <memory>

#include "core/component.h"
#include "core/events.h"

namespace platform {
class Clock;
class MessageWindow;
}  // namespace platform

// Repeating timer: runs while Interval != 0, Enabled and OnTimer is set.
// GUI thread only.
class TThreadTimer : public TComponent {
public:
    // The period is measured on `clock`, which must outlive the timer (the
    // session hands in its own, so its deadlines and its timer agree).
    TThreadTimer(TComponent* AOwner, const platform::Clock& clock);
    ~TThreadTimer() override;
    const char* ClassName() const override { return "TThreadTimer"; }

    bool Enabled() const { return FEnabled; }
    // Restarts the period only when the value changes. Raises Exception
    // "No Timer" when the platform refuses a timer.
    void SetEnabled(bool Value);

    unsigned Interval() const { return FInterval; }
    // Milliseconds; 0 stops the timer. Acts only on a change; may raise "No Timer".
    void SetInterval(unsigned Value);

    const TNotifyEvent& OnTimer() const { return FOnTimer; }
    // Always restarts the period (even when the handler is the same); may raise "No Timer".
    void SetOnTimer(TNotifyEvent Value);

protected:
    // Runs on every tick: calls OnTimer with this timer as Sender.
    virtual void Timer();

private:
    void UpdateTimer();
    void handleTick();

    const platform::Clock& FClock;
    unsigned FInterval = 1000;
    std::unique_ptr<platform::MessageWindow> FWindow;
    TNotifyEvent FOnTimer;
    bool FEnabled = true;
};
