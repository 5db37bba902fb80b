// The desktop's notification area (the tray): icons with a tip, whose mouse
// activity comes back as a message to a message window; and the icon handles
// those icons show.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/messages.h"

#include <QImage>
#include <QString>

namespace platform {

using DWORD = std::uint32_t;
using HICON = std::uintptr_t;  // 0 is "no icon"

struct POINT {
    std::int32_t x = 0;
    std::int32_t y = 0;
};

// Notification-area operations.
constexpr DWORD NIM_ADD = 0;
constexpr DWORD NIM_MODIFY = 1;
constexpr DWORD NIM_DELETE = 2;

// Which members of the record an operation takes.
constexpr UINT NIF_MESSAGE = 0x1;
constexpr UINT NIF_ICON = 0x2;
constexpr UINT NIF_TIP = 0x4;

// Activity beyond the mouse messages: the tray activated the icon (a left
// click on a tray that sends no double click).
constexpr UINT NIN_SELECT = WM_USER + 0;
// Posted to an icon's window when an entry of a menu the tray shows itself
// is chosen; wParam is the entry's command.
constexpr UINT WM_COMMAND = 0x0111;

// One entry of a menu the tray shows for an icon (TrayService::SetIconMenu).
struct TrayMenuEntry {
    std::string caption;  // CP932; "-" is a separator
    UINT command = 0;
    bool isDefault = false;
    bool enabled = true;
};

// The record's announced size: the ANSI layout with a 64-byte tip and no later
// members. Callers put it in cbSize; it is not sizeof() here, since handles
// are wider on this platform.
constexpr DWORD NOTIFYICONDATAA_V1_SIZE = 88;
// The tip holds at most this many bytes of CP932 text plus the terminating NUL.
constexpr std::size_t kNotifyTipSize = 64;

// One notification-area icon: the icon (hWnd, uID) shows hIcon with the tip
// szTip, and reports mouse activity to hWnd as uCallbackMessage.
struct NOTIFYICONDATAA {
    DWORD cbSize = 0;
    HWND hWnd = 0;
    UINT uID = 0;
    UINT uFlags = 0;
    UINT uCallbackMessage = 0;
    HICON hIcon = 0;
    char szTip[kNotifyTipSize] = {};
};

// The notification area as the components see it. Mouse activity over an icon
// added with NIF_MESSAGE is posted to its hWnd as uCallbackMessage with
// wParam = uID and lParam = the mouse message: WM_LBUTTONDOWN for a left press,
// WM_LBUTTONDBLCLK for a left double click (after its press), WM_RBUTTONDOWN for
// a right press, and NIN_SELECT (after WM_LBUTTONDOWN) where the tray
// activates icons with one click and knows no double click. A tray that shows
// the icon's menu itself reports no right press. GUI thread only.
class TrayService {
public:
    virtual ~TrayService() = default;

    // NIM_ADD, NIM_MODIFY or NIM_DELETE for the icon (hWnd, uID); NIM_MODIFY
    // changes only the members uFlags names. Returns false when the operation
    // fails: adding an icon that exists, modifying or deleting one that does
    // not, an unknown operation, or no notification area at all.
    virtual bool NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) = 0;

    // Where the mouse pointer is now, in screen coordinates.
    virtual POINT CursorPos() const = 0;

    // The icon's menu, for trays that show menus themselves; such a tray then
    // reports no right press for the icon. Elsewhere the entries are kept
    // unused and the caller pops up its own menu. Choosing an entry posts
    // WM_COMMAND to hWnd with wParam = its command. An empty list takes the
    // menu away. False when the icon does not exist.
    virtual bool SetIconMenu(HWND hWnd, UINT uID, const std::vector<TrayMenuEntry>& entries) = 0;

    // A passing desktop notification from the icon; title and text are
    // CP932. False when it cannot be shown (no such icon, or it is not in a
    // tray yet).
    virtual bool ShowMessage(HWND hWnd, UINT uID, const std::string& title, const std::string& text) = 0;

    // Icons added while the desktop has no notification area wait for one
    // and appear as soon as it comes. When an icon has waited `after`
    // without one, `handler` runs once (again only after a tray came and
    // went); the icons keep waiting. Replaces an earlier handler.
    virtual void SetTrayMissingHandler(std::chrono::milliseconds after, std::function<void()> handler) = 0;
};

// The bookkeeping every notification area shares: which icons exist and what
// each of them shows now. Enforces the add/modify/delete rules of
// TrayService::NotifyIcon.
class NotifyIconTable {
public:
    using Key = std::pair<HWND, UINT>;

    // Applies the operation; false when TrayService::NotifyIcon would fail.
    // The stored record has all three members filled as last set.
    bool Apply(DWORD message, const NOTIFYICONDATAA& data);
    const NOTIFYICONDATAA* Find(HWND hWnd, UINT uID) const;
    const std::map<Key, NOTIFYICONDATAA>& Icons() const { return icons_; }

private:
    std::map<Key, NOTIFYICONDATAA> icons_;
};

// The tip of a record as UTF-8: the bytes up to the first NUL (never past the
// field), decoded from CP932; undecodable bytes become U+FFFD.
std::string NotifyTipUtf8(const NOTIFYICONDATAA& data);

// The kinds of notification area a desktop may offer.
enum class TrayKind { None, StatusNotifier, XEmbed };

class TrayDesktop;

// The desktop's notification area. Icons go where the session's trays say
// they belong now, and move when that changes: to a StatusNotifierItem host
// once one is registered, back to an XEmbed tray when the host leaves, into
// a restarted tray again. An icon is taken out of one tray before it goes
// into the next, so it is never shown twice. On a StatusNotifierItem host
// the menu goes to the host (dbusmenu) and a click is reported as an
// activation; on XEmbed right presses are reported and the caller pops up its
// own menu. While no tray is offered icons wait (see SetTrayMissingHandler).
// Needs a QApplication; without one every operation fails. GUI thread only.
class DesktopTray final : public TrayService {
public:
    explicit DesktopTray(std::unique_ptr<TrayDesktop> desktop);
    ~DesktopTray() override;

    bool NotifyIcon(DWORD message, const NOTIFYICONDATAA& data) override;
    POINT CursorPos() const override;
    bool SetIconMenu(HWND hWnd, UINT uID, const std::vector<TrayMenuEntry>& entries) override;
    bool ShowMessage(HWND hWnd, UINT uID, const std::string& title, const std::string& text) override;
    void SetTrayMissingHandler(std::chrono::milliseconds after, std::function<void()> handler) override;

    // The kind of tray the icons are shown in; None while they wait.
    TrayKind Kind() const;

private:
    struct State;
    // Looks at what the desktop offers now and puts every icon there.
    void Recheck();
    void show(const NotifyIconTable::Key& key, const NOTIFYICONDATAA& record);
    void wait();
    void report(const NotifyIconTable::Key& key, UINT mouseMessage);
    std::unique_ptr<State> d_;
};

// The program's notification area: a DesktopTray on the session's trays.
// The caller owns it; it must outlive the icons added through it and go
// before the QApplication.
std::unique_ptr<TrayService> MakeDesktopTray();

// What an icon handle names: the icon's own picture, the same icon drawn
// for other sizes, and where the desktop's icon theme holds it.
struct IconPictures {
    QImage picture;
    // Each drawn for its own size (not scaled), any order. A size given
    // twice counts once, the first winning; one of picture's size stands in
    // for picture (a picture with full alpha beside a 256-colour icon).
    std::vector<QImage> sizes;
    // The icon's name in the icon theme ("postwren"); empty when it has none.
    QString themeName;
    // A folder with icon themes (holding hicolor/...) to look in besides the
    // desktop's own; empty when the theme lies where the desktop looks anyway.
    QString themePath;

    // Every picture, one per size, smallest first; empty when picture is null.
    std::vector<QImage> All() const;
    // The picture for a square of `pixels` device pixels: the one drawn at
    // that size; else the smallest larger one scaled down, else the largest
    // scaled up, keeping its proportions within the square. Null when there
    // is no picture or pixels < 1.
    QImage ForSize(int pixels) const;
};

// Icon handles. An icon handle names its pictures; it stays valid until
// DestroyIcon, and handles are never reused, so a stale one names nothing.
// GUI thread only.

// Returns 0 for a null image.
HICON CreateIconFromImage(const QImage& image);
// Returns 0 when pictures.picture is null.
HICON CreateIconFromPictures(const IconPictures& pictures);
// False when the handle names nothing.
bool DestroyIcon(HICON icon);
// The picture behind a handle; a null image for 0 or a destroyed handle.
QImage IconImage(HICON icon);
// Everything behind a handle; empty (a null picture) for 0 or a destroyed handle.
IconPictures IconPicturesOf(HICON icon);

}  // namespace platform
