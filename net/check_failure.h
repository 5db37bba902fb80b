// How a failed check is told. A check ends with one failure, the first one;
// its kind decides everything that follows from it, and this is the one place
// that says what:
//
//   kind        postwren-check  --json "kind"  the program
//   refused     exit 1          "refused"      logs, notifies, opens the settings dialog
//   temporary   exit 5          "temporary"    logs, notifies, no dialog (the next timed check tries again)
//   network     exit 3          "network"      logs, notifies, opens the settings dialog
//   tls         exit 4          "tls"          logs, notifies, opens the settings dialog
//   usage       exit 2          "usage"        logs, notifies, opens the settings dialog
//   signin      exit 6          "signin"       logs, notifies, opens the settings dialog; timed
//                                              checks leave the provider alone until a new sign-in
//
// (The program notifies once per run of failures; see app/check_feedback.h.)
#pragma once

#include <exception>

#include "core/check_failure_kind.h"
#include "core/text.h"

// The kind of whatever a check raised: an ECheckFailure says its own; a
// server address that cannot be read is Usage; the socket layer's errors are
// Network, or Tls for the TLS layer's; anything else is Usage: only a server
// refuses, and its refusals are ECheckFailures.
FailureKind ClassifyFailure(const std::exception& failure);

// postwren-check's exit status for a failure of this kind (the table above).
int ExitStatusOf(FailureKind kind);
inline constexpr int kExitCount = 0;  // the count was printed
inline constexpr int kExitUsage = 2;
// "refused", "temporary", "network", "tls", "usage" or "signin".
const char* KindName(FailureKind kind);
// Whether the program opens its settings dialog after such a failure: every
// kind but Temporary, where nothing in the settings is wrong.
bool OpensSettingsDialog(FailureKind kind);

// A failure as a person reads it, in CP932 with every control byte escaped
// (EscapeControls), each part one line.
struct FailureReport {
    FailureKind kind = FailureKind::Refused;
    // The short message alone ("Authentication failed").
    AnsiString message;
    // The short message, followed by " (server: <reply>)" when a reply caused
    // the failure and is not the message itself, e.g. "Authentication failed
    // (server: -ERR [IN-USE] Mailbox is locked)".
    AnsiString text;
    // The server's reply alone; empty when the server said nothing.
    AnsiString server;
    // One line of advice; empty when there is none.
    AnsiString advice;
};

// The report of whatever a check raised.
FailureReport DescribeFailure(const std::exception& failure);
