#include "app/check_scheduler.h"

#include <algorithm>

#include "core/message_window.h"

namespace {

// The scheduler's two one-shot timers on its window.
constexpr platform::WPARAM kChangeCheckTimer = 1;
constexpr platform::WPARAM kRetryTimer = 2;

platform::UINT millisecondsOf(platform::Clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    return static_cast<platform::UINT>(std::max<long long>(ms, 0));
}

}  // namespace

CheckScheduler::CheckScheduler(platform::SystemState& system, const platform::Clock& clock)
    : system_(system),
      clock_(clock),
      window_(std::make_unique<platform::MessageWindow>(
          [this](platform::UINT msg, platform::WPARAM wParam, platform::LPARAM) -> platform::LRESULT {
              if (msg == platform::WM_TIMER)
                  timer(wParam);
              return 0;
          })),
      reachability_(system.CurrentReachability()) {
    // Started without a network: its arrival is a return like any other.
    checkWhenOnline_ = reachability_ == platform::Reachability::Disconnected;
    system_.OnReachabilityChanged = [this](platform::Reachability now) { reachabilityChanged(now); };
    system_.OnResumed = [this] { resumed(); };
}

CheckScheduler::~CheckScheduler() {
    system_.OnReachabilityChanged = nullptr;
    system_.OnResumed = nullptr;
    clock_.StopTimer(*window_, kChangeCheckTimer);
    clock_.StopTimer(*window_, kRetryTimer);
}

bool CheckScheduler::TimedCheckMayRun() {
    if (reachability_ != platform::Reachability::Disconnected)
        return true;
    // A second attempt waiting now is dropped too: the network's return asks
    // for a check of its own.
    retryPending_ = false;
    clock_.StopTimer(*window_, kRetryTimer);
    log("timed check skipped: the system is offline");
    return false;
}

void CheckScheduler::CheckStarting() {
    checkStarted_ = clock_.Now();
    checkIsRetry_ = retryPending_;
    retryPending_ = false;
    clock_.StopTimer(*window_, kRetryTimer);
    if (changeCheckPending_)
        cancelChangeCheck();
}

bool CheckScheduler::HoldBackFailure(bool networkFailure, bool asked, const AnsiString& reportText) {
    if (!networkFailure || checkIsRetry_ || !lastChange_)
        return false;
    if (checkStarted_ < *lastChange_ || checkStarted_ - *lastChange_ > kRetryWindow)
        return false;
    retryPending_ = true;
    retryAsked_ = asked;
    clock_.StartTimer(*window_, kRetryTimer, millisecondsOf(kRetryDelay));
    log("check held back: " + Cp932ToUtf8(reportText) + "; the network may still be settling, trying again in " +
        std::to_string(kRetryDelay.count()) + " s");
    return true;
}

void CheckScheduler::reachabilityChanged(platform::Reachability now) {
    reachability_ = now;
    if (now == platform::Reachability::Disconnected) {
        if (!checkWhenOnline_ && !changeCheckPending_)
            pendingReason_ = Reason::NetworkBack;
        cancelChangeCheck();
        checkWhenOnline_ = true;
        return;
    }
    if (platform::ReachesBeyondLink(now)) {
        if (!checkWhenOnline_)
            return;
        checkWhenOnline_ = false;
        lastChange_ = clock_.Now();
        scheduleChangeCheck(pendingReason_);
        return;
    }
    // Local, or Unknown: a check that waits for the network keeps waiting.
    // (An Unknown in between does not undo a loss of the network: the
    // network's return afterwards still asks for its check.)
    if (changeCheckPending_) {
        cancelChangeCheck();
        checkWhenOnline_ = true;
    }
}

void CheckScheduler::resumed() {
    // Where nobody says whether the system is online, a failure right after
    // the wake counts as ever, and the wake's check waits until somebody
    // says so (without a source: for good).
    if (reachability_ != platform::Reachability::Unknown)
        lastChange_ = clock_.Now();
    if (platform::ReachesBeyondLink(reachability_)) {
        scheduleChangeCheck(Reason::Woke);
        return;
    }
    if (!changeCheckPending_) {
        checkWhenOnline_ = true;
        pendingReason_ = Reason::Woke;
    }
}

void CheckScheduler::scheduleChangeCheck(Reason reason) {
    if (changeCheckPending_)
        return;
    const time_point now = clock_.Now();
    time_point due = now + kSettleDelay;
    if (lastChangeCheck_)
        due = std::max(due, *lastChangeCheck_ + kChangeCheckSpacing);
    pendingReason_ = reason;
    changeCheckPending_ = true;
    clock_.StartTimer(*window_, kChangeCheckTimer, millisecondsOf(due - now));
}

void CheckScheduler::cancelChangeCheck() {
    changeCheckPending_ = false;
    clock_.StopTimer(*window_, kChangeCheckTimer);
}

void CheckScheduler::timer(platform::WPARAM id) {
    clock_.StopTimer(*window_, id);
    if (id == kRetryTimer) {
        if (retryPending_ && OnCheck)
            OnCheck(Reason::Retry, retryAsked_);
        return;
    }
    if (id != kChangeCheckTimer || !changeCheckPending_)
        return;
    changeCheckPending_ = false;
    lastChangeCheck_ = clock_.Now();
    const Reason reason = pendingReason_;
    log(reason == Reason::Woke ? "woke from sleep: checking" : "the network is back: checking");
    if (OnIntervalRestart)
        OnIntervalRestart();
    if (OnCheck)
        OnCheck(reason, false);
}

void CheckScheduler::log(const std::string& text) const {
    if (OnLog)
        OnLog(text);
}
