#include "core/event_wait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

namespace platform {

void WaitForMessages(int maxMs) {
    // The single-shot timer only bounds the wait: anything queued (a socket
    // notification, a posted message, a timer tick) wakes the loop first.
    QTimer bound;
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    bound.start(maxMs);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

}  // namespace platform
