#include "net/check_mailbox.h"

#include <algorithm>
#include <chrono>
#include <exception>

namespace {

void Prepare(TKxPOP3& client, const MailboxAccount& account) {
    client.SetHost(account.server);
    client.SetUserID(account.userID);
    client.SetCredentialEncoding(account.credentials);
    if (account.port)
        client.SetPort(*account.port);
    if (account.timeoutMs)
        client.SetTimeOut(*account.timeoutMs);
    client.SetBearer(account.bearer);
    if (account.bearer)
        client.SetPassword(AnsiString());
    else
        client.SetPassword(account.passwordLookup ? account.passwordLookup() : account.password);
    if (account.deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(*account.deadline - client.SessionClock().Now());
        // Nothing left still gets the shortest wait there is, so it ends at once as a time-out.
        const int leftMs = static_cast<int>(std::max<long long>(1, left.count()));
        client.SetTimeOut(client.TimeOut() > 0 ? std::min(client.TimeOut(), leftMs) : leftMs);
    }
}

}  // namespace

CheckOutcome CheckMailbox(TKxPOP3& client, const MailboxAccount& account, const CheckSteps& steps) {
    CheckResult result;
    try {
        Prepare(client, account);
        client.Connect();
        result.count = client.MessageCount();
    } catch (const std::exception& e) {
        return DescribeFailure(e);
    }
    if (steps.listing) {
        // Refused UIDL or TOP are no failures there; a broken connection or
        // the end of the time-out leave the count as it is.
        try {
            ReadMailboxListing(client, result.count, *steps.listing, result.listing.emplace());
        } catch (const std::exception& e) {
            result.listingFailure = DescribeFailure(e);
        }
    }
    try {
        client.Disconnect();
    } catch (const std::exception& e) {
        result.quitFailure = DescribeFailure(e);
    }
    return result;
}
