#include "session/secret_service.h"

#include <QByteArray>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <cstdlib>
#include <mutex>
#include <string_view>

#include "core/event_wait.h"

namespace platform {
namespace secret_service_detail {

// The Secret struct of the API: (oayays).
struct SecretValue {
    QDBusObjectPath session;
    QByteArray parameters;
    QByteArray value;
    QString contentType;
};

}  // namespace secret_service_detail
}  // namespace platform

Q_DECLARE_METATYPE(platform::secret_service_detail::SecretValue)

namespace platform {
namespace secret_service_detail {

QDBusArgument& operator<<(QDBusArgument& out, const SecretValue& s) {
    out.beginStructure();
    out << s.session << s.parameters << s.value << s.contentType;
    out.endStructure();
    return out;
}

const QDBusArgument& operator>>(const QDBusArgument& in, SecretValue& s) {
    in.beginStructure();
    in >> s.session >> s.parameters >> s.value >> s.contentType;
    in.endStructure();
    return in;
}

using AttributeMap = QMap<QString, QString>;

constexpr char kService[] = "org.freedesktop.secrets";
constexpr char kServicePath[] = "/org/freedesktop/secrets";
constexpr char kServiceInterface[] = "org.freedesktop.Secret.Service";
constexpr char kCollectionInterface[] = "org.freedesktop.Secret.Collection";
constexpr char kItemInterface[] = "org.freedesktop.Secret.Item";
constexpr char kSessionInterface[] = "org.freedesktop.Secret.Session";
constexpr char kPromptInterface[] = "org.freedesktop.Secret.Prompt";
constexpr char kPropertiesInterface[] = "org.freedesktop.DBus.Properties";
constexpr char kLabelProperty[] = "org.freedesktop.Secret.Item.Label";
constexpr char kAttributesProperty[] = "org.freedesktop.Secret.Item.Attributes";
constexpr char kDefaultAlias[] = "default";
constexpr char kPlainAlgorithm[] = "plain";
constexpr char kContentType[] = "text/plain";
// "No object": no prompt is needed, or no collection has the alias.
constexpr char kNoObject[] = "/";
// The prompt's parent window: none.
constexpr char kNoWindow[] = "";

constexpr char kErrorIsLocked[] = "org.freedesktop.Secret.Error.IsLocked";
constexpr char kErrorNoSuchObject[] = "org.freedesktop.Secret.Error.NoSuchObject";
constexpr char kErrorServiceUnknown[] = "org.freedesktop.DBus.Error.ServiceUnknown";
constexpr char kErrorNameHasNoOwner[] = "org.freedesktop.DBus.Error.NameHasNoOwner";
constexpr char kErrorDisconnected[] = "org.freedesktop.DBus.Error.Disconnected";
// What a wait that was given up reports as its answer (not sent on any bus).
constexpr char kErrorGivenUp[] = "org.postwren.Error.WaitEnded";

// A wait for the answer wakes this often at most to look at the clock and
// the cancel mark; the answer itself wakes it at once.
constexpr int kWaitSliceMs = 50;

using Clock = std::chrono::steady_clock;

SecretStatus statusOfError(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ErrorMessage)
        return SecretStatus::Ok;
    const QString name = reply.errorName();
    if (name == QLatin1String(kErrorServiceUnknown) || name == QLatin1String(kErrorNameHasNoOwner) ||
        name == QLatin1String(kErrorDisconnected))
        return SecretStatus::NoService;
    if (name == QLatin1String(kErrorIsLocked))
        return SecretStatus::Locked;
    if (name == QLatin1String(kErrorNoSuchObject))
        return SecretStatus::NotFound;
    return SecretStatus::Failed;
}

AttributeMap attributeMap(const SecretAttributes& attributes) {
    AttributeMap map;
    for (const auto& [name, value] : attributes)
        map.insert(QString::fromStdString(name), QString::fromStdString(value));
    return map;
}

QDBusMessage methodCall(const QString& path, const char* interface, const char* method) {
    return QDBusMessage::createMethodCall(QLatin1String(kService), path, QLatin1String(interface),
                                          QLatin1String(method));
}

bool isNoObject(const QDBusObjectPath& path) {
    return path.path().isEmpty() || path.path() == QLatin1String(kNoObject);
}

// Receives a prompt's Completed signal.
class PromptWatch final : public QObject {
    Q_OBJECT
public:
    bool done = false;
    bool dismissed = true;

public slots:
    void completed(bool wasDismissed, const QDBusVariant&) {
        done = true;
        dismissed = wasDismissed;
    }
};

}  // namespace secret_service_detail

using namespace secret_service_detail;

struct SecretService::State {
    std::chrono::milliseconds exchangeBound;
    std::chrono::milliseconds promptBound;
    int promptsShown = 0;
    // Raised by Cancel; each call remembers the value it started with.
    unsigned cancelMark = 0;
    // The caller's end of every wait (LimitWaits).
    std::optional<std::chrono::steady_clock::time_point> limit;

    // The end of a wait of `bound` that starts now, or the caller's end when
    // that comes first.
    std::chrono::steady_clock::time_point waitEnd(std::chrono::milliseconds bound) const {
        const auto own = std::chrono::steady_clock::now() + bound;
        return limit && *limit < own ? *limit : own;
    }
};

namespace {

// One call of the store: its deadline, its session and its messages.
class Exchange {
public:
    explicit Exchange(SecretService::State& state)
        : state_(state),
          bus_(QDBusConnection::sessionBus()),
          deadline_(state.waitEnd(state.exchangeBound)),
          cancelMark_(state.cancelMark) {}
    ~Exchange() {
        // Nothing waits for the close: the service drops the session with
        // the connection in any case.
        if (!session_.path().isEmpty())
            bus_.asyncCall(methodCall(session_.path(), kSessionInterface, "Close"));
    }
    Exchange(const Exchange&) = delete;
    Exchange& operator=(const Exchange&) = delete;

    // NoService when no keyring may be used here.
    SecretStatus Begin() {
        if (!bus_.isConnected() || !SessionBusIsLocal(std::getenv("DBUS_SESSION_BUS_ADDRESS")))
            return SecretStatus::NoService;
        return SecretStatus::Ok;
    }

    // Sends `call` and waits for the answer; an error answer when the bound
    // passed or the wait was cancelled.
    QDBusMessage Call(const QDBusMessage& call) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now());
        if (left.count() <= 0 || cancelled())
            return call.createErrorReply(QLatin1String(kErrorGivenUp), QString());
        QDBusPendingCall pending = bus_.asyncCall(call, static_cast<int>(left.count()));
        // The watcher's completion is an event for this thread: it ends the
        // wait as soon as the answer is in.
        QDBusPendingCallWatcher watcher(pending);
        while (!pending.isFinished()) {
            if (cancelled() || Clock::now() >= deadline_)
                return call.createErrorReply(QLatin1String(kErrorGivenUp), QString());
            WaitForMessages(kWaitSliceMs);
        }
        return pending.reply();
    }

    // Opens a session with the plain algorithm.
    SecretStatus OpenSession() {
        QDBusMessage call = methodCall(QLatin1String(kServicePath), kServiceInterface, "OpenSession");
        call << QString::fromLatin1(kPlainAlgorithm) << QVariant::fromValue(QDBusVariant(QString()));
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().size() < 2)
            return SecretStatus::Failed;
        session_ = reply.arguments().at(1).value<QDBusObjectPath>();
        return isNoObject(session_) ? SecretStatus::Failed : SecretStatus::Ok;
    }

    // The collection behind the "default" alias.
    SecretStatus DefaultCollection(QDBusObjectPath& collection) {
        QDBusMessage call = methodCall(QLatin1String(kServicePath), kServiceInterface, "ReadAlias");
        call << QString::fromLatin1(kDefaultAlias);
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().isEmpty())
            return SecretStatus::Failed;
        collection = reply.arguments().at(0).value<QDBusObjectPath>();
        // No default collection: making one would ask the user for a new
        // password, which is not this program's business.
        return isNoObject(collection) ? SecretStatus::Failed : SecretStatus::Ok;
    }

    SecretStatus IsLocked(const QDBusObjectPath& object, const char* interface, bool& locked) {
        QDBusMessage call = methodCall(object.path(), kPropertiesInterface, "Get");
        call << QString::fromLatin1(interface) << QStringLiteral("Locked");
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().isEmpty())
            return SecretStatus::Failed;
        locked = reply.arguments().at(0).value<QDBusVariant>().variant().toBool();
        return SecretStatus::Ok;
    }

    // Unlocks the objects, through the service's prompt when it asks for one.
    SecretStatus Unlock(const QList<QDBusObjectPath>& objects) {
        QDBusMessage call = methodCall(QLatin1String(kServicePath), kServiceInterface, "Unlock");
        call << QVariant::fromValue(objects);
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().size() < 2)
            return SecretStatus::Failed;
        const auto unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
        if (unlocked.size() >= objects.size())
            return SecretStatus::Ok;
        return RunPrompt(reply.arguments().at(1).value<QDBusObjectPath>());
    }

    // Shows the prompt and waits for its answer: Ok when the user went
    // through with it. Once per process: after that, Locked at once.
    SecretStatus RunPrompt(const QDBusObjectPath& prompt) {
        if (isNoObject(prompt))
            return SecretStatus::Locked;
        if (state_.promptsShown > 0)
            return SecretStatus::Locked;
        ++state_.promptsShown;
        PromptWatch watch;
        const QString path = prompt.path();
        const QString interface = QLatin1String(kPromptInterface);
        if (!bus_.connect(QLatin1String(kService), path, interface, QStringLiteral("Completed"), &watch,
                          SLOT(completed(bool, QDBusVariant))))
            return SecretStatus::Failed;
        struct Disconnect {
            QDBusConnection& bus;
            const QString& path;
            const QString& interface;
            PromptWatch& watch;
            ~Disconnect() {
                bus.disconnect(QLatin1String(kService), path, interface, QStringLiteral("Completed"), &watch,
                               SLOT(completed(bool, QDBusVariant)));
            }
        } disconnect{bus_, path, interface, watch};

        QDBusMessage call = methodCall(path, kPromptInterface, "Prompt");
        call << QString::fromLatin1(kNoWindow);
        if (const SecretStatus s = statusOfError(Call(call)); s != SecretStatus::Ok)
            return s;
        // A person answers now: their own bound, the loop turning; but never
        // past the end the caller set.
        const Clock::time_point answerBy = state_.waitEnd(state_.promptBound);
        while (!watch.done && !cancelled() && Clock::now() < answerBy) WaitForMessages(kWaitSliceMs);
        if (!watch.done) {
            // Nobody waits for it any more.
            bus_.asyncCall(methodCall(path, kPromptInterface, "Dismiss"));
            const bool callerGaveUp = state_.limit && Clock::now() >= *state_.limit;
            return cancelled() || callerGaveUp ? SecretStatus::Failed : SecretStatus::Locked;
        }
        // The prompt took its time; the messages after it get a fresh bound.
        deadline_ = state_.waitEnd(state_.exchangeBound);
        return watch.dismissed ? SecretStatus::Locked : SecretStatus::Ok;
    }

    // Items with these attributes, unlocked first.
    SecretStatus Search(const SecretAttributes& attributes, QList<QDBusObjectPath>& unlocked,
                        QList<QDBusObjectPath>& locked) {
        QDBusMessage call = methodCall(QLatin1String(kServicePath), kServiceInterface, "SearchItems");
        call << QVariant::fromValue(attributeMap(attributes));
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().size() < 2)
            return SecretStatus::Failed;
        unlocked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
        locked = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(1));
        return SecretStatus::Ok;
    }

    SecretStatus CreateItem(const QDBusObjectPath& collection, const std::string& label,
                            const SecretAttributes& attributes, const std::string& secret) {
        QVariantMap properties;
        properties.insert(QLatin1String(kLabelProperty), QString::fromStdString(label));
        properties.insert(QLatin1String(kAttributesProperty), QVariant::fromValue(attributeMap(attributes)));
        const SecretValue value{session_, QByteArray(), QByteArray::fromStdString(secret),
                                QString::fromLatin1(kContentType)};
        QDBusMessage call = methodCall(collection.path(), kCollectionInterface, "CreateItem");
        const bool replace = true;
        call << properties << QVariant::fromValue(value) << replace;
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().size() < 2)
            return SecretStatus::Failed;
        if (!isNoObject(reply.arguments().at(0).value<QDBusObjectPath>()))
            return SecretStatus::Ok;
        return RunPrompt(reply.arguments().at(1).value<QDBusObjectPath>());
    }

    SecretStatus GetSecret(const QDBusObjectPath& item, std::string& secret) {
        QDBusMessage call = methodCall(item.path(), kItemInterface, "GetSecret");
        call << QVariant::fromValue(session_);
        const QDBusMessage reply = Call(call);
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().isEmpty() || reply.signature() != QLatin1String("(oayays)"))
            return SecretStatus::Failed;
        const auto value = qdbus_cast<SecretValue>(reply.arguments().at(0));
        // A plain session carries the secret as it is, with no parameters.
        if (!value.parameters.isEmpty())
            return SecretStatus::Failed;
        secret = value.value.toStdString();
        return SecretStatus::Ok;
    }

    SecretStatus Delete(const QDBusObjectPath& item) {
        const QDBusMessage reply = Call(methodCall(item.path(), kItemInterface, "Delete"));
        if (const SecretStatus s = statusOfError(reply); s != SecretStatus::Ok)
            return s;
        if (reply.arguments().isEmpty())
            return SecretStatus::Failed;
        const auto prompt = reply.arguments().at(0).value<QDBusObjectPath>();
        return isNoObject(prompt) ? SecretStatus::Ok : RunPrompt(prompt);
    }

private:
    bool cancelled() const { return state_.cancelMark != cancelMark_; }

    SecretService::State& state_;
    QDBusConnection bus_;
    Clock::time_point deadline_;
    const unsigned cancelMark_;
    QDBusObjectPath session_;
};

void registerTypes() {
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<SecretValue>();
        qDBusRegisterMetaType<AttributeMap>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
    });
}

}  // namespace

bool SessionBusIsLocal(const char* address) {
    if (address == nullptr)
        return true;
    std::string_view rest(address);
    if (rest.empty())
        return true;
    while (!rest.empty()) {
        const std::size_t end = rest.find(';');
        const std::string_view entry = rest.substr(0, end);
        if (!entry.empty() && entry.rfind("unix:", 0) != 0 && entry.rfind("autolaunch:", 0) != 0)
            return false;
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return true;
}

SecretService::SecretService(std::chrono::milliseconds exchangeBound, std::chrono::milliseconds promptBound)
    : state_(std::make_unique<State>(State{exchangeBound, promptBound})) {
    registerTypes();
}

SecretService::~SecretService() = default;

SecretStatus SecretService::Store(const std::string& label, const SecretAttributes& attributes,
                                  const std::string& secret) {
    Exchange x(*state_);
    SecretStatus s = x.Begin();
    if (s == SecretStatus::Ok)
        s = x.OpenSession();
    QDBusObjectPath collection;
    if (s == SecretStatus::Ok)
        s = x.DefaultCollection(collection);
    bool locked = false;
    if (s == SecretStatus::Ok)
        s = x.IsLocked(collection, kCollectionInterface, locked);
    if (s == SecretStatus::Ok && locked)
        s = x.Unlock({collection});
    if (s == SecretStatus::Ok)
        s = x.CreateItem(collection, label, attributes, secret);
    return s;
}

SecretStatus SecretService::Lookup(const SecretAttributes& attributes, std::string& secret) {
    Exchange x(*state_);
    SecretStatus s = x.Begin();
    if (s == SecretStatus::Ok)
        s = x.OpenSession();
    QList<QDBusObjectPath> unlocked, locked;
    if (s == SecretStatus::Ok)
        s = x.Search(attributes, unlocked, locked);
    if (s != SecretStatus::Ok)
        return s;
    if (unlocked.isEmpty() && locked.isEmpty())
        return SecretStatus::NotFound;
    QDBusObjectPath item;
    if (!unlocked.isEmpty()) {
        item = unlocked.first();
    } else {
        item = locked.first();
        s = x.Unlock({item});
    }
    if (s == SecretStatus::Ok)
        s = x.GetSecret(item, secret);
    return s;
}

SecretStatus SecretService::Clear(const SecretAttributes& attributes) {
    Exchange x(*state_);
    SecretStatus s = x.Begin();
    QList<QDBusObjectPath> unlocked, locked;
    if (s == SecretStatus::Ok)
        s = x.Search(attributes, unlocked, locked);
    if (s != SecretStatus::Ok)
        return s;
    if (unlocked.isEmpty() && locked.isEmpty())
        return SecretStatus::NotFound;
    if (!locked.isEmpty())
        s = x.Unlock(locked);
    for (const QDBusObjectPath& item : unlocked + locked) {
        if (s != SecretStatus::Ok)
            break;
        s = x.Delete(item);
    }
    return s;
}

void SecretService::LimitWaits(std::optional<std::chrono::steady_clock::time_point> limit) {
    state_->limit = limit;
}

void SecretService::Cancel() {
    ++state_->cancelMark;
}

int SecretService::PromptsShown() const {
    return state_->promptsShown;
}

}  // namespace platform

#include "secret_service.moc"
