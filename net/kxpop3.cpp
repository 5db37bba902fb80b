#include "net/kxpop3.h"

#include <cstring>
#include <exception>

#include "framework/exception.h"
#include "net/server_address.h"

namespace {

constexpr int kPop3Port = 110;
constexpr char kAuthenticationFailed[] = "Authentication failed";
constexpr char kReplyOk[] = "+OK";
constexpr char kFieldSeparator = ' ';
constexpr int kReplyStatusField = 1;
constexpr int kStatCountField = 2;  // RFC 1939: "+OK nn mm", nn messages
constexpr char kStlsRefused[] = "Server refused STLS";
constexpr char kTlsMissing[] = "TLS was asked for but the connection is not protected";

// A failure after which the connection is already closed: Connect passes the
// error on as it is, without the QUIT that would replace it.
struct ClosedWithError {
    std::exception_ptr error;
};

constexpr char kUserCommand[] = "USER ";
constexpr char kPassCommand[] = "PASS ";
// The QUIT after a failure is a courtesy to the server: it may not keep the
// caller waiting long, even without a time-out of its own.
constexpr int kQuitAfterFailureMs = 2000;
// CR LF ends every command line.
constexpr std::size_t kLineEndLength = 2;

// A value that would end its command line early (CR, LF) or cut it short
// (NUL, where the session's Write stops).
void RefuseBreaks(const AnsiString& value, const char* what) {
    if (value.find_first_of("\r\n") != AnsiString::npos)
        throw Exception(AnsiString(what) + " contains a line break");
    if (value.find('\0') != AnsiString::npos)
        throw Exception(AnsiString(what) + " contains a NUL character");
}

// A command that Write would cut before its line end, so that the next
// command joined it on the server's side.
void RefuseOverlong(const char* command, const AnsiString& value, const char* what) {
    if (std::strlen(command) + value.size() + kLineEndLength > TPowersock::MaxWriteLength)
        throw Exception(AnsiString(what) + " is too long");
}

// Ends the session's wait limit on every way out of a scope.
class WaitLimitScope {
public:
    explicit WaitLimitScope(TPowersock& session) : session_(session) {}
    ~WaitLimitScope() { session_.ClearWaitLimit(); }
    WaitLimitScope(const WaitLimitScope&) = delete;
    WaitLimitScope& operator=(const WaitLimitScope&) = delete;

private:
    TPowersock& session_;
};

// A reply is accepted when "+OK" appears anywhere in its first word. This is
// looser than RFC 1939 (which wants the line to start with it), and servers
// in the field have been checked against exactly this test, so it stays.
bool ReplyAccepted(const AnsiString& reply) {
    return FieldAt(reply, kFieldSeparator, kReplyStatusField).find(kReplyOk) != AnsiString::npos;
}

}  // namespace

TKxPOP3::TKxPOP3(TComponent* AOwner, platform::SocketApi& sockets, const platform::Clock& clock)
    : TPowersock(AOwner, sockets, clock),
      FSummary(std::make_unique<TSummary>()),
      FMailMessage(std::make_unique<TMailMessage>()) {
    SetPort(kPop3Port);
    // Input that arrives after a Cancel belongs to a dialogue nobody waits for
    // any more: drop the connection rather than leave half a reply behind.
    CancelCleanup = [this](TObject*) { dropConnection(); };
    FUUProcessor = new TKxUUProcessor(this);
}

TKxPOP3::~TKxPOP3() {
    FSummary.reset();
    FMailMessage.reset();
    delete FUUProcessor;
    FUUProcessor = nullptr;
    // The session's destructor can only reach its own Abort, so ours runs
    // here, while this object is still whole.
    Abort();
    CancelCleanup = nullptr;
}

void TKxPOP3::dropConnection() {
    TPowersock::Disconnect();
    ReceiveBuffer().Clear();
}

void TKxPOP3::Abort() {
    if (Cancelled() || !Connected())
        return;
    if (FBusy) {
        // The log-on's pending wait ends with the session's abort exception
        // and Connect takes its failure path (QUIT, close).
        Cancel();
    } else {
        dropConnection();
    }
}

AnsiString TKxPOP3::Transaction(const AnsiString& command) {
    DiscardInput();
    return TPowersock::Transaction(command);
}

void TKxPOP3::checkCommandValues() const {
    RefuseBreaks(Host(), "Host name");
    RefuseBreaks(FUserID, "User ID");
    RefuseBreaks(FPassword, "Password");
    RefuseOverlong(kUserCommand, FUserID, "User ID");
    RefuseOverlong(kPassCommand, FPassword, "Password");
}

void TKxPOP3::quitAfterFailure() {
    LimitWaits(kQuitAfterFailureMs);
    try {
        Disconnect();
    } catch (const ESockError& e) {
        // QUIT ran out of time; the failure that ended the log-on says more.
        if (!e.IsTimeOut())
            throw;
    }
}

bool TKxPOP3::checkLogonReply(const AnsiString& reply, int& attempts) {
    if (ReplyAccepted(reply))
        return true;
    // The server's refusal text is not passed on: it may echo the user ID.
    if (attempts > 0 || !OnAuthenticationFailed)
        throw Exception(kAuthenticationFailed);
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled)
        throw Exception(kAuthenticationFailed);
    ++attempts;
    return false;
}

TPowersock::ConnectTarget TKxPOP3::Target() const {
    // Connect has read Host already; one set by a handler since then is read
    // again, and one that cannot be used ends the connect with the refusal
    // (the resolver must never see it).
    const ServerAddress address = ParseServerAddress(Host(), Port());
    ConnectTarget target{address.host, address.port, AnsiString()};
    if (address.security == TransportSecurity::Implicit)
        target.tlsName = address.host;
    return target;
}

void TKxPOP3::startTlsSession(const AnsiString& serverName) {
    AnsiString reply;
    try {
        reply = Transaction("STLS");
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError&) {
        // Closed or silent instead of an answer: never fall back to plain.
        dropConnection();
        throw ClosedWithError{std::make_exception_ptr(ESockError(SockFailure::TlsFailed, kStlsRefused))};
    }
    if (!ReplyAccepted(reply)) {
        // No QUIT: waiting for its answer would only keep a server that
        // refused from ending the check at once.
        dropConnection();
        throw ClosedWithError{std::make_exception_ptr(ESockError(SockFailure::TlsFailed, kStlsRefused))};
    }
    // Anything after the +OK came in clear and could have been injected by
    // someone on the path; nothing may pass for a reply from inside TLS.
    if (ReceiveBuffer().Size() != 0) {
        dropConnection();
        throw ClosedWithError{
            std::make_exception_ptr(ESockError(SockFailure::TlsFailed, "Server sent data after accepting STLS"))};
    }
    try {
        StartTls(serverName);
    } catch (const Exception&) {
        // No QUIT: it could only go out in clear or into a broken session.
        dropConnection();
        throw ClosedWithError{std::current_exception()};
    }
}

void TKxPOP3::Connect() {
    int attempts = 0;
    while (FPassword.empty() || FUserID.empty()) {
        if (!OnAuthenticationNeeded)
            throw Exception(kAuthenticationFailed);
        // The handler had its one chance; go on with what it left.
        if (attempts > 0)
            break;
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled)
            throw Exception(kAuthenticationFailed);
        ++attempts;
    }
    checkCommandValues();

    // Refuses a server field it cannot read before anything goes out.
    const ServerAddress address = ParseServerAddress(Host(), Port());

    // A nested Connect (from a handler run inside one of our waits) must not
    // clear the outer one's flag.
    const bool wasBusy = FBusy;
    FBusy = true;
    bool loggedOn = false;
    auto finish = [&] {
        if (!wasBusy)
            FBusy = false;
        if (loggedOn && OnConnect)
            OnConnect(this);
    };

    // The time-out bounds the check as a whole. A nested Connect leaves the
    // outer one's bound alone.
    if (!wasBusy) {
        ClearWaitLimit();
        if (TimeOut() > 0)
            LimitWaits(TimeOut());
    }
    try {
        const bool wasConnected = Connected();
        try {
            TPowersock::Connect();
        } catch (const Exception&) {
            // A socket whose handshake failed or stalled is of no further use
            // (one that was connected already belongs to someone else).
            if (address.security == TransportSecurity::Implicit && !wasConnected)
                dropConnection();
            throw;
        }
        try {
            const AnsiString greeting = ReadLn();
            if (!ReplyAccepted(greeting))
                throw Exception(greeting);
            if (address.security == TransportSecurity::StartTls)
                startTlsSession(address.host);
            // The password goes out only inside the TLS session that was asked for.
            if (address.security != TransportSecurity::Plain && !TlsEstablished()) {
                dropConnection();
                throw ClosedWithError{std::make_exception_ptr(ESockError(SockFailure::TlsFailed, kTlsMissing))};
            }

            attempts = 0;
            bool done = false;
            while (!done) {
                if (checkLogonReply(Transaction(kUserCommand + FUserID), attempts))
                    done = checkLogonReply(Transaction(kPassCommand + FPassword), attempts);
                ++attempts;
            }
            loggedOn = true;

            const AnsiString stat = Transaction("STAT");
            if (!ReplyAccepted(stat))
                throw Exception(stat);
            FMessageCount = StrToIntDef(FieldAt(stat, kFieldSeparator, kStatCountField), 0);
        } catch (const ClosedWithError& closed) {
            std::rethrow_exception(closed.error);
        } catch (...) {
            // Say QUIT and close; a failure in here (other than running out
            // of time) replaces the first one.
            quitAfterFailure();
            throw;
        }
    } catch (...) {
        if (!wasBusy)
            ClearWaitLimit();
        finish();
        throw;
    }
    finish();
}

void TKxPOP3::Disconnect() {
    // The check ends here, however QUIT goes.
    const WaitLimitScope endOfCheck(*this);
    try {
        const AnsiString reply = Transaction("QUIT");
        if (!ReplyAccepted(reply))
            throw Exception(reply);
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
}
