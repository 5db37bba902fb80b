// StatusNotifierItem trays on the session bus: whether the watcher has a
// host, and icons shown there with their menus.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "desktop/tray_desktop.h"

class QDBusConnection;

namespace platform {

// Follows the StatusNotifierWatcher on a bus: asks whether a host is
// registered when the watcher comes or changes owner and whenever it
// announces a host coming or going, and keeps the latest answer. Every
// question is asked asynchronously and nothing waits for its answer; a
// question still open leaves the last answer standing, and one that ran out
// of time is asked again. Only the watcher's answer, or the bus saying the
// watcher is gone, changes what Watcher() says. GUI thread only.
class StatusNotifierHosts {
public:
    // `changed` runs from the event loop when Watcher() changes.
    StatusNotifierHosts(const QDBusConnection& bus, std::function<void()> changed);
    ~StatusNotifierHosts();
    StatusNotifierHosts(const StatusNotifierHosts&) = delete;
    StatusNotifierHosts& operator=(const StatusNotifierHosts&) = delete;

    // The unique bus name of the watcher that last answered that a host is
    // registered; empty while none has (no bus, no watcher, no host, or no
    // answer yet).
    QString Watcher() const;
    // The watcher refused an item: no host is taken to be there until the
    // watcher next tells of one.
    void Refused(const QString& watcher);

private:
    struct State;
    std::unique_ptr<State> d_;
};

// An icon on a StatusNotifierItem host: an item with its dbusmenu, exported
// on a bus connection of its own (opened on `busAddress`, or on the session
// bus when it is empty) and registered with the watcher. Destroying it closes
// that connection, which takes the item out of every watcher and host at
// once. Activate reports WM_LBUTTONDOWN then NIN_SELECT; ContextMenu reports
// WM_RBUTTONDOWN only while no menu is exported; a "clicked" menu event
// reports its entry's command. `refused` runs (from the event loop) when the
// watcher answers the registration with an error. Null when the bus cannot
// be reached.
std::unique_ptr<TrayIconView> MakeStatusNotifierIcon(TrayIconReports reports, std::function<void()> refused,
                                                     const QString& busAddress = QString());

}  // namespace platform
