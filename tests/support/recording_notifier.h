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
    };

    void Notify(const QString& summary, const QString& body) override { notices.push_back(Notice{summary, body}); }

    std::vector<Notice> notices;
};
