// When a check is worth making besides the check timer's ticks, and when it
// is not: the rules for a machine that sleeps, wakes and changes networks.
#pragma once

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/text.h"
#include "session/system_state.h"

namespace platform {
class MessageWindow;
}

// The rules, driven by the system state's events and timers on the clock:
// - Offline (Disconnected): a timed check is skipped, with one log line.
//   Checks the user asks for are not the scheduler's business.
// - Back online (Disconnected, then Site or Online): one check a few seconds
//   later; the interval of timed checks starts again from it.
// - Woken from sleep: one check a few seconds after the system is online.
// - Checks asked for by these changes come at most once a minute, and a
//   change that is undone before its check starts asks for nothing.
// - A network failure of a check that started within a minute after a wake or
//   a return of the network is held back and the check made again once, 15 s
//   later; only that second failure counts.
// - While the reachability is Unknown (no source, or the source does not
//   know) nothing of this applies: every check runs and counts as ever.
//
// The clock runs the scheduler's timers and must outlive it, as must the
// system state, whose events the scheduler takes over. GUI thread only.
class CheckScheduler {
public:
    // How long the network is given to settle before its check.
    static constexpr std::chrono::seconds kSettleDelay{3};
    // The least time between two checks asked for by the system's changes.
    static constexpr std::chrono::seconds kChangeCheckSpacing{60};
    // How long after a wake or a return of the network a check's network
    // failure is held back, and how long its second attempt waits.
    static constexpr std::chrono::seconds kRetryWindow{60};
    static constexpr std::chrono::seconds kRetryDelay{15};

    // Why the scheduler asks for a check.
    enum class Reason {
        NetworkBack,  // the network returned
        Woke,         // the system woke (and is online)
        Retry,        // a held-back failure is tried again
    };

    CheckScheduler(platform::SystemState& system, const platform::Clock& clock);
    ~CheckScheduler();
    CheckScheduler(const CheckScheduler&) = delete;
    CheckScheduler& operator=(const CheckScheduler&) = delete;

    // A timed check is about to start. False when the system says it is
    // offline: the check is skipped, and that is logged.
    bool TimedCheckMayRun();

    // A check starts, whatever asked for it. It stands in for a change's
    // check still waiting and for a pending second attempt (it is then the
    // second attempt).
    void CheckStarting();

    // The check that started last has failed. True when the failure is held
    // back (logged, and the check asked for again in kRetryDelay, with the
    // same `asked`); false when it counts now. `reportText` is the failure
    // report's CP932 text, controls already escaped, for the log.
    bool HoldBackFailure(bool networkFailure, bool asked, const AnsiString& reportText);

    // Runs a check. `asked` is true only for the second attempt of a check
    // the user asked for; every other check here is a timed one.
    std::function<void(Reason reason, bool asked)> OnCheck;
    // The interval of timed checks starts again now (before a change's check).
    std::function<void()> OnIntervalRestart;
    // One line of the program's log, in UTF-8, without time stamp or line end.
    std::function<void(const std::string&)> OnLog;

private:
    using time_point = platform::Clock::time_point;

    void reachabilityChanged(platform::Reachability now);
    void resumed();
    // Asks for a change's check after the settle delay, or once the spacing
    // since the last one allows; nothing when one is waiting already.
    void scheduleChangeCheck(Reason reason);
    void cancelChangeCheck();
    void timer(platform::WPARAM id);
    void log(const std::string& text) const;

    platform::SystemState& system_;
    const platform::Clock& clock_;
    std::unique_ptr<platform::MessageWindow> window_;
    platform::Reachability reachability_;

    // A change asked for a check that is due once the system reaches beyond
    // its link: the network went away, or the system woke.
    bool checkWhenOnline_ = false;
    Reason pendingReason_ = Reason::NetworkBack;
    bool changeCheckPending_ = false;
    std::optional<time_point> lastChangeCheck_;
    // The last wake or return of the network.
    std::optional<time_point> lastChange_;

    bool retryPending_ = false;
    bool retryAsked_ = false;
    // What is known of the check that started last.
    time_point checkStarted_{};
    bool checkIsRetry_ = false;
};
