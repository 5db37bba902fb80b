// CPU time per TLS check of the resident engine, with and without TLS
// session resumption, side by side in one run: two engines, each on a TLS
// layer of its own, take turns against the same server.
//
//   bench_resumption --host ADDR [--port N] --user USER --password PASS --ca CAFILE
//                    [--checks N] [--warmup N]
//
// POP3S (port 995 unless given), verified against CAFILE. Prints one line per
// engine: its name and the CPU time of every check in microseconds; then the
// means and how much less the resumed checks took.
#include <time.h>

#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/tls_socket.h"
#include "net/kxpop3.h"

namespace {

struct Config {
    std::string host;
    int port = 995;
    std::string user;
    std::string password;
    std::string caFile;
    int checks = 200;
    int warmup = 10;
};

Config Parse(int argc, char** argv) {
    Config c;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--host")
            c.host = value;
        else if (key == "--port")
            c.port = std::atoi(value.c_str());
        else if (key == "--user")
            c.user = value;
        else if (key == "--password")
            c.password = value;
        else if (key == "--ca")
            c.caFile = value;
        else if (key == "--checks")
            c.checks = std::atoi(value.c_str());
        else if (key == "--warmup")
            c.warmup = std::atoi(value.c_str());
        else
            throw std::runtime_error("unknown argument " + key);
    }
    if (c.host.empty() || c.user.empty() || c.caFile.empty())
        throw std::runtime_error("--host, --user and --ca are required");
    return c;
}

// The process's CPU time (user and system, every thread) in microseconds.
long CpuMicros() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000000L + t.tv_nsec / 1000;
}

double Mean(const std::vector<long>& v) {
    return v.empty() ? 0.0 : static_cast<double>(std::accumulate(v.begin(), v.end(), 0L)) / v.size();
}

long Median(std::vector<long> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void Print(const char* name, const std::vector<long>& samples) {
    std::printf("%s", name);
    for (long s : samples) std::printf(" %ld", s);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    TApplication application;
    try {
        const Config config = Parse(argc, argv);
        setenv("SSL_CERT_FILE", config.caFile.c_str(), 1);
        const platform::SteadyClock clock;
        platform::TlsSockets fullLayer(platform::SystemSockets());
        platform::TlsSockets resumingLayer(platform::SystemSockets());
        resumingLayer.SetResumption(true);
        TKxPOP3 full(nullptr, fullLayer, clock);
        TKxPOP3 resuming(nullptr, resumingLayer, clock);
        for (TKxPOP3* engine : {&full, &resuming}) {
            const bool ipv6 = config.host.find(':') != std::string::npos;
            engine->SetHost("pop3s://" + (ipv6 ? "[" + config.host + "]" : config.host) + ":" +
                            std::to_string(config.port));
            engine->SetUserID(config.user);
            engine->SetPassword(config.password);
            engine->SetTimeOut(10000);
        }
        auto check = [](TKxPOP3& engine) {
            const long start = CpuMicros();
            engine.Connect();
            engine.Disconnect();
            return CpuMicros() - start;
        };
        for (int i = 0; i < config.warmup; ++i) {
            check(full);
            check(resuming);
        }
        const int resumedBefore = resumingLayer.ResumedHandshakes();
        std::vector<long> fullSamples;
        std::vector<long> resumedSamples;
        // Taking turns, so that drift in the machine's load favours neither.
        for (int i = 0; i < config.checks; ++i) {
            fullSamples.push_back(check(full));
            resumedSamples.push_back(check(resuming));
        }
        Print("full", fullSamples);
        Print("resumed", resumedSamples);
        const double fullMean = Mean(fullSamples);
        const double resumedMean = Mean(resumedSamples);
        std::printf("checks %d each; resumed handshakes %d of %d, full %d\n", config.checks,
                    resumingLayer.ResumedHandshakes() - resumedBefore, config.checks, fullLayer.ResumedHandshakes());
        std::printf("CPU per check, mean (median): full %.0f us (%ld), resumed %.0f us (%ld): %.0f%% less\n", fullMean,
                    Median(fullSamples), resumedMean, Median(resumedSamples),
                    fullMean > 0 ? 100.0 * (fullMean - resumedMean) / fullMean : 0.0);
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_resumption: %s\n", e.Message().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_resumption: %s\n", e.what());
        return 1;
    }
    return 0;
}
