// The line-oriented TCP client session the POP3 client is built on: resolves
// the server, connects, sends text, hands out received lines one at a time
// and reports progress as status texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/clock.h"
#include "core/component.h"
#include "core/events.h"
#include "core/exception.h"
#include "core/messages.h"
#include "core/streams.h"
#include "core/text.h"

namespace platform {
class MessageWindow;
class SocketApi;
struct HostEntry;
struct IpAddress;
}  // namespace platform

class TThreadTimer;

// Why an operation of the socket session failed. Callers act on this, never
// on the message, which is the text the user sees.
enum class SockFailure {
    Other,  // raised with a message only (not by the session itself)
    StartupFailed,
    AlreadyConnected,
    LookupFailed,
    LookupTimedOut,
    LookupCanceled,
    NullAddress,
    ConnectTimedOut,
    ConnectCanceled,
    ConnectFailed,
    PlatformError,  // a socket call failed; the message is its code and text
    SendAborted,
    ReadAborted,
    SendTimedOut,
    ReadTimedOut,
    ClosedByPeer,
    NotConnected,
    LineTooLong,
    TlsFailed,  // the TLS layer refused the peer or the session broke; the message says why
};

// Failures of the socket layer; the message is the whole report.
class ESockError : public Exception {
public:
    // Kind Other.
    using Exception::Exception;
    // The session's own text for `kind` (not for PlatformError, which has no fixed text).
    explicit ESockError(SockFailure kind);
    ESockError(SockFailure kind, const AnsiString& message) : Exception(message), FKind(kind) {}

    SockFailure Kind() const { return FKind; }

private:
    SockFailure FKind = SockFailure::Other;
};

// A wait of the socket layer that was ended by Cancel.
class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// Field n (1-based) of text split at every single separator; consecutive
// separators give empty fields and the last field keeps the line end.
AnsiString FieldAt(const AnsiString& text, char separator, int n);

// One TCP client session on its own socket and hidden window.
//
// GUI thread only. Every wait processes all pending messages, so any other
// handler of the application (including one that uses this session) may run
// inside Connect, ReadLn and SendBuffer. Failures are ESockError (EAbortError
// when a wait was cancelled); nothing is reported by return value.
class TPowersock : public TComponent {
public:
    // Works on the given socket layer and takes the time of its deadlines
    // from `clock`; both must outlive the session (tests hand in ones that
    // fail on cue or that they advance). Raises ESockError "Initializaton of
    // windows sockets failed" when no socket can be made.
    TPowersock(TComponent* AOwner, platform::SocketApi& sockets, const platform::Clock& clock);
    // Calls this class's Abort (a derived class whose Abort must run at
    // destruction calls it from its own destructor), then closes the socket.
    ~TPowersock() override;
    const char* ClassName() const override { return "TPowersock"; }

    // Resolves Host anew, connects to Host:Port and waits for the connection.
    // A name's addresses, IPv6 and IPv4, race for it (SocketApi::ConnectRace)
    // within the same connect wait; a dotted quad or an IPv6 address is taken
    // as it is.
    virtual void Connect();
    // Closes the socket and prepares a fresh one; raises OnDisconnect.
    virtual void Disconnect();
    // Sends command plus CR LF and returns the next line read (with its line end).
    virtual AnsiString Transaction(const AnsiString& command);
    // Hook run when the operation timer fires and when the session is
    // destroyed; does nothing here.
    virtual void Abort();
    // Ends the pending wait; the flag stays set until Connect (or a cancelled SendBuffer).
    void Cancel();

    // Sends count bytes of data (count 0: data is NUL-terminated text) and
    // returns when the platform has taken them all.
    void SendBuffer(const char* data, std::uint16_t count);
    // The most characters one Write sends.
    static constexpr std::size_t MaxWriteLength = 16384;
    // Sends text up to its first NUL, at most MaxWriteLength characters.
    void Write(const AnsiString& text);
    // Write of text followed by CR LF (so a text of 16383 characters or more loses its line end).
    void Writeln(const AnsiString& text);
    // Returns the next line received, up to and including its LF.
    AnsiString ReadLn();
    // ReadLn for lines of any length: the next line with at most `keep` bytes
    // before its line end, which is kept (CR LF or LF, as received). The rest
    // of a longer line is dropped as it arrives, so neither memory nor a
    // failure depends on the line's length; `cut` says whether bytes were
    // dropped. Bounded and failing like ReadLn otherwise.
    AnsiString ReadLnCut(std::size_t keep, bool& cut);
    // Drops every byte received and not yet taken by ReadLn: what
    // ReceiveBuffer holds and what the socket has ready now. For a protocol
    // whose next line can only answer the command about to be sent.
    void DiscardInput();

    // Bounds every wait from now on (look-up, connect, line and send waits):
    // none goes on past `ms` milliseconds from now, nor past a limit set
    // before; each keeps its own bound as well. A wait cut short fails as its
    // own time-out does. Lasts until ClearWaitLimit.
    void LimitWaits(int ms);
    void ClearWaitLimit();
    // The limit of LimitWaits is set and has passed on the session's clock:
    // for a reader of many lines that arrive faster than it reads them, and
    // so never waits.
    bool WaitLimitPassed() const { return FWaitLimit && FClock.Now() >= *FWaitLimit; }

    const AnsiString& Host() const { return FHost; }
    void SetHost(const AnsiString& Value) { FHost = Value; }
    int Port() const { return FPort; }
    void SetPort(int Value) { FPort = Value; }
    // Milliseconds; bounds each name look-up and connect wait (0 = unbounded)
    // and each line and send wait (0 = the default reply bound). Negative counts as 0.
    int TimeOut() const { return FTimeOut; }
    void SetTimeOut(int Value) { FTimeOut = Value; }
    // Status texts of a level above this are not reported (0 = none).
    int ReportLevel() const { return FReportLevel; }
    void SetReportLevel(int Value) { FReportLevel = Value; }

    bool Connected() const { return FConnected; }
    bool Cancelled() const { return FCancelled; }
    const AnsiString& Status() const { return FStatus; }
    const AnsiString& LastReply() const { return FLastReply; }
    std::int16_t ReplyCode() const { return FReplyCode; }
    int LastError() const { return FLastError; }
    // Received bytes not yet taken by ReadLn; its position is kept at its end.
    TMemoryStream& ReceiveBuffer() { return *FReceiveBuffer; }

    // Live sessions in the process (the socket library runs while it is above 0).
    static int WinsockUsers();

    TNotifyEvent OnConnect;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;  // never raised by the session
    THandlerEvent OnInvalidHost;
    THandlerEvent OnConnectionRequired;  // never raised by the session
    std::function<void(TComponent* Sender)> OnHostResolved;
    std::function<void(TComponent* Sender, const AnsiString& Status)> OnStatus;
    // Called by the read handler when input arrives for a cancelled session.
    TNotifyEvent CancelCleanup;

    const platform::Clock& SessionClock() const { return FClock; }

protected:
    // Where Connect goes and how. tlsName non-empty: TLS from the first byte,
    // the certificate checked against that name.
    struct ConnectTarget {
        AnsiString host;
        int port = 0;
        AnsiString tlsName;
    };
    // Host and Port, in clear. A derived class that reads more out of Host (a
    // scheme, a port) answers here, and may raise when Host cannot be used;
    // Connect asks again after OnInvalidHost has changed Host.
    virtual ConnectTarget Target() const;
    // Switches the connected socket to TLS, checked against serverName, and
    // waits for the handshake, bounded like a reply. Raises ESockError with
    // the reason ("TLS certificate verify failed: ...", "TLS handshake timed
    // out"), EAbortError when cancelled.
    void StartTls(const AnsiString& serverName);
    // True while connected over an established TLS session.
    bool TlsEstablished() const;

    // What the session works on, for a derived class that needs a second
    // session of its own beside it.
    platform::SocketApi& SocketLayer() const { return FSockets; }
    // The bound LimitWaits set, if any.
    std::optional<platform::Clock::time_point> WaitLimit() const { return FWaitLimit; }

private:
    void InitWinsock();
    void ResolveHost(const AnsiString& name);
    AnsiString TlsFailureText(int code) const;
    void RequestCloseSocket();
    void CheckError(int acceptable);
    AnsiString ErrorText(int code);
    void ReportStatus(int level, const AnsiString& text);
    void TimerOn();
    void TimerOff();
    void TimerTriggered(TObject* Sender);
    void ReadToStream();
    // Takes the first `count` received bytes out of ReceiveBuffer, and lets
    // receiving resume when it waited for room.
    void dropReceived(std::int64_t count);
    void WriteFromStream();
    platform::LRESULT windowProc(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void dispatch(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);
    void waitForMessages();
    platform::Clock::time_point replyDeadline() const;
    bool makeSocket();
    void postToSelf(platform::UINT msg);
    // The failure of a wait that finds the connection gone.
    ESockError closedFailure() const;

    platform::SocketApi& FSockets;
    const platform::Clock& FClock;
    bool FInHandler = false;
    bool FCancelled = false;
    bool FDestroying = false;
    bool FBeingDestroyed = false;  // no OnStatus from the destructor on
    int FLastError = 0;
    int FTimeOut = 0;
    int FReportLevel = 0;
    AnsiString FStatus;
    std::unique_ptr<char[]> FSendText;
    TThreadTimer* FTimer = nullptr;  // owned as a component
    std::unique_ptr<TMemoryStream> FSendQueue;
    std::unique_ptr<TMemoryStream> FSpareSendBuffer;
    std::unique_ptr<TMemoryStream> FSpareReceiveBuffer;
    bool FLastEventOk = true;
    bool FTimedOut = false;
    int FPort = 0;
    bool FLookupDone = false;
    std::uintptr_t FLookupHandle = 0;                   // the look-up being waited for; 0 = none
    std::vector<platform::IpAddress> FRemoteAddresses;  // what Host resolved to; empty = none
    AnsiString FHost;
    std::shared_ptr<platform::HostEntry> FHostEntryBuffer;
    AnsiString FLastReply;
    std::int16_t FReplyCode = 0;
    bool FSendDone = false;
    int FSendError = 0;                                     // a send failed with this code (not would-block)
    bool FPeerClosed = false;                               // the peer closed the connection we had
    std::optional<AnsiString> FTlsBreak;                    // ...and its TLS session broke first: why
    bool FReadPaused = false;                               // receiving stopped because the buffer is full
    std::optional<AnsiString> FReceiveError;                // a receive failed (not would-block): its text
    std::optional<platform::Clock::time_point> FWaitLimit;  // see LimitWaits
    std::uint16_t FSocket;
    std::unique_ptr<platform::MessageWindow> FWindow;
    std::unique_ptr<TMemoryStream> FReceiveBuffer;
    bool FConnected = false;
};
