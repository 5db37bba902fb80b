#include "net/kxpop3.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <exception>
#include <string_view>

#include "core/exception.h"
#include "core/text.h"
#include "net/report_text.h"
#include "net/sasl.h"
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
        throw ECheckFailure(AnsiString(what) + " contains a line break", FailureKind::Usage);
    if (value.find('\0') != AnsiString::npos)
        throw ECheckFailure(AnsiString(what) + " contains a NUL character", FailureKind::Usage);
}

// A command that Write would cut before its line end, so that the next
// command joined it on the server's side.
void RefuseOverlong(const char* command, const AnsiString& value, const char* what) {
    if (std::strlen(command) + value.size() + kLineEndLength > TPowersock::MaxWriteLength)
        throw ECheckFailure(AnsiString(what) + " is too long", FailureKind::Usage);
}

AnsiString Upper(std::string_view text) {
    AnsiString result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

// Response codes (RFC 2449 section 8, RFC 3206) that mean "not now": the
// mailbox is in use, log-ons come too often, or the server has a passing
// fault. A code below one of them ("IN-USE/..." ) means the same.
constexpr std::string_view kTemporaryCodes[] = {"IN-USE", "LOGIN-DELAY", "SYS/TEMP"};

// The kind of an -ERR reply, by its response code: "-ERR [IN-USE] ...".
FailureKind RefusalKind(const AnsiString& reply) {
    const std::size_t space = reply.find(kFieldSeparator);
    if (space == AnsiString::npos || space + 1 >= reply.size() || reply[space + 1] != '[')
        return FailureKind::Refused;
    const std::size_t close = reply.find(']', space + 2);
    if (close == AnsiString::npos)
        return FailureKind::Refused;
    const AnsiString code = Upper(std::string_view(reply).substr(space + 2, close - space - 2));
    for (std::string_view temporary : kTemporaryCodes) {
        if (code == temporary ||
            (code.size() > temporary.size() && code.starts_with(temporary) && code[temporary.size()] == '/'))
            return FailureKind::Temporary;
    }
    return FailureKind::Refused;
}

// Words with which servers say a log-on needs TLS ("Plaintext authentication
// disallowed on non-secure (SSL/TLS) connections.", "TLS required to log in.").
constexpr std::string_view kTlsWords[] = {"TLS", "SSL", "SECURE", "ENCRYPT"};

bool NamesTls(const AnsiString& reply) {
    // Whole words only: a user called "kessler" or "bartls" says nothing of
    // TLS. Some more words say it, and so do the forms of "encrypt".
    static constexpr std::string_view kMoreWords[] = {"STARTTLS", "STLS", "INSECURE"};
    static constexpr std::string_view kStems[] = {"ENCRYPT", "UNENCRYPT"};
    std::size_t i = 0;
    while (i < reply.size()) {
        const auto c = static_cast<unsigned char>(reply[i]);
        if (!std::isalpha(c) || c >= 0x80) {
            // A double-byte character is no letter, and neither is its trail byte.
            i += IsLeadByte(c) && i + 1 < reply.size() ? 2 : 1;
            continue;
        }
        std::size_t end = i;
        while (end < reply.size() && static_cast<unsigned char>(reply[end]) < 0x80 &&
               std::isalpha(static_cast<unsigned char>(reply[end])))
            ++end;
        const AnsiString word = Upper(std::string_view(reply).substr(i, end - i));
        if (std::find(std::begin(kTlsWords), std::end(kTlsWords), word) != std::end(kTlsWords) ||
            std::find(std::begin(kMoreWords), std::end(kMoreWords), word) != std::end(kMoreWords) ||
            std::any_of(std::begin(kStems), std::end(kStems),
                        [&](std::string_view stem) { return word.starts_with(stem); }))
            return true;
        i = end;
    }
    return false;
}

// The capability probe after a refused log-on is brief, whatever the time-out.
constexpr int kProbeLimitMs = 5000;
// A CAPA answer longer than this is no answer worth reading to the end.
constexpr int kMaxCapabilityLines = 64;

// The lines of a CAPA answer after its +OK, upper-cased and without line
// ends, up to the "." that ends them. `complete` tells whether the "." came.
struct Capabilities {
    std::vector<AnsiString> lines;
    bool complete = false;
};

Capabilities ReadCapabilities(TPowersock& session) {
    Capabilities capabilities;
    for (int i = 0; i < kMaxCapabilityLines && !capabilities.complete; ++i) {
        const AnsiString line = Upper(session.ReadLn());
        const AnsiString text = line.substr(0, line.find_first_of("\r\n"));
        capabilities.complete = text == ".";
        if (!capabilities.complete)
            capabilities.lines.push_back(text);
    }
    return capabilities;
}

// The name of a capability line ("SASL PLAIN XOAUTH2" is SASL).
AnsiString CapabilityName(const AnsiString& line) {
    return FieldAt(line, kFieldSeparator, 1);
}

// The mechanisms of the SASL capability (RFC 5034 section 6).
std::vector<std::string> SaslMechanisms(const Capabilities& capabilities) {
    std::vector<std::string> mechanisms;
    for (const AnsiString& line : capabilities.lines) {
        if (CapabilityName(line) != "SASL")
            continue;
        for (int field = 2;; ++field) {
            const AnsiString name = FieldAt(line, kFieldSeparator, field);
            if (name.empty())
                break;
            mechanisms.push_back(name);
        }
    }
    return mechanisms;
}

// "+ ..." (or a bare "+"): the server waits for the next line of an AUTH.
bool IsContinuation(const AnsiString& reply) {
    return !reply.empty() && reply[0] == '+' && (reply.size() == 1 || reply[1] == ' ' || reply[1] == '\r');
}

constexpr char kTokenNeedsTls[] = "A sign-in token goes only over TLS: write the server as pop3s://";
constexpr char kNoMechanism[] =
    "The server offers no sign-in this account can use (XOAUTH2 or OAUTHBEARER in its SASL capability)";

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

AnsiString TKxPOP3::wireText(const AnsiString& value) const {
    if (FCredentialText == CredentialText::Utf8)
        return value;
    // Bytes that are no CP932 text (only a hand-edited store holds such)
    // go out as they are, as they always did.
    return TryCp932ToUtf8(value).value_or(value);
}

void TKxPOP3::checkCommandValues() const {
    const AnsiString user = wireText(FUserID);
    const AnsiString password = wireText(FPassword);
    RefuseBreaks(Host(), "Host name");
    RefuseBreaks(user, "User ID");
    RefuseBreaks(password, "Password");
    RefuseOverlong(kUserCommand, user, "User ID");
    RefuseOverlong(kPassCommand, password, "Password");
}

AnsiString TKxPOP3::redacted(const AnsiString& reply) const {
    // The password as the program holds it and as it went out, and the SASL
    // PLAIN responses made of it, in any form a server may echo them in.
    const AnsiString wirePassword = wireText(FPassword);
    std::vector<std::string> secrets = {FPassword, wirePassword};
    secrets.insert(secrets.end(), FSentTokens.begin(), FSentTokens.end());
    if (!FPassword.empty())
        for (std::string& plain : SaslPlainResponses(wireText(FUserID), wirePassword))
            secrets.push_back(std::move(plain));
    return RedactSecrets(reply, secrets);
}

ECheckFailure TKxPOP3::refusal(const AnsiString& reply, const AnsiString& message) const {
    const AnsiString shown = redacted(reply);
    return ECheckFailure(message.empty() ? shown : message, RefusalKind(reply), shown);
}

void TKxPOP3::quitAfterFailure() noexcept {
    try {
        LimitWaits(kQuitAfterFailureMs);
        Disconnect();
    } catch (...) {
        // A server that closes after its -ERR, a QUIT refused or unanswered:
        // the failure that ended the log-on is the one that tells what happened.
    }
}

bool TKxPOP3::checkLogonReply(const AnsiString& reply, int& attempts) {
    if (ReplyAccepted(reply))
        return true;
    if (attempts > 0 || !OnAuthenticationFailed)
        throw refusal(reply, kAuthenticationFailed);
    bool handled = false;
    OnAuthenticationFailed(handled);
    if (!handled)
        throw refusal(reply, kAuthenticationFailed);
    ++attempts;
    return false;
}

AnsiString TKxPOP3::tlsAdvice(const ServerAddress& address, const AnsiString& reply, bool refusedAtUser,
                              std::optional<platform::Clock::time_point> limit) {
    const bool textSaysTls = NamesTls(reply);
    // A refused password is a wrong password; a refused user name may be a
    // server that takes no user name in clear at all.
    if (!textSaysTls && !refusedAtUser)
        return AnsiString();

    // A second connection that sends no credential: RFC 2449 CAPA tells
    // whether the server offers STLS and whether it takes USER in clear.
    bool capaRead = false;
    bool offersStls = false;
    bool takesUser = false;
    int boundMs = kProbeLimitMs;
    if (limit) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*limit - SessionClock().Now()).count();
        boundMs = static_cast<int>(std::min<long long>(left, boundMs));
    }
    if (boundMs > 0) {
        try {
            TPowersock probe(nullptr, SocketLayer(), SessionClock());
            probe.SetHost(address.host);
            probe.SetPort(address.port);
            probe.SetTimeOut(boundMs);
            probe.LimitWaits(boundMs);
            probe.Connect();
            if (ReplyAccepted(probe.ReadLn())) {
                if (ReplyAccepted(probe.Transaction("CAPA"))) {
                    const Capabilities capabilities = ReadCapabilities(probe);
                    capaRead = capabilities.complete;
                    for (const AnsiString& line : capabilities.lines) {
                        offersStls = offersStls || CapabilityName(line) == "STLS";
                        takesUser = takesUser || CapabilityName(line) == "USER";
                    }
                }
                probe.Transaction("QUIT");
            }
        } catch (const Exception&) {
            // No answer is no evidence; what was read so far still counts.
        }
    }
    if (!textSaysTls && !(capaRead && offersStls && !takesUser))
        return AnsiString();

    const AnsiString host = HostInField(address.host);
    AnsiString starttls = "pop3+starttls://" + host;
    if (address.port != kPop3PlainPort)
        starttls += ":" + IntToStr(address.port);
    const AnsiString implicit = host + ":" + IntToStr(kPop3TlsPort);
    const AnsiString form = offersStls ? starttls : capaRead ? implicit : starttls + " or " + implicit;
    return "Advice: the server wants TLS for the log-on; write the server as " + form;
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

void TKxPOP3::startTlsSession(const AnsiString& serverName, LogonProgress& progress) {
    // Every failure here leaves the connection closed without QUIT: it could
    // only go out in clear, into a broken session, or keep a server that
    // refused from ending the check at once.
    AnsiString reply;
    try {
        reply = Transaction("STLS");
    } catch (const EAbortError&) {
        throw;
    } catch (const ESockError&) {
        // Closed or silent instead of an answer: never fall back to plain.
        progress.mayQuit = false;
        dropConnection();
        throw ESockError(SockFailure::TlsFailed, kStlsRefused);
    }
    progress.mayQuit = false;
    if (!ReplyAccepted(reply)) {
        dropConnection();
        throw ECheckFailure(kStlsRefused, FailureKind::Tls, reply);
    }
    // Anything after the +OK came in clear and could have been injected by
    // someone on the path; nothing may pass for a reply from inside TLS.
    if (ReceiveBuffer().Size() != 0) {
        dropConnection();
        throw ESockError(SockFailure::TlsFailed, "Server sent data after accepting STLS");
    }
    try {
        StartTls(serverName);
    } catch (const Exception&) {
        dropConnection();
        throw;
    }
    progress.mayQuit = true;
}

void TKxPOP3::requireCredentials() {
    int asked = 0;
    while (FPassword.empty() || FUserID.empty()) {
        // Nothing was sent: what is missing is the user's to give, not a
        // server's refusal.
        if (!OnAuthenticationNeeded)
            throw ECheckFailure(kAuthenticationFailed, FailureKind::Usage);
        // The handler had its one chance; go on with what it left.
        if (asked > 0)
            break;
        bool handled = false;
        OnAuthenticationNeeded(handled);
        if (!handled)
            throw ECheckFailure(kAuthenticationFailed, FailureKind::Usage);
        ++asked;
    }
}

void TKxPOP3::logOn(const ServerAddress& address, LogonProgress& progress) {
    // A sign-in that cannot give a token ends the check before it connects.
    std::string token;
    if (FBearer)
        token = FBearer->token(false);
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
    progress.mayQuit = true;

    const AnsiString greeting = ReadLn();
    if (!ReplyAccepted(greeting))
        throw refusal(greeting);
    if (address.security == TransportSecurity::StartTls)
        startTlsSession(address.host, progress);
    // The password goes out only inside the TLS session that was asked for.
    if (address.security != TransportSecurity::Plain && !TlsEstablished()) {
        progress.mayQuit = false;
        dropConnection();
        throw ESockError(SockFailure::TlsFailed, kTlsMissing);
    }

    if (FBearer)
        bearerLogOn(address, std::move(token), progress);
    else
        passwordLogOn(progress);
    progress.step = LogonStep::None;
    progress.loggedOn = true;

    const AnsiString stat = Transaction("STAT");
    if (!ReplyAccepted(stat))
        throw refusal(stat);
    FMessageCount = StrToIntDef(FieldAt(stat, kFieldSeparator, kStatCountField), 0);
}

void TKxPOP3::passwordLogOn(LogonProgress& progress) {
    int attempts = 0;
    bool done = false;
    while (!done) {
        progress.step = LogonStep::User;
        if (checkLogonReply(Transaction(kUserCommand + wireText(FUserID)), attempts)) {
            progress.step = LogonStep::Pass;
            done = checkLogonReply(Transaction(kPassCommand + wireText(FPassword)), attempts);
        }
        ++attempts;
    }
}

void TKxPOP3::bearerLogOn(const ServerAddress& address, std::string token, LogonProgress& progress) {
    progress.step = LogonStep::Auth;
    const AnsiString capa = Transaction("CAPA");
    const std::string mechanism =
        ReplyAccepted(capa) ? ChooseMechanism(SaslMechanisms(ReadCapabilities(*this)), FBearer->mechanisms) : "";
    if (mechanism.empty())
        throw ECheckFailure(kNoMechanism, FailureKind::Usage, ReplyAccepted(capa) ? AnsiString() : redacted(capa));

    const AnsiString user = wireText(FUserID);
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0)
            token = FBearer->token(true);
        const std::string response = mechanism == kXoauth2
                                         ? Xoauth2Response(user, token)
                                         : OauthBearerResponse(user, address.host, address.port, token);
        FSentTokens.push_back(token);
        FSentTokens.push_back(response);
        RefuseBreaks(token, "Access token");
        RefuseOverlong("", response, "Access token");

        const AnsiString go = Transaction("AUTH " + mechanism);
        if (!IsContinuation(go))
            throw refusal(go, kAuthenticationFailed);
        AnsiString reply = Transaction(response);
        // The error challenge of a rejected token (RFC 7628 section 3.2.2):
        // answered, so that the server says its -ERR and the session goes on.
        if (IsContinuation(reply))
            reply = Transaction(AnsiString(ErrorChallengeAnswer(mechanism)));
        if (ReplyAccepted(reply))
            return;
        ECheckFailure refused = refusal(reply, kAuthenticationFailed);
        // A token the server did not take may only have expired early; a
        // server that says "not now" is not helped by another.
        if (attempt > 0 || refused.Kind() != FailureKind::Refused)
            throw refused;
    }
}

void TKxPOP3::logOnFailed(const ServerAddress& address, const LogonProgress& progress,
                          const std::exception_ptr& failure, std::optional<platform::Clock::time_point> checkLimit) {
    // Say QUIT and close; the failure that ended the log-on goes on.
    if (progress.mayQuit)
        quitAfterFailure();
    if (progress.step == LogonStep::None || address.security != TransportSecurity::Plain)
        return;
    try {
        std::rethrow_exception(failure);
    } catch (ECheckFailure& refused) {
        if (refused.Kind() == FailureKind::Refused)
            refused.SetAdvice(tlsAdvice(address, refused.ServerReply(), progress.step == LogonStep::User, checkLimit));
    } catch (...) {
        // Only a refusal gets advice.
    }
}

void TKxPOP3::Connect() {
    FSentTokens.clear();
    if (FBearer) {
        if (FUserID.empty())
            throw ECheckFailure(kAuthenticationFailed, FailureKind::Usage);
    } else {
        requireCredentials();
    }
    checkCommandValues();
    // Refuses a server field it cannot read before anything goes out.
    const ServerAddress address = ParseServerAddress(Host(), Port());
    if (FBearer && address.security == TransportSecurity::Plain)
        throw ECheckFailure(kTokenNeedsTls + HostInField(address.host) + " or " + HostInField(address.host) + ":" +
                                IntToStr(kPop3TlsPort),
                            FailureKind::Usage);

    // A nested Connect (from a handler run inside one of our waits) leaves
    // the outer one's flag and bound alone.
    const bool outermost = !FBusy;
    FBusy = true;
    // The time-out bounds the check as a whole.
    if (outermost) {
        ClearWaitLimit();
        if (TimeOut() > 0)
            LimitWaits(TimeOut());
    }
    // What is left of it after the QUIT of a failure bounds the probe for advice.
    const std::optional<platform::Clock::time_point> checkLimit = WaitLimit();

    LogonProgress progress;
    std::exception_ptr failure;
    try {
        logOn(address, progress);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        logOnFailed(address, progress, failure, checkLimit);
        if (outermost)
            ClearWaitLimit();
    }
    if (outermost)
        FBusy = false;
    if (progress.loggedOn && OnConnect)
        OnConnect(this);
    if (failure)
        std::rethrow_exception(failure);
}

void TKxPOP3::Disconnect() {
    // The check ends here, however QUIT goes.
    const WaitLimitScope endOfCheck(*this);
    try {
        const AnsiString reply = Transaction("QUIT");
        if (!ReplyAccepted(reply))
            throw refusal(reply);
    } catch (...) {
        TPowersock::Disconnect();
        throw;
    }
    TPowersock::Disconnect();
}
