// postwren-check: one mailbox check from the command line, with the same
// engine as the resident program, for scripts and status bars. No display.
//
// Exit status: 0 with the message count on standard output; on failure the
// engine's report on standard error and a status by the kind of failure
// (net/check_failure.h): 1 refused, 2 usage, 3 network, 4 TLS, 5 temporary,
// 6 sign-in.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/hive_file.h"
#include "core/log.h"
#include "core/registry.h"
#include "core/socket.h"
#include "core/text.h"
#include "core/tls_socket.h"
#include "net/check_mailbox.h"
#include "net/kxpop3.h"
#include "net/mailbox_listing.h"
#include "net/server_address.h"
#include "session/oauth2_on_demand.h"
#include "session/oauth2_provider.h"
#include "session/secret_service_on_demand.h"
#include "settings/keyring_password.h"
#include "settings/settings_store.h"
#include "tools/check_outcome.h"
#include "tools/server_certificate.h"

namespace {

constexpr int kDefaultPort = 110;
constexpr int kMaxPort = 65535;
// Without --timeout a dead server still ends the check: a status bar must not hang.
constexpr int kDefaultTimeoutSeconds = 30;
constexpr int kMaxTimeoutSeconds = 24 * 60 * 60;
constexpr int kMsPerSecond = 1000;
// The longest password line read, without its line end; reading stops there,
// so an endless input (a device, a pipe) ends the check at once.
constexpr std::size_t kMaxPasswordBytes = 1024;
// --summary lists this many messages unless --max says otherwise, and never more than the most.
constexpr int kDefaultSummaryMessages = 10;
constexpr int kMaxSummaryMessages = 100;
// A sign-in waits for a person: five minutes unless --timeout says otherwise.
constexpr int kDefaultSignInSeconds = 5 * 60;

constexpr char kUsage[] =
    "usage: postwren-check --host HOST [--port N] [--tls | --starttls] --user USER "
    "[--password-file FILE | --password-stdin] [--auth password|oauth2] [--timeout SECONDS] "
    "[--trust-fingerprint FP] [--summary [--max N]] [--json | --format waybar]\n"
    "       postwren-check --sign-in --host HOST --user USER [--no-browser] [--device-code] [--timeout SECONDS]\n"
    "       postwren-check --sign-out --host HOST --user USER\n"
    "       postwren-check --show-certificate --host HOST [--port N] [--tls | --starttls] [--timeout SECONDS]\n"
    "       postwren-check [--port N] [--tls | --starttls] [--timeout SECONDS] [--summary [--max N]] "
    "[--json | --format waybar]   (with the settings Postwren stored)\n"
    "       postwren-check -h | --help | --version";

// The rest of --help, after the usage lines.
constexpr char kHelp[] =
    "\n"
    "Checks one POP3 mailbox once, with the same engine as Postwren, and prints\n"
    "the number of messages waiting. Without --host it checks the mailbox that\n"
    "Postwren stored ($XDG_CONFIG_HOME/postwren/user.reg, ~/.config/postwren/user.reg\n"
    "by default), with the password from the desktop's keyring where Postwren keeps\n"
    "it there.\n"
    "\n"
    "HOST is one of:\n"
    "  host                          plain POP3, port 110 (or --port); exactly what Postwren sends\n"
    "                                (an IPv6 address is written in brackets in every form: [2001:db8::1], "
    "[::1]:1100)\n"
    "  host:port                     plain POP3 on that port; port 995 means TLS from the first byte\n"
    "  pop3://host[:port]            plain POP3 (port 110)\n"
    "  pop3s://host[:port]           POP3 inside TLS from the first byte (port 995)\n"
    "  pop3+starttls://host[:port]   POP3 that switches to TLS (STLS) before logging on (port 110)\n"
    "\n"
    "Options:\n"
    "  --host HOST            the server (see above)\n"
    "  --port N               the port, 1-65535\n"
    "  --tls                  TLS from the first byte, as pop3s:// (port 995 unless given)\n"
    "  --starttls             switch to TLS with STLS before logging on, as pop3+starttls://\n"
    "  --user USER            the user ID\n"
    "  --password-file FILE   the password: the first line of FILE\n"
    "  --password-stdin       the password: the first line of standard input\n"
    "                         (with neither, a server whose provider signs in uses the stored sign-in)\n"
    "  --auth password|oauth2 log on with the password, or with the stored sign-in (OAuth2), whatever\n"
    "                         the server's provider would choose\n"
    "  --sign-in              sign in with the server's provider (OAuth2) in the browser and keep the\n"
    "                         sign-in in the desktop's keyring; the address to open goes to standard error\n"
    "  --no-browser           with --sign-in: only print the address, open no browser\n"
    "  --device-code          with --sign-in: sign in on another device with a code (where the provider\n"
    "                         has one)\n"
    "  --sign-out             forget the stored sign-in of this server and user\n"
    "  --timeout SECONDS      how long the whole check may take (default 30; a sign-in: 300)\n"
    "  --show-certificate     do the TLS handshake (after STLS where the address says so), print the\n"
    "                         server certificate's subject, issuer, validity and SHA-256 fingerprint, and\n"
    "                         log on to nothing; exits 0 whether or not the certificate is trusted\n"
    "  --trust-fingerprint FP trust exactly the certificate with this SHA-256 fingerprint for this check\n"
    "                         (hex, either case, colons optional), whatever its chain and names\n"
    "  --json                 print {\"count\": N}, or on failure {\"error\": \"...\", \"kind\": \"...\"}\n"
    "                         with \"server\": \"<its reply>\" and \"advice\": \"...\" where there are such\n"
    "  --summary              also list the newest messages, newest first, one line each after the\n"
    "                         count: uid<TAB>from<TAB>subject (asks the server for UIDL and TOP n 0)\n"
    "  --max N                list at most N messages, 1-100 (default 10); needs --summary\n"
    "                         with --json: \"messages\": [{\"number\", \"uid\", \"from\", \"address\",\n"
    "                         \"subject\", \"date\", \"size\"}] (null where the server did not say)\n"
    "  --format waybar        print one JSON line {\"text\", \"tooltip\", \"class\"} for a status bar;\n"
    "                         the class is \"mail\", \"empty\" or the kind of the failure\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "\n"
    "The count goes to standard output. On failure the engine's message goes to\n"
    "standard error, followed by the server's reply where one caused it, e.g.\n"
    "\"Authentication failed (server: -ERR [IN-USE] Mailbox is locked)\", and on a\n"
    "second line advice where the cure is clear. Server text has its control\n"
    "characters written as \\xNN; the password never appears.\n"
    "\n"
    "Exit status, and the \"kind\" of --json:\n"
    "  0            the count was printed\n"
    "  1  refused   the server said no: a wrong user ID or password, an -ERR greeting or STAT\n"
    "  2  usage     a bad or missing option, a server address that cannot be read, a password\n"
    "               file that is a directory, unreadable or longer than 1024 bytes, no stored settings,\n"
    "               a stored password the keyring cannot give, an empty user ID or password, a stored\n"
    "               value that cannot be read; any failure no server caused\n"
    "  3  network   the server could not be reached or stopped answering: name look-up, connect,\n"
    "               time-out, closed connection, a reply line without end\n"
    "  4  tls       TLS failed: handshake or its time-out, certificate, host name, an alert or a\n"
    "               broken record later on, or the server refused STLS\n"
    "  5  temporary the server said \"not now\" ([IN-USE], [LOGIN-DELAY], [SYS/TEMP]), or the sign-in\n"
    "               provider is down: try again later\n"
    "  6  signin    no sign-in is stored, it was revoked or has expired, or consent was denied: sign in\n"
    "               again with --sign-in\n"
    "\n"
    "The user ID and password go to the server as UTF-8, as given.\n"
    "\n"
    "Sign-in (OAuth2) is used for the servers of a provider: Microsoft (outlook.office365.com,\n"
    "outlook.office.com) and Google (pop.gmail.com, when no password is given), and those of\n"
    "$XDG_CONFIG_HOME/postwren/oauth2.json. The refresh token is kept only in the desktop's keyring;\n"
    "a token goes only over TLS, with SASL XOAUTH2 or OAUTHBEARER, and never appears in any output.\n"
    "\n"
    "Messages that need a word:\n"
    "  Null Remote Address          the host name could not be resolved\n"
    "  Connection Failed            nothing accepts connections at that address and port\n"
    "  Connection Timed out         no answer to the connect within --timeout\n"
    "  Socket readln timed out      the server fell silent for --timeout\n"
    "  Connection closed by peer    the server closed the connection\n"
    "  Socket readln line too long  the server sent a line without end\n"
    "  TLS handshake timed out      the connection stands, but no TLS handshake within --timeout\n"
    "  TLS connection broken: ...   an alert or a damaged record ended the TLS session (OpenSSL's reason)\n"
    "  Authentication failed        the server refused the user ID or password (or one is empty)\n"
    "\n"
    "TLS is verified strictly against the system's trust store; SSL_CERT_FILE or\n"
    "SSL_CERT_DIR name a private CA. A certificate trusted by its fingerprint, with\n"
    "--trust-fingerprint or in Postwren's settings, is accepted instead, and only that\n"
    "one: another certificate fails with both fingerprints named. The password goes out in clear only for a bare\n"
    "host name, host:port with a port other than 995, and pop3://.\n";

struct Options {
    std::optional<std::string> host;  // UTF-8, as given
    int port = kDefaultPort;
    bool portGiven = false;
    // --tls or --starttls: the scheme put in front of the host.
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> passwordFile;
    bool passwordStdin = false;
    int timeoutSeconds = kDefaultTimeoutSeconds;
    bool json = false;
    bool waybar = false;  // --format waybar
    bool summary = false;
    std::optional<int> maxMessages;
    bool help = false;
    bool version = false;
    // No --host: the server, user ID and password come from the stored settings.
    bool storedSettings = false;
    bool showCertificate = false;
    std::optional<std::string> trustFingerprint;  // as CanonicalFingerprint writes it
    bool timeoutGiven = false;
    bool signIn = false;
    bool signOut = false;
    bool noBrowser = false;
    bool deviceCode = false;
    // --auth: forces the password or the stored sign-in.
    std::optional<std::string> auth;
};

// A usage error: the reason on standard error, then the usage line when the
// command line itself is wrong (not what it names, such as a file).
class UsageError {
public:
    explicit UsageError(std::string reason, bool showUsage = true) : reason(std::move(reason)), showUsage(showUsage) {}
    std::string reason;
    bool showUsage;
};

std::optional<int> ParseNumber(std::string_view text, int min, int max) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

Options ParseArguments(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = arg.substr(eq + 1);
            arg.erase(eq);
        }
        auto value = [&]() -> std::string {
            if (inlineValue)
                return *inlineValue;
            if (i + 1 >= argc)
                throw UsageError(arg + " needs a value");
            return argv[++i];
        };
        auto noValue = [&] {
            if (inlineValue)
                throw UsageError(arg + " takes no value");
        };

        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        } else if (arg == "--version") {
            options.version = true;
            return options;
        } else if (arg == "--host") {
            options.host = value();
        } else if (arg == "--port") {
            const std::string v = value();
            const auto port = ParseNumber(v, 1, kMaxPort);
            if (!port)
                throw UsageError("bad port: " + v);
            options.port = *port;
            options.portGiven = true;
        } else if (arg == "--tls" || arg == "--starttls") {
            noValue();
            const std::string scheme = arg == "--tls" ? "pop3s://" : "pop3+starttls://";
            if (options.scheme && *options.scheme != scheme)
                throw UsageError("give only one of --tls and --starttls");
            options.scheme = scheme;
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password-file") {
            options.passwordFile = value();
        } else if (arg == "--password-stdin") {
            noValue();
            options.passwordStdin = true;
        } else if (arg == "--timeout") {
            const std::string v = value();
            const auto seconds = ParseNumber(v, 1, kMaxTimeoutSeconds);
            if (!seconds)
                throw UsageError("bad timeout: " + v);
            options.timeoutSeconds = *seconds;
            options.timeoutGiven = true;
        } else if (arg == "--sign-in" || arg == "--sign-out" || arg == "--no-browser" || arg == "--device-code") {
            noValue();
            (arg == "--sign-in"      ? options.signIn
             : arg == "--sign-out"   ? options.signOut
             : arg == "--no-browser" ? options.noBrowser
                                     : options.deviceCode) = true;
        } else if (arg == "--auth") {
            const std::string v = value();
            if (v != "password" && v != "oauth2")
                throw UsageError("unknown --auth: " + v + " (known: password, oauth2)");
            options.auth = v;
        } else if (arg == "--json") {
            noValue();
            options.json = true;
        } else if (arg == "--show-certificate") {
            noValue();
            options.showCertificate = true;
        } else if (arg == "--trust-fingerprint") {
            const std::string v = value();
            options.trustFingerprint = platform::CanonicalFingerprint(v);
            if (!options.trustFingerprint)
                throw UsageError("bad fingerprint: " + v + " (the certificate's SHA-256: 32 bytes in hex)");
        } else if (arg == "--format") {
            const std::string v = value();
            if (v != "waybar")
                throw UsageError("unknown format: " + v + " (known: waybar)");
            options.waybar = true;
        } else if (arg == "--summary") {
            noValue();
            options.summary = true;
        } else if (arg == "--max") {
            const std::string v = value();
            const auto count = ParseNumber(v, 1, kMaxSummaryMessages);
            if (!count)
                throw UsageError("bad --max: " + v + " (1-" + std::to_string(kMaxSummaryMessages) + ")");
            options.maxMessages = *count;
        } else if (arg == "--password") {
            // A password on the command line is visible to every user's ps.
            throw UsageError("--password is not accepted; use --password-file or --password-stdin");
        } else {
            throw UsageError("unknown argument: " + arg);
        }
    }

    if (options.showCertificate) {
        // Nothing of the user's goes out, so only the server is asked for.
        if (!options.host)
            throw UsageError("--show-certificate needs --host");
        if (options.user || options.passwordFile || options.passwordStdin || options.trustFingerprint)
            throw UsageError("--show-certificate logs on to nothing: give only the server");
        return options;
    }
    if ((options.noBrowser || options.deviceCode) && !options.signIn)
        throw UsageError("--no-browser and --device-code go with --sign-in");
    if (options.signIn || options.signOut) {
        if (options.signIn && options.signOut)
            throw UsageError("give only one of --sign-in and --sign-out");
        if (!options.host || !options.user)
            throw UsageError("--sign-in and --sign-out need --host and --user");
        if (options.passwordFile || options.passwordStdin || options.auth || options.summary || options.waybar)
            throw UsageError("--sign-in and --sign-out take only the server, the user and --timeout");
        if (!options.timeoutGiven)
            options.timeoutSeconds = kDefaultSignInSeconds;
        return options;
    }
    if (options.json && options.waybar)
        throw UsageError("give only one of --json and --format waybar");
    if (options.maxMessages && !options.summary)
        throw UsageError("--max goes with --summary");

    if (!options.host) {
        // The stored settings give all three of server, user ID and password;
        // mixing in some from the command line would leave it unclear which
        // mailbox is checked.
        if (options.user || options.passwordFile || options.passwordStdin || options.auth)
            throw UsageError("--user, --auth and the password options need --host");
        options.storedSettings = true;
        return options;
    }
    if (!options.user)
        throw UsageError("--user is required");
    if (options.passwordFile && options.passwordStdin)
        throw UsageError("give only one of --password-file and --password-stdin");
    const bool passwordGiven = options.passwordFile || options.passwordStdin;
    if (options.auth == "password" && !passwordGiven)
        throw UsageError("--auth password needs --password-file or --password-stdin");
    if (options.auth == "oauth2" && passwordGiven)
        throw UsageError("--auth oauth2 signs in: give no password");
    return options;
}

UsageError PasswordTooLong(const std::string& source) {
    return UsageError("the password in " + source + " is longer than " + std::to_string(kMaxPasswordBytes) + " bytes",
                      false);
}

// The first line of fd (`source` names it), without its line end (LF or CR
// LF). Reads no further than the longest password and its line end.
std::string FirstLine(int fd, const std::string& source) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
        throw UsageError("cannot read " + source + ": it is a directory", false);
    std::string line;
    char chunk[256];
    for (;;) {
        const std::size_t room = kMaxPasswordBytes + 2 - line.size();
        const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, room));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw UsageError("cannot read " + source + ": " + std::strerror(errno), false);
        }
        line.append(chunk, static_cast<std::size_t>(n));
        const std::size_t lf = line.find('\n');
        if (lf != std::string::npos) {
            line.erase(lf);
            break;
        }
        if (n == 0)
            break;
        if (line.size() >= kMaxPasswordBytes + 2)
            throw PasswordTooLong(source);
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > kMaxPasswordBytes)
        throw PasswordTooLong(source);
    return line;
}

// The password that --password-file or --password-stdin names.
std::string ReadPassword(const Options& options) {
    if (options.passwordStdin)
        return FirstLine(STDIN_FILENO, "standard input");
    const std::string& path = *options.passwordFile;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw UsageError("cannot read " + path + ": " + std::strerror(errno), false);
    try {
        std::string line = FirstLine(fd, path);
        ::close(fd);
        return line;
    } catch (...) {
        ::close(fd);
        throw;
    }
}

// A line break would end the command early and send the rest as a command of
// its own; a NUL would cut the text short without a word.
void RefuseBreaks(const std::string& text, const char* what) {
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw UsageError(std::string(what) + " must not contain line breaks or NUL characters");
}

// UTF-8 text from the command line as the engine's CP932 text.
AnsiString ToEngineText(const std::string& utf8, const char* what) {
    RefuseBreaks(utf8, what);
    auto converted = TryUtf8ToCp932(utf8);
    if (!converted)
        throw UsageError(std::string(what) + " cannot be written in CP932");
    return *converted;
}

// Whether --json is on the command line, for a usage error found before
// (or instead of) the whole line is read.
bool AsksForJson(int argc, char** argv) {
    return std::any_of(argv + 1, argv + argc, [](const char* a) { return std::string_view(a) == "--json"; });
}

// Everything postwren-check says on standard error: its own lines as
// "postwren-check: ...", a check's report as it stands.
platform::PlainLog& ToolLog() {
    static platform::PlainLog log("postwren-check: ");
    return log;
}
platform::PlainLog& ReportLog() {
    static platform::PlainLog log("");
    return log;
}

// A report on standard error, the advice on a line of its own. The report has
// every control byte written as \xNN, so no escape sequence from a server
// reaches the terminal.
void WriteReport(const FailureReport& report) {
    ReportLog().Line(Cp932ToUtf8(report.text));
    if (!report.advice.empty())
        ReportLog().Line(Cp932ToUtf8(report.advice));
}

// A failed check: the report on standard error, and with --json its JSON
// form on standard output. Returns the exit status.
int ReportFailure(bool json, const FailureReport& report) {
    WriteReport(report);
    if (json)
        std::printf("%s\n", FailureJson(report).c_str());
    return ExitStatusOf(report.kind);
}

// What a check or a sign-in may need of the desktop: the resident program's
// stored settings, the keyring (loaded only when asked), the sign-in
// providers and the account signed in with. Made by main, so that all of it
// lives as long as the check.
struct ToolSession {
    // Every keyring wait, an unlock prompt's included, and every wait of a
    // sign-in ends by `end`.
    explicit ToolSession(std::chrono::steady_clock::time_point end) : end(end) { secrets.LimitWaits(end); }

    std::chrono::steady_clock::time_point end;
    platform::SteadyClock clock;
    platform::HiveFile hive{platform::HiveFile::DefaultPath()};
    platform::SecretServiceOnDemand secrets{[](const std::string& line) { ToolLog().Line(line); }};
    PasswordKeeper passwords{secrets, ToolLog()};
    std::unique_ptr<OAuth2Session> signedIn;

    // Read when first asked for: a check with a password of its own never
    // reads the providers file, or says anything about it.
    const OAuth2Providers& Providers() {
        if (!providers)
            providers = OAuth2Providers::Load(ToolLog());
        return *providers;
    }

private:
    std::optional<OAuth2Providers> providers;
};

// The host name of a server field, as the providers and the keyring know it.
AnsiString HostOf(const AnsiString& field, int port) {
    return ParseServerAddress(field, port).host;
}

// The sign-in provider that serves the server of `field`; none for a field
// that is no server address (the check then says why).
const OAuth2Provider* ProviderFor(ToolSession& session, const AnsiString& field, int port) {
    try {
        return session.Providers().ForHost(HostOf(field, port));
    } catch (const EServerAddressError&) {
        return nullptr;
    }
}

UsageError NoProvider(const AnsiString& field) {
    return UsageError(
        "no sign-in provider serves " + Cp932ToUtf8(field) + "; one can be added in " + OAuth2ProvidersFilePath(),
        false);
}

// The account logs on with its stored sign-in instead of a password.
void UseSignIn(ToolSession& session, MailboxAccount& account, const OAuth2Provider& provider, int port,
               const AnsiString& user) {
    session.signedIn = LoadOAuth2Account(provider, HostOf(account.server, port), user, session.secrets, session.clock);
    account.bearer = BearerLogOn{[&session](bool renew) { return session.signedIn->AccessToken(renew, session.end); },
                                 provider.mechanisms};
}

// The account the resident program stored, its password from the keyring
// where the program keeps it there (asked when the check starts), or its
// sign-in where the server's provider signs in. A usage error when nothing
// usable is stored; the registry's failure when a stored value cannot be read.
MailboxAccount StoredAccount(ToolSession& session, int port) {
    TRegistry registry(session.hive);
    StoredSettings settings;
    // Only reads: moving a password into the keyring is the program's business.
    const SettingsLoad load =
        session.passwords.Load(registry, settings, DefaultScrambleKey, PasswordKeeper::Move::Leave);
    if (!SettingsFound(load))
        throw UsageError("no stored settings in " + session.hive.path().string() +
                         "; give --host, --user and a password");
    MailboxAccount account;
    account.server = settings.host;
    account.userID = settings.user;
    const OAuth2Provider* provider = ProviderFor(session, settings.host, port);
    if (OAuth2SignsIn(provider, !settings.password.empty() || settings.passwordInKeyring)) {
        UseSignIn(session, account, *provider, port, settings.user);
        return account;
    }
    account.passwordLookup = [&session, password = settings.password] {
        return session.passwords.PasswordForCheck(password);
    };
    return account;
}

// Whether a host as given carries a port ("host:110", "[::1]:110"; not "[::1]").
bool HasPort(const AnsiString& host) {
    if (!host.empty() && host.front() == '[')
        return host.find("]:") != AnsiString::npos;
    return host.find(':') != AnsiString::npos;
}

// The server field as the engine reads it: --tls/--starttls put their scheme
// in front of the host, and --port goes into it where a scheme needs one.
AnsiString ServerField(const Options& options, const AnsiString& host) {
    if (!options.scheme)
        return host;
    if (host.find("://") != AnsiString::npos)
        throw UsageError("--tls and --starttls go with a host name, not with a pop3 address");
    AnsiString field = *options.scheme + host;
    if (options.portGiven) {
        if (HasPort(host))
            throw UsageError("give the port either in the host or with --port");
        field += ":" + std::to_string(options.port);
    }
    return field;
}

// The server field as the engine reads it, with the port checks of the
// command line.
AnsiString CheckedServerField(const Options& options, const AnsiString& host) {
    const AnsiString field = ServerField(options, host);
    if (options.portGiven && HasPort(field) && !options.scheme)
        throw UsageError("give the port either in the host or with --port");
    return field;
}

int RunCheck(const Options& options, MailboxAccount account) {
    platform::SteadyClock clock;
    platform::TlsSockets sockets(platform::SystemSockets());
    TrustCertificateForCheck(sockets, account.server, options.port, options.trustFingerprint);
    account.port = options.port;
    account.timeoutMs = options.timeoutSeconds * kMsPerSecond;
    TKxPOP3 client(nullptr, sockets, clock);
    CheckSteps steps;
    // Without --summary the exchange stays the log-on, STAT and QUIT.
    if (options.summary)
        steps.listing = ListingSteps{options.maxMessages.value_or(kDefaultSummaryMessages), {}};
    const CheckOutcome outcome = CheckMailbox(client, account, steps);
    if (!outcome.Counted()) {
        if (options.waybar) {
            WriteReport(outcome.Failure());
            std::printf("%s\n", WaybarFailure(outcome.Failure()).c_str());
            return ExitStatusOf(outcome.Failure().kind);
        }
        return ReportFailure(options.json, outcome.Failure());
    }
    const CheckResult& result = outcome.Result();
    // The mailbox was counted: a listing cut short, or a server that then
    // refuses QUIT, spoils nothing a script asked for, but is still told.
    if (result.listingFailure)
        WriteReport(*result.listingFailure);
    if (result.quitFailure)
        WriteReport(*result.quitFailure);
    const std::vector<MessageSummary> none;
    const std::vector<MessageSummary>& messages = result.listing ? result.listing->messages : none;
    if (options.waybar) {
        std::printf("%s\n", WaybarLine(result.count, messages).c_str());
    } else if (options.json) {
        std::printf("%s\n", CountJson(result.count, options.summary, messages).c_str());
    } else {
        std::printf("%d\n", result.count);
        for (const MessageSummary& m : messages)
            std::printf("%s\t%s\t%s\n", m.uid.c_str(), m.headers.from.c_str(), m.headers.subject.c_str());
    }
    return kExitCount;
}

// --show-certificate: the certificate on standard output, exit 0.
int ShowCertificate(const Options& options) {
    platform::SteadyClock clock;
    const AnsiString server = CheckedServerField(options, ToEngineText(*options.host, "the host name"));
    std::fputs(ShowServerCertificate(server, options.port, options.timeoutSeconds * kMsPerSecond, clock).c_str(),
               stdout);
    return kExitCount;
}

// --sign-in and --sign-out.
int SignInOrOut(const Options& options, ToolSession& session) {
    const AnsiString field = CheckedServerField(options, ToEngineText(*options.host, "the host name"));
    const AnsiString host = HostOf(field, options.port);
    const OAuth2Provider* provider = session.Providers().ForHost(host);
    if (provider == nullptr)
        throw NoProvider(field);
    const std::unique_ptr<OAuth2Session> signedIn =
        LoadOAuth2Account(*provider, host, ToEngineText(*options.user, "the user ID"), session.secrets, session.clock);
    OAuth2Session& account = *signedIn;
    if (options.signOut) {
        const platform::SecretStatus status = account.SignOut();
        if (status != platform::SecretStatus::Ok && status != platform::SecretStatus::NotFound)
            throw UsageError("the keyring did not forget the sign-in", false);
        return kExitCount;
    }
    OAuth2SignInOptions signIn;
    signIn.flow = options.deviceCode ? OAuth2SignInOptions::Flow::DeviceCode : OAuth2SignInOptions::Flow::Browser;
    signIn.user = *options.user;
    signIn.timeout = std::chrono::seconds(options.timeoutSeconds);
    signIn.tell = [](const OAuth2Prompt& prompt) {
        if (prompt.kind == OAuth2Prompt::Kind::DeviceCode)
            ToolLog().Line("to sign in, open " + prompt.url + " and enter the code " + prompt.userCode);
        else
            ToolLog().Line("to sign in, open this address in a browser: " + prompt.url);
    };
    // The browser opens the address on its own, detached, with nothing of
    // ours for its output.
    if (!options.noBrowser)
        signIn.openUrl = [](const std::string& url) {
            if (!OAuth2StartBrowser(url))
                ToolLog().Line("could not start xdg-open; open the address by hand");
        };
    account.SignIn(std::move(signIn));
    ToolLog().Line("signed in; the sign-in is kept in the keyring");
    return kExitCount;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication qapp(argc, argv);
    TApplication application;

    // Until the whole line is read, a word "--json" anywhere asks for JSON;
    // then the options say (a user ID may be that word).
    bool json = AsksForJson(argc, argv);
    try {
        const Options options = ParseArguments(argc, argv);
        json = options.json;
        if (options.help) {
            std::printf("%s\n%s", kUsage, kHelp);
            return kExitCount;
        }
        if (options.version) {
            std::printf("postwren-check %s\n", POSTWREN_VERSION);
            return kExitCount;
        }
        if (options.showCertificate)
            return ShowCertificate(options);
        // The keyring's and the sign-in's waits are part of the check's time.
        const auto checkEnd = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
        ToolSession session(checkEnd);
        if (options.signIn || options.signOut)
            return SignInOrOut(options, session);
        if (options.storedSettings) {
            MailboxAccount account = StoredAccount(session, options.port);
            account.server = CheckedServerField(options, account.server);
            account.deadline = checkEnd;
            return RunCheck(options, account);
        }
        RefuseBreaks(*options.user, "the user ID");
        // The user ID and password go to the server as they were given.
        MailboxAccount account;
        account.server = CheckedServerField(options, ToEngineText(*options.host, "the host name"));
        account.userID = *options.user;
        account.credentials = CredentialText::Utf8;
        // Without a password of its own (which --auth password requires and
        // --auth oauth2 forbids) the check uses the stored sign-in.
        if (!options.passwordFile && !options.passwordStdin) {
            const OAuth2Provider* provider = ProviderFor(session, account.server, options.port);
            if (provider == nullptr && options.auth == "oauth2")
                throw NoProvider(account.server);
            if (provider == nullptr)
                throw UsageError("give --password-file or --password-stdin (no sign-in provider serves " +
                                 *options.host + ")");
            UseSignIn(session, account, *provider, options.port, ToEngineText(*options.user, "the user ID"));
            account.deadline = checkEnd;
            return RunCheck(options, account);
        }
        const std::string password = ReadPassword(options);
        RefuseBreaks(password, "the password");
        account.password = password;
        return RunCheck(options, account);
    } catch (const UsageError& e) {
        ToolLog().Line(e.reason);
        if (e.showUsage)
            ReportLog().Line(kUsage);
        if (json)
            std::printf("{\"error\": %s, \"kind\": %s}\n", JsonString(e.reason).c_str(),
                        JsonString(KindName(FailureKind::Usage)).c_str());
        return kExitUsage;
    } catch (const std::exception& e) {
        // The stored settings could not be read: never a server's doing.
        return ReportFailure(json, DescribeFailure(e));
    }
}
