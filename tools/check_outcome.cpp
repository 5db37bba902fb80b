#include "tools/check_outcome.h"

#include <cstdio>

#include "net/powersock.h"

CheckFailure ClassifyFailure(const std::exception& failure) {
    if (const auto* sock = dynamic_cast<const ESockError*>(&failure); sock != nullptr)
        return sock->Kind() == SockFailure::TlsFailed ? CheckFailure::Tls : CheckFailure::Network;
    return CheckFailure::Refused;
}

int ExitStatusOf(CheckFailure failure) {
    switch (failure) {
        case CheckFailure::Network:
            return kExitNetwork;
        case CheckFailure::Tls:
            return kExitTls;
        case CheckFailure::Refused:
            break;
    }
    return kExitRefused;
}

const char* KindName(CheckFailure failure) {
    switch (failure) {
        case CheckFailure::Network:
            return "network";
        case CheckFailure::Tls:
            return "tls";
        case CheckFailure::Refused:
            break;
    }
    return "refused";
}

std::string JsonString(std::string_view utf8) {
    std::string out = "\"";
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::string FailureJson(std::string_view utf8Message, CheckFailure failure) {
    return "{\"error\": " + JsonString(utf8Message) + ", \"kind\": " + JsonString(KindName(failure)) + "}";
}
