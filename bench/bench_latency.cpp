// Check latency in one process: the engine's Connect/Disconnect in a loop,
// and the floor, a minimal blocking POSIX client speaking the same dialogue.
//
//   bench_latency --host ADDR [--port N] --user USER --password PASS
//                 [--iterations N] [--warmup N]
//
// Prints one line per client: its name and every sample in microseconds,
// separated by spaces. bench/run-latency.sh turns them into the table.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/application.h"
#include "framework/exception.h"
#include "net/kxpop3.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace {

struct Config {
    std::string host;
    int port = 110;
    std::string user;
    std::string password;
    int iterations = 200;
    int warmup = 20;
};

// The floor: connect, greeting, USER, PASS, STAT, QUIT, close, with blocking
// calls and nothing else. Returns the message count.
class MinimalClient {
public:
    explicit MinimalClient(const Config& config) : config_(config) {}

    int Check() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            throw std::runtime_error("socket");
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(config_.port));
        if (::inet_pton(AF_INET, config_.host.c_str(), &addr.sin_addr) != 1)
            throw std::runtime_error("address");
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            throw std::runtime_error("connect");
        pending_.clear();
        expectOk(readLine());
        expectOk(exchange("USER " + config_.user));
        expectOk(exchange("PASS " + config_.password));
        const std::string stat = exchange("STAT");
        expectOk(stat);
        expectOk(exchange("QUIT"));
        ::close(fd_);
        return std::atoi(stat.c_str() + 4);
    }

private:
    static void expectOk(const std::string& reply) {
        if (reply.rfind("+OK", 0) != 0)
            throw std::runtime_error("refused: " + reply);
    }

    std::string exchange(const std::string& command) {
        const std::string line = command + "\r\n";
        if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
            throw std::runtime_error("send");
        return readLine();
    }

    std::string readLine() {
        for (;;) {
            const auto lf = pending_.find('\n');
            if (lf != std::string::npos) {
                std::string line = pending_.substr(0, lf + 1);
                pending_.erase(0, lf + 1);
                return line;
            }
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                throw std::runtime_error("recv");
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    const Config& config_;
    int fd_ = -1;
    std::string pending_;
};

long TimeOne(const std::function<int()>& check) {
    const auto start = std::chrono::steady_clock::now();
    check();
    const auto end = std::chrono::steady_clock::now();
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(end - start).count());
}

void Print(const char* name, const std::vector<long>& samples) {
    std::printf("%s", name);
    for (long s : samples) std::printf(" %ld", s);
    std::printf("\n");
    std::fflush(stdout);
}

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
        else if (key == "--iterations")
            c.iterations = std::atoi(value.c_str());
        else if (key == "--warmup")
            c.warmup = std::atoi(value.c_str());
        else
            throw std::runtime_error("unknown argument " + key);
    }
    if (c.host.empty() || c.user.empty())
        throw std::runtime_error("--host and --user are required");
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    TApplication application;
    try {
        const Config config = Parse(argc, argv);

        MinimalClient floor(config);
        const platform::SteadyClock clock;
        TKxPOP3 engine(nullptr, platform::SystemSockets(), clock);
        engine.SetHost(config.host);
        engine.SetPort(config.port);
        engine.SetUserID(config.user);
        engine.SetPassword(config.password);
        engine.SetTimeOut(10000);

        const int expected = floor.Check();
        auto engineCheck = [&] {
            engine.Connect();
            const int count = engine.MessageCount();
            engine.Disconnect();
            if (count != expected)
                throw std::runtime_error("engine counted differently");
            return count;
        };
        auto floorCheck = [&] { return floor.Check(); };
        for (int i = 0; i < config.warmup; ++i) {
            floorCheck();
            engineCheck();
        }
        // Interleaved, so that drift in the server's state (caches, spare
        // processes) does not favour either.
        std::vector<long> floorSamples;
        std::vector<long> engineSamples;
        for (int i = 0; i < config.iterations; ++i) {
            floorSamples.push_back(TimeOne(floorCheck));
            engineSamples.push_back(TimeOne(engineCheck));
        }
        Print("floor", floorSamples);
        Print("engine", engineSamples);
    } catch (const Exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.Message().c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_latency: %s\n", e.what());
        return 1;
    }
    return 0;
}
