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
//
// (The program notifies once per run of failures; see app/check_feedback.h.)
#pragma once

#include <exception>

#include "framework/exception.h"
#include "framework/text.h"

enum class FailureKind {
    // The server said no: a refused log-on, a greeting or STAT answered -ERR,
    // or an answer the client will not take.
    Refused,
    // The server said "not now" (RFC 2449 [IN-USE], [LOGIN-DELAY]; RFC 3206
    // [SYS/TEMP]): the mailbox is busy, nothing in the settings is wrong.
    Temporary,
    // Name look-up, connect, time-out, a closed connection, a line without end.
    Network,
    // The TLS layer: handshake, certificate, alert, broken record, STLS refused.
    Tls,
    // What the user wrote cannot be used: a server address that cannot be
    // read, a value that cannot be sent, a password file that cannot be read.
    Usage,
};

// A failure raised with its kind, and with the server's reply apart from the
// message when a reply caused it, so that the message stays the short text
// it always was ("Authentication failed"). The POP3 client raises it for
// refusals and for values it will not send; other layers may raise it too.
class ECheckFailure : public Exception {
public:
    ECheckFailure(AnsiString message, FailureKind kind, AnsiString serverReply = {})
        : Exception(std::move(message)), kind_(kind), serverReply_(std::move(serverReply)) {}

    FailureKind Kind() const { return kind_; }
    // The reply line as the server sent it (CP932 bytes, line end included),
    // with the password taken out; empty when no reply caused the failure.
    const AnsiString& ServerReply() const { return serverReply_; }
    // One line for the user when the cure is clear ("write the server as
    // pop3+starttls://..."); empty otherwise.
    const AnsiString& Advice() const { return advice_; }
    void SetAdvice(AnsiString advice) { advice_ = std::move(advice); }

private:
    FailureKind kind_;
    AnsiString serverReply_;
    AnsiString advice_;
};

// The kind of whatever a check raised: an ECheckFailure says its own; a
// server address that cannot be read is Usage; the socket layer's errors are
// Network, or Tls for the TLS layer's; anything else is Refused.
FailureKind ClassifyFailure(const std::exception& failure);

// postwren-check's exit status for a failure of this kind (the table above).
int ExitStatusOf(FailureKind kind);
inline constexpr int kExitCount = 0;  // the count was printed
inline constexpr int kExitUsage = 2;
// "refused", "temporary", "network", "tls" or "usage".
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
