#include "core/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

#include "core/message_window.h"

namespace platform {

int ErrnoToSocketError(int error) {
    switch (error) {
        case EINTR:
            return WSAEINTR;
        case EBADF:
            return WSAEBADF;
        case EACCES:
            return WSAEACCES;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EWOULDBLOCK:
#if EAGAIN != EWOULDBLOCK
        case EAGAIN:
#endif
        // A non-blocking connect that has started is "would block" to callers,
        // as on the original socket library.
        case EINPROGRESS:
            return WSAEWOULDBLOCK;
        case EALREADY:
            return WSAEALREADY;
        case ENOTSOCK:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EMSGSIZE:
            return WSAEMSGSIZE;
        case EPROTOTYPE:
            return WSAEPROTOTYPE;
        case ENOPROTOOPT:
            return WSAENOPROTOOPT;
        case EPROTONOSUPPORT:
            return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT:
            return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP:
            return WSAEOPNOTSUPP;
        case EPFNOSUPPORT:
            return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ENETRESET:
            return WSAENETRESET;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        // Writing after our side or the peer has shut the connection down.
        case EPIPE:
        case ESHUTDOWN:
            return WSAESHUTDOWN;
        case ETOOMANYREFS:
            return WSAETOOMANYREFS;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case ELOOP:
            return WSAELOOP;
        case ENAMETOOLONG:
            return WSAENAMETOOLONG;
        case EHOSTDOWN:
            return WSAEHOSTDOWN;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        case ENOTEMPTY:
            return WSAENOTEMPTY;
        case EUSERS:
            return WSAEUSERS;
        case EDQUOT:
            return WSAEDQUOT;
        case ESTALE:
            return WSAESTALE;
        case EREMOTE:
            return WSAEREMOTE;
        default:
            return error;
    }
}

int LookupErrorToSocketError(int eaiError, int savedErrno) {
    switch (eaiError) {
        case 0:
            return 0;
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
#endif
        case EAI_MEMORY:
            return WSAENOBUFS;
        case EAI_SYSTEM:
            return savedErrno != 0 ? ErrnoToSocketError(savedErrno) : WSANO_RECOVERY;
        default:
            return WSANO_RECOVERY;
    }
}

const char* TlsErrorText(int code) {
    switch (code) {
        case kTlsHandshakeFailed:
            return "TLS handshake failed";
        case kTlsVerifyFailed:
            return "TLS certificate verify failed";
        case kTlsHostMismatch:
            return "TLS host name mismatch";
        case kTlsNotAvailable:
            return "TLS is not available";
        case kTlsConnectionBroken:
            return "TLS connection broken";
        default:
            return "";
    }
}

namespace {

// One socket of the handle table and the notification state that emulates
// event selection on top of level-triggered readiness.
struct SocketEntry {
    enum class State { Idle, Connecting, Connected };

    int fd = -1;
    State state = State::Idle;
    HWND window = 0;
    UINT msg = 0;
    long events = 0;
    bool readArmed = true;       // FD_READ may be posted; cleared until the next Recv
    bool writeWanted = false;    // a Send would have blocked; FD_WRITE when writable again
    bool closeReported = false;  // FD_CLOSE went out; nothing more is read
    bool connectFailed = false;  // the last connect failed; the next one must reset the socket
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;
};

// Look-ups running on worker threads. Never destroyed: a worker may still be
// running when the process exits.
struct LookupRegistry {
    std::mutex mutex;
    std::map<LookupHandle, std::shared_ptr<std::atomic<bool>>> withdrawn;
    std::atomic<LookupHandle> next{1};
};
LookupRegistry& lookups() {
    static auto* registry = new LookupRegistry;
    return *registry;
}

void runLookup(HWND window, UINT msg, LookupHandle handle, std::string name, std::shared_ptr<HostEntry> result,
               std::shared_ptr<std::atomic<bool>> withdrawn) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    int error = LookupErrorToSocketError(rc, errno);
    if (rc == 0) {
        result->name = (list != nullptr && list->ai_canonname != nullptr) ? list->ai_canonname : name;
        for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET || ai->ai_addr == nullptr)
                continue;
            const auto* sin = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
            result->addresses.push_back(sin->sin_addr.s_addr);
        }
        freeaddrinfo(list);
        if (result->addresses.empty())
            error = WSANO_DATA;
    }
    LookupRegistry& reg = lookups();
    std::lock_guard lock(reg.mutex);
    // Under the registry lock, so a withdrawal either happens before this
    // check or finds the look-up already gone.
    if (!withdrawn->load())
        PostMessage(window, msg, handle, MakeLong(0, static_cast<std::uint16_t>(error)));
    reg.withdrawn.erase(handle);
}

class PosixSockets final : public SocketApi {
public:
    bool Startup() override {
        ++users_;
        return true;
    }
    void Cleanup() override {
        if (users_ > 0)
            --users_;
    }

    SOCKET CreateStreamSocket() override {
        const SOCKET handle = freeHandle();
        if (handle == INVALID_SOCKET) {
            fail(WSAEMFILE);
            return INVALID_SOCKET;
        }
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            failErrno();
            return INVALID_SOCKET;
        }
        auto entry = std::make_unique<SocketEntry>();
        entry->fd = fd;
        table_[handle] = std::move(entry);
        return handle;
    }

    int SetLinger(SOCKET s, bool on, std::uint16_t seconds) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        linger l{};
        l.l_onoff = on ? 1 : 0;
        l.l_linger = seconds;
        if (::setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0)
            return failErrno();
        return 0;
    }

    int AsyncSelect(SOCKET s, HWND window, UINT msg, long events) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        e->window = window;
        e->msg = msg;
        e->events = events & FD_ALL_EVENTS;
        if (!e->readNotifier) {
            e->readNotifier = std::make_unique<QSocketNotifier>(e->fd, QSocketNotifier::Read);
            e->readNotifier->setEnabled(false);
            QObject::connect(e->readNotifier.get(), &QSocketNotifier::activated, [this, s] { onReadable(s); });
            e->writeNotifier = std::make_unique<QSocketNotifier>(e->fd, QSocketNotifier::Write);
            e->writeNotifier->setEnabled(false);
            QObject::connect(e->writeNotifier.get(), &QSocketNotifier::activated, [this, s] { onWritable(s); });
        }
        updateNotifiers(*e);
        return 0;
    }

    int Connect(SOCKET s, const SockAddrIn& address) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        if (e->connectFailed) {
            // WORKAROUND: after a failed connect Linux answers the next
            // connect on the same socket with ECONNABORTED; dissolving the
            // old association first lets the socket be used again, as callers
            // that retry on the same socket expect.
            sockaddr unspec{};
            unspec.sa_family = AF_UNSPEC;
            ::connect(e->fd, &unspec, sizeof unspec);
            e->connectFailed = false;
        }
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = address.port;
        sin.sin_addr.s_addr = address.address;
        if (address.family != kFamilyInet)
            return fail(WSAEAFNOSUPPORT);
        if (::connect(e->fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0) {
            connected(s, *e);
            return 0;
        }
        const int error = errno;
        if (error == EINPROGRESS) {
            e->state = SocketEntry::State::Connecting;
            updateNotifiers(*e);
        } else if (error != EALREADY && error != EISCONN) {
            e->connectFailed = true;
        }
        lastError_ = ErrnoToSocketError(error);
        return SOCKET_ERROR;
    }

    int Send(SOCKET s, const char* data, int len) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        if (len < 0)
            return fail(WSAEINVAL);
        // MSG_NOSIGNAL: a peer that has gone must give an error, not kill the process.
        const ssize_t n = ::send(e->fd, data, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n >= 0)
            return static_cast<int>(n);
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            e->writeWanted = true;
            updateNotifiers(*e);
        }
        lastError_ = ErrnoToSocketError(error);
        return SOCKET_ERROR;
    }

    int Recv(SOCKET s, char* data, int len) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        if (len < 0)
            return fail(WSAEINVAL);
        const ssize_t n = ::recv(e->fd, data, static_cast<size_t>(len), 0);
        const int error = errno;
        // Receiving re-enables FD_READ; if data remains, it is announced again.
        e->readArmed = true;
        updateNotifiers(*e);
        if (n >= 0)
            return static_cast<int>(n);
        lastError_ = ErrnoToSocketError(error);
        return SOCKET_ERROR;
    }

    int CloseSocket(SOCKET s) override {
        auto it = table_.find(s);
        if (it == table_.end())
            return fail(WSAENOTSOCK);
        std::unique_ptr<SocketEntry> e = std::move(it->second);
        table_.erase(it);
        // Notifiers go before their descriptor does.
        e->readNotifier.reset();
        e->writeNotifier.reset();
        if (::close(e->fd) != 0 && errno != EINTR)
            return failErrno();
        return 0;
    }

    int LastError() const override { return lastError_; }

    std::uint32_t InetAddr(const std::string& text) override {
        if (text.find('\0') != std::string::npos)
            return kInaddrNone;
        in_addr a{};
        if (::inet_aton(text.c_str(), &a) == 0)
            return kInaddrNone;
        return a.s_addr;
    }

    LookupHandle AsyncGetHostByName(HWND window, UINT msg, const std::string& name,
                                    std::shared_ptr<HostEntry> result) override {
        if (!result) {
            fail(WSAEFAULT);
            return 0;
        }
        // An embedded NUL would make the resolver see a different, shorter name.
        if (name.find('\0') != std::string::npos) {
            fail(WSAEINVAL);
            return 0;
        }
        LookupRegistry& reg = lookups();
        const LookupHandle handle = reg.next.fetch_add(1);
        auto withdrawn = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lock(reg.mutex);
            reg.withdrawn[handle] = withdrawn;
        }
        try {
            std::thread(runLookup, window, msg, handle, name, std::move(result), withdrawn).detach();
        } catch (const std::system_error&) {
            std::lock_guard lock(reg.mutex);
            reg.withdrawn.erase(handle);
            fail(WSAENOBUFS);
            return 0;
        }
        return handle;
    }

    int CancelAsyncRequest(LookupHandle handle) override {
        LookupRegistry& reg = lookups();
        std::lock_guard lock(reg.mutex);
        auto it = reg.withdrawn.find(handle);
        if (it == reg.withdrawn.end())
            return fail(WSAEINVAL);
        it->second->store(true);
        reg.withdrawn.erase(it);
        return 0;
    }

private:
    int fail(int code) {
        lastError_ = code;
        return SOCKET_ERROR;
    }
    int failErrno() { return fail(ErrnoToSocketError(errno)); }

    SocketEntry* find(SOCKET s) {
        auto it = table_.find(s);
        return it == table_.end() ? nullptr : it->second.get();
    }

    // Handles go round the whole 16-bit range before one is used again, so a
    // notification still queued for a closed socket does not name its successor.
    SOCKET freeHandle() {
        for (unsigned tries = 0; tries < INVALID_SOCKET; ++tries) {
            const SOCKET candidate = nextHandle_;
            nextHandle_ = static_cast<SOCKET>(nextHandle_ + 1 == INVALID_SOCKET ? 1 : nextHandle_ + 1);
            if (table_.find(candidate) == table_.end())
                return candidate;
        }
        return INVALID_SOCKET;
    }

    void post(const SocketEntry& e, SOCKET s, long event, int error) {
        if ((e.events & event) == 0 || e.window == 0)
            return;
        PostMessage(e.window, e.msg, s, MakeLong(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)));
    }

    void updateNotifiers(SocketEntry& e) {
        if (!e.readNotifier)
            return;
        const bool selected = e.events != 0;
        const bool connected = e.state == SocketEntry::State::Connected;
        e.readNotifier->setEnabled(selected && connected && e.readArmed && !e.closeReported);
        e.writeNotifier->setEnabled(selected &&
                                    (e.state == SocketEntry::State::Connecting || (connected && e.writeWanted)));
    }

    void connected(SOCKET s, SocketEntry& e) {
        e.state = SocketEntry::State::Connected;
        e.readArmed = true;
        e.writeWanted = false;
        post(e, s, FD_CONNECT, 0);
        // Sending may start now.
        post(e, s, FD_WRITE, 0);
        updateNotifiers(e);
    }

    void onReadable(SOCKET s) {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return;
        char probe;
        // Peek, so that the data stay for Recv and an orderly close is told
        // apart from data without consuming anything.
        const ssize_t n = ::recv(e->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        const int error = n < 0 ? ErrnoToSocketError(errno) : 0;
        if (n > 0) {
            e->readArmed = false;
            post(*e, s, FD_READ, 0);
        } else {
            e->closeReported = true;
            post(*e, s, FD_CLOSE, error);
        }
        updateNotifiers(*e);
    }

    void onWritable(SOCKET s) {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return;
        if (e->state == SocketEntry::State::Connecting) {
            int error = 0;
            socklen_t len = sizeof error;
            if (::getsockopt(e->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
                error = errno;
            if (error == 0) {
                connected(s, *e);
                return;
            }
            e->state = SocketEntry::State::Idle;
            e->connectFailed = true;
            updateNotifiers(*e);
            post(*e, s, FD_CONNECT, ErrnoToSocketError(error));
            return;
        }
        e->writeWanted = false;
        updateNotifiers(*e);
        post(*e, s, FD_WRITE, 0);
    }

    std::map<SOCKET, std::unique_ptr<SocketEntry>> table_;
    SOCKET nextHandle_ = 1;
    int lastError_ = 0;
    int users_ = 0;
};

}  // namespace

std::unique_ptr<SocketApi> MakePosixSockets() {
    return std::make_unique<PosixSockets>();
}

SocketApi& SystemSockets() {
    // Never destroyed: sessions owned by static objects may close their
    // sockets after this function's statics would be gone.
    static auto* sockets = new PosixSockets;
    return *sockets;
}

}  // namespace platform
