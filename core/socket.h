// Non-blocking TCP sockets (IPv4 and IPv6) whose events arrive as window
// messages, and an asynchronous host name look-up answered by a window
// message. Errors are
// reported as the classic socket-library codes (10035 would block, 10061
// refused, 11001 host not found, ...), never as errno.
#pragma once

#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/messages.h"

namespace platform {

class Clock;

// Sockets are 16-bit handles into a table of the process.
using SOCKET = std::uint16_t;
constexpr SOCKET INVALID_SOCKET = 0xFFFF;
constexpr int SOCKET_ERROR = -1;

// Address families of socket addresses.
constexpr std::uint16_t kFamilyInet = 2;
constexpr std::uint16_t kFamilyInet6 = 23;
// What the dotted-quad parser answers for text that is not an address.
constexpr std::uint32_t kInaddrNone = 0xFFFFFFFF;

// Socket events a window can select (the low word of the notification's lParam).
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr long FD_ALL_EVENTS = 0x3F;

// Error codes (the high word of a notification's lParam, and LastError()).
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Failures of the TLS layer (tls_socket.h); the socket library has no such
// codes, so they sit above its range. TlsFailure() tells the details.
constexpr int kTlsHandshakeFailed = 12001;   // the peer does not speak TLS, or broke off
constexpr int kTlsVerifyFailed = 12002;      // the certificate chain is not trusted
constexpr int kTlsHostMismatch = 12003;      // the certificate is for another name
constexpr int kTlsNotAvailable = 12004;      // this socket layer has no TLS
constexpr int kTlsConnectionBroken = 12005;  // a bad or cut-off record after the handshake
constexpr bool IsTlsError(int code) {
    return code >= kTlsHandshakeFailed && code <= kTlsConnectionBroken;
}
// The fixed part of each TLS failure text ("TLS certificate verify failed").
const char* TlsErrorText(int code);

// Port numbers travel in network byte order (most significant byte first).
constexpr std::uint16_t HostToNetwork16(std::uint16_t v) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::uint16_t>((v << 8) | (v >> 8));
    return v;
}

// An IPv4 socket address; port and address in network byte order.
struct SockAddrIn {
    std::uint16_t family = kFamilyInet;
    std::uint16_t port = 0;
    std::uint32_t address = 0;
};

// One IPv4 or IPv6 address, in network byte order.
struct IpAddress {
    std::uint16_t family = kFamilyInet;    // kFamilyInet or kFamilyInet6
    std::array<std::uint8_t, 16> bytes{};  // an IPv4 address takes the first 4
    std::uint32_t scope = 0;               // the interface of an IPv6 link-local address; 0 = none

    static IpAddress V4(std::uint32_t networkOrder);
    // The IPv4 address in network byte order; 0 for an IPv6 one.
    std::uint32_t v4() const;
    // 0.0.0.0 or ::, which would reach this machine rather than a server.
    bool unspecified() const;
    bool operator==(const IpAddress&) const = default;
};

// "192.0.2.1" or "2001:db8::1".
std::string AddressText(const IpAddress& address);
// An IPv6 address written out ("::1", "2001:db8::7"); nothing for any other text.
std::optional<IpAddress> ParseIpv6(const std::string& text);

// The order a connection race tries addresses in (RFC 8305, section 4): the
// families taken in turn, IPv6 first, each family in the order given.
std::vector<IpAddress> RaceOrder(const std::vector<IpAddress>& addresses);

// How long a connection race waits for an attempt before it starts the next
// one beside it (RFC 8305, section 5: "Connection Attempt Delay").
constexpr std::chrono::milliseconds kConnectionAttemptDelay{250};

// Result area of a name look-up. The look-up writes it on its own thread
// before it posts its completion; read it only after that message.
struct HostEntry {
    std::string name;
    std::vector<IpAddress> addresses;  // IPv6 and IPv4, in the resolver's order of preference
};

// When the TLS handshake of a socket starts (SocketApi::StartTls).
enum class TlsStart { OnConnect, Now };

// Identifies a running look-up; 0 is none.
using LookupHandle = std::uintptr_t;

// The socket library. Each call sets LastError() on failure (SOCKET_ERROR,
// INVALID_SOCKET or 0 returned). GUI thread only, except where noted.
class SocketApi {
public:
    virtual ~SocketApi() = default;

    // Reference-counted by the callers; true when the library can be used.
    virtual bool Startup() = 0;
    virtual void Cleanup() = 0;

    // A non-blocking IPv4 TCP socket, or INVALID_SOCKET (e.g. 10024 when the
    // handle table or the process runs out of descriptors).
    virtual SOCKET CreateStreamSocket() = 0;
    // SO_LINGER: on with 0 seconds makes closing abort the connection at once.
    virtual int SetLinger(SOCKET s, bool on, std::uint16_t seconds) = 0;
    // Events in `events` are posted to `window` as message `msg`: wParam the
    // socket, lParam MakeLong(event, error). FD_CONNECT comes once per connect
    // with its outcome (then FD_WRITE when it succeeded); FD_READ comes again
    // only after Recv has been called; FD_WRITE again after a Send would
    // block; FD_CLOSE once when the peer has closed and everything before the
    // close has been received. An empty mask stops all notifications.
    virtual int AsyncSelect(SOCKET s, HWND window, UINT msg, long events) = 0;
    // Starts a connect; fails with WSAEWOULDBLOCK while it is in progress.
    virtual int Connect(SOCKET s, const SockAddrIn& address) = 0;
    // Connects s to `port` (network byte order) at whichever of `addresses`
    // answers first: the addresses are tried in RaceOrder, the next one
    // kConnectionAttemptDelay after the last was started or as soon as it
    // fails, and every attempt still running when one connects is closed.
    // Fails with WSAEWOULDBLOCK while the race runs (also when every address
    // failed at once); FD_CONNECT comes once, for the winner, or when every
    // attempt has failed with the most telling
    // of their errors (a refusal, which means a host answered, before a
    // network that could not be reached, before any other; the last of
    // equals). A new Connect or race on s, or closing it, ends a race that
    // still runs. This default, for layers that cannot race, hands the first
    // address to Connect (an IPv6 one with family kFamilyInet6, which a layer
    // without IPv6 refuses).
    virtual int ConnectRace(SOCKET s, const std::vector<IpAddress>& addresses, std::uint16_t port);
    // Bytes taken (possibly fewer than len), or SOCKET_ERROR (WSAEWOULDBLOCK when full).
    virtual int Send(SOCKET s, const char* data, int len) = 0;
    // Bytes received, 0 once the peer has closed, or SOCKET_ERROR (WSAEWOULDBLOCK when none).
    virtual int Recv(SOCKET s, char* data, int len) = 0;
    // Releases the handle; pending notifications for it may still be queued.
    virtual int CloseSocket(SOCKET s) = 0;
    virtual int LastError() const = 0;

    // Parses "a.b.c.d" (and the shorter classic forms); kInaddrNone when the
    // text is no address. The result is in network byte order. Any thread.
    virtual std::uint32_t InetAddr(const std::string& text) = 0;
    // Resolves name to its IPv6 and IPv4 addresses on a worker thread, fills *result and
    // posts `msg` to `window`: wParam the handle, lParam MakeLong(0, error).
    // The worker keeps *result alive until it is done, so the caller may drop
    // it at any time. Returns 0 (and sets LastError) when no look-up was started.
    virtual LookupHandle AsyncGetHostByName(HWND window, UINT msg, const std::string& name,
                                            std::shared_ptr<HostEntry> result) = 0;
    // Withdraws a look-up: its completion will not be posted. Harmless when
    // it has already completed.
    virtual int CancelAsyncRequest(LookupHandle handle) = 0;

    // Protects s with TLS, verified against serverName (a host name, or an
    // IPv4 or IPv6 address literal). TlsStart::OnConnect, before Connect: the
    // handshake runs when the connect completes and FD_CONNECT is posted only
    // after it (with a TLS code when it failed). TlsStart::Now, on a connected
    // socket: the handshake starts at once and FD_CONNECT is posted once more
    // when it is done. Nothing more is received in clear from then on.
    // Returns 0, or the error code (kTlsNotAvailable from a layer without TLS,
    // which is what this default says).
    virtual int StartTls(SOCKET s, const std::string& serverName, TlsStart when) { return kTlsNotAvailable; }
    // True once the TLS handshake on s has succeeded.
    virtual bool TlsEstablished(SOCKET s) const { return false; }
    // True while the connection of s stands and its TLS handshake has begun
    // but not ended: a wait that runs out now ran out on the handshake.
    virtual bool TlsHandshaking(SOCKET s) const { return false; }
    // Why TLS on s failed, as a whole English sentence ("TLS certificate
    // verify failed: self-signed certificate"); empty when it did not.
    virtual std::string TlsFailure(SOCKET s) const { return {}; }
};

// The system's sockets (POSIX, notified through the Qt event loop); needs a
// QCoreApplication. The caller owns them: they must outlive every session
// that works on them and go before the QCoreApplication. Sessions on
// different instances have separate handle tables. A connection race times
// its attempts on `clock` (the system's steady clock when none is given),
// which must outlive the sockets.
std::unique_ptr<SocketApi> MakePosixSockets();
std::unique_ptr<SocketApi> MakePosixSockets(const Clock& clock);

// One process-wide instance of the above, never destroyed. The command-line
// check and the tests share it; the resident program owns its own.
SocketApi& SystemSockets();

// Maps an errno value onto the codes above; values without a counterpart are
// returned unchanged (and so are not mistaken for a listed code).
int ErrnoToSocketError(int error);
// Maps a getaddrinfo() result onto the host look-up codes above.
int LookupErrorToSocketError(int eaiError, int savedErrno);

}  // namespace platform
