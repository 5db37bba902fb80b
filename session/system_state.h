// What the system says about itself that decides when checking makes sense:
// whether it can reach the network, and that it has just woken from sleep.
#pragma once

#include <functional>

namespace platform {

// How far the system says it can reach, in the order of the desktop's own
// network service. Unknown also stands for "nobody says" (no service).
enum class Reachability {
    Unknown,
    Disconnected,  // no network at all
    Local,         // a link, but no route beyond it
    Site,          // a route beyond the link, but the internet was not confirmed
    Online,
};

// True for Site and Online: a mail server beyond the local link may answer.
inline bool ReachesBeyondLink(Reachability r) {
    return r == Reachability::Site || r == Reachability::Online;
}

// The connectivity and sleep source. Its events arrive through the message
// loop, each in its own turn, like every other message of the program; they
// are never raised from inside a call to this object. GUI thread only.
class SystemState {
public:
    virtual ~SystemState() = default;

    // What the system says now; Unknown when no source is available.
    virtual Reachability CurrentReachability() const = 0;

    // The reachability changed (called with the new one).
    std::function<void(Reachability)> OnReachabilityChanged;
    // The system has woken from sleep.
    std::function<void()> OnResumed;
};

}  // namespace platform
