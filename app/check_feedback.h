// What a user is told about checks: the interval the settings dialog offers,
// and the report of a failed check (a log line on standard error and one
// desktop notification per run of failures).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "core/text.h"
#include "net/check_failure.h"

// The check interval the dialog can show, in minutes, as its up/down allows.
inline constexpr std::int16_t kCycleMinutesMin = 1;
inline constexpr std::int16_t kCycleMinutesMax = 100;
// What the dialog proposes while no interval is stored.
inline constexpr std::int16_t kProposedCycleMinutes = 10;

// The interval the dialog shows (and OK then stores): the proposal when none
// is stored, otherwise the stored one brought into the up/down's range.
std::int16_t DialogCycleMinutes(std::optional<std::int32_t> stored);

// The summary of the notification of a failed check: "メールを確認できませんでした: "
// and the report's text (the message, then the server's reply); for a
// sign-in that is missing, revoked or was declined, "サインインが必要です".
AnsiString CheckFailedNotice(const FailureReport& report);
// Its body: the report's advice; for a sign-in, how to sign in again, then
// the report's text and advice.
AnsiString CheckFailedNoticeBody(const FailureReport& report);

// What the log says of a failed check, in UTF-8: "check failed: ", the
// report's text and its advice.
std::string CheckFailedLogText(const FailureReport& report);

// The log line of a failed check as the program's log writes it
// (core/log.h), e.g.
// "2026-12-08T11:49:39+0900 postwren: check failed: Authentication failed (server: -ERR [AUTH] wrong)".
std::string CheckFailedLogLine(std::chrono::system_clock::time_point when, const FailureReport& report);

// A run of failed checks is told once: at its first failure. A successful
// check ends the run, and so do confirmed settings (the user wants to know
// whether the new ones work).
class FailureStreak {
public:
    // Records a failed check; true when it starts a new run.
    bool Failed() {
        const bool first = !failing_;
        failing_ = true;
        return first;
    }
    void Ended() { failing_ = false; }
    bool Failing() const { return failing_; }

private:
    bool failing_ = false;
};
