// Check latency in one process: the engine's Connect/Disconnect in a loop,
// and the floor, a minimal blocking POSIX client speaking the same dialogue.
//
//   bench_latency --host ADDR [--port N] --user USER --password PASS
//                 [--iterations N] [--warmup N] [--tls CAFILE]
//
// With --tls both speak POP3 over TLS from the first byte (port 995 unless
// given), verifying the server's certificate against CAFILE and its address:
// the floor is then a minimal blocking OpenSSL client, the engine runs on the
// TLS socket layer.
//
// Prints one line per client: its name and every sample in microseconds,
// separated by spaces. bench/run-latency.sh turns them into the table.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
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

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/tls_socket.h"
#include "net/kxpop3.h"

namespace {

struct Config {
    std::string host;
    int port = 110;
    std::string user;
    std::string password;
    int iterations = 200;
    int warmup = 20;
    std::string caFile;  // non-empty: TLS
};

// The floor: connect, greeting, USER, PASS, STAT, QUIT, close, with blocking
// calls and nothing else. Returns the message count.
class MinimalClient {
public:
    explicit MinimalClient(const Config& config) : config_(config) {}

    ~MinimalClient() {
        if (ctx_ != nullptr)
            SSL_CTX_free(ctx_);
    }

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
        if (!config_.caFile.empty())
            startTls();
        pending_.clear();
        expectOk(readLine());
        expectOk(exchange("USER " + config_.user));
        expectOk(exchange("PASS " + config_.password));
        const std::string stat = exchange("STAT");
        expectOk(stat);
        expectOk(exchange("QUIT"));
        if (ssl_ != nullptr) {
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        ::close(fd_);
        return std::atoi(stat.c_str() + 4);
    }

private:
    // The same checks the engine makes: the CA, the address, TLS 1.2 or newer.
    void startTls() {
        if (ctx_ == nullptr) {
            ctx_ = SSL_CTX_new(TLS_client_method());
            SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
            SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
            if (SSL_CTX_load_verify_locations(ctx_, config_.caFile.c_str(), nullptr) != 1)
                throw std::runtime_error("cannot load " + config_.caFile);
        }
        ssl_ = SSL_new(ctx_);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), config_.host.c_str());
        SSL_set_fd(ssl_, fd_);
        if (SSL_connect(ssl_) != 1)
            throw std::runtime_error("TLS handshake failed");
    }

    ssize_t sendBytes(const std::string& data) {
        if (ssl_ != nullptr)
            return SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    }

    ssize_t recvBytes(char* buf, std::size_t size) {
        if (ssl_ != nullptr)
            return SSL_read(ssl_, buf, static_cast<int>(size));
        return ::recv(fd_, buf, size, 0);
    }

    static void expectOk(const std::string& reply) {
        if (reply.rfind("+OK", 0) != 0)
            throw std::runtime_error("refused: " + reply);
    }

    std::string exchange(const std::string& command) {
        const std::string line = command + "\r\n";
        if (sendBytes(line) != static_cast<ssize_t>(line.size()))
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
            const ssize_t n = recvBytes(buf, sizeof buf);
            if (n <= 0)
                throw std::runtime_error("recv");
            pending_.append(buf, static_cast<size_t>(n));
        }
    }

    const Config& config_;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
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
    int port = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--host")
            c.host = value;
        else if (key == "--port")
            port = std::atoi(value.c_str());
        else if (key == "--user")
            c.user = value;
        else if (key == "--password")
            c.password = value;
        else if (key == "--iterations")
            c.iterations = std::atoi(value.c_str());
        else if (key == "--warmup")
            c.warmup = std::atoi(value.c_str());
        else if (key == "--tls")
            c.caFile = value;
        else
            throw std::runtime_error("unknown argument " + key);
    }
    c.port = port != 0 ? port : (c.caFile.empty() ? 110 : 995);
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
        if (!config.caFile.empty())
            setenv("SSL_CERT_FILE", config.caFile.c_str(), 1);
        platform::TlsSockets sockets(platform::SystemSockets());
        TKxPOP3 engine(nullptr, sockets, clock);
        if (config.caFile.empty()) {
            engine.SetHost(config.host);
            engine.SetPort(config.port);
        } else {
            engine.SetHost("pop3s://" + config.host + ":" + std::to_string(config.port));
        }
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
