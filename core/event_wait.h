// Blocking wait on the GUI thread's event queue.
#pragma once

namespace platform {

// Processes pending events; when there are none, blocks until one arrives or
// `maxMs` milliseconds have passed, whichever comes first. GUI thread only.
void WaitForMessages(int maxMs);

}  // namespace platform
