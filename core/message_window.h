// A hidden window that receives posted messages and window-timer ticks
// through Qt's event loop, in the order they were queued.
#pragma once

#include <functional>
#include <memory>

#include "core/messages.h"

namespace platform {

class MessageWindowObject;

// A message window with a window procedure and one user slot.
// GUI thread only, except post(): PostMessage() may be called from any thread.
// Messages still queued when the window is destroyed are dropped.
class MessageWindow final {
public:
    using WindowProc = std::function<LRESULT(UINT msg, WPARAM wParam, LPARAM lParam)>;

    explicit MessageWindow(WindowProc proc = {});
    ~MessageWindow();
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND handle() const { return handle_; }

    // Replaces the window procedure. Without one, every message gets DefWindowProc (0).
    void setWindowProc(WindowProc proc);

    // Per-window slot 0: the owner keeps a pointer to itself here.
    void* userSlot() const { return userSlot_; }
    void setUserSlot(void* p) { userSlot_ = p; }

    // Runs the window procedure now (SendMessage).
    LRESULT send(UINT msg, WPARAM wParam, LPARAM lParam);

    // Starts or restarts window timer `id`: WM_TIMER with wParam = id every `ms`
    // milliseconds until killTimer(). Returns false when the timer cannot be made.
    bool setTimer(WPARAM id, UINT ms);
    // Harmless when no such timer runs.
    void killTimer(WPARAM id);

private:
    friend class MessageWindowObject;
    HWND handle_ = 0;
    void* userSlot_ = nullptr;
    WindowProc proc_;
    std::unique_ptr<MessageWindowObject> object_;
};

// Queues a message for the window. Safe from any thread. Returns false when
// the window no longer exists (the message is then dropped).
bool PostMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Runs the window procedure now; 0 when the window does not exist. GUI thread only.
LRESULT SendMessage(HWND window, UINT msg, WPARAM wParam, LPARAM lParam);

// Finds the live window behind a handle, or nullptr. GUI thread only.
MessageWindow* FindMessageWindow(HWND window);

}  // namespace platform
