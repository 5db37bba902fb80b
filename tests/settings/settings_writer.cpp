// A writer of the stored settings for the crash and race tests, a process of
// its own so that it can be killed in the middle of a save.
//
//   settings_writer loop FILE FIRST
//       saves generation FIRST, FIRST+1, ... for ever, printing each
//       generation's number on a line of its own once it is saved
//   settings_writer race FILE NAME COUNT
//       waits for standard input to close, then COUNT times saves the
//       settings of NAME and counts in a key of its own, Software\Race\NAME
//
// The settings of generation G (or of NAME) are "host-G", "user-G",
// "pass-G" with bytes that scramble past 0xFF, cycle G mod 100 + 1 and
// "/mailer-G": a reader can tell a complete set from a mixed one.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/hive_file.h"
#include "core/registry.h"
#include "settings/settings_store.h"

namespace {

StoredSettings generation(const std::string& g, int cycle) {
    StoredSettings s;
    s.host = "host-" + g;
    s.user = "user-" + g;
    s.password = "pass-" + g + "\xFA\xFE";
    s.cycle = cycle;
    s.mailer = "/mailer-" + g;
    return s;
}

int loop(platform::HiveFile& hive, long first) {
    TRegistry registry(hive);
    for (long g = first;; ++g) {
        if (!SaveSettings(registry, generation(std::to_string(g), static_cast<int>(g % 100 + 1)), DefaultScrambleKey))
            return 1;
        std::printf("%ld\n", g);
        std::fflush(stdout);
    }
}

int race(platform::HiveFile& hive, const std::string& name, int count) {
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    TRegistry registry(hive);
    for (int n = 1; n <= count; ++n) {
        if (!SaveSettings(registry, generation(name, 7), DefaultScrambleKey))
            return 1;
        TRegistryValues mark;
        mark.WriteInteger("n", n);
        if (!registry.WriteValues("\\Software\\Race\\" + name, mark))
            return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 4 && std::string(argv[1]) == "loop") {
            platform::HiveFile hive(argv[2]);
            return loop(hive, std::atol(argv[3]));
        }
        if (argc == 5 && std::string(argv[1]) == "race") {
            platform::HiveFile hive(argv[2]);
            return race(hive, argv[3], std::atoi(argv[4]));
        }
    } catch (const Exception& e) {
        std::fprintf(stderr, "settings_writer: %s\n", e.Message().c_str());
        return 1;
    }
    std::fprintf(stderr, "usage: settings_writer loop FILE FIRST | race FILE NAME COUNT\n");
    return 2;
}
