// postwren-check: one mailbox check from the command line, with the same
// engine as the resident program, for scripts and status bars. No display.
//
// Exit status: 0 with the message count on standard output; on failure the
// engine's report on standard error and a status by the kind of failure
// (net/check_failure.h): 1 refused, 2 usage, 3 network, 4 TLS, 5 temporary.
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
#include "core/registry.h"
#include "core/socket.h"
#include "core/text.h"
#include "core/tls_socket.h"
#include "desktop/secret_service_on_demand.h"
#include "net/kxpop3.h"
#include "net/server_address.h"
#include "settings/keyring_password.h"
#include "settings/settings_store.h"
#include "tools/check_outcome.h"

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

constexpr char kUsage[] =
    "usage: postwren-check --host HOST [--port N] [--tls | --starttls] --user USER "
    "(--password-file FILE | --password-stdin) [--timeout SECONDS] [--json]\n"
    "       postwren-check [--port N] [--tls | --starttls] [--timeout SECONDS] [--json]   (with the settings Postwren "
    "stored)\n"
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
    "  --timeout SECONDS      how long the whole check may take (default 30)\n"
    "  --json                 print {\"count\": N}, or on failure {\"error\": \"...\", \"kind\": \"...\"}\n"
    "                         with \"server\": \"<its reply>\" and \"advice\": \"...\" where there are such\n"
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
    "               a stored password the keyring cannot give\n"
    "  3  network   the server could not be reached or stopped answering: name look-up, connect,\n"
    "               time-out, closed connection, a reply line without end\n"
    "  4  tls       TLS failed: handshake or its time-out, certificate, host name, an alert or a\n"
    "               broken record later on, or the server refused STLS\n"
    "  5  temporary the server said \"not now\" ([IN-USE], [LOGIN-DELAY], [SYS/TEMP]): try again later\n"
    "\n"
    "The user ID and password go to the server as UTF-8, as given.\n"
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
    "SSL_CERT_DIR name a private CA. The password goes out in clear only for a bare\n"
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
    bool help = false;
    bool version = false;
    // No --host: the server, user ID and password come from the stored settings.
    bool storedSettings = false;
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
        } else if (arg == "--json") {
            noValue();
            options.json = true;
        } else if (arg == "--password") {
            // A password on the command line is visible to every user's ps.
            throw UsageError("--password is not accepted; use --password-file or --password-stdin");
        } else {
            throw UsageError("unknown argument: " + arg);
        }
    }

    if (!options.host) {
        // The stored settings give all three of server, user ID and password;
        // mixing in some from the command line would leave it unclear which
        // mailbox is checked.
        if (options.user || options.passwordFile || options.passwordStdin)
            throw UsageError("--user and the password options need --host");
        options.storedSettings = true;
        return options;
    }
    if (!options.user)
        throw UsageError("--user is required");
    if (options.passwordFile.has_value() == options.passwordStdin)
        throw UsageError("give exactly one of --password-file and --password-stdin");
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

// A failed check: the report on standard error (the advice on a line of its
// own), and with --json its JSON form on standard output. The report has
// every control byte written as \xNN, so no escape sequence from a server
// reaches the terminal. Returns the exit status.
int ReportFailure(bool json, const FailureReport& report) {
    std::fprintf(stderr, "%s\n", Cp932ToUtf8(report.text).c_str());
    if (!report.advice.empty())
        std::fprintf(stderr, "%s\n", Cp932ToUtf8(report.advice).c_str());
    if (json)
        std::printf("%s\n", FailureJson(report).c_str());
    return ExitStatusOf(report.kind);
}

// The mailbox to check: the host in the engine's CP932 text, the user ID and
// password as `credentials` says.
struct Account {
    AnsiString host;
    AnsiString user;
    AnsiString password;
    CredentialText credentials = CredentialText::Cp932;
};

// The account the resident program stored, its password from the keyring
// where the program keeps it there. A usage error when nothing usable is
// stored; the registry's message when a stored value cannot be read;
// EKeyringError when the keyring cannot give the password. Every keyring
// wait, an unlock prompt's included, ends by `checkEnd`.
Account StoredAccount(std::chrono::steady_clock::time_point checkEnd) {
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    TRegistry registry(hive);
    StoredSettings stored;
    platform::SecretServiceOnDemand secrets(
        [](const std::string& line) { std::fprintf(stderr, "postwren-check: %s\n", line.c_str()); });
    secrets.LimitWaits(checkEnd);
    PasswordKeeper passwords(secrets);
    // Only reads: moving a password into the keyring is the program's business.
    const SettingsLoad load = passwords.Load(registry, stored, DefaultScrambleKey, PasswordKeeper::Move::Leave);
    if (!SettingsFound(load))
        throw UsageError("no stored settings in " + hive.path().string() + "; give --host, --user and a password");
    return Account{stored.host, stored.user, passwords.PasswordForCheck(stored.password)};
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
        if (host.find(':') != AnsiString::npos)
            throw UsageError("give the port either in the host or with --port");
        field += ":" + std::to_string(options.port);
    }
    return field;
}

// `checkEnd`, when given, is when the whole check must be over (what a
// keyring wait left of --timeout); otherwise the check has all of --timeout.
int RunCheck(const Options& options, const Account& account,
             std::optional<std::chrono::steady_clock::time_point> checkEnd = std::nullopt) {
    platform::SteadyClock clock;
    platform::TlsSockets sockets(platform::SystemSockets());
    const AnsiString server = ServerField(options, account.host);
    if (options.portGiven && server.find(':') != AnsiString::npos && !options.scheme)
        throw UsageError("give the port either in the host or with --port");
    TKxPOP3 client(nullptr, sockets, clock);
    client.SetHost(server);
    client.SetPort(options.port);
    int timeoutMs = options.timeoutSeconds * kMsPerSecond;
    if (checkEnd) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*checkEnd - std::chrono::steady_clock::now());
        timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 1, timeoutMs));
    }
    client.SetTimeOut(timeoutMs);
    client.SetUserID(account.user);
    client.SetPassword(account.password);
    client.SetCredentialEncoding(account.credentials);

    client.Connect();
    const int count = client.MessageCount();
    client.Disconnect();

    if (options.json)
        std::printf("{\"count\": %d}\n", count);
    else
        std::printf("%d\n", count);
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
        if (options.storedSettings) {
            // The keyring's wait is part of the check's time.
            const auto checkEnd = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
            return RunCheck(options, StoredAccount(checkEnd), checkEnd);
        }
        const std::string password = ReadPassword(options);
        RefuseBreaks(*options.user, "the user ID");
        RefuseBreaks(password, "the password");
        // The user ID and password go to the server as they were given.
        return RunCheck(options, Account{ToEngineText(*options.host, "the host name"), *options.user, password,
                                         CredentialText::Utf8});
    } catch (const UsageError& e) {
        std::fprintf(stderr, "postwren-check: %s\n", e.reason.c_str());
        if (e.showUsage)
            std::fprintf(stderr, "%s\n", kUsage);
        if (json)
            std::printf("{\"error\": %s, \"kind\": %s}\n", JsonString(e.reason).c_str(),
                        JsonString(KindName(FailureKind::Usage)).c_str());
        return kExitUsage;
    } catch (const std::exception& e) {
        return ReportFailure(json, DescribeFailure(e));
    }
}
