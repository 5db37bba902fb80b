// The XEmbed system tray of the X display: which tray manager holds the
// screen's tray selection, and icons docked into it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "desktop/tray_desktop.h"

namespace platform {

// GUI thread only; needs a QGuiApplication on the xcb platform to find
// anything (elsewhere there is never a manager).
class XEmbedTrays {
public:
    // `gone` runs from the event loop when the manager that Manager() last
    // returned goes away (its window is destroyed, as when the panel ends).
    explicit XEmbedTrays(std::function<void()> gone);
    ~XEmbedTrays();
    XEmbedTrays(const XEmbedTrays&) = delete;
    XEmbedTrays& operator=(const XEmbedTrays&) = delete;

    // The window of the tray manager that owns the screen's tray selection
    // now, as the X server says; 0 when there is none.
    std::uint32_t Manager();
    // How many managers have gone so far: a manager that comes after another
    // may get the same window number.
    std::uint64_t Generation() const;
    // An icon docked into `manager`'s tray: a small window of its own that
    // the tray takes in, showing the picture over the tray's background and
    // the tip on hover. A left press reports WM_LBUTTONDOWN, a left double
    // click WM_LBUTTONDBLCLK, a right press WM_RBUTTONDOWN; the tray shows
    // no menu of its own. Null when not on X.
    std::unique_ptr<TrayIconView> MakeIcon(std::uint32_t manager, TrayIconReports reports);

private:
    struct State;
    std::unique_ptr<State> d_;
};

}  // namespace platform
