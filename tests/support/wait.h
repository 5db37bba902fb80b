// Waiting in tests: run the message loop until a condition holds, with a deadline.
#pragma once

#include <QElapsedTimer>
#include <functional>

#include "platform/event_wait.h"

namespace testing_support {

// Runs the message loop until done() holds; false when deadlineMs passes first.
inline bool WaitUntil(const std::function<bool()>& done, int deadlineMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > deadlineMs)
            return false;
        platform::WaitForMessages(5);
    }
    return true;
}

}  // namespace testing_support
