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

INSTANTIATE_TEST_SUITE_P(
    Forms, AcceptedAddress,
    ::testing::Values(
        // A bare name goes to the resolver exactly as written, in clear on the port set.
        Accepted{"pop.example.com", 110, "pop.example.com", 110, TS::Plain},
        Accepted{"192.0.2.7", 110, "192.0.2.7", 110, TS::Plain},
        Accepted{"mail_1.example", 110, "mail_1.example", 110, TS::Plain},
        // Spaces and tabs around the field are dropped.
        Accepted{" pop.example.com\t", 110, "pop.example.com", 110, TS::Plain},
        Accepted{"\tpop3s://pop.example.com:1995/ ", 110, "pop.example.com", 1995, TS::Implicit},
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
        Accepted{"pop3+starttls://pop.example.org:2110", 995, "pop.example.org", 2110, TS::StartTls},
        Accepted{"pop3://pop.example.org", 995, "pop.example.org", 110, TS::Plain},
        // Written out, pop3:// is plain even on 995.
        Accepted{"pop3://pop.example.org:995", 110, "pop.example.org", 995, TS::Plain},
        // IPv6 addresses in brackets, in every form; the host is the address alone.
        Accepted{"[2001:db8::1]", 110, "2001:db8::1", 110, TS::Plain},
        Accepted{"[::1]:1100", 110, "::1", 1100, TS::Plain}, Accepted{"[::1]:995", 110, "::1", 995, TS::Implicit},
        Accepted{"pop3s://[::1]", 110, "::1", 995, TS::Implicit},
        Accepted{"pop3s://[2001:db8::1]:995/", 110, "2001:db8::1", 995, TS::Implicit},
        Accepted{"pop3+starttls://[::1]:110", 995, "::1", 110, TS::StartTls},
        Accepted{"pop3://[::ffff:192.0.2.1]", 995, "::ffff:192.0.2.1", 110, TS::Plain}));

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
        // Broken IPv6 forms, and the bare address, whose port could not be told apart.
        Refused{"[::1", "Bad IPv6 address in server address: [::1 (\"]\" is missing)"},
        Refused{"pop3s://[::1", "Bad IPv6 address in server address: pop3s://[::1 (\"]\" is missing)"},
        Refused{"[::1]:", "Bad port in server address: [::1]:"},
        Refused{"[::1]:65536", "Bad port in server address: [::1]:65536"},
        Refused{"[::1]1100", "Bad port in server address: [::1]1100"},
        Refused{"[zz::1]", "Bad IPv6 address in server address: [zz::1]"},
        Refused{"pop3s://[pop.example.com]", "Bad IPv6 address in server address: pop3s://[pop.example.com]"},
        Refused{"[]:110", "Bad IPv6 address in server address: []:110"},
        Refused{"::1", "Bad host in server address: ::1 (write an IPv6 address in brackets: [::1])"},
        Refused{"2001:db8::1",
                "Bad host in server address: 2001:db8::1 (write an IPv6 address in brackets: "
                "[2001:db8::1])"},
        // A resolver that stops at white space would take the part before it
        // (inet_aton reads "127.0.10.1 evil.example" as 127.0.10.1), in any form.
        Refused{"127.0.10.1 evil.example", "Server address must not contain white space: 127.0.10.1 evil.example"},
        Refused{"127.0.10.1\tevil.example", "Server address must not contain white space: 127.0.10.1\\x09evil.example"},
        Refused{"mail server", "Server address must not contain white space: mail server"},
        Refused{"127.0.10.1 evil.example:110",
                "Server address must not contain white space: 127.0.10.1 evil.example:110"},
        Refused{"pop3://127.0.10.1 evil.example",
                "Server address must not contain white space: pop3://127.0.10.1 evil.example"},
        Refused{"pop3s://127.0.10.1\tx:995",
                "Server address must not contain white space: pop3s://127.0.10.1\\x09x:995"},
        Refused{"pop3+starttls://127.0.10.1 x",
                "Server address must not contain white space: pop3+starttls://127.0.10.1 x"},
        Refused{"pop3s://127.0.10.1: 995", "Server address must not contain white space: pop3s://127.0.10.1: 995"},
        // Control bytes are refused wherever they stand, and never echoed raw.
        Refused{"127.0.10.1\x0b", "Server address must not contain control characters: 127.0.10.1\\x0B"},
        Refused{"pop.example.com\x1b[2J",
                "Server address must not contain control characters: pop.example.com\\x1B[2J"},
        Refused{"pop3\x7f://pop.example.com",
                "Server address must not contain control characters: pop3\\x7F://pop.example.com"},
        // Bytes no host name holds.
        Refused{"pop.example.com;rm", "Bad character \";\" in server host name: pop.example.com;rm"},
        Refused{"pop3s://pop%2eexample.com", "Bad character \"%\" in server host name: pop3s://pop%2eexample.com"},
        Refused{"alice@pop.example.com", "Bad character \"@\" in server host name: alice@pop.example.com"},
        Refused{"pop.\x83\x7c\x83\x62\x83\x76.example",
                "Server host name must be written in ASCII (an international name in its xn-- form): "
                "pop.\x83\x7c\x83\x62\x83\x76.example"}));

}  // namespace
