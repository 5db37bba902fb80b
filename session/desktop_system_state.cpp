#include "session/desktop_system_state.h"

#include <QDBusConnection>
#include <QNetworkInformation>
#include <QObject>
#include <functional>
#include <utility>

#include "core/message_window.h"

namespace platform {

namespace {

// Messages of the state's own window: each event is posted where the system
// reported it and raised in a turn of its own.
constexpr UINT kReachabilityChanged = WM_USER + 1;  // wParam: the new Reachability
constexpr UINT kResumed = WM_USER + 2;

// WORKAROUND: Qt 6.4's "glib" backend waits for GLib's "connectivity"
// property to change, but the netlink monitor of GLib 2.74 (the one used
// where NetworkManager is not running) announces a route change only as
// "network-available". That backend therefore tells the state found at start
// and never a change, and a "Disconnected" found at start would skip every
// timed check for good. Only NetworkManager is asked; without it the program
// behaves as if nobody said anything.
constexpr char kReachabilityBackend[] = "networkmanager";

constexpr char kLogindService[] = "org.freedesktop.login1";
constexpr char kLogindPath[] = "/org/freedesktop/login1";
constexpr char kLogindManager[] = "org.freedesktop.login1.Manager";
constexpr char kPrepareForSleep[] = "PrepareForSleep";

Reachability fromQt(QNetworkInformation::Reachability r) {
    switch (r) {
        case QNetworkInformation::Reachability::Disconnected:
            return Reachability::Disconnected;
        case QNetworkInformation::Reachability::Local:
            return Reachability::Local;
        case QNetworkInformation::Reachability::Site:
            return Reachability::Site;
        case QNetworkInformation::Reachability::Online:
            return Reachability::Online;
        case QNetworkInformation::Reachability::Unknown:
            break;
    }
    return Reachability::Unknown;
}

// logind says PrepareForSleep(true) before the system sleeps and
// PrepareForSleep(false) once it has woken. A D-Bus signal reaches only a slot.
class SleepListener final : public QObject {
    Q_OBJECT
public:
    explicit SleepListener(std::function<void()> resumed) : resumed_(std::move(resumed)) {}

public Q_SLOTS:
    void prepareForSleep(bool goingToSleep) {
        if (!goingToSleep)
            resumed_();
    }

private:
    std::function<void()> resumed_;
};

}  // namespace

struct DesktopSystemState::State {
    explicit State(MessageWindow::WindowProc proc) : window(std::move(proc)) {}

    MessageWindow window;
    QNetworkInformation* info = nullptr;
    // Ends the connection to the process-wide network information with this object.
    QObject context;
    std::unique_ptr<SleepListener> sleep;
};

DesktopSystemState::DesktopSystemState()
    : d_(std::make_unique<State>([this](UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
          if (msg == kReachabilityChanged && OnReachabilityChanged)
              OnReachabilityChanged(static_cast<Reachability>(wParam));
          else if (msg == kResumed && OnResumed)
              OnResumed();
          return 0;
      })) {
    const HWND window = d_->window.handle();
    if (QNetworkInformation::loadBackendByName(QString::fromLatin1(kReachabilityBackend)))
        d_->info = QNetworkInformation::instance();
    if (d_->info != nullptr) {
        QObject::connect(d_->info, &QNetworkInformation::reachabilityChanged, &d_->context,
                         [window](QNetworkInformation::Reachability r) {
                             PostMessage(window, kReachabilityChanged, static_cast<WPARAM>(fromQt(r)), 0);
                         });
    }

    QDBusConnection bus = QDBusConnection::systemBus();
    if (bus.isConnected()) {
        auto listener = std::make_unique<SleepListener>([window] { PostMessage(window, kResumed, 0, 0); });
        // Only the owner of logind's name is heard, also when it starts later.
        if (bus.connect(QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath),
                        QString::fromLatin1(kLogindManager), QString::fromLatin1(kPrepareForSleep), listener.get(),
                        SLOT(prepareForSleep(bool))))
            d_->sleep = std::move(listener);
    }
}

DesktopSystemState::~DesktopSystemState() {
    if (d_->sleep) {
        QDBusConnection::systemBus().disconnect(
            QString::fromLatin1(kLogindService), QString::fromLatin1(kLogindPath), QString::fromLatin1(kLogindManager),
            QString::fromLatin1(kPrepareForSleep), d_->sleep.get(), SLOT(prepareForSleep(bool)));
    }
}

Reachability DesktopSystemState::CurrentReachability() const {
    return d_->info != nullptr ? fromQt(d_->info->reachability()) : Reachability::Unknown;
}

}  // namespace platform

#include "desktop_system_state.moc"
