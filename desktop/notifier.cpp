#include "desktop/notifier.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <utility>
#include <vector>

namespace platform {
namespace {

// The freedesktop.org desktop notifications service on the session bus.
constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kBodyMarkupCapability[] = "body-markup";

constexpr char kAppName[] = "Postwren";
constexpr char kAppIcon[] = "postwren";
// The desktop entry the notification belongs to (its file name without ".desktop").
constexpr char kDesktopEntry[] = "postwren";
constexpr char kCategoryHint[] = "category";
constexpr char kSoundNameHint[] = "sound-name";
constexpr quint32 kNoReplacement = 0;
constexpr qint32 kServerDefaultTimeout = -1;

QDBusMessage notifyCall(const QString& summary, const QString& body, const NoticeHints& notice) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(kDesktopEntry));
    if (!notice.category.isEmpty())
        hints.insert(QString::fromLatin1(kCategoryHint), notice.category);
    if (!notice.soundName.isEmpty())
        hints.insert(QString::fromLatin1(kSoundNameHint), notice.soundName);
    call << QString::fromLatin1(kAppName) << kNoReplacement << QString::fromLatin1(kAppIcon) << summary << body
         << QStringList() << hints << kServerDefaultTimeout;
    return call;
}

}  // namespace

// Shared with the pending capability question, which may be answered after
// the notifier is gone.
struct DesktopNotifier::State {
    enum class Markup { Unknown, Asked, Read, Plain };
    Markup markup = Markup::Unknown;
    struct Waiting {
        QString summary;
        QString body;
        NoticeHints hints;
    };
    // Notifications waiting for the answer about markup.
    std::vector<Waiting> waiting;

    void send(const QString& summary, const QString& body, const NoticeHints& hints) {
        // The summary is plain text for every server; a body is markup only
        // where the server says it reads markup.
        const QString safeBody = markup == Markup::Read ? body.toHtmlEscaped() : body;
        QDBusConnection::sessionBus().asyncCall(notifyCall(summary, safeBody, hints));
    }
};

DesktopNotifier::DesktopNotifier() : state_(std::make_shared<State>()) {}
DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::Notify(const QString& summary, const QString& body, const NoticeHints& hints) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    State& state = *state_;
    if (state.markup == State::Markup::Read || state.markup == State::Markup::Plain) {
        state.send(summary, body, hints);
        return;
    }
    state.waiting.push_back(State::Waiting{summary, body, hints});
    if (state.markup == State::Markup::Asked)
        return;
    state.markup = State::Markup::Asked;
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask));
    const std::weak_ptr<State> weak = state_;
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [weak](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const std::shared_ptr<State> s = weak.lock();
        if (!s)
            return;
        const QDBusPendingReply<QStringList> reply = *w;
        // No service answers: the notifications go nowhere, as documented.
        if (reply.isError()) {
            s->markup = State::Markup::Unknown;
            s->waiting.clear();
            return;
        }
        s->markup =
            reply.value().contains(QLatin1String(kBodyMarkupCapability)) ? State::Markup::Read : State::Markup::Plain;
        for (const State::Waiting& w : std::exchange(s->waiting, {})) s->send(w.summary, w.body, w.hints);
    });
}

}  // namespace platform
