// One check of one mailbox, with no display: log on, STAT, whatever else the
// check was asked for, QUIT. The resident program and postwren-check both
// check through here, and this is the one place where a failed check becomes
// a FailureReport.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <utility>
#include <variant>

#include "core/text.h"
#include "net/check_failure.h"
#include "net/kxpop3.h"
#include "net/mailbox_listing.h"

// The mailbox a check logs on to.
struct MailboxAccount {
    // The server field as the user wrote it (net/server_address.h).
    AnsiString server;
    AnsiString userID;
    // The password, unless `passwordLookup` gives it.
    AnsiString password;
    // Asked once, when the check starts, for the password (the desktop's
    // keyring, say); whatever it raises ends the check like any failure.
    std::function<AnsiString()> passwordLookup;
    CredentialText credentials = CredentialText::Cp932;
    // An OAuth2 account: SASL with its token instead of the password (which
    // is then neither looked up nor sent).
    std::optional<BearerLogOn> bearer;
    // The port of a bare host name and the bound of the whole check, in
    // milliseconds; the client's own (its properties) where not given.
    std::optional<int> port;
    std::optional<int> timeoutMs;
    // When the whole check must be over, a password lookup's wait included:
    // the time-out is then what is left of it once the password is there.
    std::optional<std::chrono::steady_clock::time_point> deadline;
};

// What the check asks after STAT. Nothing by default: the exchange is then
// exactly the log-on, STAT and QUIT.
struct CheckSteps {
    // UIDL, then the headers of the newest messages (net/mailbox_listing.h).
    std::optional<ListingSteps> listing;
};

// A check that counted the mailbox.
struct CheckResult {
    // Messages waiting, from STAT.
    int count = 0;
    // The QUIT after the count was refused or went unanswered. The count
    // stands; what to make of it is the caller's business.
    std::optional<FailureReport> quitFailure;
    // What the listing read, when the steps asked for one.
    std::optional<MailboxListing> listing;
    // The listing was cut short (the connection failed, time ran out): the
    // count stands, and `listing` holds what was read by then.
    std::optional<FailureReport> listingFailure;
};

// Either the result or the one failure that ended the check.
class CheckOutcome {
public:
    CheckOutcome(CheckResult result) : value_(std::move(result)) {}
    CheckOutcome(FailureReport failure) : value_(std::move(failure)) {}

    bool Counted() const { return std::holds_alternative<CheckResult>(value_); }
    // Only when Counted().
    const CheckResult& Result() const { return std::get<CheckResult>(value_); }
    // Only when not Counted().
    const FailureReport& Failure() const { return std::get<FailureReport>(value_); }

private:
    std::variant<CheckResult, FailureReport> value_;
};

// Runs one check on `client`: sets its host, user ID and password (and port
// and time-out where the account gives them), connects, counts and
// disconnects. Every failure, a Cancel of the client's included, comes back
// as the report of the first failure (net/check_failure.h); nothing is
// raised. GUI thread only: the waits pump the thread's messages.
CheckOutcome CheckMailbox(TKxPOP3& client, const MailboxAccount& account, const CheckSteps& steps = {});
