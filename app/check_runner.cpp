#include "app/check_runner.h"

#include <QTimer>
#include <utility>

#include "app/check_scheduler.h"
#include "core/log.h"
#include "desktop/notifier.h"
#include "framework/qtext.h"

CheckRunner::CheckRunner(CheckHooks hooks, platform::SystemState& system, const platform::Clock& clock,
                         platform::Log& log, platform::Notifier& notifier)
    : hooks_(std::move(hooks)),
      log_(log),
      notifier_(notifier),
      scheduler_(std::make_unique<CheckScheduler>(system, clock)) {
    scheduler_->OnCheck = [this](CheckScheduler::Reason reason, bool asked) {
        // A change's check is one of the timed checks: none while they do not run.
        if (reason != CheckScheduler::Reason::Retry && !hooks_.timedChecksRun())
            return;
        Run(asked, /*queueIfBusy=*/true);
    };
    scheduler_->OnIntervalRestart = [this] { hooks_.restartInterval(); };
    scheduler_->OnLog = [this](const std::string& text) { log_.Line(text); };
}

CheckRunner::~CheckRunner() = default;

void CheckRunner::Run(bool asked, bool queueIfBusy) {
    // A tick or a menu command that arrives while a check waits on the
    // network would disturb its connection: it is skipped, and the running
    // check shows its own result.
    if (running_) {
        if (queueIfBusy && followUp_ != FollowUp::Asked)
            followUp_ = asked ? FollowUp::Asked : FollowUp::Timed;
        return;
    }
    if (exiting_ || (!asked && !scheduler_->TimedCheckMayRun()))
        return;
    running_ = true;
    runOnce(asked);
    running_ = false;
    if (followUp_ == FollowUp::None || exiting_)
        return;
    const bool followUpAsked = followUp_ == FollowUp::Asked;
    followUp_ = FollowUp::None;
    later([this, followUpAsked] { Run(followUpAsked, /*queueIfBusy=*/true); });
}

void CheckRunner::runOnce(bool asked) {
    scheduler_->CheckStarting();
    const CheckOutcome outcome = hooks_.check();
    // Cancelled for the exit: nobody is told anything any more.
    if (exiting_)
        return;
    if (!outcome.Counted()) {
        if (outcome.Failure().kind == FailureKind::Tls && hooks_.repairTls && hooks_.repairTls(outcome.Failure())) {
            later([this] { Run(/*asked=*/true, /*queueIfBusy=*/true); });
            return;
        }
        failed(outcome.Failure(), asked);
        return;
    }
    const CheckResult& result = outcome.Result();
    hooks_.show(result, asked);
    // The count is shown, but a QUIT the server would not take fails the
    // check all the same, as a failed sign-off always has.
    if (result.quitFailure) {
        failed(*result.quitFailure, asked);
        return;
    }
    failures_.Ended();
}

void CheckRunner::failed(const FailureReport& report, bool asked) {
    // Right after a wake or the network's return, the network may not be
    // ready yet: such a failure gets a second attempt first.
    if (scheduler_->HoldBackFailure(report.kind == FailureKind::Network, asked, report.text))
        return;
    tell(report);
    // No error box, but the reason is told; the cure is in the settings,
    // except for a mailbox that is only busy, which the next timed check
    // tries again.
    if (OpensSettingsDialog(report.kind))
        hooks_.openSettings();
}

void CheckRunner::tell(const FailureReport& report) {
    if (quiet_)
        return;
    log_.Line(CheckFailedLogText(report));
    if (failures_.Failed())
        notifier_.Notify(ToQString(CheckFailedNotice(report)), ToQString(CheckFailedNoticeBody(report)));
}

void CheckRunner::SettingsConfirmed() {
    quiet_ = false;
    // New settings, a new run: their first failure is told again.
    failures_.Ended();
    // Not inside the OK button's click; when a check is running (the OK came
    // while it waited), right after that one.
    later([this] { Run(/*asked=*/true, /*queueIfBusy=*/true); });
}

void CheckRunner::Exit() {
    exiting_ = true;
    followUp_ = FollowUp::None;
    if (running_)
        hooks_.cancel();
}

void CheckRunner::later(std::function<void()> what) {
    QTimer::singleShot(0, &context_, [this, what = std::move(what)] {
        if (!exiting_)
            what();
    });
}
