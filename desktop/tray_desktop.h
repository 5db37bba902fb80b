// What DesktopTray is built on: the trays a desktop session offers, and one
// icon as one kind of tray shows it.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <vector>

#include "desktop/tray_service.h"

namespace platform {

// One icon in one tray. Destroying it takes the icon out of that tray at
// once. GUI thread only.
class TrayIconView {
public:
    virtual ~TrayIconView() = default;
    // The icon's pictures; each tray shows the one drawn for the size it
    // gives the icon, or offers them all.
    virtual void SetPicture(const IconPictures& pictures) = 0;
    virtual void SetToolTipText(const QString& tip) = 0;
    // Trays that show the icon's menu themselves get the entries; the others
    // ignore them.
    virtual void SetMenu(const std::vector<TrayMenuEntry>& entries) = 0;
};

// What a view tells about the user's doing, in the notification area's
// terms. Both run from the event loop, never inside a call to the view.
struct TrayIconReports {
    // A mouse message of the icon's callback (WM_LBUTTONDOWN, NIN_SELECT, ...).
    std::function<void(UINT mouseMessage)> mouse;
    // The menu entry with this command was chosen in the tray's own menu.
    std::function<void(UINT command)> command;
};

// A tray to show icons in: its kind, and which tray of that kind it is (a
// panel that restarts offers a tray with another identity).
struct TrayOffer {
    TrayKind kind = TrayKind::None;
    QString identity;
    bool operator==(const TrayOffer&) const = default;
};

// The trays of a desktop session, as far as they have told. GUI thread only.
class TrayDesktop {
public:
    virtual ~TrayDesktop() = default;
    // Where icons belong now: a StatusNotifierItem host when the session bus
    // has answered that one is registered, else the XEmbed tray the X server
    // shows, else none. Never waits for an answer that has not come.
    virtual TrayOffer Offered() = 0;
    // `changed` runs from the event loop whenever Offered() may have changed.
    virtual void SetChangeHandler(std::function<void()> changed) = 0;
    // An icon in the tray `where`; null when it cannot be put there.
    virtual std::unique_ptr<TrayIconView> MakeIcon(const TrayOffer& where, TrayIconReports reports) = 0;
};

// The trays of the session the program runs in: the StatusNotifierWatcher on
// the session bus, and the XEmbed tray selection of the X display. Either
// may be missing (no bus, no X server). Needs a QApplication.
std::unique_ptr<TrayDesktop> MakeSessionTrays();

}  // namespace platform
