#include "desktop/tray_service.h"

#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <cstring>

#include "core/message_window.h"
#include "core/text.h"
#include "desktop/notifier.h"
#include "desktop/tray_desktop.h"
#include "desktop/tray_sni.h"
#include "desktop/tray_xembed.h"

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
    return Cp932ToUtf8(std::string_view(data.szTip, strnlen(data.szTip, kNotifyTipSize)));
}

// ---------------------------------------------------------------------------
// Icon handles

namespace {

// Never destroyed: icons held in objects with static lifetime release their
// handles during exit, after function statics made later are gone.
std::map<HICON, IconPictures>& iconTable() {
    static auto* icons = new std::map<HICON, IconPictures>;
    return *icons;
}
HICON nextIcon = 0x2000;

// The side a picture is chosen by: its longer one.
int sideOf(const QImage& image) {
    return std::max(image.width(), image.height());
}

}  // namespace

std::vector<QImage> IconPictures::All() const {
    std::vector<QImage> all;
    if (picture.isNull())
        return all;
    const auto add = [&all](const QImage& image) {
        const bool known =
            std::any_of(all.begin(), all.end(), [&](const QImage& i) { return i.size() == image.size(); });
        if (!image.isNull() && !known)
            all.push_back(image);
    };
    for (const QImage& other : sizes) add(other);
    add(picture);
    std::stable_sort(all.begin(), all.end(), [](const QImage& a, const QImage& b) { return sideOf(a) < sideOf(b); });
    return all;
}

QImage IconPictures::ForSize(int pixels) const {
    const std::vector<QImage> all = All();
    if (all.empty() || pixels < 1)
        return QImage();
    for (const QImage& image : all)
        if (image.width() == pixels && image.height() == pixels)
            return image;
    // Scaled down from the next larger one keeps most of the detail; up only
    // when nothing is larger.
    auto larger = std::find_if(all.begin(), all.end(), [&](const QImage& i) { return sideOf(i) > pixels; });
    const QImage& source = larger != all.end() ? *larger : all.back();
    return source.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

HICON CreateIconFromImage(const QImage& image) {
    IconPictures pictures;
    pictures.picture = image;
    return CreateIconFromPictures(pictures);
}

HICON CreateIconFromPictures(const IconPictures& pictures) {
    if (pictures.picture.isNull())
        return 0;
    const HICON handle = nextIcon++;
    iconTable()[handle] = pictures;
    return handle;
}

bool DestroyIcon(HICON icon) {
    return iconTable().erase(icon) > 0;
}

QImage IconImage(HICON icon) {
    return IconPicturesOf(icon).picture;
}

IconPictures IconPicturesOf(HICON icon) {
    auto it = iconTable().find(icon);
    return it == iconTable().end() ? IconPictures() : it->second;
}

// ---------------------------------------------------------------------------
// The session's trays

namespace {

// How often waiting icons look for a tray that announces itself nowhere (an
// XEmbed manager taking its selection).
constexpr int kPollIntervalMs = 500;

class SessionTrays final : public TrayDesktop {
public:
    SessionTrays()
        : hosts_(QDBusConnection::sessionBus(), [this] { traysChanged(); }), xembed_([this] { traysChanged(); }) {}

    TrayOffer Offered() override {
        const QString watcher = hosts_.Watcher();
        if (!watcher.isEmpty())
            return TrayOffer{TrayKind::StatusNotifier, watcher};
        if (const std::uint32_t manager = xembed_.Manager())
            return TrayOffer{TrayKind::XEmbed, QStringLiteral("%1/%2").arg(manager).arg(xembed_.Generation())};
        return TrayOffer{};
    }

    void SetChangeHandler(std::function<void()> changed) override { changed_ = std::move(changed); }

    std::unique_ptr<TrayIconView> MakeIcon(const TrayOffer& where, TrayIconReports reports) override {
        switch (where.kind) {
            case TrayKind::StatusNotifier:
                return MakeStatusNotifierIcon(std::move(reports),
                                              [this, watcher = where.identity] { hosts_.Refused(watcher); });
            case TrayKind::XEmbed:
                return xembed_.MakeIcon(where.identity.section(u'/', 0, 0).toUInt(), std::move(reports));
            case TrayKind::None:
                break;
        }
        return nullptr;
    }

private:
    void traysChanged() {
        if (changed_)
            changed_();
    }

    std::function<void()> changed_;
    StatusNotifierHosts hosts_;
    XEmbedTrays xembed_;
};

// Size of the see-through picture shown for an icon without a picture, so its
// slot still exists and still takes clicks.
constexpr int kPlaceholderSize = 16;

IconPictures pictureOf(const NOTIFYICONDATAA& record) {
    IconPictures pictures = IconPicturesOf(record.hIcon);
    if (pictures.picture.isNull()) {
        pictures = IconPictures();
        pictures.picture = QImage(kPlaceholderSize, kPlaceholderSize, QImage::Format_ARGB32);
        pictures.picture.fill(Qt::transparent);
    }
    return pictures;
}

bool haveApplication() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

}  // namespace

std::unique_ptr<TrayDesktop> MakeSessionTrays() {
    return std::make_unique<SessionTrays>();
}

// ---------------------------------------------------------------------------
// The desktop's notification area

struct DesktopTray::State {
    explicit State(std::unique_ptr<TrayDesktop> d) : desktop(std::move(d)) {}

    std::unique_ptr<TrayDesktop> desktop;
    NotifyIconTable table;
    std::map<NotifyIconTable::Key, std::vector<TrayMenuEntry>> menus;
    // The tray the icons are shown in, and each icon there. Declared after
    // the desktop, so the icons go first.
    TrayOffer offer;
    std::map<NotifyIconTable::Key, std::unique_ptr<TrayIconView>> views;
    std::unique_ptr<DesktopNotifier> notifier;

    // The watch while icons wait for a tray.
    std::unique_ptr<QTimer> poll;
    std::unique_ptr<QTimer> missingTimer;
    std::chrono::milliseconds missingAfter{30000};
    std::function<void()> onMissing;
    bool missingReported = false;
};

DesktopTray::DesktopTray(std::unique_ptr<TrayDesktop> desktop) : d_(std::make_unique<State>(std::move(desktop))) {
    d_->desktop->SetChangeHandler([this] { Recheck(); });
}

DesktopTray::~DesktopTray() {
    d_->desktop->SetChangeHandler(nullptr);
    d_->views.clear();
}

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
        case NIM_MODIFY: {
            auto view = d_->views.find(key);
            if (view == d_->views.end())
                break;
            const NOTIFYICONDATAA& record = *d_->table.Find(data.hWnd, data.uID);
            if (data.uFlags & NIF_ICON)
                view->second->SetPicture(pictureOf(record));
            if (data.uFlags & NIF_TIP)
                view->second->SetToolTipText(QString::fromStdString(NotifyTipUtf8(record)));
            break;
        }
        case NIM_DELETE:
            // Out of the tray now, not later: the process may be ending.
            d_->views.erase(key);
            d_->menus.erase(key);
            if (d_->table.Icons().empty()) {
                // Nothing waits any more.
                d_->poll.reset();
                d_->missingTimer.reset();
            }
            break;
    }
    return true;
}

POINT DesktopTray::CursorPos() const {
    const QPoint p = QCursor::pos();
    return POINT{p.x(), p.y()};
}

TrayKind DesktopTray::Kind() const {
    return d_->views.empty() ? TrayKind::None : d_->offer.kind;
}

void DesktopTray::Recheck() {
    State& d = *d_;
    if (d.table.Icons().empty())
        return;
    const TrayOffer now = d.desktop->Offered();
    if (!(now == d.offer)) {
        // Out of the old tray before into the new one: never shown twice.
        d.views.clear();
        d.offer = now;
    }
    bool waiting = false;
    for (const auto& [key, record] : d.table.Icons()) {
        if (now.kind != TrayKind::None && d.views.count(key) == 0)
            show(key, record);
        waiting = waiting || d.views.count(key) == 0;
    }
    if (waiting) {
        wait();
        return;
    }
    d.poll.reset();
    d.missingTimer.reset();
    d.missingReported = false;
}

void DesktopTray::show(const NotifyIconTable::Key& key, const NOTIFYICONDATAA& record) {
    State& d = *d_;
    TrayIconReports reports;
    reports.mouse = [this, key](UINT mouseMessage) { report(key, mouseMessage); };
    reports.command = [hWnd = key.first](UINT command) { PostMessage(hWnd, WM_COMMAND, command, 0); };
    std::unique_ptr<TrayIconView> view = d.desktop->MakeIcon(d.offer, std::move(reports));
    if (!view)
        return;
    // Every icon gets a picture and a tip, named in the record or not.
    view->SetPicture(pictureOf(record));
    view->SetToolTipText(QString::fromStdString(NotifyTipUtf8(record)));
    if (auto menu = d.menus.find(key); menu != d.menus.end())
        view->SetMenu(menu->second);
    d.views[key] = std::move(view);
}

void DesktopTray::wait() {
    State& d = *d_;
    // The session bus tells when a host comes; an XEmbed manager only shows
    // by its selection, so that is looked at now and then.
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
}

bool DesktopTray::SetIconMenu(HWND hWnd, UINT uID, const std::vector<TrayMenuEntry>& entries) {
    if (d_->table.Find(hWnd, uID) == nullptr)
        return false;
    const NotifyIconTable::Key key{hWnd, uID};
    d_->menus[key] = entries;
    if (auto view = d_->views.find(key); view != d_->views.end())
        view->second->SetMenu(entries);
    return true;
}

bool DesktopTray::ShowMessage(HWND hWnd, UINT uID, const std::string& title, const std::string& text) {
    if (d_->views.count({hWnd, uID}) == 0)
        return false;
    if (!d_->notifier)
        d_->notifier = std::make_unique<DesktopNotifier>();
    d_->notifier->Notify(QString::fromStdString(Cp932ToUtf8(title)), QString::fromStdString(Cp932ToUtf8(text)));
    return true;
}

void DesktopTray::SetTrayMissingHandler(std::chrono::milliseconds after, std::function<void()> handler) {
    d_->missingAfter = after;
    d_->onMissing = std::move(handler);
    // A wait already running counts the new span from now.
    if (d_->missingTimer)
        d_->missingTimer->start(after);
}

void DesktopTray::report(const NotifyIconTable::Key& key, UINT mouseMessage) {
    const NOTIFYICONDATAA* shown = d_->table.Find(key.first, key.second);
    if (shown == nullptr || (shown->uFlags & NIF_MESSAGE) == 0)
        return;
    PostMessage(shown->hWnd, shown->uCallbackMessage, shown->uID, static_cast<LPARAM>(mouseMessage));
}

std::unique_ptr<TrayService> MakeDesktopTray() {
    return std::make_unique<DesktopTray>(MakeSessionTrays());
}

}  // namespace platform
