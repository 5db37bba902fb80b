#include "net/kxpop3.h"

#include "framework/exception.h"

namespace {

constexpr int kPop3Port = 110;
constexpr char kAuthenticationFailed[] = "Authentication failed";
constexpr char kReplyOk[] = "+OK";
constexpr char kFieldSeparator = ' ';
constexpr int kReplyStatusField = 1;
constexpr int kStatCountField = 2;  // RFC 1939: "+OK nn mm", nn messages

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

    try {
        TPowersock::Connect();
        try {
            const AnsiString greeting = ReadLn();
            if (!ReplyAccepted(greeting))
                throw Exception(greeting);

            attempts = 0;
            bool done = false;
            while (!done) {
                if (checkLogonReply(Transaction("USER " + FUserID), attempts))
                    done = checkLogonReply(Transaction("PASS " + FPassword), attempts);
                ++attempts;
            }
            loggedOn = true;

            const AnsiString stat = Transaction("STAT");
            if (!ReplyAccepted(stat))
                throw Exception(stat);
            FMessageCount = StrToIntDef(FieldAt(stat, kFieldSeparator, kStatCountField), 0);
        } catch (...) {
            // Say QUIT and close; a failure in here replaces the first one.
            Disconnect();
            throw;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

void TKxPOP3::Disconnect() {
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
