// What waits in the mailbox beyond the count: each message's unique id
// (UIDL) and the sender and subject of the newest ones (TOP n 0), read on a
// logged-on client after STAT. Only a user who asked for it gets these
// commands; the plain check never sends them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "net/mail_header.h"

class TKxPOP3;

// One message as the listing saw it.
struct MessageSummary {
    int number = 0;   // its number in this session (RFC 1939)
    std::string uid;  // empty when the server gave none
    // The size in octets, when the TOP reply said it ("+OK 1234 octets").
    std::optional<std::int64_t> size;
    bool headerRead = false;  // TOP was answered: the fields below come from it
    MessageHeaders headers;
};

struct ListingSteps {
    // Headers are asked for at most this many messages, the newest first.
    int maxMessages = 10;
    // Asked once for every uid on the server: only messages it accepts are
    // counted and get their headers read (a check announcing new mail leaves
    // out what it announced before). Unset: every message. Messages without
    // a uid are never asked about, they are all taken.
    std::function<bool(const std::string& uid)> wanted;
};

// A listing follows at most this many of the newest messages: a server's
// count decides no allocation beyond it.
constexpr int MaxTrackedMessages = 200000;

struct MailboxListing {
    bool uidsKnown = false;  // UIDL was answered
    // The oldest message followed: the newest MaxTrackedMessages are.
    int firstNumber = 1;
    // With UIDL: uids[n - firstNumber] is message n's uid, empty where the
    // server gave none that RFC 1939 allows.
    std::vector<std::string> uids;
    // Messages taken (see ListingSteps::wanted) among those followed.
    int wantedCount = 0;
    std::vector<MessageSummary> messages;  // newest first, at most maxMessages
};

// At most this many bytes of one message's header are kept; the rest is
// read and dropped.
constexpr std::size_t MaxKeptHeaderBytes = 64 * 1024;
// A reply line longer than this is cut: no header line a person needs is.
constexpr std::size_t MaxListingLineBytes = 8 * 1024;

// Sends UIDL and then "TOP n 0" for the newest messages taken, on `client`
// logged on with `messageCount` (from STAT) messages; QUIT is the caller's.
// A refused UIDL (-ERR) gives rows without uids, a refused TOP a row with
// what is known; neither is a failure. Over-long lines are cut and long
// headers are read to their end, so memory stays bounded whatever the server
// sends. The waits are bounded as every wait of the client's check is. When
// the connection fails or time runs out, raises what the session raises
// (ESockError), with `listing` holding what was read by then.
void ReadMailboxListing(TKxPOP3& client, int messageCount, const ListingSteps& steps, MailboxListing& listing);
