// The life of the program's checks: one at a time, the check a busy moment
// asks to follow, the end at exit, the run of failures and how a failure is
// told (a log line each time, a notification at the first of a run, the
// settings dialog unless the server only said "not now"), and the scheduler's
// rules for a machine that sleeps and changes networks (app/check_scheduler.h).
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "app/check_feedback.h"
#include "net/check_mailbox.h"

class CheckScheduler;
namespace platform {
class Clock;
class Log;
class Notifier;
class SystemState;
}  // namespace platform

// What the runner asks of its owner, the main window.
struct CheckHooks {
    // Runs one check with the settings of the moment. It waits on the
    // network while the thread's messages flow, so the runner's own calls
    // may come in meanwhile.
    std::function<CheckOutcome()> check;
    // Ends the check that is running at once (exit).
    std::function<void()> cancel;
    // Shows a counted mailbox; `asked` for a check the user asked for.
    std::function<void(const CheckResult& result, bool asked)> show;
    // Opens the settings dialog.
    std::function<void()> openSettings;
    // Whether timed checks run now: the system's changes ask for a check only then.
    std::function<bool()> timedChecksRun;
    // The interval of timed checks starts again from now.
    std::function<void()> restartInterval;
};

// One per main window. The services must outlive it. GUI thread only.
class CheckRunner {
public:
    CheckRunner(CheckHooks hooks, platform::SystemState& system, const platform::Clock& clock, platform::Log& log,
                platform::Notifier& notifier);
    ~CheckRunner();
    CheckRunner(const CheckRunner&) = delete;
    CheckRunner& operator=(const CheckRunner&) = delete;

    // Runs a check: `asked` for 今すぐチェック (the result shows whatever the
    // count), a timed one otherwise, which is skipped while the system is
    // offline. One that comes while another runs is skipped, or with
    // `queueIfBusy` made once that one has ended (an asked one wins over a
    // timed one).
    void Run(bool asked, bool queueIfBusy = false);
    // Settings were confirmed in the dialog: a new run of failures, whose
    // failures are told from now on, and a check the user sees at once,
    // made after the caller has returned (after the running one, if any).
    void SettingsConfirmed();
    // A first start without settings: its failures are not told (the dialog
    // that asks for the settings says enough) until settings are confirmed.
    void QuietUntilConfirmed() { quiet_ = true; }
    // The program ends: the running check gives up without a word, and
    // nothing follows it.
    void Exit();

private:
    friend class CheckRunnerTestPeer;
    enum class FollowUp { None, Timed, Asked };

    void runOnce(bool asked);
    void failed(const FailureReport& report, bool asked);
    void tell(const FailureReport& report);
    // Runs `what` once the handler that is running now has returned.
    void later(std::function<void()> what);

    CheckHooks hooks_;
    platform::Log& log_;
    platform::Notifier& notifier_;
    std::unique_ptr<CheckScheduler> scheduler_;
    FailureStreak failures_;
    bool running_ = false;
    bool exiting_ = false;
    bool quiet_ = false;
    FollowUp followUp_ = FollowUp::None;
    // The deferred calls die with the runner.
    QObject context_;
};
