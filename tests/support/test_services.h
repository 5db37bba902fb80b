// The services the program's forms take, made of fakes: a recording tray,
// shell, message box and notifier, a keyring that is not there (until a test
// says it is), the hive the test hands in, the system's sockets (a private
// instance, as the program owns its own), the steady clock, a system state
// that knows nothing of the network until told, and a log that keeps its lines.
// Point `sockets` or `clock` elsewhere before Make() to replace them.
#pragma once

#include <memory>

#include "app/services.h"
#include "core/clock.h"
#include "core/socket.h"
#include "tests/support/fake_secret_store.h"
#include "tests/support/fake_system_state.h"
#include "tests/support/fake_tray_service.h"
#include "tests/support/recording_log.h"
#include "tests/support/recording_message_box.h"
#include "tests/support/recording_notifier.h"
#include "tests/support/recording_shell.h"

class TestServices {
private:
    // Declared first: the defaults below point at them.
    std::unique_ptr<platform::SocketApi> systemSockets_ = platform::MakePosixSockets();
    platform::SteadyClock steadyClock_;
    platform::Hive& hive_;

public:
    explicit TestServices(platform::Hive& hive) : hive_(hive) {}
    TestServices(const TestServices&) = delete;
    TestServices& operator=(const TestServices&) = delete;

    FakeTrayService tray;
    RecordingShell shell;
    RecordingMessageBox messageBox;
    RecordingNotifier notifier;
    // No keyring runs until a test says so: the password stays in the hive.
    FakeSecretStore secrets;
    FakeSystemState system;
    RecordingLog log;
    platform::SocketApi* sockets = systemSockets_.get();
    const platform::Clock* clock = &steadyClock_;

    // The record to hand to the forms; it refers to the members above, so
    // this object must outlive every form made with it.
    Services Make() {
        return Services{*sockets, tray, shell, hive_, messageBox, *clock, notifier, secrets, system, log};
    }
};
