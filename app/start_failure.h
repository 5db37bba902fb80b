// A start that cannot go on says why on standard error and ends with a status
// of its own, also where Qt itself gives up (no display).
#pragma once

#include <string>

// The exit status of a start that failed.
constexpr int kStartFailedStatus = 1;

// "postwren: cannot start: <why>" on standard error. `why` is the engine's
// CP932 text; control bytes are escaped.
void ReportStartFailure(const std::string& cp932Why);

// Why no display can be opened, when it is plain from the environment and the
// command line alone (no platform named, neither DISPLAY nor WAYLAND_DISPLAY
// set); empty otherwise.
std::string MissingDisplay(int argc, char** argv);

// While one exists, a fatal message from Qt (a display it cannot open, no
// usable platform plugin) is reported as a failed start and ends the process
// with kStartFailedStatus instead of aborting it. Other messages go on to the
// handler before. One at a time.
class FatalMessagesEndTheStart {
public:
    FatalMessagesEndTheStart();
    ~FatalMessagesEndTheStart();
    FatalMessagesEndTheStart(const FatalMessagesEndTheStart&) = delete;
    FatalMessagesEndTheStart& operator=(const FatalMessagesEndTheStart&) = delete;
};
