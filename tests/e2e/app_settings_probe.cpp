// Reads or writes Postwren's stored settings in the current user's hive, with
// the program's own store and password scrambling. The end-to-end tests read
// what the program stored; the demo writes a ready-made mailbox setting.
//
//   app_settings_probe read
//       prints POP3=, UserID=, Password= (unscrambled), Cycle= and Mailer=
//       lines in UTF-8; exit status 3 when no settings are stored
//   app_settings_probe write --host H --user U --password P --cycle N --mailer M
//
// Exit status 1 when the store fails, 2 for a usage error.
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "app/settings_store.h"
#include "framework/exception.h"
#include "framework/registry.h"
#include "framework/text.h"
#include "platform/hive_file.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoSettings = 3;

int usage() {
    std::fprintf(stderr,
                 "usage: app_settings_probe read\n"
                 "       app_settings_probe write --host H --user U --password P --cycle N --mailer M\n");
    return kExitUsage;
}

int readSettings() {
    platform::HiveFile hive;
    TRegistry registry(hive);
    PlainSettings s;
    LoadSettings(registry, s, DefaultScrambleKey);
    if (s.dialogShown > 0)
        return kExitNoSettings;
    std::printf("POP3=%s\nUserID=%s\nPassword=%s\nCycle=%d\nMailer=%s\n", Cp932ToUtf8(s.host).c_str(),
                Cp932ToUtf8(s.user).c_str(), Cp932ToUtf8(s.password).c_str(), static_cast<int>(s.cycle),
                Cp932ToUtf8(s.mailer).c_str());
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
    PlainSettings s;
    s.host = Utf8ToCp932(args["--host"]);
    s.user = Utf8ToCp932(args["--user"]);
    s.password = Utf8ToCp932(args["--password"]);
    s.mailer = Utf8ToCp932(args["--mailer"]);
    s.cycle = StrToIntDef(args["--cycle"], -1);
    if (s.cycle < 1)
        return usage();
    platform::HiveFile hive;
    TRegistry registry(hive);
    SaveSettings(registry, s, DefaultScrambleKey);
    // The store reports nothing when the key cannot be made; look.
    PlainSettings back;
    LoadSettings(registry, back, DefaultScrambleKey);
    if (back.dialogShown > 0) {
        std::fprintf(stderr, "app_settings_probe: cannot write %s\n", hive.path().c_str());
        return kExitFailed;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    try {
        if (std::strcmp(argv[1], "read") == 0 && argc == 2)
            return readSettings();
        if (std::strcmp(argv[1], "write") == 0)
            return writeSettings(argc, argv);
    } catch (const Exception& e) {
        std::fprintf(stderr, "app_settings_probe: %s\n", Cp932ToUtf8(e.Message()).c_str());
        return kExitFailed;
    }
    return usage();
}
