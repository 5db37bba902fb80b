#include "net/powersock.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>

#include "core/application.h"
#include "core/check_failure_kind.h"
#include "core/clock.h"
#include "core/event_wait.h"
#include "core/message_window.h"
#include "core/socket.h"
#include "net/thread_timer.h"

namespace {

using platform::LPARAM;
using platform::LRESULT;
using platform::UINT;
using platform::WPARAM;

// Private messages of the session window.
constexpr UINT WM_SOCKETNOTIFY = platform::WM_USER + 101;
constexpr UINT WM_HOSTLOOKUP = platform::WM_USER + 102;
constexpr UINT WM_SENDMORE = platform::WM_USER + 103;
constexpr UINT WM_READMORE = platform::WM_USER + 104;

// Status levels: reply lines, buffers and close, operations, error checks.
constexpr int kLevelReply = 1;
constexpr int kLevelBuffer = 4;
constexpr int kLevelOperation = 8;
constexpr int kLevelErrorCheck = 16;

// Data moves in chunks of at most 16383 bytes per notification, so the
// message loop keeps turning between chunks.
constexpr int kChunkBytes = 16384;
constexpr int kMaxChunk = kChunkBytes - 1;
// Write's buffer holds a terminating NUL after the longest text.
constexpr std::size_t kMaxWriteChars = TPowersock::MaxWriteLength;
constexpr std::size_t kSendTextBytes = kMaxWriteChars + 1;

// Each wait sleeps at most this long before it processes messages again.
constexpr int kPollMs = 2;
// Bound of a line or send wait when TimeOut is 0: a server that has said
// nothing for a minute is not going to.
constexpr int kDefaultReplyTimeoutMs = 60000;
// DiscardInput takes at most this much from the socket in one go; a peer
// that keeps sending faster than that is not answering anything anyway.
constexpr std::int64_t kMaxDiscardBytes = 1 << 20;
// A pending line may not grow beyond this; far above any line a mail server
// sends, small enough that a runaway peer cannot exhaust memory.
constexpr std::int64_t kMaxPendingLineBytes = 1 << 20;
// ReplyCode takes at most this many leading digits.
constexpr std::size_t kMaxReplyDigits = 10;

constexpr char kLineFeed = '\n';

constexpr char kTlsHandshakeTimedOut[] = "TLS handshake timed out";

int gWinsockUsers = 0;

// Resets a flag on every way out of a scope.
class FlagGuard {
public:
    explicit FlagGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagGuard() { flag_ = false; }
    FlagGuard(const FlagGuard&) = delete;
    FlagGuard& operator=(const FlagGuard&) = delete;

private:
    bool& flag_;
};

// The texts of the session's failures, as users and scripts see them.
const char* FailureText(SockFailure kind) {
    switch (kind) {
        case SockFailure::StartupFailed:
            return "Initializaton of windows sockets failed";
        case SockFailure::AlreadyConnected:
            return "Already connected";
        case SockFailure::LookupFailed:
            return "Host Lookup Failed";
        case SockFailure::LookupTimedOut:
            return "Host Lookup Timed Out";
        case SockFailure::LookupCanceled:
            return "Host Lookup Canceled";
        case SockFailure::NullAddress:
            return "Null Remote Address";
        case SockFailure::ConnectTimedOut:
            return "Connection Timed out";
        case SockFailure::ConnectCanceled:
            return "Connection Canceled";
        case SockFailure::ConnectFailed:
            return "Connection Failed";
        case SockFailure::SendAborted:
            return "Socket send aborted";
        case SockFailure::ReadAborted:
            return "Socket readln aborted";
        case SockFailure::SendTimedOut:
            return "Socket send timed out";
        case SockFailure::ReadTimedOut:
            return "Socket readln timed out";
        case SockFailure::ClosedByPeer:
            return "Connection closed by peer";
        case SockFailure::NotConnected:
            return "Not connected";
        case SockFailure::LineTooLong:
            return "Socket readln line too long";
        case SockFailure::Other:
        case SockFailure::PlatformError:
        case SockFailure::TlsFailed:
            break;
    }
    return "";
}

}  // namespace

ESockError::ESockError(SockFailure kind) : Exception(FailureText(kind)), FKind(kind) {}

AnsiString FieldAt(const AnsiString& text, char separator, int n) {
    AnsiString result;
    int counter = 0;
    for (char c : text) {
        if (c == separator) {
            ++counter;
            if (counter == n)
                break;
        } else if (counter == n - 1) {
            result += c;
        }
    }
    return result;
}

int TPowersock::WinsockUsers() {
    return gWinsockUsers;
}

TPowersock::TPowersock(TComponent* AOwner, platform::SocketApi& sockets, const platform::Clock& clock)
    : TComponent(AOwner), FSockets(sockets), FClock(clock), FSocket(platform::INVALID_SOCKET) {
    ReportStatus(kLevelOperation, "Create");
    FWindow = std::make_unique<platform::MessageWindow>();
    FWindow->setUserSlot(this);
    FWindow->setWindowProc([this](UINT msg, WPARAM wParam, LPARAM lParam) { return windowProc(msg, wParam, lParam); });
    FHostEntryBuffer = std::make_shared<platform::HostEntry>();
    FSendText = std::make_unique<char[]>(kSendTextBytes);
    FTimer = new TThreadTimer(this, FClock);
    FTimer->SetEnabled(false);
    FTimer->SetOnTimer([this](TObject* Sender) { TimerTriggered(Sender); });
    FCancelled = false;
    FDestroying = false;
    FConnected = false;
    FReceiveBuffer = std::make_unique<TMemoryStream>();
    FSpareReceiveBuffer = std::make_unique<TMemoryStream>();
    FSendQueue = std::make_unique<TMemoryStream>();
    FSpareSendBuffer = std::make_unique<TMemoryStream>();
    // On failure the members above are released by their owners (the timer
    // by the component base).
    InitWinsock();
}

TPowersock::~TPowersock() {
    FBeingDestroyed = true;
    ReportStatus(kLevelOperation, "Destroy");
    try {
        Abort();
        Cancel();
    } catch (...) {
        // Destruction goes on whatever the hook does.
    }
    if (FLookupHandle != 0)
        FSockets.CancelAsyncRequest(FLookupHandle);
    delete FTimer;
    FTimer = nullptr;
    FWindow.reset();
    FDestroying = true;
    if (!IsDesigning()) {
        try {
            RequestCloseSocket();
        } catch (...) {
            // A socket that will not close is given up with the session.
        }
        if (--gWinsockUsers == 0)
            FSockets.Cleanup();
    }
}

void TPowersock::ReportStatus(int level, const AnsiString& text) {
    if (level > FReportLevel)
        return;
    FStatus = text;
    if (!FBeingDestroyed && OnStatus) {
        auto handler = OnStatus;
        handler(this, FStatus);
    }
}

bool TPowersock::makeSocket() {
    const platform::SOCKET s = FSockets.CreateStreamSocket();
    if (s == platform::INVALID_SOCKET) {
        FLastError = FSockets.LastError();
        return false;
    }
    if (FSockets.AsyncSelect(s, FWindow->handle(), WM_SOCKETNOTIFY, platform::FD_ALL_EVENTS) != 0) {
        FLastError = FSockets.LastError();
        FSockets.CloseSocket(s);
        return false;
    }
    FSocket = s;
    return true;
}

void TPowersock::InitWinsock() {
    ReportStatus(kLevelOperation, "Initializing Winsock");
    if (IsDesigning())
        return;
    if (++gWinsockUsers == 1)
        FSockets.Startup();
    bool ok = makeSocket();
    // The first socket closes abortively: a session that is closed or
    // destroyed drops its connection at once.
    if (ok && FSockets.SetLinger(FSocket, true, 0) != 0) {
        FLastError = FSockets.LastError();
        FSockets.CloseSocket(FSocket);
        FSocket = platform::INVALID_SOCKET;
        ok = false;
    }
    if (!ok) {
        if (--gWinsockUsers == 0)
            FSockets.Cleanup();
        throw ESockError(SockFailure::StartupFailed);
    }
}

void TPowersock::waitForMessages() {
    platform::WaitForMessages(kPollMs);
    if (Application != nullptr)
        Application->ProcessMessages();
}

platform::Clock::time_point TPowersock::replyDeadline() const {
    const platform::Clock::time_point own =
        FClock.Now() + std::chrono::milliseconds(FTimeOut > 0 ? FTimeOut : kDefaultReplyTimeoutMs);
    return FWaitLimit ? std::min(own, *FWaitLimit) : own;
}

void TPowersock::LimitWaits(int ms) {
    const platform::Clock::time_point limit = FClock.Now() + std::chrono::milliseconds(std::max(ms, 0));
    FWaitLimit = FWaitLimit ? std::min(*FWaitLimit, limit) : limit;
}

void TPowersock::ClearWaitLimit() {
    FWaitLimit.reset();
}

ESockError TPowersock::closedFailure() const {
    if (FPeerClosed && FTlsBreak)
        return ESockError(SockFailure::TlsFailed, *FTlsBreak);
    return ESockError(FPeerClosed ? SockFailure::ClosedByPeer : SockFailure::NotConnected);
}

void TPowersock::postToSelf(UINT msg) {
    platform::PostMessage(FWindow->handle(), msg, 0, reinterpret_cast<LPARAM>(this));
}

void TPowersock::TimerOn() {
    ReportStatus(kLevelOperation, "Timer On");
    FTimedOut = false;
    unsigned interval = static_cast<unsigned>(std::max(FTimeOut, 0));
    if (FWaitLimit) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*FWaitLimit - FClock.Now()).count();
        if (left <= 0) {
            // The limit has passed already: the wait is over before it starts.
            TimerTriggered(FTimer);
            return;
        }
        const auto leftMs = static_cast<unsigned>(std::min<long long>(left, std::numeric_limits<int>::max()));
        interval = interval == 0 ? leftMs : std::min(interval, leftMs);
    }
    FTimer->SetInterval(interval);
    FTimer->SetEnabled(true);
}

void TPowersock::TimerOff() {
    ReportStatus(kLevelOperation, "Timer Off");
    FTimer->SetEnabled(false);
}

void TPowersock::TimerTriggered(TObject*) {
    ReportStatus(kLevelOperation, "Timer Triggered");
    TimerOff();
    FTimedOut = true;
    Abort();
}

void TPowersock::Abort() {}

void TPowersock::Cancel() {
    ReportStatus(kLevelOperation, "Canceling");
    FCancelled = true;
}

void TPowersock::ResolveHost(const AnsiString& name) {
    ReportStatus(kLevelOperation, "Resolve Host");
    FRemoteAddresses.clear();
    const std::uint32_t quad = FSockets.InetAddr(name);
    if (quad != platform::kInaddrNone) {
        // 0.0.0.0 is no address: it would reach this machine.
        if (quad != 0)
            FRemoteAddresses.push_back(platform::IpAddress::V4(quad));
        return;
    }
    if (const std::optional<platform::IpAddress> literal = platform::ParseIpv6(name)) {
        if (!literal->unspecified())
            FRemoteAddresses.push_back(*literal);
        return;
    }
    TimerOn();
    FLookupDone = false;
    // A fresh result area each time: an abandoned look-up that completes
    // later writes into its own area, never into this one.
    FHostEntryBuffer = std::make_shared<platform::HostEntry>();
    FLookupHandle = FSockets.AsyncGetHostByName(FWindow->handle(), WM_HOSTLOOKUP, name, FHostEntryBuffer);
    if (FLookupHandle == 0) {
        FLastError = FSockets.LastError();
        TimerOff();
        throw ESockError(SockFailure::LookupFailed);
    }
    try {
        do {
            waitForMessages();
        } while (!FLookupDone && !FTimedOut && !FCancelled);
    } catch (...) {
        FSockets.CancelAsyncRequest(FLookupHandle);
        FLookupHandle = 0;
        TimerOff();
        throw;
    }
    TimerOff();
    if (!FLookupDone)
        FSockets.CancelAsyncRequest(FLookupHandle);
    FLookupHandle = 0;
    if (FTimedOut)
        throw ESockError(SockFailure::LookupTimedOut);
    if (FCancelled)
        throw ESockError(SockFailure::LookupCanceled);
    if (!FLastEventOk)
        throw ESockError(SockFailure::LookupFailed);
    for (const platform::IpAddress& a : FHostEntryBuffer->addresses) {
        if (!a.unspecified())
            FRemoteAddresses.push_back(a);
    }
    if (OnHostResolved) {
        auto handler = OnHostResolved;
        handler(this);
    }
}

void TPowersock::Connect() {
    ReportStatus(kLevelOperation, "Connecting");
    FCancelled = false;
    if (FConnected)
        throw ESockError(SockFailure::AlreadyConnected);
    FReceiveError.reset();
    int retries = 0;
    ConnectTarget target;
    for (;;) {
        target = Target();
        try {
            ResolveHost(target.host);
        } catch (const ESockError& e) {
            if (e.Kind() == SockFailure::LookupTimedOut || e.Kind() == SockFailure::LookupCanceled)
                throw;
            // Any other look-up failure just leaves the host without an address.
        }
        if (!FRemoteAddresses.empty())
            break;
        if (retries > 0 || !OnInvalidHost)
            throw ESockError(SockFailure::NullAddress);
        bool handled = false;
        auto handler = OnInvalidHost;
        handler(handled);
        if (!handled)
            throw ESockError(SockFailure::NullAddress);
        ++retries;  // the handler may have changed Host
    }

    // The socket that replaces a closed one could not be made then; try again now.
    if (FSocket == platform::INVALID_SOCKET && !makeSocket())
        throw ESockError(SockFailure::PlatformError, ErrorText(FLastError));

    const std::uint16_t port = platform::HostToNetwork16(static_cast<std::uint16_t>(target.port & 0xFFFF));
    FLastEventOk = true;
    if (!target.tlsName.empty()) {
        const int error = FSockets.StartTls(FSocket, target.tlsName, platform::TlsStart::OnConnect);
        if (error != 0)
            throw ESockError(SockFailure::TlsFailed, TlsFailureText(error));
    }
    // One IPv4 address is one plain connect, as it always was; anything more
    // is a race, bounded by the same wait below.
    int started = 0;
    if (FRemoteAddresses.size() == 1 && FRemoteAddresses.front().family == platform::kFamilyInet) {
        platform::SockAddrIn address;
        address.family = platform::kFamilyInet;
        address.port = port;
        address.address = FRemoteAddresses.front().v4();
        started = FSockets.Connect(FSocket, address);
    } else {
        started = FSockets.ConnectRace(FSocket, FRemoteAddresses, port);
    }
    if (started != 0)
        CheckError(platform::WSAEWOULDBLOCK);

    TimerOn();
    // A TLS server can accept the connection and then say nothing; even with
    // TimeOut 0 its handshake gets the bound of a reply.
    const bool tls = !target.tlsName.empty();
    const platform::Clock::time_point handshakeDeadline = replyDeadline();
    try {
        do {
            waitForMessages();
            if (tls && !FConnected && FClock.Now() >= handshakeDeadline)
                FTimedOut = true;
        } while (!FConnected && !FTimedOut && !FCancelled && FLastEventOk);
    } catch (...) {
        TimerOff();
        throw;
    }
    TimerOff();
    if (!FTimedOut && !FCancelled && FLastEventOk)
        return;
    // The connection stands, but its TLS handshake did not end in time: the
    // same failure as a handshake after STLS that runs out of time.
    const bool handshakeTimedOut = FTimedOut && tls && FSockets.TlsHandshaking(FSocket);
    if (OnConnectionFailed) {
        auto handler = OnConnectionFailed;
        handler(this);
    }
    if (handshakeTimedOut)
        throw ESockError(SockFailure::TlsFailed, kTlsHandshakeTimedOut);
    if (FTimedOut)
        throw ESockError(SockFailure::ConnectTimedOut);
    if (FCancelled)
        throw ESockError(SockFailure::ConnectCanceled);
    // The connection was made, but its TLS handshake failed: say why.
    if (platform::IsTlsError(FLastError))
        throw ESockError(SockFailure::TlsFailed, TlsFailureText(FLastError));
    throw ESockError(SockFailure::ConnectFailed);
}

TPowersock::ConnectTarget TPowersock::Target() const {
    return ConnectTarget{FHost, FPort, AnsiString()};
}

AnsiString TPowersock::TlsFailureText(int code) const {
    const std::string why = FSocket != platform::INVALID_SOCKET ? FSockets.TlsFailure(FSocket) : std::string();
    return why.empty() ? AnsiString(platform::TlsErrorText(code)) : AnsiString(why);
}

bool TPowersock::TlsEstablished() const {
    return FConnected && FSocket != platform::INVALID_SOCKET && FSockets.TlsEstablished(FSocket);
}

void TPowersock::StartTls(const AnsiString& serverName) {
    ReportStatus(kLevelOperation, "Start TLS");
    if (!FConnected)
        throw closedFailure();
    FLastEventOk = true;
    const int error = FSockets.StartTls(FSocket, serverName, platform::TlsStart::Now);
    if (error != 0)
        throw ESockError(SockFailure::TlsFailed, TlsFailureText(error));
    // The handshake ends with one more connect notification (with a TLS code
    // when it failed); a close ends it too.
    const platform::Clock::time_point deadline = replyDeadline();
    for (;;) {
        if (FCancelled)
            throw EAbortError("TLS handshake aborted");
        if (!FLastEventOk)
            throw ESockError(
                SockFailure::TlsFailed,
                TlsFailureText(platform::IsTlsError(FLastError) ? FLastError : platform::kTlsHandshakeFailed));
        if (!FConnected)
            throw ESockError(SockFailure::TlsFailed,
                             std::string(platform::TlsErrorText(platform::kTlsHandshakeFailed)) +
                                 ": the server closed the connection");
        if (FSockets.TlsEstablished(FSocket))
            return;
        if (FClock.Now() >= deadline)
            throw ESockError(SockFailure::TlsFailed, kTlsHandshakeTimedOut);
        waitForMessages();
    }
}

void TPowersock::Disconnect() {
    ReportStatus(kLevelOperation, "Disconnecting");
    RequestCloseSocket();
}

void TPowersock::RequestCloseSocket() {
    ReportStatus(kLevelBuffer, "Request Close Socket");
    FConnected = false;
    FPeerClosed = false;
    FTlsBreak.reset();
    if (FSocket == platform::INVALID_SOCKET)
        return;
    if (FSockets.CloseSocket(FSocket) != 0) {
        CheckError(platform::WSAEWOULDBLOCK);
        return;
    }
    FSocket = platform::INVALID_SOCKET;
    // Nothing read or queued for the old connection belongs to the next one.
    FReadPaused = false;
    FReceiveError.reset();
    if (!FBeingDestroyed && OnDisconnect) {
        auto handler = OnDisconnect;
        handler(this);
    }
    // The fresh socket keeps the default linger: it closes gracefully. When it
    // cannot be made, Connect tries again.
    if (!FDestroying)
        makeSocket();
}

void TPowersock::CheckError(int acceptable) {
    ReportStatus(kLevelErrorCheck, "Checking Error In Error Manager");
    const int code = FSockets.LastError();
    FLastError = code;
    if (code == acceptable)
        return;
    throw ESockError(SockFailure::PlatformError, ErrorText(code));
}

LRESULT TPowersock::windowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (FWindow == nullptr || FWindow->userSlot() == nullptr)
        return 0;
    if (msg < WM_SOCKETNOTIFY || msg > WM_READMORE)
        return 0;
    try {
        dispatch(msg, wParam, lParam);
    } catch (...) {
        // Nothing raises into the message loop: the application reports it,
        // as it does for every other handler.
        ReportHandlerException(this);
    }
    return 0;
}

void TPowersock::dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_SOCKETNOTIFY: {
            // A notification still queued for a socket closed since then
            // must not act on its successor.
            if (wParam != FSocket)
                return;
            const int error = platform::HiWord(lParam);
            FLastEventOk = error == 0;
            if (error != 0)
                FLastError = error;
            switch (platform::LoWord(lParam)) {
                case platform::FD_READ:
                    ReadToStream();
                    break;
                case platform::FD_WRITE:
                    WriteFromStream();
                    break;
                case platform::FD_CONNECT:
                    if (FLastEventOk) {
                        FConnected = true;
                        FPeerClosed = false;
                        if (OnConnect) {
                            auto handler = OnConnect;
                            handler(this);
                        }
                    }
                    break;
                case platform::FD_CLOSE: {
                    // Take what the peer sent before it closed; lines already
                    // complete are still handed out by ReadLn.
                    char chunk[kChunkBytes];
                    int n = 0;
                    do {
                        if (FReceiveBuffer->Size() >= kMaxPendingLineBytes)
                            break;
                        n = FSockets.Recv(FSocket, chunk, kMaxChunk);
                        if (n > 0) {
                            FReceiveBuffer->SetPosition(FReceiveBuffer->Size());
                            FReceiveBuffer->WriteBuffer(chunk, n);
                        }
                    } while (n > 0 && !FCancelled);
                    // An alert or a broken record ended the TLS session: its
                    // reason outlives the socket, which goes now.
                    std::optional<AnsiString> tlsBreak;
                    if (platform::IsTlsError(error))
                        tlsBreak = TlsFailureText(error);
                    FConnected = false;
                    RequestCloseSocket();
                    FPeerClosed = true;
                    FTlsBreak = std::move(tlsBreak);
                    break;
                }
                default:
                    break;  // FD_OOB, FD_ACCEPT: nothing to do
            }
            break;
        }
        case WM_HOSTLOOKUP:
            // Only the look-up being waited for counts; a withdrawn one that
            // slipped through says nothing about the current host.
            if (FLookupHandle == 0 || wParam != FLookupHandle)
                return;
            FLastEventOk = platform::HiWord(lParam) == 0;
            if (!FLastEventOk)
                FLastError = platform::HiWord(lParam);
            FLookupDone = true;
            break;
        case WM_SENDMORE:
            WriteFromStream();
            break;
        case WM_READMORE:
            ReadToStream();
            break;
        default:
            break;
    }
}

void TPowersock::ReadToStream() {
    if (FCancelled) {
        FSockets.AsyncSelect(FSocket, FWindow->handle(), 0, 0);
        if (CancelCleanup) {
            auto cleanup = CancelCleanup;
            cleanup(this);
        }
    }
    if (FInHandler)
        return;
    FlagGuard inHandler(FInHandler);
    ReportStatus(kLevelOperation, "ReadToStream");
    if (FReceiveBuffer->Size() >= kMaxPendingLineBytes) {
        // Leave the rest with the peer until ReadLn makes room; it resumes us.
        FReadPaused = true;
        return;
    }
    char chunk[kChunkBytes];
    const int n = FSockets.Recv(FSocket, chunk, kMaxChunk);
    if (n == platform::SOCKET_ERROR) {
        FLastError = FSockets.LastError();
        const AnsiString text = ErrorText(FLastError);
        // Would-block only means the data went elsewhere (DiscardInput took
        // it); any other error ends the line wait with its text. A read
        // request still queued from a connection closed since says nothing
        // about the next one.
        if (FLastError != platform::WSAEWOULDBLOCK && FConnected && !FReceiveError)
            FReceiveError = text;
        return;
    }
    FReceiveBuffer->SetPosition(FReceiveBuffer->Size());
    FReceiveBuffer->WriteBuffer(chunk, n);
    if (n == kMaxChunk)
        postToSelf(WM_READMORE);
}

void TPowersock::WriteFromStream() {
    if (FInHandler)
        return;
    FlagGuard inHandler(FInHandler);
    ReportStatus(kLevelOperation, "WriteFromStream");
    const std::int64_t queued = FSendQueue->Size();
    if (queued == 0 || FCancelled)
        return;
    const int count = static_cast<int>(std::min<std::int64_t>(queued, kMaxChunk));
    const int sent = FSockets.Send(FSocket, FSendQueue->Memory(), count);
    if (sent == platform::SOCKET_ERROR) {
        FLastError = FSockets.LastError();
        // Would-block waits for the next FD_WRITE; anything else ends SendBuffer.
        if (FLastError != platform::WSAEWOULDBLOCK)
            FSendError = FLastError;
        return;
    }
    if (sent >= queued) {
        FSendQueue->Clear();
        FSendDone = true;
        return;
    }
    FSpareSendBuffer->Clear();
    FSpareSendBuffer->WriteBuffer(FSendQueue->Memory() + sent, queued - sent);
    FSendQueue->Clear();
    FSendQueue->Swap(*FSpareSendBuffer);
    FSendQueue->SetPosition(0);
    FInHandler = false;
    postToSelf(WM_SENDMORE);
}

void TPowersock::SendBuffer(const char* data, std::uint16_t count) {
    ReportStatus(kLevelBuffer, "Sending Buffer");
    if (FCancelled)
        return;
    if (data == nullptr)
        return;
    const std::size_t length = count != 0 ? count : std::strlen(data);
    // Nothing to send is done at once; waiting for it would never end.
    if (length == 0)
        return;
    FSendQueue->SetPosition(FSendQueue->Size());
    FSendQueue->WriteBuffer(data, static_cast<std::int64_t>(length));
    FSendDone = false;
    FSendError = 0;
    postToSelf(WM_SENDMORE);

    const platform::Clock::time_point deadline = replyDeadline();
    // Bytes of a send that failed must not go out ahead of the next one.
    auto fail = [this](auto&& error) {
        FSendQueue->Clear();
        throw error;
    };
    // The deadline is looked at only after a turn of the message loop: a send
    // that the platform takes at once is never timed out, even at a limit
    // that has just run out.
    bool waited = false;
    while (!FSendDone) {
        if (FCancelled) {
            FCancelled = false;
            fail(EAbortError(SockFailure::SendAborted));
        }
        if (FSendError != 0)
            fail(ESockError(platform::IsTlsError(FSendError) ? SockFailure::TlsFailed : SockFailure::PlatformError,
                            ErrorText(FSendError)));
        if (!FConnected)
            fail(closedFailure());
        if (waited && FClock.Now() >= deadline)
            fail(ESockError(SockFailure::SendTimedOut));
        waitForMessages();
        waited = true;
    }
}

void TPowersock::Write(const AnsiString& text) {
    ReportStatus(kLevelOperation, "Write");
    std::size_t length = std::min(text.size(), kMaxWriteChars);
    const void* nul = std::memchr(text.data(), '\0', length);
    if (nul != nullptr)
        length = static_cast<std::size_t>(static_cast<const char*>(nul) - text.data());
    std::memcpy(FSendText.get(), text.data(), length);
    FSendText[length] = '\0';
    SendBuffer(FSendText.get(), 0);
}

void TPowersock::Writeln(const AnsiString& text) {
    ReportStatus(kLevelOperation, "Writeln");
    Write(text + "\r\n");
}

AnsiString TPowersock::ReadLn() {
    ReportStatus(kLevelOperation, "ReadLn");
    const platform::Clock::time_point deadline = replyDeadline();
    const char* lineFeed = nullptr;
    bool waited = false;
    for (;;) {
        if (FCancelled)
            throw EAbortError(SockFailure::ReadAborted);
        const std::int64_t buffered = FReceiveBuffer->Size();
        // An empty buffer may have no memory at all.
        if (buffered > 0)
            lineFeed = static_cast<const char*>(
                std::memchr(FReceiveBuffer->Memory(), kLineFeed, static_cast<std::size_t>(buffered)));
        if (lineFeed != nullptr)
            break;
        if (FReceiveError)
            throw ESockError(platform::IsTlsError(FLastError) ? SockFailure::TlsFailed : SockFailure::PlatformError,
                             *FReceiveError);
        if (!FConnected) {
            // The rest of a line from a closed connection can never complete;
            // kept, it would be glued to the next connection's first line.
            FReceiveBuffer->Clear();
            throw closedFailure();
        }
        if (FReceiveBuffer->Size() >= kMaxPendingLineBytes) {
            FReceiveBuffer->Clear();
            if (FReadPaused) {
                FReadPaused = false;
                postToSelf(WM_READMORE);
            }
            throw ESockError(SockFailure::LineTooLong);
        }
        if (waited && FClock.Now() >= deadline)
            throw ESockError(SockFailure::ReadTimedOut);
        waitForMessages();
        waited = true;
    }

    const std::int64_t lineLength = lineFeed - FReceiveBuffer->Memory() + 1;
    AnsiString line(FReceiveBuffer->Memory(), static_cast<std::size_t>(lineLength));
    const std::int64_t rest = FReceiveBuffer->Size() - lineLength;
    if (rest == 0) {
        FReceiveBuffer->Clear();
    } else {
        FSpareReceiveBuffer->Clear();
        FSpareReceiveBuffer->WriteBuffer(FReceiveBuffer->Memory() + lineLength, rest);
        FReceiveBuffer->Clear();
        FReceiveBuffer->Swap(*FSpareReceiveBuffer);
    }
    if (FReadPaused && FReceiveBuffer->Size() < kMaxPendingLineBytes) {
        FReadPaused = false;
        postToSelf(WM_READMORE);
    }
    return line;
}

AnsiString TPowersock::ReadLnCut(std::size_t keep, bool& cut) {
    ReportStatus(kLevelOperation, "ReadLnCut");
    const platform::Clock::time_point deadline = replyDeadline();
    cut = false;
    AnsiString line;
    // Keeps what fits of `count` bytes of the line's text.
    auto take = [&](const char* data, std::size_t count) {
        const std::size_t room = keep - std::min(keep, line.size());
        line.append(data, std::min(room, count));
        cut = cut || count > room;
    };
    bool waited = false;
    for (;;) {
        if (FCancelled)
            throw EAbortError(SockFailure::ReadAborted);
        const std::int64_t buffered = FReceiveBuffer->Size();
        if (buffered > 0) {
            const char* data = FReceiveBuffer->Memory();
            const char* lineFeed =
                static_cast<const char*>(std::memchr(data, kLineFeed, static_cast<std::size_t>(buffered)));
            if (lineFeed != nullptr) {
                std::size_t text = static_cast<std::size_t>(lineFeed - data);
                const bool crlf = text > 0 && data[text - 1] == '\r';
                take(data, crlf ? text - 1 : text);
                line += crlf ? "\r\n" : "\n";
                dropReceived(static_cast<std::int64_t>(text) + 1);
                return line;
            }
            // No line end yet: what does not fit goes now. A CR at the end
            // stays, as it may be the first half of the line end.
            const std::int64_t settled = data[buffered - 1] == '\r' ? buffered - 1 : buffered;
            take(data, static_cast<std::size_t>(settled));
            dropReceived(settled);
        }
        if (FReceiveError)
            throw ESockError(platform::IsTlsError(FLastError) ? SockFailure::TlsFailed : SockFailure::PlatformError,
                             *FReceiveError);
        if (!FConnected) {
            FReceiveBuffer->Clear();
            throw closedFailure();
        }
        if (waited && FClock.Now() >= deadline)
            throw ESockError(SockFailure::ReadTimedOut);
        waitForMessages();
        waited = true;
    }
}

void TPowersock::dropReceived(std::int64_t count) {
    const std::int64_t rest = FReceiveBuffer->Size() - count;
    if (rest <= 0) {
        FReceiveBuffer->Clear();
    } else if (count > 0) {
        FSpareReceiveBuffer->Clear();
        FSpareReceiveBuffer->WriteBuffer(FReceiveBuffer->Memory() + count, rest);
        FReceiveBuffer->Clear();
        FReceiveBuffer->Swap(*FSpareReceiveBuffer);
    }
    if (FReadPaused && FReceiveBuffer->Size() < kMaxPendingLineBytes) {
        FReadPaused = false;
        postToSelf(WM_READMORE);
    }
}

void TPowersock::DiscardInput() {
    FReceiveBuffer->Clear();
    if (FConnected && FSocket != platform::INVALID_SOCKET) {
        char chunk[kChunkBytes];
        std::int64_t taken = 0;
        int n = 0;
        do {
            n = FSockets.Recv(FSocket, chunk, kMaxChunk);
            taken += std::max(n, 0);
        } while (n > 0 && taken < kMaxDiscardBytes);
        // A failure other than would-block is the connection's, not the
        // discarded bytes': it still ends the next line wait.
        if (n == platform::SOCKET_ERROR) {
            const int error = FSockets.LastError();
            if (error != platform::WSAEWOULDBLOCK) {
                FLastError = error;
                if (!FReceiveError)
                    FReceiveError = ErrorText(error);
            }
        }
    }
    if (FReadPaused) {
        FReadPaused = false;
        postToSelf(WM_READMORE);
    }
}

AnsiString TPowersock::Transaction(const AnsiString& command) {
    ReportStatus(kLevelOperation, "Transaction");
    FReplyCode = 0;
    Writeln(command);
    FLastReply = ReadLn();
    if (!FLastReply.empty()) {
        ReportStatus(kLevelReply, FLastReply);
        std::size_t digits = 0;
        while (digits < FLastReply.size() && digits < kMaxReplyDigits && FLastReply[digits] >= '0' &&
               FLastReply[digits] <= '9')
            ++digits;
        if (digits > 0) {
            const long long value = std::stoll(FLastReply.substr(0, digits));
            if (value <= std::numeric_limits<std::int32_t>::max()) {
                // The server's answer, not anything on this side: a refusal.
                if (value > std::numeric_limits<std::int16_t>::max())
                    throw ECheckFailure("Range check error", FailureKind::Refused);
                FReplyCode = static_cast<std::int16_t>(value);
            }
        }
    }
    return FLastReply;
}

AnsiString TPowersock::ErrorText(int code) {
    ReportStatus(kLevelOperation, "Looking Up Error Message");
    if (code == 0)
        return AnsiString();
    if (platform::IsTlsError(code))
        return TlsFailureText(code);
    struct Entry {
        int code;
        const char* text;
    };
    static constexpr Entry kErrors[] = {
        {10004, "Interrupted system call"},
        {10009, "Bad file number"},
        {10013, "Permission denied"},
        {10014, "Bad address"},
        {10022, "Invalid argument"},
        {10024, "Too many open files"},
        {10035, "Operation would block"},
        {10036, "Operation now in progress"},
        {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"},
        {10039, "Destination address required"},
        {10040, "Message too long"},
        {10041, "Wrong protocol type for socket"},
        {10042, "Bad protocol option"},
        {10043, "Protocol not supported"},
        {10044, "Socket type not supported"},
        {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"},
        {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"},
        {10049, "Can't assign requested address"},
        {10050, "Network is down"},
        {10051, "Network is unreachable"},
        {10052, "Network dropped connection or reset"},
        {10053, "Software caused connection abort"},
        {10054, "Connection reset by peer"},
        {10055, "No buffer space available"},
        {10056, "Socket is already connected"},
        {10057, "Socket is not connected"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references, can't splice"},
        {10060, "Connection timed out"},
        {10061, "Connection refused"},
        {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"},
        {10064, "Host is down"},
        {10065, "No route to Host"},
        {10066, "Directory not empty"},
        {10067, "Too many processes"},
        {10068, "Too many users"},
        {10069, "Disc quota exceeded"},
        {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"},
        {10091, "Network subsystem is unavailable"},
        {10092, "Incompatible version of WINSOCK.DLL"},
        {10093, "Successful WSAStartup not yet performed"},
        {11001, "Host not found"},
        {11002, "Non-Authoritative Host not found"},
        {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
        {11004, "Valid name, no data record of requested type"},
    };
    for (const Entry& e : kErrors) {
        if (e.code == code)
            return IntToStr(code) + ":" + e.text;
    }
    return "Unknown Error No. " + IntToStr(code);
}
