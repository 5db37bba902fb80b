// The POP3 client: logs on to the mailbox over a socket session, reads the
// message count from STAT and says QUIT. Also the record classes of a fuller
// mail client, which this program keeps as stored values only.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/component.h"
#include "core/events.h"
#include "core/text.h"
#include "net/check_failure.h"
#include "net/powersock.h"

// A list of text lines. The fuller client keeps headers and bodies in these.
using TExStringList = std::vector<AnsiString>;

struct ServerAddress;

// One message's listing entry. Stored values only.
class TSummary : public TPersistent {
public:
    const char* ClassName() const override { return "TSummary"; }

    AnsiString Subject;
    AnsiString From;
    int Bytes = 0;
    AnsiString MessageId;
    TExStringList Header;
};

// One retrieved message: its header lines, body and attachment lists. Stored
// values only.
class TMailMessage : public TPersistent {
public:
    const char* ClassName() const override { return "TMailMessage"; }

    TExStringList Header;
    std::vector<AnsiString> Body;
    std::vector<AnsiString> Attachments;
};

enum UUMethods { uuMime = 0, uuCode = 1 };

// Encoder/decoder of attachments for the fuller client. Stored values only.
class TKxUUProcessor : public TComponent {
public:
    explicit TKxUUProcessor(TComponent* AOwner) : TComponent(AOwner) {}
    const char* ClassName() const override { return "TKxUUProcessor"; }

    UUMethods Method() const { return FMethod; }
    void SetMethod(UUMethods value) { FMethod = value; }

    TNotifyEvent OnBeginEncode;
    TNotifyEvent OnEndEncode;
    TNotifyEvent OnBeginDecode;
    TNotifyEvent OnEndDecode;

private:
    UUMethods FMethod = uuMime;
};

// The listing callback of the fuller client: message number and size.
using TListEvent = std::function<void(int Msg, int Size)>;

// How UserID and Password are written. Either way they go on the wire as
// UTF-8, which is what servers store and compare.
enum class CredentialText {
    Cp932,  // the program's own text: converted to UTF-8 for the wire (ASCII stays as it is)
    Utf8,   // already as the wire wants it: sent as it is
};

// An OAuth2 account's log-on: SASL AUTH with an access token (RFC 5034 with
// XOAUTH2 or RFC 7628 OAUTHBEARER) in place of USER and PASS.
struct BearerLogOn {
    // The access token. `renew` asks for a new one because the server
    // rejected the last. Raises an ECheckFailure (a sign-in that is missing or
    // revoked, a provider that is down) when it has none to give.
    std::function<std::string(bool renew)> token;
    // The mechanisms the account's provider takes, in the order to try them;
    // XOAUTH2, then OAUTHBEARER, where empty.
    std::vector<std::string> mechanisms;
};

// A POP3 mailbox check on top of the socket session (RFC 1939 AUTHORIZATION
// with USER/PASS, then STAT and QUIT). GUI thread only, like the session: the
// waits pump the thread's messages, so handlers of the owner may run inside
// Connect and Disconnect. Every failure is an Exception whose message is the
// server's reply line (line end included), "Authentication failed", a value
// that cannot be sent (see Connect), or the session's own text. A refusal is
// an ECheckFailure (net/check_failure.h) that carries the server's reply
// apart from its message, with the password taken out, and the kind of the
// refusal: RFC 2449 [IN-USE] and [LOGIN-DELAY] and RFC 3206 [SYS/TEMP] are
// temporary, any other -ERR is a refusal.
//
// With a TimeOut, one check (Connect and the Disconnect after it) ends
// within it as a whole, not just each of its waits.
class TKxPOP3 : public TPowersock {
public:
    // Port 110; no credentials. The session works on `sockets` and `clock`,
    // which must outlive it. Raises what the session's constructor raises.
    TKxPOP3(TComponent* AOwner, platform::SocketApi& sockets, const platform::Clock& clock);
    // Closes a connected session without QUIT (through Abort).
    ~TKxPOP3() override;
    const char* ClassName() const override { return "TKxPOP3"; }

    // Connects, reads the greeting, logs on and takes the message count from
    // STAT. Host is read as a server address (net/server_address.h): a bare
    // name is plain POP3 on Port; pop3s://, port 995 and pop3+starttls://
    // protect the log-on with TLS, and no credential is sent unless the
    // handshake has succeeded ("Server refused STLS" when the server will
    // not). On return the client is connected and logged on. On failure after
    // the TCP connection, QUIT has been attempted (briefly: it waits no longer
    // than a couple of seconds, and not past the time-out) and the connection
    // closed before the exception leaves; MessageCount then keeps its earlier
    // value. The failure that leaves is the first one: whatever goes wrong
    // with that QUIT (a server that closed after -ERR, say) is dropped.
    // When a plain log-on is refused and the reply says TLS is needed, or the
    // server refused the user name, one more connection (no credential, within
    // the time-out, a few seconds at most) asks for CAPA, and the failure
    // carries one line of advice naming the address to write.
    // With a BearerLogOn the log-on is CAPA and one SASL AUTH instead: the
    // first of the account's mechanisms that CAPA names, always with the
    // response on a line of its own after the server's "+"; after a rejected
    // token, the server's error challenge is answered so that it ends with
    // its -ERR, and one renewed token is tried. It takes a protected address:
    // a plain one is a usage failure before anything is sent, and so is a
    // server that names none of the mechanisms. The token is asked for before
    // connecting, so a sign-in that cannot be had sends nothing at all.
    // Before connecting it refuses, as a usage failure, a Host, UserID or
    // Password holding a line break or NUL ("User ID contains a line break",
    // ...), and a UserID or Password too long for one command line ("Password
    // is too long"); a Host that is no server address raises
    // EServerAddressError.
    void Connect() override;
    // Says QUIT and closes the connection, also when QUIT fails; raises with
    // the reply line when the server does not accept QUIT.
    void Disconnect() override;
    // The session's hook for its operation timer and its destruction: cancels
    // a running log-on, or closes an idle connection without QUIT.
    void Abort() override;
    // The session's Transaction, after dropping whatever arrived unasked: RFC
    // 1939 has no pipelining, so no byte received before a command is sent
    // can be its reply (a second greeting line, lines a server sends on its own).
    AnsiString Transaction(const AnsiString& command) override;

    // Messages waiting, from the last accepted STAT reply; 0 until then.
    int MessageCount() const { return FMessageCount; }

    // USER/PASS where empty (the default), SASL with the account's token
    // where set.
    const std::optional<BearerLogOn>& Bearer() const { return FBearer; }
    void SetBearer(std::optional<BearerLogOn> value) { FBearer = std::move(value); }

    const AnsiString& UserID() const { return FUserID; }
    void SetUserID(const AnsiString& value) { FUserID = value; }
    const AnsiString& Password() const { return FPassword; }
    void SetPassword(const AnsiString& value) { FPassword = value; }
    // CP932 unless set otherwise; see CredentialText.
    CredentialText CredentialEncoding() const { return FCredentialText; }
    void SetCredentialEncoding(CredentialText value) { FCredentialText = value; }
    bool DeleteOnRead() const { return FDeleteOnRead; }
    void SetDeleteOnRead(bool value) { FDeleteOnRead = value; }
    const AnsiString& AttachFilePath() const { return FAttachFilePath; }
    void SetAttachFilePath(const AnsiString& value) { FAttachFilePath = value; }

    TSummary& Summary() { return *FSummary; }
    TMailMessage& MailMessage() { return *FMailMessage; }

    // Fired once a log-on has succeeded, when Connect ends (also when STAT then
    // failed). It hides the session's own OnConnect, which stays unassigned on
    // a POP3 client.
    TNotifyEvent OnConnect;
    // Asked once per Connect when UserID or Password is empty; it fills them
    // in and sets Handled, or Connect fails with "Authentication failed".
    THandlerEvent OnAuthenticationNeeded;
    // Asked once per Connect when USER or PASS is refused; setting Handled
    // sends USER and PASS once more.
    THandlerEvent OnAuthenticationFailed;

    // Events of the fuller client: stored, never fired here.
    TNotifyEvent OnReset;
    TListEvent OnList;
    TNotifyEvent OnRetrieveStart;
    TNotifyEvent OnRetrieveEnd;
    TNotifyEvent OnSuccess;
    TNotifyEvent OnFailure;

protected:
    // The server named by Host (scheme and port taken out), with TLS where asked for.
    ConnectTarget Target() const override;

private:
    // Where a log-on stands, for what its failure leads to.
    enum class LogonStep { None, User, Pass, Auth };
    struct LogonProgress {
        LogonStep step = LogonStep::None;
        // The connection stands and is ours: a failure says QUIT before it closes.
        bool mayQuit = false;
        bool loggedOn = false;
    };
    // Credentials the handler could not give are a usage failure.
    void requireCredentials();
    // Connects, reads the greeting, STLS where asked for, USER/PASS, STAT.
    // Raises the first failure, leaving `progress` to say how far it got.
    void logOn(const ServerAddress& address, LogonProgress& progress);
    // The one failure path of a log-on: QUIT where the connection is still
    // ours, then advice for a refused plain log-on. Never raises.
    void logOnFailed(const ServerAddress& address, const LogonProgress& progress, const std::exception_ptr& failure,
                     std::optional<platform::Clock::time_point> checkLimit);
    // USER and PASS, with the handler's one more round after a refusal.
    void passwordLogOn(LogonProgress& progress);
    // CAPA, then AUTH with the token (see Connect); `token` is the first one.
    void bearerLogOn(const ServerAddress& address, std::string token, LogonProgress& progress);
    // After the greeting: STLS, then the TLS handshake (RFC 2595).
    void startTlsSession(const AnsiString& serverName, LogonProgress& progress);
    // One USER or PASS reply: true when accepted, false when refused and the
    // handler asked for another round; raises "Authentication failed" otherwise.
    bool checkLogonReply(const AnsiString& reply, int& attempts);
    // A refusal of `reply` with `message` (the reply itself when empty).
    ECheckFailure refusal(const AnsiString& reply, const AnsiString& message = {}) const;
    // The reply with every occurrence of the password taken out.
    AnsiString redacted(const AnsiString& reply) const;
    // UserID and Password as they go on the wire.
    AnsiString wireText(const AnsiString& value) const;
    // The advice for a refused plain log-on, or empty; may probe the server
    // for its capabilities, bounded by `limit` when it is set.
    AnsiString tlsAdvice(const ServerAddress& address, const AnsiString& reply, bool refusedAtUser,
                         std::optional<platform::Clock::time_point> limit);
    // Closes the socket without QUIT and drops what was received.
    void dropConnection();
    // Raises when a value would not go out as the one command line it must be.
    void checkCommandValues() const;
    // Disconnect after a failed log-on, bounded; never raises, so the failure
    // that ended the log-on is the one that goes on.
    void quitAfterFailure() noexcept;

    AnsiString FUserID;
    AnsiString FPassword;
    std::optional<BearerLogOn> FBearer;
    // The tokens and responses this check has sent: secrets like the password.
    std::vector<std::string> FSentTokens;
    CredentialText FCredentialText = CredentialText::Cp932;
    bool FDeleteOnRead = false;
    AnsiString FAttachFilePath;
    int FMessageCount = 0;
    bool FBusy = false;  // a log-on started by Connect is running
    std::unique_ptr<TSummary> FSummary;
    std::unique_ptr<TMailMessage> FMailMessage;
    TKxUUProcessor* FUUProcessor = nullptr;  // owned as a component
};
