// What the user writes in the server field, read as the engine will use it.
#include "net/server_address.h"

#include <gtest/gtest.h>

namespace {

using TS = TransportSecurity;

struct Accepted {
    const char* text;
    int defaultPort;
    const char* host;
    int port;
    TS security;
};

std::ostream& operator<<(std::ostream& os, const Accepted& c) {
    return os << c.text;
}

class AcceptedAddress : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedAddress, GivesHostPortAndSecurity) {
    const Accepted& c = GetParam();
    const ServerAddress a = ParseServerAddress(c.text, c.defaultPort);
    EXPECT_EQ(a.host, c.host);
    EXPECT_EQ(a.port, c.port);
    EXPECT_EQ(a.security, c.security);
}

INSTANTIATE_TEST_SUITE_P(Forms, AcceptedAddress,
                         ::testing::Values(
                             // A bare name goes to the resolver exactly as written, in clear on the port set.
                             Accepted{"pop.example.com", 110, "pop.example.com", 110, TS::Plain},
                             Accepted{"192.0.2.7", 110, "192.0.2.7", 110, TS::Plain},
                             Accepted{"mail server", 110, "mail server", 110, TS::Plain},
                             Accepted{"pop.example.com", 2110, "pop.example.com", 2110, TS::Plain},
                             // The POP3S port set apart from the name still means TLS.
                             Accepted{"pop.example.com", 995, "pop.example.com", 995, TS::Implicit},
                             // host:port: plain, except 995.
                             Accepted{"pop.example.com:110", 110, "pop.example.com", 110, TS::Plain},
                             Accepted{"pop.example.com:2110", 110, "pop.example.com", 2110, TS::Plain},
                             Accepted{"pop.gmail.com:995", 110, "pop.gmail.com", 995, TS::Implicit},
                             Accepted{"127.0.0.4:995", 110, "127.0.0.4", 995, TS::Implicit},
                             // Schemes, with their default ports, in any case, with a trailing slash.
                             Accepted{"pop3s://pop.gmx.net", 110, "pop.gmx.net", 995, TS::Implicit},
                             Accepted{"POP3S://pop.gmx.net/", 110, "pop.gmx.net", 995, TS::Implicit},
                             Accepted{"pop3s://10.0.0.1:1995", 110, "10.0.0.1", 1995, TS::Implicit},
                             Accepted{"pop3+starttls://pop.example.org", 110, "pop.example.org", 110, TS::StartTls},
                             Accepted{"pop3+starttls://pop.example.org:2110", 995, "pop.example.org", 2110,
                                      TS::StartTls},
                             Accepted{"pop3://pop.example.org", 995, "pop.example.org", 110, TS::Plain},
                             // Written out, pop3:// is plain even on 995.
                             Accepted{"pop3://pop.example.org:995", 110, "pop.example.org", 995, TS::Plain}));

struct Refused {
    const char* text;
    const char* message;
};

std::ostream& operator<<(std::ostream& os, const Refused& c) {
    return os << c.text;
}

class RefusedAddress : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedAddress, SaysWhy) {
    const Refused& c = GetParam();
    try {
        ParseServerAddress(c.text);
        FAIL() << "accepted " << c.text;
    } catch (const EServerAddressError& e) {
        EXPECT_EQ(e.Message(), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, RefusedAddress,
    ::testing::Values(
        Refused{"imap://mail.example.com",
                "Unsupported server address scheme \"imap\": use pop3s://, pop3+starttls:// "
                "or pop3://"},
        Refused{"https://mail.example.com",
                "Unsupported server address scheme \"https\": use pop3s://, "
                "pop3+starttls:// or pop3://"},
        Refused{"://mail.example.com",
                "Unsupported server address scheme \"\": use pop3s://, pop3+starttls:// or "
                "pop3://"},
        Refused{"", "Server address is empty"}, Refused{"pop3s://", "Bad host in server address: pop3s://"},
        Refused{"pop3s://:995", "Bad host in server address: pop3s://:995"},
        Refused{"pop3s://host:0", "Bad port in server address: pop3s://host:0"},
        Refused{"pop3s://host:65536", "Bad port in server address: pop3s://host:65536"},
        Refused{"pop3s://host:", "Bad port in server address: pop3s://host:"},
        Refused{"host:pop3", "Bad port in server address: host:pop3"},
        Refused{"host:+995", "Bad port in server address: host:+995"},
        Refused{"a:b:995", "Bad host in server address: a:b:995"},
        Refused{"pop3s://alice@pop.example.com",
                "Server address must not contain a user name: pop3s://alice@pop.example.com (the user ID has a field "
                "of its own)"},
        Refused{"pop3s://pop.example.com/inbox",
                "Server address must not contain a path: pop3s://pop.example.com/inbox"},
        Refused{"pop3s://[2001:db8::1]:995", "IPv6 server addresses are not supported: pop3s://[2001:db8::1]:995"}));

}  // namespace
