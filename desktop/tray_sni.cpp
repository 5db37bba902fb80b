#include "desktop/tray_sni.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QGuiApplication>
#include <QImage>
#include <QList>
#include <QTimer>
#include <QVariantMap>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

#include "core/text.h"

// The structures of the item and menu interfaces, as they travel on the bus.
namespace platform::sni_wire {

// (iiay): a picture, ARGB32 in network byte order.
struct Pixmap {
    qint32 width = 0;
    qint32 height = 0;
    QByteArray argb;
};
using Pixmaps = QList<Pixmap>;

// (sa(iiay)ss): icon name, pictures, title, text.
struct ToolTip {
    QString iconName;
    Pixmaps pixmaps;
    QString title;
    QString text;
};

// (ia{sv}av): a menu entry, its properties and its children (each a variant
// holding the same structure).
struct MenuLayout {
    qint32 id = 0;
    QVariantMap properties;
    QList<QDBusVariant> children;
};

// (ia{sv}): an entry's properties.
struct MenuEntryProperties {
    qint32 id = 0;
    QVariantMap properties;
};
using MenuEntryPropertiesList = QList<MenuEntryProperties>;

QDBusArgument& operator<<(QDBusArgument& a, const Pixmap& p) {
    a.beginStructure();
    a << p.width << p.height << p.argb;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Pixmap& p) {
    a.beginStructure();
    a >> p.width >> p.height >> p.argb;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const ToolTip& t) {
    a.beginStructure();
    a << t.iconName << t.pixmaps << t.title << t.text;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, ToolTip& t) {
    a.beginStructure();
    a >> t.iconName >> t.pixmaps >> t.title >> t.text;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const MenuLayout& m) {
    a.beginStructure();
    a << m.id << m.properties << m.children;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, MenuLayout& m) {
    a.beginStructure();
    a >> m.id >> m.properties >> m.children;
    a.endStructure();
    return a;
}
QDBusArgument& operator<<(QDBusArgument& a, const MenuEntryProperties& e) {
    a.beginStructure();
    a << e.id << e.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, MenuEntryProperties& e) {
    a.beginStructure();
    a >> e.id >> e.properties;
    a.endStructure();
    return a;
}

}  // namespace platform::sni_wire

Q_DECLARE_METATYPE(platform::sni_wire::Pixmap)
Q_DECLARE_METATYPE(platform::sni_wire::ToolTip)
Q_DECLARE_METATYPE(platform::sni_wire::MenuLayout)
Q_DECLARE_METATYPE(platform::sni_wire::MenuEntryProperties)

namespace platform {

using namespace sni_wire;

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kWatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString kItemPath = QStringLiteral("/StatusNotifierItem");
const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");
const QString kMenuPath = QStringLiteral("/MenuBar");
// The Menu property of an item without a menu: hosts then ask for ContextMenu.
const QString kNoMenuPath = QStringLiteral("/NO_DBUSMENU");
const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// The dbusmenu protocol version spoken here, and the root entry's id.
constexpr uint kMenuVersion = 3;
constexpr qint32 kMenuRoot = 0;

// The pauses before a question that got no answer is asked again: the first,
// and the longest it grows to.
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 60000;

// Unknown ids a menu request lists back, at most.
constexpr int kMaxIdErrors = 16;

// Picture sizes every host is handed, besides those the icon was drawn for.
constexpr int kPixmapSizes[] = {16, 22, 24, 32, 48};

void registerWireTypes() {
    static const bool registered = [] {
        qDBusRegisterMetaType<Pixmap>();
        qDBusRegisterMetaType<Pixmaps>();
        qDBusRegisterMetaType<ToolTip>();
        qDBusRegisterMetaType<MenuLayout>();
        qDBusRegisterMetaType<MenuEntryProperties>();
        qDBusRegisterMetaType<MenuEntryPropertiesList>();
        return true;
    }();
    (void)registered;
}

// The question every host decision rests on.
QDBusMessage hostQuestion() {
    QDBusMessage get =
        QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kPropertiesInterface, QStringLiteral("Get"));
    get << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    // A watcher that is not running is "no watcher", not one to start.
    get.setAutoStartService(false);
    return get;
}

}  // namespace

// ---------------------------------------------------------------------------
// Whether the watcher has a host

struct StatusNotifierHosts::State {
    QDBusConnection bus;
    std::function<void()> changed;
    QString watcher;
    // The number of the latest question; an answer to an earlier one is stale.
    quint64 question = 0;
    // Receives the replies and signals; they stop with it.
    QObject context;
    // The watcher's announcements carry nothing worth reading: each one
    // starts this zero timer, whose timeout asks again, so a burst of them
    // ends in one question.
    QTimer askSoon;
    // A question that got no answer in time is asked again after a pause
    // that grows with each such miss (a watcher that fails every question
    // at once must not keep the bus busy), and starts afresh with an answer.
    QTimer askAgain;
    int retryDelayMs = 0;
    std::unique_ptr<QDBusServiceWatcher> owner;

    State(const QDBusConnection& b, std::function<void()> c) : bus(b), changed(std::move(c)) {}

    void set(const QString& w) {
        if (w == watcher)
            return;
        watcher = w;
        if (changed)
            changed();
    }

    void ask() {
        askAgain.stop();
        const quint64 n = ++question;
        auto* pending = new QDBusPendingCallWatcher(bus.asyncCall(hostQuestion()), &context);
        QObject::connect(pending, &QDBusPendingCallWatcher::finished, &context, [this, n](QDBusPendingCallWatcher* p) {
            p->deleteLater();
            if (n != question)
                return;
            const QDBusMessage reply = p->reply();
            if (reply.type() != QDBusMessage::ReplyMessage) {
                const QDBusError::ErrorType error = QDBusError(reply).type();
                // No answer within the call's time is no answer: ask again.
                if (error == QDBusError::NoReply || error == QDBusError::Timeout) {
                    retryDelayMs = std::min(retryDelayMs == 0 ? kFirstRetryMs : 2 * retryDelayMs, kLongestRetryMs);
                    askAgain.start(retryDelayMs);
                    return;
                }
                retryDelayMs = 0;
                // The bus says there is no watcher, or the watcher says it
                // cannot tell: either way no host to show an item.
                set(QString());
                return;
            }
            retryDelayMs = 0;
            const QVariantList args = reply.arguments();
            const bool registered = !args.isEmpty() && qvariant_cast<QDBusVariant>(args.first()).variant().toBool();
            set(registered ? reply.service() : QString());
        });
    }
};

StatusNotifierHosts::StatusNotifierHosts(const QDBusConnection& bus, std::function<void()> changed)
    : d_(std::make_unique<State>(bus, std::move(changed))) {
    State& d = *d_;
    if (!d.bus.isConnected())
        return;
    d.askSoon.setSingleShot(true);
    d.askSoon.setInterval(0);
    QObject::connect(&d.askSoon, &QTimer::timeout, &d.context, [this] { d_->ask(); });
    d.askAgain.setSingleShot(true);
    QObject::connect(&d.askAgain, &QTimer::timeout, &d.context, [this] { d_->ask(); });
    d.owner = std::make_unique<QDBusServiceWatcher>(kWatcherService, d.bus, QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(d.owner.get(), &QDBusServiceWatcher::serviceOwnerChanged, &d.context,
                     [this](const QString&, const QString&, const QString& newOwner) {
                         // Whatever the old watcher said no longer holds;
                         // a new one is asked afresh.
                         ++d_->question;
                         d_->retryDelayMs = 0;
                         d_->askAgain.stop();
                         d_->set(QString());
                         if (!newOwner.isEmpty())
                             d_->ask();
                     });
    for (const char* announcement : {"StatusNotifierHostRegistered", "StatusNotifierHostUnregistered"})
        d.bus.connect(kWatcherService, kWatcherPath, kWatcherInterface, QString::fromLatin1(announcement), &d.askSoon,
                      SLOT(start()));
    d.ask();
}

StatusNotifierHosts::~StatusNotifierHosts() = default;

QString StatusNotifierHosts::Watcher() const {
    return d_->watcher;
}

void StatusNotifierHosts::Refused(const QString& watcher) {
    if (watcher.isEmpty() || watcher != d_->watcher)
        return;
    ++d_->question;
    // Told from the event loop, as every change is.
    QTimer::singleShot(0, &d_->context, [this] { d_->set(QString()); });
}

// ---------------------------------------------------------------------------
// An icon on a host

namespace {

// Menu labels mark their access key with "_"; the captions mark it with "&"
// ("&&" for a plain "&"), and a plain "_" is doubled.
QString menuLabel(const std::string& cp932) {
    const QString caption = QString::fromStdString(Cp932ToUtf8(cp932));
    QString label;
    for (qsizetype i = 0; i < caption.size(); ++i) {
        const QChar c = caption[i];
        if (c == u'&' && i + 1 < caption.size()) {
            ++i;
            label += caption[i] == u'&' ? QStringLiteral("&") : QStringLiteral("_") + caption[i];
        } else if (c == u'_') {
            label += QStringLiteral("__");
        } else {
            label += c;
        }
    }
    return label;
}

Pixmap toPixmap(const QImage& image) {
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    Pixmap p;
    p.width = argb.width();
    p.height = argb.height();
    p.argb.resize(static_cast<qsizetype>(p.width) * p.height * 4);
    uchar* out = reinterpret_cast<uchar*>(p.argb.data());
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const quint32*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x, out += 4) qToBigEndian(line[x], out);
    }
    return p;
}

std::atomic<int> connectionCount{0};

class StatusNotifierIcon;

// The item's and the menu's objects on the bus.
class ExportedObjects final : public QDBusVirtualObject {
public:
    explicit ExportedObjects(StatusNotifierIcon& icon) : icon_(icon) {}
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    QString introspect(const QString& path) const override;

private:
    StatusNotifierIcon& icon_;
};

class StatusNotifierIcon final : public TrayIconView {
public:
    StatusNotifierIcon(TrayIconReports reports, std::function<void()> refused)
        : reports_(std::move(reports)), refused_(std::move(refused)), objects_(*this) {}

    ~StatusNotifierIcon() override {
        if (!connected_)
            return;
        bus_.unregisterObject(kItemPath);
        bus_.unregisterObject(kMenuPath);
        QDBusConnection::disconnectFromBus(name_);
    }

    bool Start(const QString& busAddress) {
        registerWireTypes();
        name_ = QStringLiteral("postwren-tray-%1").arg(++connectionCount);
        bus_ = busAddress.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name_)
                                    : QDBusConnection::connectToBus(busAddress, name_);
        if (!bus_.isConnected()) {
            QDBusConnection::disconnectFromBus(name_);
            return false;
        }
        connected_ = true;
        if (!bus_.registerVirtualObject(kItemPath, &objects_) || !bus_.registerVirtualObject(kMenuPath, &objects_))
            return false;
        QDBusMessage add = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath, kWatcherInterface,
                                                          QStringLiteral("RegisterStatusNotifierItem"));
        add << bus_.baseService();
        add.setAutoStartService(false);
        auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(add), &objects_);
        QObject::connect(pending, &QDBusPendingCallWatcher::finished, &objects_, [this](QDBusPendingCallWatcher* p) {
            p->deleteLater();
            const QDBusMessage reply = p->reply();
            if (reply.type() == QDBusMessage::ReplyMessage)
                return;
            // Silence is no refusal: the watcher may still list the item.
            const QDBusError::ErrorType error = QDBusError(reply).type();
            if (error != QDBusError::NoReply && error != QDBusError::Timeout && refused_)
                refused_();
        });
        return true;
    }

    void SetPicture(const IconPictures& pictures) override {
        // Every size the icon was drawn for, and the usual panel sizes it was
        // not drawn for made from the nearest; a host picks what suits it.
        std::vector<QImage> all = pictures.All();
        for (int size : kPixmapSizes) {
            const bool drawn = std::any_of(all.begin(), all.end(),
                                           [&](const QImage& i) { return i.width() == size && i.height() == size; });
            if (!drawn && !all.empty())
                all.push_back(pictures.ForSize(size));
        }
        std::stable_sort(all.begin(), all.end(),
                         [](const QImage& a, const QImage& b) { return a.width() < b.width(); });
        pixmaps_.clear();
        for (const QImage& image : all) pixmaps_.append(toPixmap(image));
        iconName_ = pictures.themeName;
        iconThemePath_ = pictures.themeName.isEmpty() ? QString() : pictures.themePath;
        announce(kItemPath, kItemInterface, QStringLiteral("NewIcon"));
    }

    void SetToolTipText(const QString& tip) override {
        tip_ = tip;
        announce(kItemPath, kItemInterface, QStringLiteral("NewToolTip"));
    }

    void SetMenu(const std::vector<TrayMenuEntry>& entries) override {
        entries_ = entries;
        ++revision_;
        announce(kMenuPath, kMenuInterface, QStringLiteral("LayoutUpdated"), {revision_, kMenuRoot});
    }

    bool Handle(const QDBusMessage& m) {
        if (m.interface() == kPropertiesInterface)
            return answerProperties(m);
        if (m.path() == kItemPath && (m.interface() == kItemInterface || m.interface().isEmpty()))
            return answerItem(m);
        if (m.path() == kMenuPath && (m.interface() == kMenuInterface || m.interface().isEmpty()))
            return answerMenu(m);
        return false;  // introspection and the like: the toolkit answers
    }

private:
    void announce(const QString& path, const QString& interface, const QString& name, const QVariantList& args = {}) {
        if (!connected_)
            return;
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
        signal.setArguments(args);
        bus_.send(signal);
    }

    void reply(const QDBusMessage& call, const QVariantList& args = {}) { bus_.send(call.createReply(args)); }
    void refuse(const QDBusMessage& call, QDBusError::ErrorType type, const QString& text) {
        bus_.send(call.createErrorReply(type, text));
    }

    QVariantMap itemProperties() const {
        const QString title = QGuiApplication::applicationDisplayName();
        const Pixmaps none;
        return {
            {QStringLiteral("Category"), QStringLiteral("ApplicationStatus")},
            {QStringLiteral("Id"), QCoreApplication::applicationName()},
            {QStringLiteral("Title"), title.isEmpty() ? tip_ : title},
            {QStringLiteral("Status"), QStringLiteral("Active")},
            {QStringLiteral("WindowId"), qint32(0)},
            {QStringLiteral("IconThemePath"), iconThemePath_},
            {QStringLiteral("IconName"), iconName_},
            {QStringLiteral("IconPixmap"), QVariant::fromValue(pixmaps_)},
            {QStringLiteral("OverlayIconName"), QString()},
            {QStringLiteral("OverlayIconPixmap"), QVariant::fromValue(none)},
            {QStringLiteral("AttentionIconName"), QString()},
            {QStringLiteral("AttentionIconPixmap"), QVariant::fromValue(none)},
            {QStringLiteral("AttentionMovieName"), QString()},
            {QStringLiteral("ToolTip"), QVariant::fromValue(ToolTip{QString(), none, tip_, QString()})},
            // Not only a menu: a click may be sent as Activate.
            {QStringLiteral("ItemIsMenu"), false},
            {QStringLiteral("Menu"), QVariant::fromValue(QDBusObjectPath(entries_.empty() ? kNoMenuPath : kMenuPath))},
        };
    }

    static QVariantMap menuProperties() {
        return {{QStringLiteral("Version"), kMenuVersion},
                {QStringLiteral("TextDirection"), QStringLiteral("ltr")},
                {QStringLiteral("Status"), QStringLiteral("normal")},
                {QStringLiteral("IconThemePath"), QStringList()}};
    }

    bool answerProperties(const QDBusMessage& m) {
        const bool item = m.path() == kItemPath;
        const QString own = item ? kItemInterface : kMenuInterface;
        const QVariantList args = m.arguments();
        const QString interface = args.isEmpty() ? QString() : args.first().toString();
        const QVariantMap all = interface == own ? (item ? itemProperties() : menuProperties()) : QVariantMap();
        if (m.member() == QLatin1String("GetAll") && m.signature() == QLatin1String("s")) {
            reply(m, {all});
        } else if (m.member() == QLatin1String("Get") && m.signature() == QLatin1String("ss")) {
            const auto it = all.find(args.at(1).toString());
            if (it == all.end())
                refuse(m, QDBusError::UnknownProperty, QStringLiteral("no such property"));
            else
                reply(m, {QVariant::fromValue(QDBusVariant(*it))});
        } else if (m.member() == QLatin1String("Set")) {
            refuse(m, QDBusError::PropertyReadOnly, QStringLiteral("the properties are read-only"));
        } else if (m.member() == QLatin1String("GetAll")) {
            refuseArguments(m, "s");
        } else if (m.member() == QLatin1String("Get")) {
            refuseArguments(m, "ss");
        } else {
            refuse(m, QDBusError::UnknownMethod, m.member());
        }
        return true;
    }

    // A call of a known method with other arguments than it takes.
    void refuseArguments(const QDBusMessage& m, const char* signature) {
        refuse(m, QDBusError::InvalidArgs,
               QStringLiteral("%1 takes (%2), not (%3)").arg(m.member(), QLatin1String(signature), m.signature()));
    }

    bool answerItem(const QDBusMessage& m) {
        const QString member = m.member();
        // Each method's arguments (StatusNotifierItem).
        static const std::pair<const char*, const char*> kSignatures[] = {{"Activate", "ii"},
                                                                          {"ContextMenu", "ii"},
                                                                          {"SecondaryActivate", "ii"},
                                                                          {"Scroll", "is"},
                                                                          {"ProvideXdgActivationToken", "s"}};
        for (const auto& [name, signature] : kSignatures) {
            if (member == QLatin1String(name) && m.signature() != QLatin1String(signature)) {
                refuseArguments(m, signature);
                return true;
            }
        }
        if (member == QLatin1String("Activate")) {
            // A host's left click: the press, and the activation it stands
            // for, since no double click follows there.
            reports_.mouse(WM_LBUTTONDOWN);
            reports_.mouse(NIN_SELECT);
        } else if (member == QLatin1String("ContextMenu")) {
            // A host that shows the exported menu must not get a second one.
            if (entries_.empty())
                reports_.mouse(WM_RBUTTONDOWN);
        } else if (member != QLatin1String("SecondaryActivate") && member != QLatin1String("Scroll") &&
                   member != QLatin1String("ProvideXdgActivationToken")) {
            refuse(m, QDBusError::UnknownMethod, member);
            return true;
        }
        reply(m);
        return true;
    }

    QVariantMap entryProperties(qint32 id, const QStringList& only) const {
        QVariantMap p;
        if (id == kMenuRoot) {
            p.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
        } else {
            const TrayMenuEntry& e = entries_[static_cast<std::size_t>(id - 1)];
            if (e.caption == "-") {
                p.insert(QStringLiteral("type"), QStringLiteral("separator"));
            } else {
                p.insert(QStringLiteral("label"), menuLabel(e.caption));
                p.insert(QStringLiteral("enabled"), e.enabled);
            }
        }
        if (!only.isEmpty())
            for (auto it = p.begin(); it != p.end();) it = only.contains(it.key()) ? std::next(it) : p.erase(it);
        return p;
    }

    bool knownEntry(qint32 id) const { return id >= kMenuRoot && static_cast<std::size_t>(id) <= entries_.size(); }

    // A chosen entry; false when there is no such entry.
    bool menuEvent(qint32 id, const QString& event) {
        if (!knownEntry(id))
            return false;
        if (id != kMenuRoot && event == QLatin1String("clicked")) {
            const TrayMenuEntry& e = entries_[static_cast<std::size_t>(id - 1)];
            if (e.caption != "-" && e.enabled)
                reports_.command(e.command);
        }
        return true;
    }

    // The arguments a dbusmenu method takes; null for no such method.
    static const char* menuSignature(const QString& member) {
        static const std::pair<const char*, const char*> kSignatures[] = {
            {"GetLayout", "iias"},     {"GetGroupProperties", "aias"}, {"GetProperty", "is"},     {"Event", "isvu"},
            {"EventGroup", "a(isvu)"}, {"AboutToShow", "i"},           {"AboutToShowGroup", "ai"}};
        for (const auto& [name, signature] : kSignatures)
            if (member == QLatin1String(name))
                return signature;
        return nullptr;
    }

    bool answerMenu(const QDBusMessage& m) {
        const QString member = m.member();
        const QString signature = m.signature();
        const QVariantList args = m.arguments();
        if (member == QLatin1String("GetLayout") && signature == QLatin1String("iias")) {
            const qint32 parent = args[0].toInt();
            const qint32 depth = args[1].toInt();
            const QStringList only = args[2].toStringList();
            if (!knownEntry(parent)) {
                refuse(m, QDBusError::InvalidArgs, QStringLiteral("no such menu entry"));
                return true;
            }
            MenuLayout layout{parent, entryProperties(parent, only), {}};
            if (parent == kMenuRoot && depth != 0)
                for (qint32 id = 1; knownEntry(id); ++id)
                    layout.children.append(
                        QDBusVariant(QVariant::fromValue(MenuLayout{id, entryProperties(id, only), {}})));
            reply(m, {revision_, QVariant::fromValue(layout)});
        } else if (member == QLatin1String("GetGroupProperties") && signature == QLatin1String("aias")) {
            // Each of the menu's own entries at most once, however many ids
            // are asked for: the answer is never larger than the menu.
            const QList<int> ids = qdbus_cast<QList<int>>(args[0]);
            std::vector<bool> asked(entries_.size() + 1, ids.isEmpty());
            for (int id : ids)
                if (knownEntry(id))
                    asked[static_cast<std::size_t>(id)] = true;
            const QStringList only = args[1].toStringList();
            MenuEntryPropertiesList out;
            for (qint32 id = 0; knownEntry(id); ++id)
                if (asked[static_cast<std::size_t>(id)])
                    out.append(MenuEntryProperties{id, entryProperties(id, only)});
            reply(m, {QVariant::fromValue(out)});
        } else if (member == QLatin1String("GetProperty") && signature == QLatin1String("is")) {
            const qint32 id = args[0].toInt();
            const QVariantMap p = knownEntry(id) ? entryProperties(id, {}) : QVariantMap();
            const auto it = p.find(args[1].toString());
            if (it == p.end())
                refuse(m, QDBusError::InvalidArgs, QStringLiteral("no such property"));
            else
                reply(m, {QVariant::fromValue(QDBusVariant(*it))});
        } else if (member == QLatin1String("Event") && signature == QLatin1String("isvu")) {
            if (!menuEvent(args[0].toInt(), args[1].toString()))
                refuse(m, QDBusError::InvalidArgs, QStringLiteral("no such menu entry"));
            else
                reply(m);
        } else if (member == QLatin1String("EventGroup") && signature == QLatin1String("a(isvu)")) {
            // One event per entry of the menu is acted on; of the unknown
            // ids only the first few are named back.
            QList<int> unknown;
            std::vector<bool> done(entries_.size() + 1, false);
            const QDBusArgument events = qvariant_cast<QDBusArgument>(args[0]);
            events.beginArray();
            while (!events.atEnd()) {
                qint32 id = 0;
                QString event;
                QDBusVariant data;
                uint timestamp = 0;
                events.beginStructure();
                events >> id >> event >> data >> timestamp;
                events.endStructure();
                if (!knownEntry(id)) {
                    if (unknown.size() < kMaxIdErrors && !unknown.contains(id))
                        unknown.append(id);
                } else if (!done[static_cast<std::size_t>(id)]) {
                    done[static_cast<std::size_t>(id)] = true;
                    menuEvent(id, event);
                }
            }
            events.endArray();
            reply(m, {QVariant::fromValue(unknown)});
        } else if (member == QLatin1String("AboutToShow") && signature == QLatin1String("i")) {
            reply(m, {false});  // the menu is always current
        } else if (member == QLatin1String("AboutToShowGroup") && signature == QLatin1String("ai")) {
            reply(m, {QVariant::fromValue(QList<int>()), QVariant::fromValue(QList<int>())});
        } else if (const char* expected = menuSignature(member)) {
            refuseArguments(m, expected);
        } else {
            refuse(m, QDBusError::UnknownMethod, member);
        }
        return true;
    }

    friend class ExportedObjects;

    TrayIconReports reports_;
    std::function<void()> refused_;
    ExportedObjects objects_;
    QString name_;
    QDBusConnection bus_{QString()};
    bool connected_ = false;
    Pixmaps pixmaps_;
    QString iconName_;
    QString iconThemePath_;
    QString tip_;
    std::vector<TrayMenuEntry> entries_;
    uint revision_ = 1;
};

bool ExportedObjects::handleMessage(const QDBusMessage& message, const QDBusConnection&) {
    return icon_.Handle(message);
}

QString ExportedObjects::introspect(const QString& path) const {
    if (path == kItemPath)
        return QStringLiteral(R"xml(<interface name="org.kde.StatusNotifierItem">
  <property name="Category" type="s" access="read"/>
  <property name="Id" type="s" access="read"/>
  <property name="Title" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="WindowId" type="i" access="read"/>
  <property name="IconThemePath" type="s" access="read"/>
  <property name="IconName" type="s" access="read"/>
  <property name="IconPixmap" type="a(iiay)" access="read"/>
  <property name="OverlayIconName" type="s" access="read"/>
  <property name="OverlayIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionIconName" type="s" access="read"/>
  <property name="AttentionIconPixmap" type="a(iiay)" access="read"/>
  <property name="AttentionMovieName" type="s" access="read"/>
  <property name="ToolTip" type="(sa(iiay)ss)" access="read"/>
  <property name="ItemIsMenu" type="b" access="read"/>
  <property name="Menu" type="o" access="read"/>
  <method name="ContextMenu"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Activate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="SecondaryActivate"><arg name="x" type="i" direction="in"/><arg name="y" type="i" direction="in"/></method>
  <method name="Scroll"><arg name="delta" type="i" direction="in"/><arg name="orientation" type="s" direction="in"/></method>
  <method name="ProvideXdgActivationToken"><arg name="token" type="s" direction="in"/></method>
  <signal name="NewTitle"/>
  <signal name="NewIcon"/>
  <signal name="NewAttentionIcon"/>
  <signal name="NewOverlayIcon"/>
  <signal name="NewToolTip"/>
  <signal name="NewStatus"><arg name="status" type="s"/></signal>
</interface>
)xml");
    if (path == kMenuPath)
        return QStringLiteral(R"xml(<interface name="com.canonical.dbusmenu">
  <property name="Version" type="u" access="read"/>
  <property name="TextDirection" type="s" access="read"/>
  <property name="Status" type="s" access="read"/>
  <property name="IconThemePath" type="as" access="read"/>
  <method name="GetLayout">
   <arg name="parentId" type="i" direction="in"/><arg name="recursionDepth" type="i" direction="in"/>
   <arg name="propertyNames" type="as" direction="in"/>
   <arg name="revision" type="u" direction="out"/><arg name="layout" type="(ia{sv}av)" direction="out"/>
  </method>
  <method name="GetGroupProperties">
   <arg name="ids" type="ai" direction="in"/><arg name="propertyNames" type="as" direction="in"/>
   <arg name="properties" type="a(ia{sv})" direction="out"/>
  </method>
  <method name="GetProperty">
   <arg name="id" type="i" direction="in"/><arg name="name" type="s" direction="in"/>
   <arg name="value" type="v" direction="out"/>
  </method>
  <method name="Event">
   <arg name="id" type="i" direction="in"/><arg name="eventId" type="s" direction="in"/>
   <arg name="data" type="v" direction="in"/><arg name="timestamp" type="u" direction="in"/>
  </method>
  <method name="EventGroup">
   <arg name="events" type="a(isvu)" direction="in"/><arg name="idErrors" type="ai" direction="out"/>
  </method>
  <method name="AboutToShow">
   <arg name="id" type="i" direction="in"/><arg name="needUpdate" type="b" direction="out"/>
  </method>
  <method name="AboutToShowGroup">
   <arg name="ids" type="ai" direction="in"/><arg name="updatesNeeded" type="ai" direction="out"/>
   <arg name="idErrors" type="ai" direction="out"/>
  </method>
  <signal name="ItemsPropertiesUpdated">
   <arg name="updatedProps" type="a(ia{sv})"/><arg name="removedProps" type="a(ias)"/>
  </signal>
  <signal name="LayoutUpdated"><arg name="revision" type="u"/><arg name="parent" type="i"/></signal>
  <signal name="ItemActivationRequested"><arg name="id" type="i"/><arg name="timestamp" type="u"/></signal>
</interface>
)xml");
    return QString();
}

}  // namespace

std::unique_ptr<TrayIconView> MakeStatusNotifierIcon(TrayIconReports reports, std::function<void()> refused,
                                                     const QString& busAddress) {
    auto icon = std::make_unique<StatusNotifierIcon>(std::move(reports), std::move(refused));
    if (!icon->Start(busAddress))
        return nullptr;
    return icon;
}

}  // namespace platform
