#include "desktop/tray_xembed.h"

#include <xcb/xcb.h>

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace platform {
namespace {

// The freedesktop.org system tray protocol: the opcode asking the manager to
// take a window in as an icon.
constexpr std::uint32_t kSystemTrayRequestDock = 0;
// XEmbed: the protocol version, and the flag asking the embedder to map us.
constexpr std::uint32_t kXEmbedVersion = 0;
constexpr std::uint32_t kXEmbedMapped = 1;
// The size an icon starts with and asks for; trays give their icons the
// size they like, and the icon takes it.
constexpr int kIconSize = 22;

xcb_connection_t* xconnection() {
    auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    if (gui == nullptr)
        return nullptr;
    auto* x11 = gui->nativeInterface<QNativeInterface::QX11Application>();
    return x11 == nullptr ? nullptr : x11->connection();
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

// XCB_ATOM_NONE when `onlyIfExists` and nobody ever made the atom.
xcb_atom_t internAtom(xcb_connection_t* c, const QByteArray& name, bool onlyIfExists) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, onlyIfExists ? 1 : 0, static_cast<std::uint16_t>(name.size()), name.constData()),
        nullptr);
    if (reply == nullptr)
        return XCB_ATOM_NONE;
    const xcb_atom_t atom = reply->atom;
    std::free(reply);
    return atom;
}

// Whether the manager asks for icons in a visual with an alpha channel.
bool trayVisualHasAlpha(xcb_connection_t* c, xcb_window_t manager) {
    const xcb_atom_t property = internAtom(c, "_NET_SYSTEM_TRAY_VISUAL", true);
    if (property == XCB_ATOM_NONE)
        return false;
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, manager, property, XCB_ATOM_VISUALID, 0, 1), nullptr);
    if (reply == nullptr)
        return false;
    xcb_visualid_t visual = 0;
    if (reply->format == 32 && xcb_get_property_value_length(reply) >= 4)
        visual = *static_cast<const xcb_visualid_t*>(xcb_get_property_value(reply));
    std::free(reply);
    for (auto s = xcb_setup_roots_iterator(xcb_get_setup(c)); visual != 0 && s.rem; xcb_screen_next(&s))
        for (auto d = xcb_screen_allowed_depths_iterator(s.data); d.rem; xcb_depth_next(&d))
            for (auto v = xcb_depth_visuals_iterator(d.data); v.rem; xcb_visualtype_next(&v))
                if (v.data->visual_id == visual)
                    return d.data->depth == 32;
    return false;
}

// Whether the window sits right under the root, not in a tray (yet).
bool atRoot(xcb_connection_t* c, xcb_window_t window) {
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
    if (tree == nullptr)
        return true;
    const bool root = tree->parent == tree->root;
    std::free(tree);
    return root;
}

// The icon's own window. On a tray without an alpha visual the window takes
// its parent's background (ParentRelative) and the picture is drawn over a
// copy of it, so the picture's see-through parts show the tray.
class IconWindow final : public QWidget {
public:
    IconWindow(TrayIconReports reports, bool translucent)
        : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::BypassWindowManagerHint),
          reports_(std::move(reports)),
          translucent_(translucent) {
        setAttribute(Qt::WA_AlwaysShowToolTips);
        setAttribute(Qt::WA_QuitOnClose, false);
        setAttribute(Qt::WA_TranslucentBackground, translucent);
        setMouseTracking(true);
        resize(kIconSize, kIconSize);
        // Some trays size an icon by its size hints alone.
        setMinimumSize(kIconSize, kIconSize);
    }

    void setPicture(const IconPictures& pictures) {
        pictures_ = pictures;
        drawn_ = QImage();
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = rect();
        if (translucent_) {
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(area, Qt::transparent);
            painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        } else {
            if (background_.isNull())
                background_ = trayBackground();
            if (background_.isNull())
                painter.fillRect(area, palette().window());
            else
                painter.drawPixmap(0, 0, background_);
        }
        // The picture drawn for the square the tray gives, in device pixels,
        // placed on whole device pixels so that nothing resamples it.
        const qreal ratio = devicePixelRatioF();
        const int deviceWidth = qRound(area.width() * ratio);
        const int deviceHeight = qRound(area.height() * ratio);
        const int side = std::min(deviceWidth, deviceHeight);
        if (drawn_.isNull() || std::max(drawn_.width(), drawn_.height()) != side)
            drawn_ = pictures_.ForSize(side);
        if (drawn_.isNull())
            return;
        QImage picture = drawn_;
        picture.setDevicePixelRatio(ratio);
        const QPointF at((deviceWidth - drawn_.width()) / 2 / ratio, (deviceHeight - drawn_.height()) / 2 / ratio);
        painter.drawImage(at, picture);
    }

    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton)
            reports_.mouse(WM_LBUTTONDOWN);
        else if (event->button() == Qt::RightButton)
            reports_.mouse(WM_RBUTTONDOWN);
    }

    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (event->button() == Qt::LeftButton)
            reports_.mouse(WM_LBUTTONDBLCLK);
    }

    // Taken in, moved or resized by the tray: the background under it changed.
    void moveEvent(QMoveEvent* event) override {
        background_ = QPixmap();
        update();
        QWidget::moveEvent(event);
    }
    void resizeEvent(QResizeEvent* event) override {
        background_ = QPixmap();
        // The tray decides the size: the hints follow it, so that nothing
        // (the toolkit or a tray reading the hints) pulls the icon back to
        // the size it started with. Lowering the minimum never resizes.
        setMinimumSize(std::min(minimumWidth(), width()), std::min(minimumHeight(), height()));
        QWidget::resizeEvent(event);
    }

private:
    // What the tray shows under the window: the window cleared to its
    // inherited background, read back. Null until the tray has taken the
    // window in.
    QPixmap trayBackground() {
        xcb_connection_t* c = xconnection();
        const auto window = static_cast<xcb_window_t>(winId());
        if (c == nullptr || screen() == nullptr || atRoot(c, window))
            return QPixmap();
        xcb_clear_area(c, 0, window, 0, 0, 0, 0);
        xcb_flush(c);
        return screen()->grabWindow(winId(), 0, 0, width(), height());
    }

    TrayIconReports reports_;
    const bool translucent_;
    IconPictures pictures_;
    QImage drawn_;
    QPixmap background_;
};

// Runs `taken` when the window is taken into another window than the root.
class TakenIn final : public QAbstractNativeEventFilter {
public:
    TakenIn(xcb_connection_t* c, xcb_window_t window, std::function<void()> taken)
        : c_(c), window_(window), taken_(std::move(taken)) {}
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t" || !taken_)
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) != XCB_REPARENT_NOTIFY)
            return false;
        const auto* reparent = reinterpret_cast<const xcb_reparent_notify_event_t*>(event);
        if (reparent->window == window_ && !atRoot(c_, window_))
            std::exchange(taken_, nullptr)();
        return false;
    }

private:
    xcb_connection_t* c_;
    xcb_window_t window_;
    std::function<void()> taken_;
};

class XEmbedIcon final : public TrayIconView {
public:
    XEmbedIcon(xcb_connection_t* c, xcb_window_t manager, TrayIconReports reports)
        : window_(std::make_unique<IconWindow>(std::move(reports), trayVisualHasAlpha(c, manager))) {
        const auto window = static_cast<xcb_window_t>(window_->winId());
        const xcb_atom_t xembedInfo = internAtom(c, "_XEMBED_INFO", false);
        const std::uint32_t info[] = {kXEmbedVersion, kXEmbedMapped};
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, xembedInfo, xembedInfo, 32, 2, info);
        if (!window_->testAttribute(Qt::WA_TranslucentBackground)) {
            const std::uint32_t parentRelative = XCB_BACK_PIXMAP_PARENT_RELATIVE;
            xcb_change_window_attributes(c, window, XCB_CW_BACK_PIXMAP, &parentRelative);
        }
        xcb_client_message_event_t dock{};
        dock.response_type = XCB_CLIENT_MESSAGE;
        dock.format = 32;
        dock.window = manager;
        dock.type = internAtom(c, "_NET_SYSTEM_TRAY_OPCODE", false);
        dock.data.data32[0] = XCB_CURRENT_TIME;
        dock.data.data32[1] = kSystemTrayRequestDock;
        dock.data.data32[2] = window;
        // WORKAROUND: the window is shown only once the tray has taken it in
        // (and mapped it, as _XEMBED_INFO asks). Shown any earlier, it is
        // mapped under the root, unmapped again by the taking in, and a tray
        // may count it as unmapped from then on: trayer then gives it one
        // pixel of width. Shown from the event that tells of the taking in,
        // before the toolkit hears of the mapping, so that it draws the icon.
        takenIn_ = std::make_unique<TakenIn>(c, window, [this] { window_->show(); });
        QCoreApplication::instance()->installNativeEventFilter(takenIn_.get());
        xcb_send_event(c, 0, manager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&dock));
        xcb_flush(c);
    }

    ~XEmbedIcon() override {
        QCoreApplication::instance()->removeNativeEventFilter(takenIn_.get());
        window_->hide();
    }

    void SetPicture(const IconPictures& pictures) override { window_->setPicture(pictures); }
    void SetToolTipText(const QString& tip) override { window_->setToolTip(tip); }
    void SetMenu(const std::vector<TrayMenuEntry>&) override {}

private:
    std::unique_ptr<IconWindow> window_;
    std::unique_ptr<TakenIn> takenIn_;
};

// Tells of destroyed windows, from the X events the toolkit reads.
class DestroyedWindows final : public QAbstractNativeEventFilter {
public:
    std::function<void(xcb_window_t)> destroyed;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & ~0x80) == XCB_DESTROY_NOTIFY)
            destroyed(reinterpret_cast<const xcb_destroy_notify_event_t*>(event)->window);
        return false;
    }
};

}  // namespace

struct XEmbedTrays::State {
    std::function<void()> gone;
    xcb_window_t watched = XCB_WINDOW_NONE;
    std::uint64_t generation = 0;
    DestroyedWindows filter;
    QObject context;
};

XEmbedTrays::XEmbedTrays(std::function<void()> gone) : d_(std::make_unique<State>()) {
    d_->gone = std::move(gone);
    d_->filter.destroyed = [this](xcb_window_t window) {
        if (window == XCB_WINDOW_NONE || window != d_->watched)
            return;
        d_->watched = XCB_WINDOW_NONE;
        ++d_->generation;
        QTimer::singleShot(0, &d_->context, [this] {
            if (d_->gone)
                d_->gone();
        });
    };
    if (xconnection() != nullptr)
        QCoreApplication::instance()->installNativeEventFilter(&d_->filter);
}

XEmbedTrays::~XEmbedTrays() {
    if (QCoreApplication::instance() != nullptr)
        QCoreApplication::instance()->removeNativeEventFilter(&d_->filter);
}

std::uint32_t XEmbedTrays::Manager() {
    xcb_connection_t* c = xconnection();
    if (c == nullptr)
        return 0;
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screenOfDisplay(qgetenv("DISPLAY")));
    const xcb_atom_t selection = internAtom(c, name, true);
    if (selection == XCB_ATOM_NONE)
        return 0;  // never made: nobody has ever owned it
    xcb_get_selection_owner_reply_t* reply =
        xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, selection), nullptr);
    if (reply == nullptr)
        return 0;
    const xcb_window_t owner = reply->owner;
    std::free(reply);
    if (owner == XCB_WINDOW_NONE || owner == d_->watched)
        return owner;
    // Told when it goes; a window that is gone already is no tray.
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (xcb_generic_error_t* error =
            xcb_request_check(c, xcb_change_window_attributes_checked(c, owner, XCB_CW_EVENT_MASK, &mask))) {
        std::free(error);
        return 0;
    }
    d_->watched = owner;
    return owner;
}

std::uint64_t XEmbedTrays::Generation() const {
    return d_->generation;
}

std::unique_ptr<TrayIconView> XEmbedTrays::MakeIcon(std::uint32_t manager, TrayIconReports reports) {
    xcb_connection_t* c = xconnection();
    if (c == nullptr || manager == 0)
        return nullptr;
    return std::make_unique<XEmbedIcon>(c, manager, std::move(reports));
}

}  // namespace platform
