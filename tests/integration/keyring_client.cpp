// A keyring client for the keyring tests, a process of its own so that it can
// run on a bus of its own or be killed in the middle of its work.
//
//   keyring_client lookup [--bound-ms N]
//       looks up the item of application "postwren" and prints one line:
//       the status (Ok, NoService, Locked, NotFound, Failed), the
//       milliseconds the call took, and how many ticks of a 10 ms timer ran
//       while it waited
//   keyring_client migrate FILE
//       prints "ready" once it is connected to the bus, waits for a line on
//       standard input, then loads the settings FILE as the program does at
//       start (moving a stored password into the keyring) and prints "done"
#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "core/hive_file.h"
#include "core/log.h"
#include "core/registry.h"
#include "session/secret_service.h"
#include "settings/keyring_password.h"
#include "settings/settings_store.h"

namespace {

constexpr int kTickMs = 10;

const char* statusName(platform::SecretStatus s) {
    switch (s) {
        case platform::SecretStatus::Ok:
            return "Ok";
        case platform::SecretStatus::NoService:
            return "NoService";
        case platform::SecretStatus::Locked:
            return "Locked";
        case platform::SecretStatus::NotFound:
            return "NotFound";
        case platform::SecretStatus::Failed:
            break;
    }
    return "Failed";
}

int lookup(std::chrono::milliseconds bound) {
    platform::SecretService secrets(bound);
    int ticks = 0;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&ticks] { ++ticks; });
    tick.start(kTickMs);
    QElapsedTimer took;
    took.start();
    std::string secret;
    const platform::SecretStatus s = secrets.Lookup({{kKeyringAttributeApplication, kKeyringApplication}}, secret);
    std::printf("%s %lld %d\n", statusName(s), static_cast<long long>(took.elapsed()), ticks);
    return 0;
}

int migrate(const char* file) {
    if (!QDBusConnection::sessionBus().isConnected()) {
        std::fprintf(stderr, "keyring_client: no session bus\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    std::string go;
    std::getline(std::cin, go);
    platform::SecretService secrets;
    platform::PlainLog log("keyring_client: ");
    PasswordKeeper passwords(secrets, log);
    platform::HiveFile hive(file);
    TRegistry registry(hive);
    StoredSettings settings;
    passwords.Load(registry, settings, DefaultScrambleKey);
    std::printf("done\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "lookup" && argc == 2)
        return lookup(platform::SecretService::kExchangeBound);
    if (command == "lookup" && argc == 4 && std::string(argv[2]) == "--bound-ms")
        return lookup(std::chrono::milliseconds(std::atoi(argv[3])));
    if (command == "migrate" && argc == 3)
        return migrate(argv[2]);
    std::fprintf(stderr, "usage: keyring_client lookup [--bound-ms N] | migrate FILE\n");
    return 2;
}
