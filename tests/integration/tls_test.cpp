// POP3 over TLS with real parts: a Dovecot that requires TLS (POP3S on 995,
// STLS on 110) with certificates the test run made, a plain Dovecot, and
// scripted hostile TLS peers in this process. The engine runs in process and
// as postwren-check; a recording proxy shows what crosses the wire.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/tls_socket.h"
#include "net/check_failure.h"
#include "net/kxpop3.h"
#include "net/sasl.h"

namespace {

const std::string kCertDir = POSTWREN_TLS_CERTS;
const std::string kTlsHost = POSTWREN_DOVECOT_TLS;          // good certificate, 995 and STLS on 110
const std::string kExpiredHost = POSTWREN_DOVECOT_EXPIRED;  // expired certificate
const std::string kOtherHost = POSTWREN_DOVECOT_OTHERHOST;  // certificate for mail.example.net
const std::string kSelfSignedHost = POSTWREN_DOVECOT_SELFSIGNED;
const std::string kPlainHost = POSTWREN_DOVECOT_PLAIN;      // no TLS at all
const std::string kNoPlainHost = POSTWREN_DOVECOT_NOPLAIN;  // offers STLS, refuses log-ons in clear
const std::string kTlsLog = POSTWREN_DOVECOT_TLS_LOG;

constexpr int kProcessLimitMs = 30000;
constexpr int kPeerLimitMs = 20000;
constexpr int kEngineTimeOutMs = 10000;
const platform::SteadyClock kClock;

// Every TLS context in this process trusts the test CA only.
const bool kTrustTestCa = [] {
    setenv("SSL_CERT_FILE", (kCertDir + "/ca.crt").c_str(), 1);
    return true;
}();

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Polls cond until it holds or the deadline passes.
bool Eventually(const std::function<bool()>& cond, int limitMs = kPeerLimitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    qint64 elapsedMs = 0;
};

Outcome RunCheck(QStringList args, const std::string& password = "wonderland") {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SSL_CERT_FILE", QString::fromStdString(kCertDir + "/ca.crt"));
    process.setProcessEnvironment(env);
    args << "--password-stdin";
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral(POSTWREN_CHECK_BIN), args);
    if (!process.waitForStarted(kProcessLimitMs))
        return {};
    process.write(QByteArray::fromStdString(password + "\n"));
    process.closeWriteChannel();
    if (!process.waitForFinished(kProcessLimitMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString(),
            timer.elapsed()};
}

Outcome Check(const std::string& host, const char* user = "alice", QStringList extra = {},
              const std::string& password = "wonderland") {
    return RunCheck(QStringList{"--host", QString::fromStdString(host), "--user", user, "--timeout", "10"} + extra,
                    password);
}

// postwren-check with the most memory it ever held resident (from wait4), for
// the peers that try to make it grow. Its output must fit a pipe's buffer.
struct MeasuredOutcome {
    int exitCode = -1;
    std::string err;
    long maxResidentKib = 0;
};

MeasuredOutcome RunCheckMeasured(const std::vector<std::string>& args, const std::string& password) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> argv{POSTWREN_CHECK_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back("--password-stdin");
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    const std::string caVariable = "SSL_CERT_FILE=" + kCertDir + "/ca.crt";
    std::vector<char*> env{const_cast<char*>(caVariable.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, cargv[0], &actions, nullptr, cargv.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(err[1]);
    MeasuredOutcome o;
    if (spawned == 0) {
        const std::string line = password + "\n";
        ::write(in[1], line.data(), line.size());
    }
    ::close(in[1]);
    if (spawned == 0) {
        int status = 0;
        rusage usage{};
        if (::wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) {
            o.exitCode = WEXITSTATUS(status);
            o.maxResidentKib = usage.ru_maxrss;
        }
        char buf[4096];
        ssize_t n;
        while ((n = ::read(err[0], buf, sizeof buf)) > 0) o.err.append(buf, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    return o;
}

// A listening socket on 127.0.0.1 at a free port.
int Listen(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot listen");
    port = ntohs(a.sin_port);
    return fd;
}

// Waits up to limitMs for fd to become readable.
bool Readable(int fd, int limitMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, limitMs) > 0;
}

// Relays one connection at a time from 127.0.0.1 to a server and records
// every byte the client sent, as it went over the wire.
class RecordingProxy {
public:
    RecordingProxy(const std::string& address, int port) {
        listener_ = Listen(port_);
        thread_ = std::thread([this, address, port] { run(address, port); });
    }
    ~RecordingProxy() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }
    std::string Recorded() const {
        std::lock_guard lock(mutex_);
        return recorded_;
    }

private:
    void run(const std::string& address, int port) {
        while (!stop_) {
            if (!Readable(listener_, 50))
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            inet_pton(AF_INET, address.c_str(), &a.sin_addr);
            if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                relay(client, server);
            ::close(server);
            ::close(client);
        }
    }
    void relay(int client, int server) {
        char buf[16384];
        while (!stop_) {
            pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0)
                continue;
            for (int i = 0; i < 2; ++i) {
                if ((p[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                    continue;
                const ssize_t n = ::recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0)
                    return;
                if (i == 0) {
                    std::lock_guard lock(mutex_);
                    recorded_.append(buf, static_cast<std::size_t>(n));
                }
                ::send(i == 0 ? server : client, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
        }
    }

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::string recorded_;
    std::thread thread_;
};

// One connection served by a script on a thread of its own, with blocking
// sockets: plain lines, or TLS with the test run's server certificate.
class ScriptedTlsPeer {
public:
    class Connection {
    public:
        explicit Connection(int fd) : fd_(fd) {}
        ~Connection() {
            if (ssl_ != nullptr)
                SSL_free(ssl_);
            if (ctx_ != nullptr)
                SSL_CTX_free(ctx_);
        }
        int fd() const { return fd_; }
        SSL* ssl() const { return ssl_; }
        // Serves the certificate and key of that name from the test run's;
        // `setup` may change the context before the handshake (versions,
        // client certificates).
        bool Accept(const std::string& certificate = "server", const std::function<void(SSL_CTX*)>& setup = {}) {
            ctx_ = SSL_CTX_new(TLS_server_method());
            SSL_CTX_use_certificate_chain_file(ctx_, (kCertDir + "/" + certificate + ".crt").c_str());
            SSL_CTX_use_PrivateKey_file(ctx_, (kCertDir + "/" + certificate + ".key").c_str(), SSL_FILETYPE_PEM);
            if (setup)
                setup(ctx_);
            ssl_ = SSL_new(ctx_);
            SSL_set_fd(ssl_, fd_);
            return SSL_accept(ssl_) == 1;
        }
        void SendPlain(const std::string& data) { ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL); }
        void SendTls(const std::string& data) { SSL_write(ssl_, data.data(), static_cast<int>(data.size())); }
        // One line inside TLS (up to LF), recorded; empty when the session ended.
        std::string ReadTlsLine() {
            std::string line;
            char c;
            while (SSL_read(ssl_, &c, 1) == 1) {
                line += c;
                if (c == '\n')
                    break;
            }
            received += line;
            return line;
        }
        // One line in clear (up to LF), recorded; empty when the client closed.
        std::string ReadPlainLine() {
            std::string line;
            char c;
            while (Readable(fd_, kPeerLimitMs) && ::recv(fd_, &c, 1, 0) == 1) {
                line += c;
                if (c == '\n')
                    break;
            }
            received += line;
            return line;
        }
        // Records what arrives inside TLS until the client closes (or the time limit).
        void DrainTls() {
            char buf[4096];
            int n;
            while (Readable(fd_, kPeerLimitMs) && (n = SSL_read(ssl_, buf, sizeof buf)) > 0)
                received.append(buf, static_cast<std::size_t>(n));
        }
        // Records everything in clear until the client closes (or the time limit).
        void DrainPlain() {
            char buf[4096];
            ssize_t n;
            while (Readable(fd_, kPeerLimitMs) && (n = ::recv(fd_, buf, sizeof buf, 0)) > 0)
                received.append(buf, static_cast<std::size_t>(n));
        }
        std::string received;

    private:
        int fd_;
        SSL_CTX* ctx_ = nullptr;
        SSL* ssl_ = nullptr;
    };

    explicit ScriptedTlsPeer(std::function<void(Connection&)> script) {
        listener_ = Listen(port_);
        thread_ = std::thread([this, script] {
            if (!Readable(listener_, kPeerLimitMs))
                return;
            const int fd = ::accept(listener_, nullptr, nullptr);
            {
                Connection c(fd);
                script(c);
                std::lock_guard lock(mutex_);
                received_ = c.received;
            }
            ::close(fd);
            done_ = true;
        });
    }
    ~ScriptedTlsPeer() {
        thread_.join();
        ::close(listener_);
    }
    int Port() const { return port_; }
    bool WaitDone() {
        return Eventually([this] { return done_.load(); });
    }
    std::string Received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> done_{false};
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

std::string Pop3s(int port) {
    return "pop3s://localhost:" + std::to_string(port);
}

// --- Dovecot with TLS -------------------------------------------------------

TEST(TlsDovecot, EveryWayOfAskingForTlsGivesTheCount) {
    for (const std::string& host : {"pop3s://" + kTlsHost, kTlsHost + ":995", "pop3+starttls://" + kTlsHost}) {
        const Outcome o = Check(host);
        EXPECT_EQ(o.exitCode, 0) << host << ": " << o.err;
        EXPECT_EQ(o.out, "3\n") << host;
    }
    const Outcome tls = Check(kTlsHost, "bob", {"--tls"}, "builder");
    EXPECT_EQ(tls.out, "0\n") << tls.err;
    const Outcome stls = Check(kTlsHost, "alice", {"--starttls"});
    EXPECT_EQ(stls.out, "3\n") << stls.err;
}

TEST(TlsDovecot, EngineInProcessChecksAgainAndAgainOverTls) {
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, kClock);
    client.SetTimeOut(kEngineTimeOutMs);
    client.SetUserID("alice");
    client.SetPassword("wonderland");
    // One client, alternating the ways: each check runs on a fresh socket.
    for (const std::string& host : {"pop3s://" + kTlsHost, "pop3+starttls://" + kTlsHost, kTlsHost + ":995"}) {
        client.SetHost(host);
        client.Connect();
        EXPECT_EQ(client.MessageCount(), 3) << host;
        client.Disconnect();
        EXPECT_FALSE(client.Connected());
    }
}

// Dovecot logs each connection of a login process when it ends; a log-on
// adds a "Login:" line. Waits for the connection's end to be logged, so the
// absence of a log-on is a finding rather than a race.
bool LoggedOnFrom(const std::string& localAddress, bool& ended) {
    const std::string log = ReadFile(kTlsLog);
    ended = false;
    bool login = false;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("lip=" + localAddress + ",") == std::string::npos)
            continue;
        if (line.find("Login:") != std::string::npos)
            login = true;
        if (line.find("Disconnected") != std::string::npos || line.find("Login:") != std::string::npos)
            ended = true;
    }
    return login;
}

struct BadCertificate {
    const char* name;
    std::string host;
    std::string message;
};

TEST(TlsDovecot, EachBadCertificateSaysWhyAndNothingLogsOn) {
    const BadCertificate cases[] = {
        {"expired", "pop3s://" + kExpiredHost, "TLS certificate verify failed: certificate has expired"},
        {"other host", "pop3s://" + kOtherHost, "TLS host name mismatch: certificate is for mail.example.net"},
        {"self-signed", "pop3s://" + kSelfSignedHost, "TLS certificate verify failed: self-signed certificate"},
        {"self-signed, STLS", "pop3+starttls://" + kSelfSignedHost,
         "TLS certificate verify failed: self-signed certificate"},
        {"expired on 995", kExpiredHost + ":995", "TLS certificate verify failed: certificate has expired"},
    };
    for (const BadCertificate& c : cases) {
        const Outcome o = Check(c.host);
        EXPECT_EQ(o.exitCode, 4) << c.name;
        EXPECT_EQ(o.out, "") << c.name;
        EXPECT_EQ(o.err, c.message + "\n") << c.name;
    }
    for (const std::string& address : {kExpiredHost, kOtherHost, kSelfSignedHost}) {
        bool ended = false;
        EXPECT_TRUE(Eventually([&] {
            LoggedOnFrom(address, ended);
            return ended;
        })) << "Dovecot logged no connection on "
            << address;
        EXPECT_FALSE(LoggedOnFrom(address, ended)) << "a log-on reached " << address;
    }
    // The good address, for contrast, does log its log-ons.
    ASSERT_EQ(Check("pop3s://" + kTlsHost).exitCode, 0);
    bool ended = false;
    EXPECT_TRUE(Eventually([&] { return LoggedOnFrom(kTlsHost, ended); }));
}

TEST(TlsDovecot, WithoutTheCaNothingIsTrusted) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("SSL_CERT_FILE");
    env.insert("SSL_CERT_DIR", "/nonexistent");
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(POSTWREN_CHECK_BIN), {"--host", QString::fromStdString("pop3s://" + kTlsHost),
                                                       "--user", "alice", "--password-stdin", "--timeout", "10"});
    ASSERT_TRUE(process.waitForStarted(kProcessLimitMs));
    process.write("wonderland\n");
    process.closeWriteChannel();
    ASSERT_TRUE(process.waitForFinished(kProcessLimitMs));
    EXPECT_EQ(process.exitCode(), 4);
    EXPECT_EQ(process.readAllStandardError().toStdString(),
              "TLS certificate verify failed: unable to get local issuer certificate\n");
}

// A bare host name reaches a server that takes no log-on in clear: the
// server's reason reaches the user, with the address that works.
TEST(TlsDovecot, APlainLogOnRefusedForWantOfTlsSaysWhyAndWhatToWrite) {
    const std::string reason = "-ERR [AUTH] Plaintext authentication disallowed on non-secure (SSL/TLS) connections.";
    const std::string advice =
        "Advice: the server wants TLS for the log-on; write the server as pop3+starttls://" + kNoPlainHost;
    const Outcome bare = Check(kNoPlainHost, "alice", {"--json"});
    EXPECT_EQ(bare.exitCode, 1);
    EXPECT_EQ(bare.err, "Authentication failed (server: " + reason + ")\n" + advice + "\n");
    EXPECT_EQ(bare.out, "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"" + reason +
                            "\", \"advice\": \"" + advice + "\"}\n");

    // The engine as the program runs it gives the same report.
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, kClock);
    client.SetHost(kNoPlainHost);
    client.SetUserID("alice");
    client.SetPassword("wonderland");
    try {
        client.Connect();
        FAIL() << "logged on in clear";
    } catch (const Exception& e) {
        const FailureReport report = DescribeFailure(e);
        EXPECT_EQ(report.kind, FailureKind::Refused);
        EXPECT_EQ(report.text, "Authentication failed (server: " + reason + ")");
        EXPECT_EQ(report.advice, advice);
    }

    // The advice is right.
    const Outcome advised = Check("pop3+starttls://" + kNoPlainHost);
    EXPECT_EQ(advised.exitCode, 0) << advised.err;
    EXPECT_EQ(advised.out, "3\n");
}

// --- what crosses the wire ----------------------------------------------------

TEST(TlsWire, TheRefusedBareHostSendsTodaysBytesAndTheProbeNoCredential) {
    RecordingProxy proxy(kNoPlainHost, 110);
    const Outcome o = Check("localhost:" + std::to_string(proxy.Port()));
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_NE(o.err.find("pop3+starttls://localhost:" + std::to_string(proxy.Port())), std::string::npos) << o.err;
    // The log-on as ever (refused at USER, then QUIT); then the second
    // connection asks for the capabilities only.
    EXPECT_EQ(proxy.Recorded(), "USER alice\r\nQUIT\r\nCAPA\r\nQUIT\r\n");
}

TEST(TlsWire, ThePasswordNeverLeavesInClearWhenTlsWasAskedFor) {
    {
        RecordingProxy proxy(kTlsHost, 995);
        const Outcome o = Check(Pop3s(proxy.Port()));
        EXPECT_EQ(o.out, "3\n") << o.err;
        const std::string wire = proxy.Recorded();
        EXPECT_FALSE(wire.empty());
        EXPECT_EQ(wire.find("wonderland"), std::string::npos);
        EXPECT_EQ(wire.find("alice"), std::string::npos);
    }
    {
        RecordingProxy proxy(kTlsHost, 110);
        const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(proxy.Port()));
        EXPECT_EQ(o.out, "3\n") << o.err;
        const std::string wire = proxy.Recorded();
        // The STLS command itself goes in clear; nothing after it does.
        EXPECT_EQ(wire.rfind("STLS\r\n", 0), 0u) << wire.substr(0, 40);
        EXPECT_EQ(wire.find("wonderland"), std::string::npos);
        EXPECT_EQ(wire.find("USER"), std::string::npos);
    }
    {
        // A certificate that fails: not even the user ID goes out.
        RecordingProxy proxy(kSelfSignedHost, 110);
        const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(proxy.Port()));
        EXPECT_EQ(o.exitCode, 4);
        EXPECT_EQ(o.err, "TLS certificate verify failed: self-signed certificate\n");
        EXPECT_EQ(proxy.Recorded().find("alice"), std::string::npos);
        EXPECT_EQ(proxy.Recorded().find("wonderland"), std::string::npos);
    }
}

TEST(TlsWire, ABareHostStillSendsThePasswordInClear) {
    // The recorder does see a password sent in clear, so its silence above counts.
    RecordingProxy proxy(kPlainHost, 110);
    const Outcome o = Check("localhost:" + std::to_string(proxy.Port()));
    EXPECT_EQ(o.out, "3\n") << o.err;
    // Exactly the plain exchange, byte for byte, through the TLS layer.
    EXPECT_EQ(proxy.Recorded(), "USER alice\r\nPASS wonderland\r\nSTAT\r\nQUIT\r\n");
}

TEST(TlsWire, APlainServerAskedForStlsGetsNoUser) {
    RecordingProxy proxy(kPlainHost, 110);
    const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(proxy.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "Server refused STLS (server: -ERR TLS support isn't enabled.)\n");
    EXPECT_EQ(proxy.Recorded(), "STLS\r\n");
}

// --- hostile peers ------------------------------------------------------------

TEST(TlsHostile, GarbageInsteadOfAHandshake) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("+OK POP3 server ready, in clear\r\n");
        c.DrainPlain();
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err.rfind("TLS handshake failed: ", 0), 0u) << o.err;
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received().find("USER"), std::string::npos);
}

// A certificate from a trusted CA that names the host only in its subject
// CN identifies no host (RFC 9525): no log-on goes to such a server.
TEST(TlsHostile, ACertificateNamingTheHostInItsCommonNameOnly) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept("cnonly"))
            return;
        c.SendTls("+OK ready\r\n");
        c.DrainTls();
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err,
              "TLS host name mismatch: certificate is for localhost in its subject CN only, which names no "
              "host (no subjectAltName)\n");
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received().find("USER"), std::string::npos) << peer.Received();
}

// Implicit TLS and STLS alike: the same failure, text and kind.
TEST(TlsHostile, AStalledHandshakeEndsWithTheTimeOut) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) { c.DrainPlain(); });
    const Outcome o =
        RunCheck({"--host", QString::fromStdString(Pop3s(peer.Port())), "--user", "alice", "--timeout", "2"});
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "TLS handshake timed out\n");
    ASSERT_TRUE(peer.WaitDone());
    // The client hello went out, and nothing else.
    EXPECT_FALSE(peer.Received().empty());
    EXPECT_EQ(peer.Received().find("alice"), std::string::npos);
}

TEST(TlsHostile, AStalledStlsHandshakeEndsWithTheTimeOut) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("+OK ready\r\n");
        if (c.ReadPlainLine() == "STLS\r\n")
            c.SendPlain("+OK begin TLS\r\n");
        c.DrainPlain();
    });
    const Outcome o =
        RunCheck({"--host", QString::fromStdString("pop3+starttls://localhost:" + std::to_string(peer.Port())),
                  "--user", "alice", "--timeout", "2"});
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "TLS handshake timed out\n");
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received().find("alice"), std::string::npos);
}

TEST(TlsHostile, ACloseInTheMiddleOfARecord) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept())
            return;
        // The greeting is encrypted into memory and only its first half sent.
        BIO* held = BIO_new(BIO_s_mem());
        SSL_set0_wbio(c.ssl(), held);
        c.SendTls("+OK a greeting that never arrives whole\r\n");
        char buf[4096];
        const int n = BIO_read(held, buf, sizeof buf);
        ASSERT_GT(n, 10);
        c.SendPlain(std::string(buf, static_cast<std::size_t>(n / 2)));
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "TLS connection broken: the connection ended inside a record\n");
    EXPECT_LT(o.elapsedMs, 9000);
}

// Faults inside an established session keep the TLS layer's reason.
TEST(TlsHostile, ATls13ServerThatWantsAClientCertificate) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        // The client's handshake ends before the server has seen its (empty)
        // certificate: the refusal comes as an alert afterwards.
        c.Accept("server", [](SSL_CTX* ctx) {
            SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
            SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        });
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "TLS connection broken: tlsv13 alert certificate required\n");
    ASSERT_TRUE(peer.WaitDone());
}

TEST(TlsHostile, AnAlertAfterTheHandshake) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept())
            return;
        c.SendTls("+OK ready\r\n");
        if (c.ReadTlsLine() != "USER alice\r\n")
            return;
        // A record that fails its check makes the server's OpenSSL send a
        // fatal alert, encrypted as records after the handshake are.
        const char header[] = {0x17, 0x03, 0x03, 0x00, 0x40};
        BIO* forged = BIO_new(BIO_s_mem());
        BIO_write(forged, header, sizeof header);
        BIO_write(forged, std::string(0x40, 'x').data(), 0x40);
        SSL_set0_rbio(c.ssl(), forged);
        char buf[64];
        SSL_read(c.ssl(), buf, sizeof buf);
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err.rfind("TLS connection broken: ", 0), 0u) << o.err;
    EXPECT_NE(o.err.find("alert"), std::string::npos) << o.err;
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received(), "USER alice\r\n");
}

// A TLS 1.2 server that asks for a new handshake in the middle of the
// dialogue: the check goes on once it is done (and the password is sent
// inside it), rather than failing with "Can't send after socket shutdown".
TEST(TlsHostile, RenegotiationAskedForByTheServerCompletes) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept("server", [](SSL_CTX* ctx) { SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION); }))
            return;
        c.SendTls("+OK ready\r\n");
        if (c.ReadTlsLine() != "USER alice\r\n")
            return;
        SSL_renegotiate(c.ssl());
        SSL_do_handshake(c.ssl());  // sends the HelloRequest
        c.SendTls("+OK\r\n");
        // The renegotiation runs inside the reads that follow.
        if (c.ReadTlsLine() != "PASS wonderland\r\n")
            return;
        c.SendTls("+OK\r\n");
        if (c.ReadTlsLine() != "STAT\r\n")
            return;
        c.SendTls("+OK 7 700\r\n");
        if (c.ReadTlsLine() == "QUIT\r\n")
            c.SendTls("+OK\r\n");
        SSL_shutdown(c.ssl());
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "7\n");
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received(), "USER alice\r\nPASS wonderland\r\nSTAT\r\nQUIT\r\n");
}

// A server that closes right after refusing the password: the refusal is the
// failure, not the close that the courtesy QUIT runs into.
TEST(TlsHostile, ARefusalFollowedByACloseIsTheRefusal) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept())
            return;
        c.SendTls("+OK ready\r\n");
        if (c.ReadTlsLine() != "USER alice\r\n")
            return;
        c.SendTls("+OK\r\n");
        if (c.ReadTlsLine() != "PASS wonderland\r\n")
            return;
        c.SendTls("-ERR authentication failed\r\n");
        SSL_shutdown(c.ssl());
    });
    const Outcome o = Check(Pop3s(peer.Port()), "alice", {"--json"});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, "Authentication failed (server: -ERR authentication failed)\n");
    EXPECT_EQ(o.out,
              "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR authentication "
              "failed\"}\n");
}

TEST(TlsHostile, StlsAnsweredWithAnError) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("+OK ready\r\n");
        if (c.ReadPlainLine() == "STLS\r\n")
            c.SendPlain("-ERR not today\r\n");
        c.DrainPlain();
    });
    const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "Server refused STLS (server: -ERR not today)\n");
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received(), "STLS\r\n");
}

TEST(TlsHostile, StlsAnsweredByClosing) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("+OK ready\r\n");
        c.ReadPlainLine();
    });
    const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    EXPECT_EQ(o.err, "Server refused STLS\n");
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received(), "STLS\r\n");
}

TEST(TlsHostile, ClearTextSlippedInAfterTheStlsReply) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("+OK ready\r\n");
        if (c.ReadPlainLine() == "STLS\r\n")
            c.SendPlain("+OK begin TLS\r\n+OK injected\r\n");
        c.DrainPlain();
    });
    const Outcome o = Check("pop3+starttls://localhost:" + std::to_string(peer.Port()));
    EXPECT_EQ(o.exitCode, 4);
    // Depending on how the bytes arrive, the session or the handshake refuses them.
    EXPECT_TRUE(o.err == "Server sent data after accepting STLS\n" || o.err.rfind("TLS handshake failed: ", 0) == 0)
        << o.err;
    ASSERT_TRUE(peer.WaitDone());
    EXPECT_EQ(peer.Received().find("USER"), std::string::npos);
}

TEST(TlsHostile, ALongLineInsideTls) {
    const std::string line = "-ERR " + std::string(20 * 1024, 'x') + "\r\n";
    ScriptedTlsPeer peer([&line](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept())
            return;
        c.SendTls(line);
        // The client says QUIT after a refused greeting; answering it lets
        // the greeting stand as the failure.
        char buf[256];
        if (SSL_read(c.ssl(), buf, sizeof buf) > 0)
            c.SendTls("+OK bye\r\n");
        while (SSL_read(c.ssl(), buf, sizeof buf) > 0) {
        }
    });
    const Outcome o = Check(Pop3s(peer.Port()));
    // The whole line, across two TLS records, was read as the refusal (a
    // line cut short would be a network failure); the report keeps its start.
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_TRUE(o.err.starts_with("-ERR " + std::string(400, 'x'))) << o.err.substr(0, 80);
    EXPECT_TRUE(o.err.ends_with("…\n")) << o.err.substr(o.err.size() > 80 ? o.err.size() - 80 : 0);
    EXPECT_LT(o.err.size(), 4096u);
}

TEST(TlsHostile, AnEndlessLineInsideTlsKeepsMemoryBounded) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        if (!c.Accept())
            return;
        // Never a line end: as fast as the client takes it, until it hangs up.
        const std::string chunk(16 * 1024, 'x');
        while (SSL_write(c.ssl(), chunk.data(), static_cast<int>(chunk.size())) > 0) {
        }
    });
    const MeasuredOutcome o =
        RunCheckMeasured({"--host", Pop3s(peer.Port()), "--user", "alice", "--timeout", "10"}, "wonderland");
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.err, "Socket readln line too long\n");
    // A check that fails at once holds about 16 MiB; the pending line may add
    // a few, never the flood.
    RecordProperty("max_resident_kib", std::to_string(o.maxResidentKib));
    EXPECT_GT(o.maxResidentKib, 0);
    EXPECT_LT(o.maxResidentKib, 48 * 1024);
}

// Time that runs a tenth of a second further at every look, so that a bound
// of a minute passes in a few hundred turns of the wait.
class RacingClock final : public platform::Clock {
public:
    time_point Now() const override {
        now_ += std::chrono::milliseconds(100);
        return now_;
    }

private:
    mutable time_point now_ = std::chrono::steady_clock::now();
};

TEST(TlsHostile, AStalledHandshakeEndsEvenWithoutATimeOut) {
    // The program sets no TimeOut: its connect wait has no timer.
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) { c.DrainPlain(); });
    const RacingClock clock;
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, clock);
    client.SetHost(Pop3s(peer.Port()));
    client.SetUserID("alice");
    client.SetPassword("wonderland");
    try {
        client.Connect();
        FAIL() << "connected";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message(), "TLS handshake timed out");
        EXPECT_EQ(e.Kind(), SockFailure::TlsFailed);
    }
    EXPECT_FALSE(client.Connected());
}

TEST(TlsHostile, EngineGivesTheHandshakeFailureText) {
    ScriptedTlsPeer peer([](ScriptedTlsPeer::Connection& c) {
        c.SendPlain("HTTP/1.1 400 Bad Request\r\n\r\n");
        c.DrainPlain();
    });
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, kClock);
    client.SetTimeOut(kEngineTimeOutMs);
    client.SetHost(Pop3s(peer.Port()));
    client.SetUserID("alice");
    client.SetPassword("wonderland");
    try {
        client.Connect();
        FAIL() << "connected";
    } catch (const ESockError& e) {
        EXPECT_EQ(e.Message().rfind("TLS handshake failed: ", 0), 0u) << e.Message();
    }
    EXPECT_FALSE(client.Connected());
}

// --- Sign-in with a token (SASL) ---------------------------------------------

// One line the client must send and the server's answer to it.
struct Turn {
    std::string line;
    std::string reply;
};

struct SaslCase {
    const char* name;
    std::vector<std::string> wanted;  // the provider's mechanisms
    // The dialogue after the greeting; `{token1}`-style marks are filled in by
    // `dialogue` from the port the peer listens on.
    std::function<std::vector<Turn>(int port)> dialogue;
    int count;  // -1: the log-on fails
    FailureKind kind;
    std::string message;
    std::string server;
    std::vector<bool> tokensAsked;  // the `renew` of each token asked for
};

void PrintTo(const SaslCase& c, std::ostream* os) {
    *os << c.name;
}

const std::string kCapaBoth = "+OK\r\nSASL PLAIN XOAUTH2 OAUTHBEARER\r\nUSER\r\n.\r\n";
const std::string kRejected = "+ eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIn0=\r\n";

class SaslLogOn : public ::testing::TestWithParam<SaslCase> {};

TEST_P(SaslLogOn, SpeaksTheTwoLineFormAndRenewsOnce) {
    const SaslCase& c = GetParam();
    std::vector<Turn> turns;
    std::mutex turnsMutex;
    std::atomic<int> peerPort{0};
    ScriptedTlsPeer peer([&](ScriptedTlsPeer::Connection& conn) {
        if (!conn.Accept())
            return;
        conn.SendTls("+OK ready\r\n");
        std::vector<Turn> script;
        {
            std::lock_guard lock(turnsMutex);
            script = turns;
        }
        for (const Turn& turn : script) {
            if (conn.ReadTlsLine() != turn.line + "\r\n")
                break;
            conn.SendTls(turn.reply);
        }
        conn.DrainTls();
    });
    {
        std::lock_guard lock(turnsMutex);
        turns = c.dialogue(peer.Port());
    }
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, kClock);
    client.SetTimeOut(kEngineTimeOutMs);
    client.SetHost(Pop3s(peer.Port()));
    client.SetUserID("alice@example.org");
    std::vector<bool> asked;
    client.SetBearer(BearerLogOn{[&](bool renew) {
                                     asked.push_back(renew);
                                     return "tok" + std::to_string(asked.size());
                                 },
                                 c.wanted});
    try {
        client.Connect();
        EXPECT_EQ(client.MessageCount(), c.count);
        client.Disconnect();
    } catch (const ECheckFailure& e) {
        EXPECT_EQ(c.count, -1) << e.Message();
        EXPECT_EQ(e.Kind(), c.kind);
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_EQ(e.ServerReply(), c.server);
    }
    EXPECT_FALSE(client.Connected());
    ASSERT_TRUE(peer.WaitDone());
    std::string expected;
    for (const Turn& turn : turns) expected += turn.line + "\r\n";
    EXPECT_EQ(peer.Received(), expected);
    EXPECT_EQ(asked, c.tokensAsked);
}

std::string X(const std::string& token) {
    return Xoauth2Response("alice@example.org", token);
}
std::string B(int port, const std::string& token) {
    return OauthBearerResponse("alice@example.org", "localhost", port, token);
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, SaslLogOn,
    ::testing::Values(
        SaslCase{"xoauth2_first",
                 {},
                 [](int) {
                     return std::vector<Turn>{{"CAPA", kCapaBoth},
                                              {"AUTH XOAUTH2", "+ \r\n"},
                                              {X("tok1"), "+OK Logged in.\r\n"},
                                              {"STAT", "+OK 2 320\r\n"},
                                              {"QUIT", "+OK\r\n"}};
                 },
                 2,
                 FailureKind::Refused,
                 "",
                 "",
                 {false}},
        SaslCase{"oauthbearer_where_alone",
                 {},
                 [](int port) {
                     return std::vector<Turn>{{"CAPA", "+OK\r\nSASL OAUTHBEARER\r\n.\r\n"},
                                              {"AUTH OAUTHBEARER", "+\r\n"},
                                              {B(port, "tok1"), "+OK\r\n"},
                                              {"STAT", "+OK 1 10\r\n"},
                                              {"QUIT", "+OK\r\n"}};
                 },
                 1,
                 FailureKind::Refused,
                 "",
                 "",
                 {false}},
        // The error challenge is answered (RFC 7628: "\x01"), then one renewed token.
        SaslCase{"rejected_then_renewed",
                 {kOauthBearer},
                 [](int port) {
                     return std::vector<Turn>{{"CAPA", kCapaBoth},
                                              {"AUTH OAUTHBEARER", "+ \r\n"},
                                              {B(port, "tok1"), kRejected},
                                              {"AQ==", "-ERR [AUTH] Invalid token\r\n"},
                                              {"AUTH OAUTHBEARER", "+ \r\n"},
                                              {B(port, "tok2"), "+OK\r\n"},
                                              {"STAT", "+OK 0 0\r\n"},
                                              {"QUIT", "+OK\r\n"}};
                 },
                 0,
                 FailureKind::Refused,
                 "",
                 "",
                 {false, true}},
        // A second rejection is the refusal; the token the server echoed is not shown.
        SaslCase{"rejected_twice",
                 {},
                 [](int) {
                     return std::vector<Turn>{{"CAPA", kCapaBoth},
                                              {"AUTH XOAUTH2", "+ \r\n"},
                                              {X("tok1"), kRejected},
                                              {"", "-ERR [AUTH] no\r\n"},
                                              {"AUTH XOAUTH2", "+ \r\n"},
                                              {X("tok2"), kRejected},
                                              {"", "-ERR [AUTH] tok2 is not valid\r\n"},
                                              {"QUIT", "+OK\r\n"}};
                 },
                 -1,
                 FailureKind::Refused,
                 "Authentication failed",
                 "-ERR [AUTH] ******** is not valid\r\n",
                 {false, true}},
        // The provider's introspection is down: not now, and no second token.
        SaslCase{"sys_temp",
                 {},
                 [](int) {
                     return std::vector<Turn>{{"CAPA", kCapaBoth},
                                              {"AUTH XOAUTH2", "+ \r\n"},
                                              {X("tok1"), "-ERR [SYS/TEMP] Temporary authentication failure\r\n"},
                                              {"QUIT", "+OK\r\n"}};
                 },
                 -1,
                 FailureKind::Temporary,
                 "Authentication failed",
                 "-ERR [SYS/TEMP] Temporary authentication failure\r\n",
                 {false}},
        SaslCase{
            "no_mechanism",
            {},
            [](int) {
                return std::vector<Turn>{{"CAPA", "+OK\r\nSASL PLAIN LOGIN\r\nUSER\r\n.\r\n"}, {"QUIT", "+OK\r\n"}};
            },
            -1,
            FailureKind::Usage,
            "The server offers no sign-in this account can use (XOAUTH2 or OAUTHBEARER in its SASL capability)",
            "",
            {false}},
        SaslCase{"provider_mechanism_missing",
                 {kXoauth2},
                 [](int) {
                     return std::vector<Turn>{{"CAPA", "+OK\r\nSASL OAUTHBEARER\r\n.\r\n"}, {"QUIT", "+OK\r\n"}};
                 },
                 -1,
                 FailureKind::Usage,
                 "The server offers no sign-in this account can use (XOAUTH2 or OAUTHBEARER in its SASL capability)",
                 "",
                 {false}}),
    [](const ::testing::TestParamInfo<SaslCase>& info) { return std::string(info.param.name); });

}  // namespace
