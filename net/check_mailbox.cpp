#include "net/check_mailbox.h"

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
    client.SetPassword(account.passwordLookup ? account.passwordLookup() : account.password);
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
