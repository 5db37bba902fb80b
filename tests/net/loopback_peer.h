// The far end of a loopback TCP connection for socket tests: a listener on
// 127.0.0.1 and plain blocking reads and writes with deadlines. Used from the
// test thread (and from a sender thread where a test streams data).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "tests/support/wait.h"

namespace testpeer {

using Clock = std::chrono::steady_clock;

// The shared deadline wait, under the name the socket-layer tests use.
inline bool PumpUntil(const std::function<bool()>& pred, int timeoutMs = 3000) {
    return testing_support::WaitUntil(pred, timeoutMs);
}

// One accepted connection, closed with the object.
class PeerConnection {
public:
    explicit PeerConnection(int fd = -1) : fd_(fd) {}
    ~PeerConnection() { Close(); }
    PeerConnection(PeerConnection&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    PeerConnection& operator=(PeerConnection&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }
    PeerConnection(const PeerConnection&) = delete;
    PeerConnection& operator=(const PeerConnection&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool Send(const std::string& data) {
        std::size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads until `count` bytes came, the peer closed, or the deadline passed.
    std::string Receive(std::size_t count, int timeoutMs = 3000) {
        std::string out;
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0)
                continue;
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - out.size()), 0);
            if (n <= 0)
                break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    // Waits for the connection to end: returns 0 for an orderly close, the
    // errno for a reset, and -1 when data arrived instead or time ran out.
    int WaitForEnd(int timeoutMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return -1;
        char c;
        const ssize_t n = ::recv(fd_, &c, 1, 0);
        if (n == 0)
            return 0;
        if (n < 0)
            return errno;
        return -1;
    }

    // Bounds blocking sends, so a sender thread cannot hang a failing test.
    void SetSendTimeout(int ms) {
        timeval tv{ms / 1000, (ms % 1000) * 1000};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }

    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// A listening socket on 127.0.0.1 (or ::1) with a port chosen by the system.
class Listener {
public:
    // port 0: one the system chooses.
    explicit Listener(int backlog = 8, bool ipv6 = false, int port = 0) {
        fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in6 a6{};
        sockaddr_in a{};
        if (ipv6) {
            a6.sin6_family = AF_INET6;
            a6.sin6_addr = in6addr_loopback;
            a6.sin6_port = htons(static_cast<std::uint16_t>(port));
            ::bind(fd_, reinterpret_cast<sockaddr*>(&a6), sizeof a6);
        } else {
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(port));
            ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        ::listen(fd_, backlog);
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &len);
        port_ = ipv6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port)
                     : ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    int fd() const { return fd_; }

    // Takes the next connection from the queue; invalid when none came in time.
    PeerConnection Accept(int timeoutMs = 3000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return PeerConnection();
        return PeerConnection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A port on 127.0.0.1 where nothing listens (it was bound once and released).
inline int ClosedPort() {
    Listener l;
    const int port = l.port();
    return port;
}

// A blocking client connection to 127.0.0.1:port, for filling a backlog.
inline int ConnectClient(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

// An address that stays silent: a listener whose backlog of one is full, so
// the SYN of every further connection attempt is dropped and the attempt
// neither succeeds nor fails until the caller gives up.
class SilentListener {
public:
    explicit SilentListener(bool ipv6 = false, int port = 0) : listener_(0, ipv6, port) {
        filler_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(static_cast<std::uint16_t>(listener_.port()));
            ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<std::uint16_t>(listener_.port()));
            ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
    }
    ~SilentListener() { ::close(filler_); }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    int port() const { return listener_.port(); }

private:
    Listener listener_;
    int filler_ = -1;
};

}  // namespace testpeer
