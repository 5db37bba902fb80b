// What the user writes for the mail server, read once: the host to connect
// to, its port, and whether the connection is protected by TLS.
#pragma once

#include "core/exception.h"
#include "core/text.h"

// How the connection to the server is protected.
enum class TransportSecurity {
    Plain,     // no TLS: the password crosses the network as written
    Implicit,  // TLS from the first byte (RFC 8314)
    StartTls,  // plain greeting, then STLS before the log-on (RFC 2595)
};

struct ServerAddress {
    AnsiString host;  // a name, an IPv4 address or an IPv6 address (without brackets); no scheme or port
    int port = 0;
    TransportSecurity security = TransportSecurity::Plain;
};

// A server field that cannot be used; the message says why, in English.
class EServerAddressError : public Exception {
public:
    using Exception::Exception;
};

constexpr int kPop3PlainPort = 110;
constexpr int kPop3TlsPort = 995;

// Reads the server field:
//   host                       plain, on defaultPort (TLS when that is 995)
//   host:port                  plain, except port 995, which means TLS
//   pop3s://host[:port]        TLS from the first byte, port 995 unless given
//   pop3+starttls://host[:port] plain, then STLS; port 110 unless given
//   pop3://host[:port]         plain, port 110 unless given
// Where host is an IPv6 address it is written in brackets in every form
// ("[2001:db8::1]", "[::1]:1100", "pop3s://[::1]"); ServerAddress::host
// holds it without them. Scheme names are case-insensitive; one trailing "/" is allowed. Spaces and
// tabs around the field are dropped. A valid bare host is passed on as
// written, so it keeps behaving exactly as before. Raises EServerAddressError
// for an empty field, white space or a control character anywhere inside, a
// host name byte other than an ASCII letter, digit, "-", "." or "_", any
// other scheme, a bad port, an empty host, user information or a path, an
// IPv6 address without brackets, and brackets that hold no IPv6 address or
// miss their "]".
// Messages show control bytes as \xNN.
ServerAddress ParseServerAddress(const AnsiString& field, int defaultPort = kPop3PlainPort);

// The host as a server field writes it: an IPv6 address in brackets.
AnsiString HostInField(const AnsiString& host);
