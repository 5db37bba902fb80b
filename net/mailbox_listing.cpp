#include "net/mailbox_listing.h"

#include <algorithm>
#include <string_view>

#include "core/text.h"
#include "net/kxpop3.h"

namespace {

constexpr char kReplyOk[] = "+OK";
constexpr char kFieldSeparator = ' ';
constexpr char kTermination = '.';
// RFC 1939 7: a unique-id is 1 to 70 characters from 0x21 to 0x7E.
constexpr std::size_t kMaxUidLength = 70;
constexpr char kOctets[] = "octets";

// The reply test of the log-on: "+OK" in the first field.
bool Accepted(const std::string& reply) {
    return FieldAt(reply, kFieldSeparator, 1).find(kReplyOk) != std::string::npos;
}

std::string_view WithoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// RFC 1939 numbers fit ten digits; more is no number a message has.
constexpr std::size_t kMaxDigits = 10;

// A decimal number of at most kMaxDigits digits, or nullopt.
std::optional<std::int64_t> Decimal(std::string_view text) {
    if (text.empty() || text.size() > kMaxDigits ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return std::stoll(std::string(text));
}

bool IsUid(std::string_view uid) {
    return !uid.empty() && uid.size() <= kMaxUidLength &&
           std::all_of(uid.begin(), uid.end(), [](char c) { return c >= 0x21 && c <= 0x7E; });
}

// Reads the lines of a multi-line reply (RFC 1939 3) up to the line of a
// single ".", and hands each on without its line end and with a stuffed
// leading "." taken off. A line longer than MaxListingLineBytes reaches
// `onLine` cut. The check's limit is looked at on every line, not only when
// a line has to be waited for: a server that sends faster than the lines are
// read never lets the client wait.
template <typename OnLine>
void ReadLines(TKxPOP3& client, OnLine&& onLine) {
    for (;;) {
        if (client.WaitLimitPassed())
            throw ESockError(SockFailure::ReadTimedOut);
        bool cut = false;
        const std::string line = client.ReadLnCut(MaxListingLineBytes, cut);
        std::string_view text = WithoutLineEnd(line);
        if (!text.empty() && text.front() == kTermination) {
            if (text.size() == 1)
                return;
            text.remove_prefix(1);
        }
        onLine(text);
    }
}

void ReadUids(TKxPOP3& client, int messageCount, MailboxListing& listing) {
    if (!Accepted(client.Transaction("UIDL")))
        return;
    listing.uidsKnown = true;
    listing.uids.assign(static_cast<std::size_t>(messageCount - listing.firstNumber + 1), {});
    ReadLines(client, [&](std::string_view line) {
        const std::size_t space = line.find(kFieldSeparator);
        if (space == std::string_view::npos)
            return;
        const std::optional<std::int64_t> number = Decimal(line.substr(0, space));
        std::string_view uid = line.substr(space + 1);
        while (!uid.empty() && (uid.back() == ' ' || uid.back() == '\t')) uid.remove_suffix(1);
        // Numbers STAT did not count, and ids no RFC 1939 server sends, name
        // no message this listing can show.
        if (number && *number >= listing.firstNumber && *number <= messageCount && IsUid(uid))
            listing.uids[static_cast<std::size_t>(*number - listing.firstNumber)] = std::string(uid);
    });
}

void ReadHeader(TKxPOP3& client, MessageSummary& message) {
    const std::string reply = client.Transaction("TOP " + std::to_string(message.number) + " 0");
    if (!Accepted(reply))
        return;
    // Some servers tell the size, as for RETR: "+OK 1234 octets".
    if (WithoutLineEnd(FieldAt(reply, kFieldSeparator, 3)) == kOctets)
        message.size = Decimal(FieldAt(reply, kFieldSeparator, 2));
    std::vector<std::string> lines;
    std::size_t kept = 0;
    bool inHeader = true;
    ReadLines(client, [&](std::string_view line) {
        // The empty line ends the header; a server that sends body lines all
        // the same has them dropped.
        if (line.empty())
            inHeader = false;
        if (!inHeader || kept + line.size() > MaxKeptHeaderBytes)
            return;
        kept += line.size();
        lines.emplace_back(line);
    });
    message.headerRead = true;
    message.headers = ReadMessageHeaders(lines);
}

}  // namespace

void ReadMailboxListing(TKxPOP3& client, int messageCount, const ListingSteps& steps, MailboxListing& listing) {
    listing = {};
    messageCount = std::max(messageCount, 0);
    listing.firstNumber = std::max(1, messageCount - MaxTrackedMessages + 1);
    ReadUids(client, messageCount, listing);
    auto uidOf = [&](int number) {
        return listing.uidsKnown ? listing.uids[static_cast<std::size_t>(number - listing.firstNumber)] : std::string();
    };

    std::vector<int> chosen;
    const auto limit = static_cast<std::size_t>(std::max(steps.maxMessages, 0));
    for (int number = messageCount; number >= listing.firstNumber; --number) {
        const std::string uid = uidOf(number);
        if (!uid.empty() && steps.wanted && !steps.wanted(uid))
            continue;
        ++listing.wantedCount;
        if (chosen.size() < limit)
            chosen.push_back(number);
    }
    for (int number : chosen) {
        MessageSummary& message = listing.messages.emplace_back();
        message.number = number;
        message.uid = uidOf(number);
        ReadHeader(client, message);
    }
}
