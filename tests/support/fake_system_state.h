// A system state for tests: the test says what the system reports, and the
// events arrive through the message queue, as the desktop's do.
#pragma once

#include "core/message_window.h"
#include "session/system_state.h"

class FakeSystemState final : public platform::SystemState {
public:
    FakeSystemState()
        : window_([this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) -> platform::LRESULT {
              if (msg == kChanged && OnReachabilityChanged)
                  OnReachabilityChanged(static_cast<platform::Reachability>(wParam));
              else if (msg == kResumed && OnResumed)
                  OnResumed();
              return 0;
          }) {}

    platform::Reachability CurrentReachability() const override { return reachability_; }

    // What the system says before anyone listens (no event).
    void StartWith(platform::Reachability r) { reachability_ = r; }
    // The system says `r` from now on; the event comes with the next messages.
    void Say(platform::Reachability r) {
        reachability_ = r;
        platform::PostMessage(window_.handle(), kChanged, static_cast<platform::WPARAM>(r), 0);
    }
    // The system has woken; the event comes with the next messages.
    void Wake() { platform::PostMessage(window_.handle(), kResumed, 0, 0); }

private:
    static constexpr platform::UINT kChanged = platform::WM_USER + 1;
    static constexpr platform::UINT kResumed = platform::WM_USER + 2;

    platform::Reachability reachability_ = platform::Reachability::Unknown;
    platform::MessageWindow window_;
};
