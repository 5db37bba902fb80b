#include "platform/tray_service.h"

#include <iconv.h>

#include <xcb/xcb.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/cp932.h"
#include "platform/message_window.h"

namespace platform {

// ---------------------------------------------------------------------------
// Bookkeeping

bool NotifyIconTable::Apply(DWORD message, const NOTIFYICONDATAA& data) {
    const Key key{data.hWnd, data.uID};
    auto it = icons_.find(key);
    switch (message) {
        case NIM_ADD: {
            if (it != icons_.end())
                return false;
            NOTIFYICONDATAA stored{};
            stored.cbSize = data.cbSize;
            stored.hWnd = data.hWnd;
            stored.uID = data.uID;
            it = icons_.emplace(key, stored).first;
            break;
        }
        case NIM_MODIFY:
            if (it == icons_.end())
                return false;
            break;
        case NIM_DELETE:
            if (it == icons_.end())
                return false;
            icons_.erase(it);
            return true;
        default:
            return false;
    }
    NOTIFYICONDATAA& shown = it->second;
    shown.uFlags |= data.uFlags;
    if (data.uFlags & NIF_MESSAGE)
        shown.uCallbackMessage = data.uCallbackMessage;
    if (data.uFlags & NIF_ICON)
        shown.hIcon = data.hIcon;
    if (data.uFlags & NIF_TIP) {
        // The caller's field may lack its NUL; what is kept always ends in one.
        std::memcpy(shown.szTip, data.szTip, kNotifyTipSize - 1);
        shown.szTip[kNotifyTipSize - 1] = '\0';
    }
    return true;
}

const NOTIFYICONDATAA* NotifyIconTable::Find(HWND hWnd, UINT uID) const {
    auto it = icons_.find({hWnd, uID});
    return it == icons_.end() ? nullptr : &it->second;
}

std::string NotifyTipUtf8(const NOTIFYICONDATAA& data) {
    const char* tip = data.szTip;
    const std::size_t length = strnlen(tip, kNotifyTipSize);
    std::string out;
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(tip, length);
    out.resize(length * 4 + 8);
    char* src = const_cast<char*>(tip);
    std::size_t srcLeft = length;
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    static constexpr char kReplacement[] = "\xEF\xBF\xBD";
    while (srcLeft > 0) {
        if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1))
            break;
        // EILSEQ or EINVAL (a lead byte cut off at the end): replace one byte.
        // The buffer holds four output bytes per input byte, so no E2BIG here.
        std::memcpy(dst, kReplacement, 3);
        dst += 3;
        dstLeft -= 3;
        ++src;
        --srcLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

// ---------------------------------------------------------------------------
// Icon handles

namespace {

// Never destroyed: icons held in objects with static lifetime release their
// handles during exit, after function statics made later are gone.
std::map<HICON, QImage>& iconTable() {
    static auto* icons = new std::map<HICON, QImage>;
    return *icons;
}
HICON nextIcon = 0x2000;

}  // namespace

HICON CreateIconFromImage(const QImage& image) {
    if (image.isNull())
        return 0;
    const HICON handle = nextIcon++;
    iconTable()[handle] = image;
    return handle;
}

bool DestroyIcon(HICON icon) {
    return iconTable().erase(icon) > 0;
}

QImage IconImage(HICON icon) {
    auto it = iconTable().find(icon);
    return it == iconTable().end() ? QImage() : it->second;
}

// ---------------------------------------------------------------------------
// Finding the desktop's notification area

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
constexpr int kBusCallTimeoutMs = 1000;
// How often a waiting icon looks for a tray that announces itself nowhere
// (an XEmbed manager taking its selection).
constexpr int kPollIntervalMs = 500;

bool statusNotifierHostRegistered() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    if (!bus.interface()->isServiceRegistered(kWatcherService).value())
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    const QDBusMessage reply = bus.call(get, QDBus::Block, kBusCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

// The X screen the display name selects: ":1.2" is screen 2, ":1" screen 0.
int screenOfDisplay(const QByteArray& display) {
    const int colon = display.lastIndexOf(':');
    const int dot = display.lastIndexOf('.');
    if (colon < 0 || dot < colon)
        return 0;
    bool ok = false;
    const int screen = display.mid(dot + 1).toInt(&ok);
    return ok && screen >= 0 ? screen : 0;
}

bool xembedManagerPresent() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui == nullptr)
        return false;
    auto* x11 = gui->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return false;
    xcb_connection_t* c = x11->connection();
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenOfDisplay(qgetenv("DISPLAY")));
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(name.size()), name.constData()), nullptr);
    if (atom == nullptr)
        return false;
    const xcb_atom_t selection = atom->atom;
    std::free(atom);
    if (selection == XCB_ATOM_NONE)
        return false;  // never interned: nobody has ever owned it
    xcb_get_selection_owner_reply_t* owner =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    if (owner == nullptr)
        return false;
    const bool present = owner->owner != XCB_WINDOW_NONE;
    std::free(owner);
    return present;
}

// Size of the see-through picture shown for an icon without a picture, so its
// slot still exists and still takes clicks.
constexpr int kPlaceholderSize = 16;

// CP932 text for display; undecodable bytes become U+FFFD.
QString fromCp932(const std::string& bytes) {
    return QString::fromStdString(ConvertText("UTF-8", "CP932", bytes, "\xEF\xBF\xBD").value_or(std::string()));
}

}  // namespace

TrayKind DetectTray() {
    if (statusNotifierHostRegistered())
        return TrayKind::StatusNotifier;
    if (xembedManagerPresent())
        return TrayKind::XEmbed;
    return TrayKind::None;
}

// ---------------------------------------------------------------------------
// The desktop's notification area

struct DesktopTray::State {
    explicit State(std::function<TrayKind()> d) : detect(std::move(d)) {}

    std::function<TrayKind()> detect;
    // Decided with the first icon made, as the toolkit decides it.
    TrayKind kind = TrayKind::None;
    NotifyIconTable table;
    std::map<NotifyIconTable::Key, QPointer<QSystemTrayIcon>> shown;
    std::map<NotifyIconTable::Key, std::vector<TrayMenuEntry>> menus;
    std::map<NotifyIconTable::Key, std::unique_ptr<QMenu>> exported;

    // The watch while icons wait for a tray.
    std::unique_ptr<QTimer> poll;
    std::unique_ptr<QTimer> missingTimer;
    std::unique_ptr<QDBusServiceWatcher> busWatch;
    std::chrono::milliseconds missingAfter{30000};
    std::function<void()> onMissing;
    bool missingReported = false;
};

DesktopTray::DesktopTray(std::function<TrayKind()> detect) : d_(std::make_unique<State>(std::move(detect))) {}

DesktopTray::~DesktopTray() {
    for (auto& [key, icon] : d_->shown) delete icon.data();
}

namespace {

bool haveApplication() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

// Sets the members `flags` names. The picture is copied: the handle may go
// away afterwards.
void updateIcon(QSystemTrayIcon* icon, const NOTIFYICONDATAA& data, UINT flags) {
    if (flags & NIF_ICON) {
        QImage image = IconImage(data.hIcon);
        if (image.isNull()) {
            image = QImage(kPlaceholderSize, kPlaceholderSize, QImage::Format_ARGB32);
            image.fill(Qt::transparent);
        }
        icon->setIcon(QIcon(QPixmap::fromImage(image)));
    }
    if (flags & NIF_TIP)
        icon->setToolTip(QString::fromStdString(NotifyTipUtf8(data)));
}

}  // namespace

bool DesktopTray::NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) {
    if (!haveApplication())
        return false;
    if (!d_->table.Apply(message, data))
        return false;
    const NotifyIconTable::Key key{data.hWnd, data.uID};
    switch (message) {
        case NIM_ADD:
            Recheck();
            break;
        case NIM_MODIFY:
            if (QSystemTrayIcon* icon = d_->shown[key])
                updateIcon(icon, data, data.uFlags);
            break;
        case NIM_DELETE: {
            auto it = d_->shown.find(key);
            if (it != d_->shown.end()) {
                // Deleted now, not later: the icon must leave the tray even
                // when no event loop turn follows (the process is ending).
                delete it->second.data();
                d_->shown.erase(it);
            }
            d_->exported.erase(key);
            d_->menus.erase(key);
            if (d_->table.Icons().empty()) {
                // Nothing waits any more.
                d_->poll.reset();
                d_->missingTimer.reset();
            }
            break;
        }
    }
    return true;
}

POINT DesktopTray::CursorPos() const {
    const QPoint p = QCursor::pos();
    return POINT{p.x(), p.y()};
}

TrayKind DesktopTray::Kind() const {
    return d_->kind;
}

void DesktopTray::Recheck() {
    State& d = *d_;
    bool waiting = false;
    for (const auto& [key, record] : d.table.Icons())
        if (!d.shown.count(key) || d.shown[key].isNull())
            waiting = true;
    if (!waiting)
        return;
    TrayKind now = d.detect();
    if (now == TrayKind::None) {
        // Start (or keep) watching: the bus tells when a host comes; an
        // XEmbed manager only shows by its selection, so that is polled.
        if (!d.poll) {
            d.poll = std::make_unique<QTimer>();
            d.poll->setInterval(kPollIntervalMs);
            QObject::connect(d.poll.get(), &QTimer::timeout, [this] { Recheck(); });
            d.poll->start();
        }
        if (!d.missingTimer && !d.missingReported) {
            d.missingTimer = std::make_unique<QTimer>();
            d.missingTimer->setSingleShot(true);
            QObject::connect(d.missingTimer.get(), &QTimer::timeout, [this] {
                d_->missingReported = true;
                d_->missingTimer.release()->deleteLater();
                // A copy: the handler may replace itself.
                if (std::function<void()> handler = d_->onMissing)
                    handler();
            });
            d.missingTimer->start(d.missingAfter);
        }
        if (!d.busWatch && QDBusConnection::sessionBus().isConnected()) {
            d.busWatch = std::make_unique<QDBusServiceWatcher>(kWatcherService, QDBusConnection::sessionBus(),
                                                               QDBusServiceWatcher::WatchForRegistration);
            // A watcher coming up; a host registering with a watcher that
            // was there already is seen by the poll.
            QObject::connect(d.busWatch.get(), &QDBusServiceWatcher::serviceRegistered, [this] { Recheck(); });
        }
        return;
    }
    d.poll.reset();
    d.missingTimer.reset();
    d.missingReported = false;
    if (d.kind == TrayKind::None)
        d.kind = now;
    for (const auto& [key, record] : d.table.Icons()) {
        QPointer<QSystemTrayIcon>& slot = d.shown[key];
        if (!slot.isNull())
            continue;
        // Parented to the application so that an icon nobody deleted still
        // goes before the application does.
        auto* icon = new QSystemTrayIcon(QCoreApplication::instance());
        const NotifyIconTable::Key k = key;
        QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                         [this, k](QSystemTrayIcon::ActivationReason reason) { report(k, static_cast<int>(reason)); });
        slot = icon;
        // Every slot gets a picture and a tip, named in the record or not.
        updateIcon(icon, record, NIF_ICON | NIF_TIP);
        exportMenu(k);
        icon->show();
    }
}

void DesktopTray::exportMenu(const NotifyIconTable::Key& key) {
    State& d = *d_;
    auto shown = d.shown.find(key);
    if (shown == d.shown.end() || shown->second.isNull())
        return;
    QSystemTrayIcon* icon = shown->second;
    // On XEmbed the caller pops up its own menu; a menu here would be a
    // second one, shown by the toolkit at the same right click.
    if (d.kind != TrayKind::StatusNotifier)
        return;
    auto entries = d.menus.find(key);
    if (entries == d.menus.end() || entries->second.empty()) {
        icon->setContextMenu(nullptr);
        d.exported.erase(key);
        return;
    }
    auto menu = std::make_unique<QMenu>();
    for (const TrayMenuEntry& entry : entries->second) {
        if (entry.caption == "-") {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(fromCp932(entry.caption));
        action->setEnabled(entry.enabled);
        if (entry.isDefault) {
            QFont bold = action->font();
            bold.setBold(true);
            action->setFont(bold);
            menu->setDefaultAction(action);
        }
        const UINT command = entry.command;
        const HWND hWnd = key.first;
        QObject::connect(action, &QAction::triggered, menu.get(),
                         [hWnd, command] { PostMessage(hWnd, WM_COMMAND, command, 0); });
    }
    icon->setContextMenu(menu.get());
    d.exported[key] = std::move(menu);  // the old menu goes after the icon has the new one
}

bool DesktopTray::SetIconMenu(HWND hWnd, UINT uID, const std::vector<TrayMenuEntry>& entries) {
    if (d_->table.Find(hWnd, uID) == nullptr)
        return false;
    const NotifyIconTable::Key key{hWnd, uID};
    d_->menus[key] = entries;
    exportMenu(key);
    return true;
}

bool DesktopTray::ShowMessage(HWND hWnd, UINT uID, const std::string& title, const std::string& text) {
    auto it = d_->shown.find({hWnd, uID});
    if (it == d_->shown.end() || it->second.isNull())
        return false;
    it->second->showMessage(fromCp932(title), fromCp932(text), QSystemTrayIcon::Information);
    return true;
}

void DesktopTray::SetTrayMissingHandler(std::chrono::milliseconds after, std::function<void()> handler) {
    d_->missingAfter = after;
    d_->onMissing = std::move(handler);
    // A wait already running counts the new span from now.
    if (d_->missingTimer)
        d_->missingTimer->start(after);
}

void DesktopTray::report(const NotifyIconTable::Key& key, int reason) {
    const NOTIFYICONDATAA* shown = d_->table.Find(key.first, key.second);
    if (shown == nullptr || (shown->uFlags & NIF_MESSAGE) == 0)
        return;
    const bool statusNotifier = d_->kind == TrayKind::StatusNotifier;
    std::vector<UINT> mouse;
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            // A host's Activate: a click, and the activation it stands for,
            // since no double click follows on such a tray.
            mouse.push_back(WM_LBUTTONDOWN);
            if (statusNotifier)
                mouse.push_back(NIN_SELECT);
            break;
        case QSystemTrayIcon::DoubleClick:
            mouse.push_back(WM_LBUTTONDBLCLK);
            break;
        case QSystemTrayIcon::Context:
            // A host that shows the exported menu must not get a second one.
            if (statusNotifier && d_->exported.count(key) != 0)
                return;
            mouse.push_back(WM_RBUTTONDOWN);
            break;
        default:
            return;
    }
    for (UINT m : mouse) PostMessage(shown->hWnd, shown->uCallbackMessage, shown->uID, static_cast<LPARAM>(m));
}

std::unique_ptr<TrayService> MakeDesktopTray() {
    return std::make_unique<DesktopTray>();
}

}  // namespace platform
