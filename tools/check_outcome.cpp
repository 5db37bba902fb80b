#include "tools/check_outcome.h"

#include <cstdio>

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

std::string FailureJson(const FailureReport& report) {
    std::string json =
        "{\"error\": " + JsonString(Cp932ToUtf8(report.message)) + ", \"kind\": " + JsonString(KindName(report.kind));
    if (!report.server.empty())
        json += ", \"server\": " + JsonString(Cp932ToUtf8(report.server));
    if (!report.advice.empty())
        json += ", \"advice\": " + JsonString(Cp932ToUtf8(report.advice));
    return json + "}";
}
