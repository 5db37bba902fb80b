#include "platform/tray_service.h"

#include <iconv.h>

#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QSystemTrayIcon>
#include <cerrno>
#include <cstring>

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
// The desktop's notification area

namespace {

// Size of the see-through picture shown for an icon without a picture, so its
// slot still exists and still takes clicks.
constexpr int kPlaceholderSize = 16;

class DesktopTray final : public TrayService {
public:
    bool NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
            return false;
        if (!table_.Apply(message, data))
            return false;
        const NotifyIconTable::Key key{data.hWnd, data.uID};
        switch (message) {
            case NIM_ADD: {
                // Parented to the application so that an icon nobody deleted
                // still goes before the application does.
                auto* icon = new QSystemTrayIcon(QCoreApplication::instance());
                QObject::connect(icon, &QSystemTrayIcon::activated, icon,
                                 [this, key](QSystemTrayIcon::ActivationReason reason) { report(key, reason); });
                shown_[key] = icon;
                // Every slot gets a picture and a tip, named in the record or not.
                update(icon, *table_.Find(data.hWnd, data.uID), NIF_ICON | NIF_TIP);
                icon->show();
                break;
            }
            case NIM_MODIFY:
                if (QSystemTrayIcon* icon = shown_[key])
                    update(icon, data, data.uFlags);
                break;
            case NIM_DELETE: {
                auto it = shown_.find(key);
                if (it != shown_.end()) {
                    // Deleted now, not later: the icon must leave the tray even
                    // when no event loop turn follows (the process is ending).
                    delete it->second.data();
                    shown_.erase(it);
                }
                break;
            }
        }
        return true;
    }

    POINT CursorPos() const override {
        const QPoint p = QCursor::pos();
        return POINT{p.x(), p.y()};
    }

private:
    // Sets the members `flags` names. The picture is copied: the handle may
    // go away afterwards.
    static void update(QSystemTrayIcon* icon, const NOTIFYICONDATAA& data, UINT flags) {
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

    void report(const NotifyIconTable::Key& key, QSystemTrayIcon::ActivationReason reason) {
        const NOTIFYICONDATAA* shown = table_.Find(key.first, key.second);
        if (shown == nullptr || (shown->uFlags & NIF_MESSAGE) == 0)
            return;
        UINT mouse = 0;
        switch (reason) {
            case QSystemTrayIcon::Trigger:
                mouse = WM_LBUTTONDOWN;
                break;
            case QSystemTrayIcon::DoubleClick:
                mouse = WM_LBUTTONDBLCLK;
                break;
            case QSystemTrayIcon::Context:
                mouse = WM_RBUTTONDOWN;
                break;
            default:
                return;
        }
        PostMessage(shown->hWnd, shown->uCallbackMessage, shown->uID, static_cast<LPARAM>(mouse));
    }

    NotifyIconTable table_;
    std::map<NotifyIconTable::Key, QPointer<QSystemTrayIcon>> shown_;
};

}  // namespace

std::unique_ptr<TrayService> MakeDesktopTray() {
    return std::make_unique<DesktopTray>();
}

}  // namespace platform
