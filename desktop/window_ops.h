// Window operations the forms need from the window system: keeping a window
// on top, moving it by dragging its face, the mouse button state, and the
// title shown on the taskbar. GUI thread only.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <functional>
#include <vector>

class QWidget;

namespace platform {

// Keeps a top-level window above ordinary windows and raises it, without
// moving or resizing it. Works on hidden and visible windows; a no-op for null.
void SetTopmost(QWidget* window);

// Whether SetTopmost can keep windows above others here: false on Wayland,
// where a client cannot ask for that.
bool KeepAboveHonoured();

// Starts moving `window` with the left button held, the pointer now at the
// screen point `globalPress`: on Wayland the compositor's own move; elsewhere
// the window follows the mouse until the button is released or the program
// loses the focus.
// Returns false (and does nothing) for a null window.
bool StartWindowDrag(QWidget* window, const QPoint& globalPress);

// True while the left mouse button is down, as far as the toolkit knows.
bool IsLeftButtonDown();

// The program's entry on the taskbar. Here every visible top-level window has
// an entry of its own that shows its window title, so the entry is made of
// the attached windows: each carries Title() as its window title, and the
// entry is visible while any of them is. Does not own the windows; a
// destroyed window is forgotten.
class TaskbarEntry final : public QObject {
public:
    explicit TaskbarEntry(QObject* parent = nullptr);
    ~TaskbarEntry() override;

    void Attach(QWidget* window);
    const QString& Title() const { return title_; }
    void SetTitle(const QString& title);
    bool Visible() const;

    // Fired when the first attached window shows or the last one hides.
    std::function<void(bool visible)> OnVisibleChanged;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void recount();

    std::vector<QPointer<QWidget>> windows_;
    QString title_;
    bool visible_ = false;
};

}  // namespace platform
