// The system state of a Linux desktop: reachability from NetworkManager
// (through Qt's network information) and waking from sleep from logind, both
// on the system bus.
#pragma once

#include <memory>

#include "session/system_state.h"

namespace platform {

// Made once by the program's entry, after the application object. Where the
// system bus, NetworkManager or logind is missing, that part stays silent:
// reachability Unknown, no wake events. Never throws. GUI thread only.
class DesktopSystemState final : public SystemState {
public:
    DesktopSystemState();
    ~DesktopSystemState() override;
    DesktopSystemState(const DesktopSystemState&) = delete;
    DesktopSystemState& operator=(const DesktopSystemState&) = delete;

    Reachability CurrentReachability() const override;

private:
    struct State;
    std::unique_ptr<State> d_;
};

}  // namespace platform
