// postwren-check: one mailbox check from the command line, with the same
// engine as the resident program, for scripts and status bars. No display.
//
// Exit status: 0 with the message count on standard output; on failure the
// engine's message on standard error and a status by the kind of failure
// (tools/check_outcome.h): 1 refused, 3 network, 4 TLS; 2 for a usage error.
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "framework/application.h"
#include "framework/exception.h"
#include "framework/registry.h"
#include "framework/text.h"
#include "net/kxpop3.h"
#include "net/server_address.h"
#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/secret_service.h"
#include "platform/socket.h"
#include "platform/tls_socket.h"
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
    "  --json                 print {\"count\": N}, or on failure\n"
    "                         {\"error\": \"...\", \"kind\": \"refused\"|\"network\"|\"tls\"}\n"
    "  -h, --help             this text\n"
    "  --version              the version\n"
    "\n"
    "The count goes to standard output; on failure the engine's message goes to\n"
    "standard error (server text with control characters written as \\xNN).\n"
    "\n"
    "Exit status:\n"
    "  0  the count was printed\n"
    "  1  the server refused: an -ERR reply at any step, a greeting that is not +OK,\n"
    "     a wrong user ID or password\n"
    "  2  usage: a bad or missing option, an unreadable password file, no stored settings\n"
    "  3  the server could not be reached or stopped answering: name look-up, connect,\n"
    "     time-out, closed connection, a reply line without end\n"
    "  4  TLS failed: handshake, certificate or host name, or the server refused STLS\n"
    "\n"
    "Messages that need a word:\n"
    "  Null Remote Address          the host name could not be resolved\n"
    "  Connection Failed            nothing accepts connections at that address and port\n"
    "  Connection Timed out         no answer to the connect within --timeout\n"
    "  Socket readln timed out      the server fell silent for --timeout\n"
    "  Connection closed by peer    the server closed the connection\n"
    "  Socket readln line too long  the server sent a line without end\n"
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

// A usage error: the reason, then the usage line, on standard error.
class UsageError {
public:
    explicit UsageError(std::string reason) : reason(std::move(reason)) {}
    std::string reason;
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

// The first line of the stream, without its line end (LF or CR LF).
std::string FirstLine(std::istream& in) {
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// UTF-8 text from the command line as the engine's CP932 text.
AnsiString ToEngineText(const std::string& utf8, const char* what) {
    // A line break would end the command early and send the rest as a
    // command of its own; a NUL would cut the text short without a word.
    if (utf8.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw UsageError(std::string(what) + " must not contain line breaks or NUL characters");
    auto converted = TryUtf8ToCp932(utf8);
    // Sending a mangled user ID or password would fail at the server with a
    // misleading message; say what is wrong instead.
    if (!converted)
        throw UsageError(std::string(what) + " cannot be written in CP932");
    return *converted;
}

// The engine's message for a terminal, in UTF-8. It may carry a server's
// reply: its line end goes, and control bytes are written as \xNN so that
// no escape sequence from the server reaches the terminal.
std::string MessageForTerminal(const AnsiString& cp932) {
    return Cp932ToUtf8(EscapeControls(cp932));
}

// A failed check: the message on standard error, and with --json its kind on
// standard output. Returns the exit status.
int ReportFailure(const Options& options, const std::string& message, CheckFailure kind) {
    std::fprintf(stderr, "%s\n", message.c_str());
    if (options.json)
        std::printf("%s\n", FailureJson(message, kind).c_str());
    return ExitStatusOf(kind);
}

// The mailbox to check, in the engine's CP932 text.
struct Account {
    AnsiString host;
    AnsiString user;
    AnsiString password;
};

// The account the resident program stored, its password from the keyring
// where the program keeps it there. A usage error when nothing usable is
// stored; the registry's message when a stored value cannot be read;
// EKeyringError when the keyring cannot give the password.
Account StoredAccount() {
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    TRegistry registry(hive);
    StoredSettings stored;
    platform::SecretService secrets;
    PasswordKeeper passwords(secrets);
    // Only reads: moving a password into the keyring is the program's business.
    const SettingsLoad load = passwords.Load(registry, stored, DefaultScrambleKey, PasswordKeeper::Move::Leave);
    switch (load.status) {
        case SettingsLoadStatus::Loaded:
            break;
        case SettingsLoadStatus::NoKey:
        case SettingsLoadStatus::Damaged:
        case SettingsLoadStatus::StoreUnreadable:
            throw UsageError("no stored settings in " + hive.path().string() + "; give --host, --user and a password");
        case SettingsLoadStatus::UnreadableValue:
            throw ERegistryException(load.message);
    }
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

int RunCheck(const Options& options, const Account& account) {
    platform::SteadyClock clock;
    platform::TlsSockets sockets(platform::SystemSockets());
    const AnsiString server = ServerField(options, account.host);
    if (options.portGiven && server.find(':') != AnsiString::npos && !options.scheme)
        throw UsageError("give the port either in the host or with --port");
    TKxPOP3 client(nullptr, sockets, clock);
    client.SetHost(server);
    client.SetPort(options.port);
    client.SetTimeOut(options.timeoutSeconds * kMsPerSecond);
    client.SetUserID(account.user);
    client.SetPassword(account.password);

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

    Options options;
    std::string password;
    try {
        options = ParseArguments(argc, argv);
        if (options.help) {
            std::printf("%s\n%s", kUsage, kHelp);
            return kExitCount;
        }
        if (options.version) {
            std::printf("postwren-check %s\n", POSTWREN_VERSION);
            return kExitCount;
        }
        if (options.storedSettings)
            return RunCheck(options, StoredAccount());
        if (options.passwordStdin) {
            password = FirstLine(std::cin);
        } else {
            std::ifstream file(*options.passwordFile, std::ios::binary);
            if (!file) {
                std::fprintf(stderr, "postwren-check: cannot read %s: %s\n", options.passwordFile->c_str(),
                             std::strerror(errno));
                return kExitUsage;
            }
            password = FirstLine(file);
        }
        return RunCheck(
            options, Account{ToEngineText(*options.host, "the host name"), ToEngineText(*options.user, "the user ID"),
                             ToEngineText(password, "the password")});
    } catch (const UsageError& e) {
        std::fprintf(stderr, "postwren-check: %s\n%s\n", e.reason.c_str(), kUsage);
        return kExitUsage;
    } catch (const Exception& e) {
        return ReportFailure(options, MessageForTerminal(e.Message()), ClassifyFailure(e));
    } catch (const std::exception& e) {
        // Not the engine's: nothing a server said, so no kind of its own.
        return ReportFailure(options, e.what(), CheckFailure::Refused);
    }
}
