#include "net/server_address.h"

#include <algorithm>
#include <cctype>
#include <string_view>

namespace {

constexpr std::string_view kSchemeSeparator = "://";
constexpr int kMaxPort = 65535;
constexpr std::size_t kMaxPortDigits = 5;

struct Scheme {
    std::string_view name;
    TransportSecurity security;
    int defaultPort;
};

constexpr Scheme kSchemes[] = {
    {"pop3s", TransportSecurity::Implicit, kPop3TlsPort},
    {"pop3+starttls", TransportSecurity::StartTls, kPop3PlainPort},
    {"pop3", TransportSecurity::Plain, kPop3PlainPort},
};

constexpr char kSchemeList[] = "pop3s://, pop3+starttls:// or pop3://";

AnsiString Lower(std::string_view text) {
    AnsiString result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

// 1 to 65535 in decimal digits only; 0 when the text is no port.
int ParsePort(std::string_view text) {
    if (text.empty() || text.size() > kMaxPortDigits)
        return 0;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
        value = value * 10 + (c - '0');
    }
    return value <= kMaxPort ? value : 0;
}

TransportSecurity SecurityForPort(int port) {
    return port == kPop3TlsPort ? TransportSecurity::Implicit : TransportSecurity::Plain;
}

// "host" or "host:port" of a scheme form, already without scheme and slash.
void ReadAuthority(std::string_view authority, const AnsiString& whole, ServerAddress& address) {
    if (authority.find('@') != std::string_view::npos)
        throw EServerAddressError("Server address must not contain a user name: " + whole +
                                  " (the user ID has a field of its own)");
    if (authority.find_first_of("/?#") != std::string_view::npos)
        throw EServerAddressError("Server address must not contain a path: " + whole);
    if (authority.find('[') != std::string_view::npos)
        throw EServerAddressError("IPv6 server addresses are not supported: " + whole);
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
        const int port = ParsePort(authority.substr(colon + 1));
        if (port == 0)
            throw EServerAddressError("Bad port in server address: " + whole);
        address.port = port;
        authority = authority.substr(0, colon);
    }
    if (authority.empty() || authority.find(':') != std::string_view::npos)
        throw EServerAddressError("Bad host in server address: " + whole);
    address.host = AnsiString(authority);
}

}  // namespace

ServerAddress ParseServerAddress(const AnsiString& text, int defaultPort) {
    // Nothing to look up: no resolver answer would say more than this.
    if (text.empty())
        throw EServerAddressError("Server address is empty");
    ServerAddress address;
    const std::size_t separator = text.find(kSchemeSeparator);
    if (separator == AnsiString::npos) {
        const std::size_t colon = text.find(':');
        if (colon == AnsiString::npos) {
            // Exactly as written: the name goes to the resolver untouched.
            address.host = text;
            address.port = defaultPort;
            address.security = SecurityForPort(defaultPort);
            return address;
        }
        address.port = defaultPort;
        ReadAuthority(std::string_view(text), text, address);
        address.security = SecurityForPort(address.port);
        return address;
    }

    const AnsiString scheme = Lower(std::string_view(text).substr(0, separator));
    const Scheme* known = nullptr;
    for (const Scheme& s : kSchemes) {
        if (scheme == s.name)
            known = &s;
    }
    if (known == nullptr)
        throw EServerAddressError("Unsupported server address scheme \"" + text.substr(0, separator) + "\": use " +
                                  kSchemeList);
    std::string_view authority = std::string_view(text).substr(separator + kSchemeSeparator.size());
    if (!authority.empty() && authority.back() == '/')
        authority.remove_suffix(1);
    address.port = known->defaultPort;
    address.security = known->security;
    ReadAuthority(authority, text, address);
    return address;
}
