#include "core/message_window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimerEvent>
#include <map>
#include <mutex>

namespace platform {
namespace {

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

struct PostedMessage final : QEvent {
    PostedMessage(UINT m, WPARAM w, LPARAM l) : QEvent(kPostedMessageEvent), msg(m), wParam(w), lParam(l) {}
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};

// Handle table: handles are never reused within a process, so a stale handle
// simply finds nothing.
std::mutex registryMutex;
std::map<HWND, MessageWindowObject*>& registry() {
    static std::map<HWND, MessageWindowObject*> windows;
    return windows;
}
HWND nextHandle = 0x1000;

}  // namespace

class MessageWindowObject final : public QObject {
public:
    explicit MessageWindowObject(MessageWindow* owner) : owner_(owner) {}

    MessageWindow* owner() const { return owner_; }
    std::map<WPARAM, int> timers;  // window timer id -> Qt timer id

protected:
    bool event(QEvent* e) override {
        if (e->type() == kPostedMessageEvent) {
            auto* m = static_cast<PostedMessage*>(e);
            owner_->send(m->msg, m->wParam, m->lParam);
            return true;
        }
        return QObject::event(e);
    }
    void timerEvent(QTimerEvent* e) override {
        for (const auto& [id, qtId] : timers) {
            if (qtId == e->timerId()) {
                owner_->send(WM_TIMER, id, 0);
                return;
            }
        }
    }

private:
    MessageWindow* owner_;
};

MessageWindow::MessageWindow(WindowProc proc) : proc_(std::move(proc)), object_(new MessageWindowObject(this)) {
    std::lock_guard lock(registryMutex);
    handle_ = nextHandle++;
    registry()[handle_] = object_.get();
}

MessageWindow::~MessageWindow() {
    {
        std::lock_guard lock(registryMutex);
        registry().erase(handle_);
    }
    for (const auto& [id, qtId] : object_->timers) object_->killTimer(qtId);
    object_->timers.clear();
    // Deleting the QObject discards the events still queued for it.
}

void MessageWindow::setWindowProc(WindowProc proc) {
    proc_ = std::move(proc);
}

LRESULT MessageWindow::send(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!proc_)
        return 0;
    // Keep the procedure alive even if it replaces itself while running.
    WindowProc proc = proc_;
    return proc(msg, wParam, lParam);
}

bool MessageWindow::setTimer(WPARAM id, UINT ms) {
    killTimer(id);
    const int qtId = object_->startTimer(static_cast<int>(ms < 1 ? 1 : ms), Qt::CoarseTimer);
    if (qtId == 0)
        return false;
    object_->timers[id] = qtId;
    return true;
}

void MessageWindow::killTimer(WPARAM id) {
    auto it = object_->timers.find(id);
    if (it == object_->timers.end())
        return;
    object_->killTimer(it->second);
    object_->timers.erase(it);
}

bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::lock_guard lock(registryMutex);
    auto it = registry().find(window);
    if (it == registry().end())
        return false;
    QCoreApplication::postEvent(it->second, new PostedMessage(msg, wParam, lParam));
    return true;
}

MessageWindow* FindMessageWindow(HWND window) {
    std::lock_guard lock(registryMutex);
    auto it = registry().find(window);
    return it == registry().end() ? nullptr : it->second->owner();
}

LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    MessageWindow* w = FindMessageWindow(window);
    return w ? w->send(msg, wParam, lParam) : 0;
}

}  // namespace platform
