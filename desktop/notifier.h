// Desktop notifications: a short message from the program that the desktop
// shows for a while and keeps in its history.
#pragma once

#include <QString>
#include <memory>

class QDBusConnection;

namespace platform {

// What a notification is about, for desktops that sort, filter or sound by it
// (the hints of the desktop notifications protocol). Empty fields say nothing.
struct NoticeHints {
    // The kind of event, such as "email.arrived".
    QString category;
    // A sound from the desktop's sound theme, such as "message-new-email".
    QString soundName;
};

// Shows notifications. GUI thread only. Never throws and never blocks on the
// desktop: a notification that cannot be shown is dropped (callers that must
// not lose the text also write it somewhere else).
class Notifier {
public:
    virtual ~Notifier() = default;
    // `summary` is one line; `body` may be empty. Both are plain text: the
    // implementation makes them safe for desktops that read markup.
    virtual void Notify(const QString& summary, const QString& body, const NoticeHints& hints) = 0;
    void Notify(const QString& summary, const QString& body) { Notify(summary, body, NoticeHints{}); }
};

// Notifications through the session bus service org.freedesktop.Notifications,
// as the program "Postwren" with the themed icon "postwren". Without a session
// bus, or without a notification service on it, nothing is shown.
class DesktopNotifier final : public Notifier {
public:
    DesktopNotifier();
    ~DesktopNotifier() override;
    DesktopNotifier(const DesktopNotifier&) = delete;
    DesktopNotifier& operator=(const DesktopNotifier&) = delete;

    using Notifier::Notify;
    void Notify(const QString& summary, const QString& body, const NoticeHints& hints) override;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace platform
