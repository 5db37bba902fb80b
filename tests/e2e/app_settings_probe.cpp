// Reads or writes Postwren's stored settings in the current user's hive, with
// the program's own store and password scrambling. The end-to-end tests read
// what the program stored; the demo writes a ready-made mailbox setting.
//
//   app_settings_probe read
//       prints POP3=, UserID=, Password= (unscrambled, or read from the
//       keyring where the program keeps it), Cycle= and Mailer= lines in
//       UTF-8, PasswordInKeyring=1 when the password lives in the keyring
//       (Password= is empty when the keyring cannot give it), and
//       AnnounceNewMail=1 when new mail is told with its sender; exit
//       status 3 when no settings are stored (or the store is damaged or
//       unreadable)
//   app_settings_probe write --host H --user U --password P --cycle N --mailer M
//   app_settings_probe forms PASSWORD
//       exit status 0 when the settings file holds PASSWORD in none of the
//       forms a password could take there (plain, scrambled, UTF-8, hex);
//       otherwise prints the form found, exit status 1
//
// Exit status 1 when the store fails, 2 for a usage error.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "core/exception.h"
#include "core/hive_file.h"
#include "core/registry.h"
#include "core/text.h"
#include "session/secret_service.h"
#include "settings/keyring_password.h"
#include "settings/settings_store.h"
#include "tests/support/password_forms.h"
#include "tests/support/recording_log.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoSettings = 3;

int usage() {
    std::fprintf(stderr,
                 "usage: app_settings_probe read\n"
                 "       app_settings_probe write --host H --user U --password P --cycle N --mailer M\n"
                 "       app_settings_probe forms PASSWORD\n");
    return kExitUsage;
}

int readSettings() {
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    TRegistry registry(hive);
    StoredSettings s;
    platform::SecretService secrets;
    // The probe's answer is its output; the keeper's notes are of no interest here.
    RecordingLog notes;
    PasswordKeeper passwords(secrets, notes);
    const SettingsLoad load = passwords.Load(registry, s, DefaultScrambleKey, PasswordKeeper::Move::Leave);
    if (!SettingsFound(load))
        return kExitNoSettings;
    try {
        s.password = passwords.PasswordForCheck(s.password);
    } catch (const EKeyringError&) {
        s.password.clear();
    }
    std::printf("POP3=%s\nUserID=%s\nPassword=%s\nCycle=%d\nMailer=%s\n", Cp932ToUtf8(s.host).c_str(),
                Cp932ToUtf8(s.user).c_str(), Cp932ToUtf8(s.password).c_str(), static_cast<int>(s.cycle),
                Cp932ToUtf8(s.mailer).c_str());
    if (s.passwordInKeyring)
        std::printf("PasswordInKeyring=1\n");
    if (s.announceNewMail)
        std::printf("AnnounceNewMail=1\n");
    return kExitOk;
}

int findForms(const char* utf8Password) {
    std::ifstream in(platform::HiveFile::DefaultPath(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (const auto form = testing_support::passwordFormIn(text, Utf8ToCp932(utf8Password))) {
        std::printf("%s\n", form->c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int writeSettings(int argc, char** argv) {
    std::map<std::string, std::string> args;
    for (int i = 2; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
    if ((argc - 2) % 2 != 0 || args.size() != 5)
        return usage();
    for (const char* name : {"--host", "--user", "--password", "--cycle", "--mailer"})
        if (args.count(name) == 0)
            return usage();
    StoredSettings s;
    s.host = Utf8ToCp932(args["--host"]);
    s.user = Utf8ToCp932(args["--user"]);
    s.password = Utf8ToCp932(args["--password"]);
    s.mailer = Utf8ToCp932(args["--mailer"]);
    s.cycle = StrToIntDef(args["--cycle"], -1);
    if (s.cycle < 1)
        return usage();
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    TRegistry registry(hive);
    // The store reports nothing when the key cannot be made; say why here.
    if (!SaveSettings(registry, s, DefaultScrambleKey)) {
        const int error = registry.LastStatus().systemError;
        std::fprintf(stderr, "app_settings_probe: cannot write %s%s%s\n", hive.path().c_str(), error != 0 ? ": " : "",
                     error != 0 ? std::strerror(error) : "");
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // The keyring is reached over the session bus, which needs the application object.
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return usage();
    try {
        if (std::strcmp(argv[1], "read") == 0 && argc == 2)
            return readSettings();
        if (std::strcmp(argv[1], "write") == 0)
            return writeSettings(argc, argv);
        if (std::strcmp(argv[1], "forms") == 0 && argc == 3)
            return findForms(argv[2]);
    } catch (const Exception& e) {
        std::fprintf(stderr, "app_settings_probe: %s\n", Cp932ToUtf8(e.Message()).c_str());
        return kExitFailed;
    }
    return usage();
}
