// The kind of a failed check, carried by the exception that ends it. The
// kinds are defined here, below every layer that may end a check (the POP3
// client, the settings with their keyring), so each can raise its failure
// with its kind; net/check_failure.h says what each kind leads to.
#pragma once

#include <utility>

#include "core/exception.h"
#include "core/text.h"

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
    // read, a value that cannot be sent, a password file that cannot be read,
    // a user ID or password that is missing, a stored value that cannot be
    // read. Also any other failure on this side that no server caused.
    Usage,
    // The sign-in is missing, revoked or expired, or the user denied consent.
    SignIn,
};

// A failure raised with its kind, and with the server's reply apart from the
// message when a reply caused it, so that the message stays the short text
// it always was ("Authentication failed"). The POP3 client raises it for
// refusals and for values it will not send; the settings raise it when the
// stored password cannot be read from the keyring.
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
