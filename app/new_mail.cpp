#include "app/new_mail.h"

#include <QStringList>
#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <utility>

#include "core/log.h"
#include "settings/announced_mail.h"

namespace {

// Stands where a header had no such field, or was not read (TOP refused).
constexpr char kUnknownSender[] = "(差出人不明)";
constexpr char kNoSubject[] = "(件名なし)";
constexpr char kSenderSubjectJoint[] = " — ";

QString FieldText(const std::string& utf8, const char* missing) {
    return QString::fromUtf8(utf8.empty() ? missing : utf8.c_str());
}

}  // namespace

NewMailWatch::NewMailWatch(platform::Log& log) : log_(log) {}

CheckSteps NewMailWatch::StepsFor(const AnsiString& server, const AnsiString& user) {
    const Mailbox mailbox{server, user};
    if (!(mailbox == mailbox_)) {
        mailbox_ = mailbox;
        lastCount_.reset();
    }
    ListingSteps listing;
    listing.maxMessages = kListedMessages;
    // Nothing recorded yet: every message is new.
    if (std::optional<std::set<std::string>> told =
            AnnouncedMail(AnnouncedMail::DefaultDirectory(), server, user).Load()) {
        auto known = std::make_shared<const std::set<std::string>>(std::move(*told));
        listing.wanted = [known](const std::string& uid) { return known->count(uid) == 0; };
    }
    CheckSteps steps;
    steps.listing = std::move(listing);
    return steps;
}

NewMail NewMailWatch::Found(const CheckResult& result) {
    NewMail mail;
    if (!result.listing)
        return mail;
    const MailboxListing& listing = *result.listing;
    if (result.listingFailure) {
        log_.Line("new mail not listed: " + Cp932ToUtf8(result.listingFailure->text));
    } else if (listing.uidsKnown) {
        mail.count = listing.wantedCount;
        mail.listed = listing.messages;
        lastCount_ = result.count;
        std::vector<std::string> onServer;
        onServer.reserve(listing.uids.size());
        for (const std::string& uid : listing.uids)
            if (!uid.empty())
                onServer.push_back(uid);
        const int error =
            AnnouncedMail(AnnouncedMail::DefaultDirectory(), mailbox_.server, mailbox_.user).Save(onServer);
        if (error != 0)
            noteOnce(saveFailureNoted_, std::string("the record of announced mail cannot be written: ") +
                                            std::strerror(error) + "; new mail may be told of again");
        return mail;
    } else {
        noteOnce(noUidlNoted_, "the server does not answer UIDL; new mail is told by a count that grew");
    }
    // By the count alone: the newest messages are the new ones.
    mail.count = countGrewBy(result.count);
    const auto listed = std::min<std::size_t>(listing.messages.size(), static_cast<std::size_t>(mail.count));
    mail.listed.assign(listing.messages.begin(), listing.messages.begin() + static_cast<std::ptrdiff_t>(listed));
    return mail;
}

int NewMailWatch::countGrewBy(int count) {
    const int grew = lastCount_ ? std::max(0, count - *lastCount_) : std::max(0, count);
    lastCount_ = count;
    return grew;
}

void NewMailWatch::noteOnce(bool& said, const std::string& line) {
    if (said)
        return;
    said = true;
    log_.Line(line);
}

QString NewMailSummary(const NewMail& mail) {
    return QString::fromUtf8("新着メール %1通").arg(mail.count);
}

QString NewMailBody(const NewMail& mail) {
    QStringList lines;
    for (const MessageSummary& message : mail.listed)
        lines << FieldText(message.headers.from, kUnknownSender) + QString::fromUtf8(kSenderSubjectJoint) +
                     FieldText(message.headers.subject, kNoSubject);
    const int rest = mail.count - static_cast<int>(mail.listed.size());
    if (rest > 0)
        lines << QString::fromUtf8("ほか %1 通").arg(rest);
    return lines.join(QLatin1Char('\n'));
}
