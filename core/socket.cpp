#include "core/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/clock.h"
#include "core/message_window.h"

namespace platform {

IpAddress IpAddress::V4(std::uint32_t networkOrder) {
    IpAddress a;
    a.family = kFamilyInet;
    std::memcpy(a.bytes.data(), &networkOrder, sizeof networkOrder);
    return a;
}

std::uint32_t IpAddress::v4() const {
    if (family != kFamilyInet)
        return 0;
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

bool IpAddress::unspecified() const {
    const std::size_t size = family == kFamilyInet ? 4 : bytes.size();
    return std::all_of(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size),
                       [](std::uint8_t b) { return b == 0; });
}

std::string AddressText(const IpAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    const int family = address.family == kFamilyInet6 ? AF_INET6 : AF_INET;
    if (inet_ntop(family, address.bytes.data(), text, sizeof text) == nullptr)
        return {};
    return text;
}

std::optional<IpAddress> ParseIpv6(const std::string& text) {
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    IpAddress a;
    a.family = kFamilyInet6;
    if (inet_pton(AF_INET6, text.c_str(), a.bytes.data()) != 1)
        return std::nullopt;
    return a;
}

std::vector<IpAddress> RaceOrder(const std::vector<IpAddress>& addresses) {
    std::vector<IpAddress> v6;
    std::vector<IpAddress> v4;
    for (const IpAddress& a : addresses) (a.family == kFamilyInet6 ? v6 : v4).push_back(a);
    std::vector<IpAddress> order;
    order.reserve(addresses.size());
    for (std::size_t i = 0; i < std::max(v6.size(), v4.size()); ++i) {
        if (i < v6.size())
            order.push_back(v6[i]);
        if (i < v4.size())
            order.push_back(v4[i]);
    }
    return order;
}

int SocketApi::ConnectRace(SOCKET s, const std::vector<IpAddress>& addresses, std::uint16_t port) {
    // An IPv6 address goes to Connect as a family it refuses (with its own error).
    SockAddrIn target;
    target.port = port;
    if (!addresses.empty()) {
        target.family = addresses.front().family;
        target.address = addresses.front().v4();
    }
    return Connect(s, target);
}

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
    bool readArmed = true;            // FD_READ may be posted; cleared until the next Recv
    bool writeWanted = false;         // a Send would have blocked; FD_WRITE when writable again
    bool closeReported = false;       // FD_CLOSE went out; nothing more is read
    bool connectFailed = false;       // the last connect failed; the next one must reset the socket
    int family = AF_INET;             // of fd
    std::optional<linger> lingerSet;  // SO_LINGER as set, for the descriptors a race makes
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;

    // One connect of a race, on a descriptor of its own.
    struct Attempt {
        int fd = -1;
        int family = AF_INET;
        std::unique_ptr<QSocketNotifier> notifier;
    };
    // A connection race that runs (ConnectRace).
    struct Race {
        std::vector<IpAddress> waiting;  // not tried yet, in order
        std::uint16_t port = 0;
        std::vector<Attempt> attempts;  // started, not yet answered
        int error = 0;                  // the most telling failure so far
    };
    std::unique_ptr<Race> race;
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
    // Both families, and no AI_ADDRCONFIG: it drops IPv6 answers on a machine
    // whose only IPv6 address is ::1, which is just where a name may mean ::1.
    // The connection race copes with a family that cannot be reached.
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    errno = 0;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    int error = LookupErrorToSocketError(rc, errno);
    if (rc == 0) {
        result->name = (list != nullptr && list->ai_canonname != nullptr) ? list->ai_canonname : name;
        for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_addr == nullptr)
                continue;
            IpAddress a;
            if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
                a = IpAddress::V4(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
            } else if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
                const auto* sin6 = reinterpret_cast<const sockaddr_in6*>(ai->ai_addr);
                a.family = kFamilyInet6;
                std::memcpy(a.bytes.data(), &sin6->sin6_addr, a.bytes.size());
                a.scope = sin6->sin6_scope_id;
            } else {
                continue;
            }
            if (std::find(result->addresses.begin(), result->addresses.end(), a) == result->addresses.end())
                result->addresses.push_back(a);
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

// The socket address of `address` and `port` (network byte order); its size.
socklen_t ToSockaddr(const IpAddress& address, std::uint16_t port, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (address.family == kFamilyInet6) {
        auto* sin6 = reinterpret_cast<sockaddr_in6*>(&out);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_port = port;
        std::memcpy(&sin6->sin6_addr, address.bytes.data(), address.bytes.size());
        sin6->sin6_scope_id = address.scope;
        return sizeof(sockaddr_in6);
    }
    auto* sin = reinterpret_cast<sockaddr_in*>(&out);
    sin->sin_family = AF_INET;
    sin->sin_port = port;
    sin->sin_addr.s_addr = address.v4();
    return sizeof(sockaddr_in);
}

// How much an attempt's failure says about the server, for the one error a
// lost race reports: a host that refused answered; a network that could
// not be reached says where the trouble is; anything else says least.
int FailureWeight(int socketError) {
    switch (socketError) {
        case WSAECONNREFUSED:
        case WSAECONNRESET:
            return 3;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAENETDOWN:
        case WSAEHOSTDOWN:
        case WSAETIMEDOUT:
            return 2;
        default:
            return 1;
    }
}

class PosixSockets final : public SocketApi {
public:
    explicit PosixSockets(const Clock& clock) : clock_(clock) {}

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
        e->lingerSet = l;
        return 0;
    }

    int AsyncSelect(SOCKET s, HWND window, UINT msg, long events) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        e->window = window;
        e->msg = msg;
        e->events = events & FD_ALL_EVENTS;
        if (!e->readNotifier)
            makeNotifiers(s, *e);
        updateNotifiers(*e);
        return 0;
    }

    int Connect(SOCKET s, const SockAddrIn& address) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        endRace(s, *e);
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
        endRace(s, *e);
        // Notifiers go before their descriptor does.
        e->readNotifier.reset();
        e->writeNotifier.reset();
        if (::close(e->fd) != 0 && errno != EINTR)
            return failErrno();
        return 0;
    }

    int ConnectRace(SOCKET s, const std::vector<IpAddress>& addresses, std::uint16_t port) override {
        SocketEntry* e = find(s);
        if (e == nullptr)
            return fail(WSAENOTSOCK);
        if (e->state == SocketEntry::State::Connected)
            return fail(WSAEISCONN);
        if (addresses.empty())
            return fail(WSAEDESTADDRREQ);
        endRace(s, *e);
        e->race = std::make_unique<SocketEntry::Race>();
        e->race->waiting = RaceOrder(addresses);
        e->race->port = port;
        e->state = SocketEntry::State::Connecting;
        updateNotifiers(*e);
        if (advanceRace(s, *e)) {
            if (e->state == SocketEntry::State::Connected)
                return 0;
            // Every address failed at once; a race tells its end the one way
            // whenever that comes.
            post(*e, s, FD_CONNECT, loseRace(s, *e));
        }
        return fail(WSAEWOULDBLOCK);
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

    void makeNotifiers(SOCKET s, SocketEntry& e) {
        e.readNotifier = std::make_unique<QSocketNotifier>(e.fd, QSocketNotifier::Read);
        e.readNotifier->setEnabled(false);
        QObject::connect(e.readNotifier.get(), &QSocketNotifier::activated, [this, s] { onReadable(s); });
        e.writeNotifier = std::make_unique<QSocketNotifier>(e.fd, QSocketNotifier::Write);
        e.writeNotifier->setEnabled(false);
        QObject::connect(e.writeNotifier.get(), &QSocketNotifier::activated, [this, s] { onWritable(s); });
    }

    // The window whose timers pace the races; made with the first race.
    MessageWindow& raceWindow() {
        if (!raceWindow_) {
            raceWindow_ = std::make_unique<MessageWindow>([this](UINT msg, WPARAM wParam, LPARAM) -> LRESULT {
                if (msg == WM_TIMER)
                    onRaceTimer(static_cast<SOCKET>(wParam));
                return 0;
            });
        }
        return *raceWindow_;
    }

    // An attempt's descriptor goes; its notifier may be the one whose signal
    // runs now, so it is deleted once that is over.
    static void dropAttempt(SocketEntry::Attempt& a) {
        if (a.notifier) {
            a.notifier->setEnabled(false);
            a.notifier.release()->deleteLater();
        }
        if (a.fd >= 0)
            ::close(a.fd);
        a.fd = -1;
    }

    // Ends a race that runs on s: its attempts are closed, its timer stopped.
    void endRace(SOCKET s, SocketEntry& e) {
        if (!e.race)
            return;
        for (SocketEntry::Attempt& a : e.race->attempts) dropAttempt(a);
        e.race.reset();
        if (raceWindow_)
            clock_.StopTimer(*raceWindow_, s);
        if (e.state == SocketEntry::State::Connecting)
            e.state = SocketEntry::State::Idle;
    }

    static void noteFailure(SocketEntry::Race& r, int error) {
        if (r.error == 0 || FailureWeight(error) >= FailureWeight(r.error))
            r.error = error;
    }

    // Starts the next address of the race, past any that fail at once.
    // True when the race is over: won (s is connected) or lost (nothing is
    // left to try and nothing is running).
    bool advanceRace(SOCKET s, SocketEntry& e) {
        SocketEntry::Race& r = *e.race;
        while (!r.waiting.empty()) {
            const IpAddress address = r.waiting.front();
            r.waiting.erase(r.waiting.begin());
            const int family = address.family == kFamilyInet6 ? AF_INET6 : AF_INET;
            const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) {
                noteFailure(r, ErrnoToSocketError(errno));
                continue;
            }
            if (e.lingerSet)
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &*e.lingerSet, sizeof *e.lingerSet);
            sockaddr_storage target;
            const socklen_t size = ToSockaddr(address, r.port, target);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), size) == 0) {
                winRace(s, e, fd, family);
                return true;
            }
            if (errno != EINPROGRESS) {
                noteFailure(r, ErrnoToSocketError(errno));
                ::close(fd);
                continue;
            }
            SocketEntry::Attempt attempt;
            attempt.fd = fd;
            attempt.family = family;
            attempt.notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            QObject::connect(attempt.notifier.get(), &QSocketNotifier::activated,
                             [this, s, fd] { onAttemptDone(s, fd); });
            r.attempts.push_back(std::move(attempt));
            // The next address gets its turn after the delay, unless this one fails sooner.
            if (!r.waiting.empty())
                clock_.StartTimer(raceWindow(), s, static_cast<UINT>(kConnectionAttemptDelay.count()));
            else if (raceWindow_)
                clock_.StopTimer(*raceWindow_, s);
            return false;
        }
        if (raceWindow_)
            clock_.StopTimer(*raceWindow_, s);
        return r.attempts.empty();
    }

    // The attempt on fd connected: it becomes s, every other attempt goes.
    void winRace(SOCKET s, SocketEntry& e, int fd, int family) {
        for (SocketEntry::Attempt& a : e.race->attempts) {
            if (a.fd == fd)
                a.fd = -1;  // kept: it is the connection now
            dropAttempt(a);
        }
        e.race.reset();
        if (raceWindow_)
            clock_.StopTimer(*raceWindow_, s);
        const bool selected = e.readNotifier != nullptr;
        e.readNotifier.reset();
        e.writeNotifier.reset();
        ::close(e.fd);
        e.fd = fd;
        e.family = family;
        e.connectFailed = false;
        if (selected)
            makeNotifiers(s, e);
        connected(s, e);
    }

    // The race on s is lost; returns the error that tells it.
    int loseRace(SOCKET s, SocketEntry& e) {
        const int error = e.race->error != 0 ? e.race->error : WSAECONNREFUSED;
        endRace(s, e);
        e.state = SocketEntry::State::Idle;
        updateNotifiers(e);
        return error;
    }

    void onAttemptDone(SOCKET s, int fd) {
        SocketEntry* e = find(s);
        if (e == nullptr || !e->race)
            return;
        auto& attempts = e->race->attempts;
        const auto it =
            std::find_if(attempts.begin(), attempts.end(), [fd](const SocketEntry::Attempt& a) { return a.fd == fd; });
        if (it == attempts.end())
            return;
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
            error = errno;
        if (error == 0) {
            winRace(s, *e, fd, it->family);
            return;
        }
        noteFailure(*e->race, ErrnoToSocketError(error));
        dropAttempt(*it);
        attempts.erase(it);
        // As soon as one fails the next one starts, without waiting for the delay.
        if (advanceRace(s, *e) && e->state != SocketEntry::State::Connected)
            post(*e, s, FD_CONNECT, loseRace(s, *e));
    }

    void onRaceTimer(SOCKET s) {
        SocketEntry* e = find(s);
        if (e == nullptr || !e->race) {
            clock_.StopTimer(raceWindow(), s);
            return;
        }
        if (advanceRace(s, *e) && e->state != SocketEntry::State::Connected)
            post(*e, s, FD_CONNECT, loseRace(s, *e));
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
        // A race watches its attempts' descriptors, not this one.
        const bool connecting = e.state == SocketEntry::State::Connecting && !e.race;
        e.writeNotifier->setEnabled(selected && (connecting || (connected && e.writeWanted)));
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

    const Clock& clock_;
    std::unique_ptr<MessageWindow> raceWindow_;
    std::map<SOCKET, std::unique_ptr<SocketEntry>> table_;
    SOCKET nextHandle_ = 1;
    int lastError_ = 0;
    int users_ = 0;
};

}  // namespace

namespace {
const Clock& SystemClock() {
    static const auto* clock = new SteadyClock;
    return *clock;
}
}  // namespace

std::unique_ptr<SocketApi> MakePosixSockets() {
    return std::make_unique<PosixSockets>(SystemClock());
}

std::unique_ptr<SocketApi> MakePosixSockets(const Clock& clock) {
    return std::make_unique<PosixSockets>(clock);
}

SocketApi& SystemSockets() {
    // Never destroyed: sessions owned by static objects may close their
    // sockets after this function's statics would be gone.
    static auto* sockets = new PosixSockets(SystemClock());
    return *sockets;
}

}  // namespace platform
