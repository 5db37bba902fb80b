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

namespace {

// A field of a message: null when it is not known.
std::string JsonField(bool known, std::string_view utf8) {
    return known ? JsonString(utf8) : "null";
}

constexpr char kDash[] = " \xE2\x80\x94 ";  // an em dash between sender and subject

}  // namespace

std::string CountJson(int count, bool withMessages, const std::vector<MessageSummary>& messages) {
    std::string json = "{\"count\": " + std::to_string(count);
    if (withMessages) {
        json += ", \"messages\": [";
        for (std::size_t i = 0; i < messages.size(); ++i) {
            const MessageSummary& m = messages[i];
            const bool h = m.headerRead;
            json += i == 0 ? "" : ", ";
            json +=
                "{\"number\": " + std::to_string(m.number) + ", \"uid\": " + JsonField(!m.uid.empty(), m.uid) +
                ", \"from\": " + JsonField(h, m.headers.from) + ", \"address\": " + JsonField(h, m.headers.address) +
                ", \"subject\": " + JsonField(h, m.headers.subject) + ", \"date\": " + JsonField(h, m.headers.date) +
                ", \"size\": " + (m.size ? std::to_string(*m.size) : std::string("null")) + "}";
        }
        json += "]";
    }
    return json + "}";
}

std::string WaybarLine(int count, const std::vector<MessageSummary>& messages) {
    std::string tooltip = count == 0 ? "No mail" : count == 1 ? "1 message" : std::to_string(count) + " messages";
    for (const MessageSummary& m : messages) tooltip += "\n" + m.headers.from + kDash + m.headers.subject;
    return "{\"text\": " + JsonString(std::to_string(count)) + ", \"tooltip\": " + JsonString(tooltip) +
           ", \"class\": " + JsonString(count > 0 ? "mail" : "empty") + "}";
}

std::string WaybarFailure(const FailureReport& report) {
    return "{\"text\": \"!\", \"tooltip\": " + JsonString(Cp932ToUtf8(report.text)) +
           ", \"class\": " + JsonString(KindName(report.kind)) + "}";
}
