#include "net/server_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

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

// What may stand around the address and is dropped: what a typed or pasted
// field picks up at its ends.
constexpr std::string_view kTrimmedAtEnds = " \t";

std::string_view TrimEnds(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kTrimmedAtEnds);
    if (first == std::string_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(kTrimmedAtEnds);
    return text.substr(first, last - first + 1);
}

bool IsControlByte(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The field as a message may quote it: control bytes written as \xNN, so
// none reaches a terminal or a log line raw.
AnsiString Shown(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    AnsiString out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsControlByte(c)) {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += ch;
        }
    }
    return out;
}

// White space or a control byte anywhere in the field: a resolver that stops
// at white space would connect to the part before it (inet_aton takes
// "192.0.2.1 evil.example" as 192.0.2.1).
void RefuseBlanksAndControls(std::string_view field) {
    for (const char ch : field) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ' || c == '\t')
            throw EServerAddressError("Server address must not contain white space: " + Shown(field));
        if (IsControlByte(c))
            throw EServerAddressError("Server address must not contain control characters: " + Shown(field));
    }
}

// RFC 952/1123 host names are letters, digits, "-" and "."; "_" is common in
// names a local resolver knows, and an IPv4 address is digits and dots.
bool IsHostNameByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

void RefuseBadHostBytes(std::string_view host, std::string_view field) {
    const auto bad = std::find_if_not(host.begin(), host.end(),
                                      [](char c) { return IsHostNameByte(static_cast<unsigned char>(c)); });
    if (bad == host.end())
        return;
    if (static_cast<unsigned char>(*bad) >= 0x80)
        throw EServerAddressError(
            "Server host name must be written in ASCII (an international name in its xn-- form): " + Shown(field));
    throw EServerAddressError("Bad character \"" + AnsiString(1, *bad) + "\" in server host name: " + Shown(field));
}

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

bool IsIpv6Literal(std::string_view text) {
    in6_addr parsed{};
    return inet_pton(AF_INET6, std::string(text).c_str(), &parsed) == 1;
}

// "[v6address]" or "[v6address]:port" (RFC 3986 section 3.2.2): the address
// without its brackets.
void ReadBracketedHost(std::string_view authority, const AnsiString& whole, ServerAddress& address) {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos)
        throw EServerAddressError("Bad IPv6 address in server address: " + whole + " (\"]\" is missing)");
    const std::string_view literal = authority.substr(1, close - 1);
    if (!IsIpv6Literal(literal))
        throw EServerAddressError("Bad IPv6 address in server address: " + whole);
    const std::string_view rest = authority.substr(close + 1);
    if (!rest.empty()) {
        const int port = rest.front() == ':' ? ParsePort(rest.substr(1)) : 0;
        if (port == 0)
            throw EServerAddressError("Bad port in server address: " + whole);
        address.port = port;
    }
    address.host = AnsiString(literal);
}

// "host" or "host:port" of a scheme form, already without scheme and slash.
void ReadAuthority(std::string_view authority, const AnsiString& whole, ServerAddress& address) {
    if (authority.find('@') != std::string_view::npos)
        throw EServerAddressError("Server address must not contain a user name: " + whole +
                                  " (the user ID has a field of its own)");
    if (authority.find_first_of("/?#") != std::string_view::npos)
        throw EServerAddressError("Server address must not contain a path: " + whole);
    if (!authority.empty() && authority.front() == '[') {
        ReadBracketedHost(authority, whole, address);
        return;
    }
    // Without brackets the port could not be told from the address.
    if (IsIpv6Literal(authority))
        throw EServerAddressError("Bad host in server address: " + whole + " (write an IPv6 address in brackets: [" +
                                  AnsiString(authority) + "])");
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
    RefuseBadHostBytes(authority, whole);
    address.host = AnsiString(authority);
}

}  // namespace

AnsiString HostInField(const AnsiString& host) {
    return host.find(':') != AnsiString::npos ? "[" + host + "]" : host;
}

ServerAddress ParseServerAddress(const AnsiString& field, int defaultPort) {
    // Checked before anything is read out of it, so no part of it (scheme,
    // host or port) can hold what a later reader would stop at.
    const AnsiString text(TrimEnds(field));
    RefuseBlanksAndControls(text);
    // Nothing to look up: no resolver answer would say more than this.
    if (text.empty())
        throw EServerAddressError("Server address is empty");
    ServerAddress address;
    const std::size_t separator = text.find(kSchemeSeparator);
    if (separator == AnsiString::npos) {
        const std::size_t colon = text.find(':');
        if (colon == AnsiString::npos) {
            // As written: a valid name goes to the resolver untouched.
            RefuseBadHostBytes(text, text);
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
