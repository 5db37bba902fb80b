// The message-loop timer component.
#pragma once

#include <memory>

#include "core/component.h"
#include "core/events.h"
#include "core/exception.h"

namespace platform {
class Clock;
class MessageWindow;
}  // namespace platform

// The platform refused to make a timer.
class EOutOfResources : public Exception {
public:
    using Exception::Exception;
};

// Fires OnTimer every Interval milliseconds from the message loop while
// Enabled. Interval 0 never fires; a disabled or zero-interval timer holds no
// platform timer at all, so it never wakes the program. Intervals beyond the
// platform's longest (0x7FFFFFFF ms) run at that longest. Ticks keep arriving
// while a handler waits inside a nested message loop. GUI thread only.
class TTimer : public TComponent {
public:
    // On the system's steady clock.
    explicit TTimer(TComponent* AOwner);
    // On `clock`, which runs the ticks and must outlive the timer.
    TTimer(TComponent* AOwner, const platform::Clock& clock);
    ~TTimer() override;
    const char* ClassName() const override { return "TTimer"; }

    bool Enabled() const { return enabled_; }
    // Raises EOutOfResources "Not enough timers available" when the platform
    // cannot make the timer.
    void SetEnabled(bool v);
    unsigned Interval() const { return interval_; }
    // Restarts the count when the timer runs. Same failure as SetEnabled.
    void SetInterval(unsigned ms);

    // Assign before or after enabling; a tick without a handler does nothing.
    // An exception escaping the handler is reported by the application object.
    // The handler must not destroy the timer.
    TNotifyEvent OnTimer;

protected:
    // Runs OnTimer; called on every tick.
    virtual void Timer();

private:
    void updateTimer();

    bool enabled_ = true;
    unsigned interval_ = 1000;
    const platform::Clock& clock_;
    std::unique_ptr<platform::MessageWindow> window_;
};
