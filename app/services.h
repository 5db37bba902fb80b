// The operating-system services the program works with, made once by the
// program's entry and handed to both forms. Nothing below the entry looks a
// service up by itself, so every one of them can be replaced in a test.
#pragma once

class MessageBoxService;
namespace platform {
class Clock;
class Hive;
class Log;
class Notifier;
class SecretStore;
class ShellService;
class SocketApi;
class SystemState;
class TrayService;
}  // namespace platform

// References only: none of the services is owned here, and each must outlive
// every form (and every copy of this record) it was handed to.
struct Services {
    // The socket layer the POP3 client's session works on.
    platform::SocketApi& sockets;
    // The notification area the tray icon lives in.
    platform::TrayService& tray;
    // The desktop's "open": the mail program and the project's page.
    platform::ShellService& shell;
    // Where the settings are kept.
    platform::Hive& hive;
    // Boxes the main window shows itself (not the application's error box).
    MessageBoxService& messageBox;
    // Time for the session's deadlines.
    const platform::Clock& clock;
    // Desktop notifications: why a check failed.
    platform::Notifier& notifier;
    // The desktop's keyring, where the password is kept when one runs.
    platform::SecretStore& secrets;
    // Whether the system is online, and when it wakes from sleep.
    platform::SystemState& system;
    // Where the program's log lines go (standard error, timestamped).
    platform::Log& log;
};
