// Desktop notifications for tests: records each one instead of showing it.
#pragma once

#include <QString>
#include <vector>

#include "desktop/notifier.h"

class RecordingNotifier final : public platform::Notifier {
public:
    struct Notice {
        QString summary;
        QString body;
        platform::NoticeHints hints;
    };

    using platform::Notifier::Notify;
    void Notify(const QString& summary, const QString& body, const platform::NoticeHints& hints) override {
        notices.push_back(Notice{summary, body, hints});
    }

    std::vector<Notice> notices;
};
