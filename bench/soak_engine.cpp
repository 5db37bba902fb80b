// Many checks in one process, as the resident program makes them over days:
// one engine object, half of its checks failing, and a look at the process's
// resident memory and open descriptors every so many checks. Leaks show as
// growth after the first block. Run through bench/soak.sh, never by ctest.
//
//   soak_engine --host ADDR --user USER --password PASS --expect N
//               --refusal-host ADDR --refused-port N --silent-port N
//               [--checks N] [--report-every N] [--silent-timeout-ms N]
//
// Checks go round in six: three good log-ons on --host (counting --expect
// messages), then a wrong password on --refusal-host, a connection refused
// on 127.0.0.1:--refused-port, and a time-out on 127.0.0.1:--silent-port,
// where a peer accepts and never says a word. A good check must count right
// and a bad one must fail; anything else is counted as unexpected, and the
// exit status is 1 when there was any.
#include <dirent.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/text.h"
#include "net/kxpop3.h"

namespace {

constexpr const char* kLoopback = "127.0.0.1";
constexpr int kPop3Port = 110;
// Good log-ons and refusals may be slow on a loaded machine; only the silent
// peer is meant to run out of time.
constexpr int kServerTimeoutMs = 10000;
constexpr int kChecksPerRound = 6;

struct Config {
    std::string host;
    std::string user;
    std::string password;
    int expect = 0;
    std::string refusalHost;
    int refusedPort = 0;
    int silentPort = 0;
    int checks = 10000;
    int reportEvery = 1000;
    int silentTimeoutMs = 100;
};

enum class Kind { Good, WrongPassword, Refused, Silent };

Kind KindOf(int check) {
    switch (check % kChecksPerRound) {
        case 3:
            return Kind::WrongPassword;
        case 4:
            return Kind::Refused;
        case 5:
            return Kind::Silent;
        default:
            return Kind::Good;
    }
}

long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(name) + ":";
    while (std::getline(status, line)) {
        if (line.rfind(prefix, 0) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

// Open descriptors, not counting the one that lists them.
int OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.')
            ++n;
    }
    ::closedir(dir);
    return n - 1;
}

int IntArg(const std::string& value) {
    std::size_t used = 0;
    const int n = std::stoi(value, &used);
    if (used != value.size())
        throw std::runtime_error("not a number: " + value);
    return n;
}

Config Parse(int argc, char** argv) {
    Config c;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--host")
            c.host = value;
        else if (key == "--user")
            c.user = value;
        else if (key == "--password")
            c.password = value;
        else if (key == "--expect")
            c.expect = IntArg(value);
        else if (key == "--refusal-host")
            c.refusalHost = value;
        else if (key == "--refused-port")
            c.refusedPort = IntArg(value);
        else if (key == "--silent-port")
            c.silentPort = IntArg(value);
        else if (key == "--checks")
            c.checks = IntArg(value);
        else if (key == "--report-every")
            c.reportEvery = IntArg(value);
        else if (key == "--silent-timeout-ms")
            c.silentTimeoutMs = IntArg(value);
        else
            throw std::runtime_error("unknown argument " + key);
    }
    if (c.host.empty() || c.user.empty() || c.refusalHost.empty() || c.refusedPort <= 0 || c.silentPort <= 0 ||
        c.reportEvery <= 0)
        throw std::runtime_error("--host, --user, --refusal-host, --refused-port and --silent-port are required");
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    TApplication application;
    try {
        const Config config = Parse(argc, argv);
        const platform::SteadyClock clock;
        // One engine for every check, as the program keeps one.
        TKxPOP3 engine(nullptr, platform::SystemSockets(), clock);
        engine.SetUserID(config.user);

        long good = 0, failed = 0, unexpected = 0;
        const auto start = std::chrono::steady_clock::now();
        std::printf("%8s %8s %8s %10s %10s %10s %6s %9s\n", "checks", "good", "failed", "unexpected", "VmRSS KiB",
                    "VmHWM KiB", "fds", "seconds");
        auto report = [&](int done) {
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::printf("%8d %8ld %8ld %10ld %10ld %10ld %6d %9.1f\n", done, good, failed, unexpected,
                        StatusField("VmRSS"), StatusField("VmHWM"), OpenDescriptors(), seconds);
            std::fflush(stdout);
        };
        report(0);

        for (int i = 0; i < config.checks; ++i) {
            const Kind kind = KindOf(i);
            engine.SetPassword(kind == Kind::WrongPassword ? config.password + "-wrong" : config.password);
            engine.SetHost(kind == Kind::Good            ? config.host
                           : kind == Kind::WrongPassword ? config.refusalHost
                                                         : kLoopback);
            engine.SetPort(kind == Kind::Refused  ? config.refusedPort
                           : kind == Kind::Silent ? config.silentPort
                                                  : kPop3Port);
            engine.SetTimeOut(kind == Kind::Silent ? config.silentTimeoutMs : kServerTimeoutMs);
            // What the program does with a check: count, QUIT; any failure ends it.
            try {
                engine.Connect();
                const int count = engine.MessageCount();
                engine.Disconnect();
                if (kind == Kind::Good && count == config.expect) {
                    ++good;
                } else {
                    ++unexpected;
                    std::fprintf(stderr, "soak_engine: check %d counted %d\n", i + 1, count);
                }
            } catch (const Exception& e) {
                if (kind != Kind::Good) {
                    ++failed;
                } else {
                    ++unexpected;
                    std::fprintf(stderr, "soak_engine: check %d failed: %s\n", i + 1,
                                 EscapeControls(e.Message()).c_str());
                }
            }
            if ((i + 1) % config.reportEvery == 0)
                report(i + 1);
        }
        return unexpected == 0 ? 0 : 1;
    } catch (const Exception& e) {
        std::fprintf(stderr, "soak_engine: %s\n", e.Message().c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "soak_engine: %s\n", e.what());
        return 2;
    }
}
