// Fuzz target for the server field: whatever text it is given, it must
// either refuse it with a message that shows no control byte, or name a host
// (made only of the bytes a host name may hold, or an IPv6 address) and a
// port in range, and read
// the same way again when written back in its full form. The first byte
// picks the default port.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/server_address.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "server address fuzz: %s\n", what);
        std::abort();
    }
}

constexpr int kDefaultPorts[] = {110, 995, 1, 65535};

bool hostByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool ipv6Byte(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

bool isIpv6Address(const AnsiString& host) {
    for (const char c : host)
        if (!ipv6Byte(c))
            return false;
    in6_addr parsed{};
    return inet_pton(AF_INET6, host.c_str(), &parsed) == 1;
}

const char* schemeOf(TransportSecurity security) {
    switch (security) {
        case TransportSecurity::Implicit:
            return "pop3s://";
        case TransportSecurity::StartTls:
            return "pop3+starttls://";
        case TransportSecurity::Plain:
            break;
    }
    return "pop3://";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const int defaultPort = kDefaultPorts[data[0] % 4];
    const AnsiString field(reinterpret_cast<const char*>(data + 1), size - 1);
    ServerAddress address;
    try {
        address = ParseServerAddress(field, defaultPort);
    } catch (const EServerAddressError& e) {
        for (const char c : e.Message())
            check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control byte in the message");
        return 0;
    }
    check(!address.host.empty(), "an empty host");
    if (address.host.find(':') != AnsiString::npos) {
        check(isIpv6Address(address.host), "a host with a colon that is no IPv6 address");
    } else {
        for (const char c : address.host) check(hostByte(c), "a host byte no host name holds");
    }
    check(address.port >= 1 && address.port <= 65535, "a port out of range");

    const AnsiString full = schemeOf(address.security) + HostInField(address.host) + ":" + std::to_string(address.port);
    ServerAddress again;
    try {
        again = ParseServerAddress(full, defaultPort);
    } catch (const EServerAddressError&) {
        check(false, "the full form of an accepted field is refused");
    }
    check(again.host == address.host && again.port == address.port && again.security == address.security,
          "the full form reads otherwise");
    return 0;
}
