// Waiting in tests: run the message loop until a condition holds, with a
// deadline; run an action from the message loop; measure real time.
#pragma once

#include <QElapsedTimer>
#include <chrono>
#include <functional>

#include "core/event_wait.h"
#include "core/message_window.h"

namespace testing_support {

// Runs the message loop until done() holds; false when deadlineMs passes first.
inline bool WaitUntil(const std::function<bool()>& done, int deadlineMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > deadlineMs)
            return done();
        platform::WaitForMessages(5);
    }
    return true;
}

// Runs `action` from the message loop at its next turn (for instance inside
// a wait of the code under test), like a timer or menu command of the
// program. Nothing runs once the object is gone.
class Later {
public:
    explicit Later(std::function<void()> action)
        : window_([a = std::move(action)](platform::UINT, platform::WPARAM, platform::LPARAM) -> platform::LRESULT {
              a();
              return 0;
          }) {
        platform::PostMessage(window_.handle(), platform::WM_USER, 0, 0);
    }

private:
    platform::MessageWindow window_;
};

// Runs the message loop until everything queued before the call has been
// delivered. False when that takes longer than deadlineMs.
inline bool DeliverQueuedMessages(int deadlineMs = 10000) {
    bool reached = false;
    Later marker([&] { reached = true; });
    return WaitUntil([&] { return reached; }, deadlineMs);
}

// Real milliseconds since `start`.
inline long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace testing_support
