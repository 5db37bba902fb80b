#include "desktop/window_ops.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QWidget>
#include <QWindow>
#include <algorithm>

namespace platform {

void SetTopmost(QWidget* window) {
    if (window == nullptr)
        return;
    window = window->window();
    if (!window->windowFlags().testFlag(Qt::WindowStaysOnTopHint)) {
        QWindow* handle = window->windowHandle();
        if (handle != nullptr && window->isVisible()) {
            // Told to the live window directly: setting the widget's flags would
            // hide and re-create it. The widget is then told what it now has.
            handle->setFlags(handle->flags() | Qt::WindowStaysOnTopHint);
            window->overrideWindowFlags(window->windowFlags() | Qt::WindowStaysOnTopHint);
        } else {
            const QPoint pos = window->pos();
            window->setWindowFlag(Qt::WindowStaysOnTopHint, true);
            window->move(pos);
        }
    }
    if (window->isVisible())
        window->raise();
}

bool KeepAboveHonoured() {
    return !QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

namespace {

// Moves a window along with the mouse until the left button comes up or the
// program loses the focus (another window, a grab, a screen lock), so the
// window is never left attached to the pointer.
class MouseDragFollower final : public QObject {
public:
    MouseDragFollower(QWidget* window, const QPoint& globalPress)
        : QObject(window), window_(window), press_(globalPress), origin_(window->pos()) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseMove: {
                auto* m = static_cast<QMouseEvent*>(event);
                if (!(m->buttons() & Qt::LeftButton)) {
                    finish();
                    return false;
                }
                const QPoint now = m->globalPosition().toPoint();
                window_->move(origin_ + (now - press_));
                return true;
            }
            case QEvent::MouseButtonRelease:
                if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
                    finish();
                return false;
            case QEvent::WindowDeactivate:
            case QEvent::ApplicationDeactivate:
            case QEvent::FocusOut:
                finish();
                return false;
            default:
                return false;
        }
    }

private:
    void finish() {
        qApp->removeEventFilter(this);
        deleteLater();
    }

    QWidget* window_;
    QPoint press_;
    QPoint origin_;
};

}  // namespace

bool StartWindowDrag(QWidget* window, const QPoint& globalPress) {
    if (window == nullptr)
        return false;
    window = window->window();
    // Where only the compositor may place windows, the move is its own.
    if (QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) {
        QWindow* handle = window->windowHandle();
        if (handle != nullptr && handle->startSystemMove())
            return true;
    }
    // Elsewhere the window follows the mouse itself, so the move ends exactly
    // on the release or a loss of focus that this program sees. (A window
    // manager's move that starts after the button came up waits for the next
    // click and keeps the window attached to the pointer until then.)
    new MouseDragFollower(window, globalPress);
    return true;
}

bool IsLeftButtonDown() {
    return QGuiApplication::mouseButtons().testFlag(Qt::LeftButton);
}

// ---- TaskbarEntry ----

TaskbarEntry::TaskbarEntry(QObject* parent) : QObject(parent) {}
TaskbarEntry::~TaskbarEntry() = default;

void TaskbarEntry::Attach(QWidget* window) {
    if (window == nullptr)
        return;
    window = window->window();
    for (const QPointer<QWidget>& w : windows_)
        if (w == window)
            return;
    windows_.emplace_back(window);
    window->installEventFilter(this);
    window->setWindowTitle(title_);
    recount();
}

void TaskbarEntry::SetTitle(const QString& title) {
    title_ = title;
    for (const QPointer<QWidget>& w : windows_)
        if (w != nullptr)
            w->setWindowTitle(title_);
}

bool TaskbarEntry::Visible() const {
    return std::any_of(windows_.begin(), windows_.end(),
                       [](const QPointer<QWidget>& w) { return w != nullptr && w->isVisible(); });
}

bool TaskbarEntry::eventFilter(QObject*, QEvent* event) {
    switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
            recount();
            break;
        default:
            break;
    }
    return false;
}

void TaskbarEntry::recount() {
    std::erase_if(windows_, [](const QPointer<QWidget>& w) { return w == nullptr; });
    const bool now = Visible();
    if (now == visible_)
        return;
    visible_ = now;
    if (OnVisibleChanged)
        OnVisibleChanged(now);
}

}  // namespace platform
