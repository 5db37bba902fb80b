// Telling the user who sent new mail and about what: the steps a check asks
// of the server for it, what counts as new, the notification that lists it,
// and the record of what was told (settings/announced_mail.h), so that mail
// left on the server is told of once, across restarts too.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "core/text.h"
#include "net/check_mailbox.h"

namespace platform {
class Log;
}

// Mail that a check found new.
struct NewMail {
    // Messages not told of before.
    int count = 0;
    // The newest of them, newest first, at most NewMailWatch::kListedMessages.
    std::vector<MessageSummary> listed;
};

// One per main window, for the mailbox of the running check. GUI thread only.
class NewMailWatch {
public:
    // Messages a notification names; the rest of the new ones are counted.
    static constexpr int kListedMessages = 5;

    // Notes go to `log`, which must outlive the watch.
    explicit NewMailWatch(platform::Log& log);

    // The steps of a check of `server` and `user` (CP932, as in the
    // settings): UIDL, then the headers of the newest messages whose uids
    // were not told of. Reads the record of what was told.
    CheckSteps StepsFor(const AnsiString& server, const AnsiString& user);

    // What the counted check made with those steps found new. With uids,
    // "new" is what the record does not hold, and the record is replaced by
    // the uids now on the server. A server without UIDL, or a listing cut
    // short, tells only that the count grew since this program's last check
    // of the mailbox (everything is new at the first one); the record then
    // stays as it was.
    NewMail Found(const CheckResult& result);

private:
    struct Mailbox {
        AnsiString server;
        AnsiString user;
        bool operator==(const Mailbox&) const = default;
    };

    int countGrewBy(int count);
    void noteOnce(bool& said, const std::string& line);

    platform::Log& log_;
    Mailbox mailbox_;
    // The count of this program's last check of mailbox_.
    std::optional<int> lastCount_;
    bool noUidlNoted_ = false;
    bool saveFailureNoted_ = false;
};

// The notification of `mail` (count > 0): "新着メール <count>通" as the
// summary; a line "差出人 — 件名" for each listed message and "ほか <n> 通"
// for the rest as the body. The header fields are UTF-8 and become text here.
QString NewMailSummary(const NewMail& mail);
QString NewMailBody(const NewMail& mail);
