// Fuzz target for a failure's report: a secret and a server reply come from
// the input (its first byte says how long the secret is), the reply is
// redacted as the POP3 client does it, and the report made of it must be
// bounded, show no control byte, and show the secret in none of the forms a
// server echoes: as it is, in another case, split by control bytes, "%XX"
// encoded, in hex or in base64. The forms are looked for here in a plain way
// of this file's own.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/check_failure_kind.h"
#include "net/check_failure.h"
#include "net/report_text.h"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "report fuzz: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t kMaxWholeReport = 4096;

std::string lowerWithoutControls(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F)
            out += static_cast<char>(b < 0x80 ? std::tolower(b) : b);
    }
    return out;
}

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (const char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
        out += two;
    }
    return out;
}

std::string base64(const std::string& bytes) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t group = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        const std::size_t chars = std::min<std::size_t>(4, (bytes.size() - i) * 8 / 6 + 1);
        for (std::size_t k = 0; k < chars; ++k) out += alphabet[(group >> (18 - 6 * k)) & 0x3F];
    }
    return out;
}

// Whether `text` shows `secret` in any of the forms above.
bool shows(const std::string& text, const std::string& secret) {
    const std::string needle = lowerWithoutControls(secret);
    for (const std::string& seen : {lowerWithoutControls(text), lowerWithoutControls(percentDecoded(text))}) {
        if (seen.find(needle) != std::string::npos || seen.find(lowerWithoutControls(hex(secret))) != std::string::npos)
            return true;
        if (lowerWithoutControls(text).find(lowerWithoutControls(base64(secret))) != std::string::npos)
            return true;
    }
    return false;
}

bool alphanumeric(const std::string& s) {
    for (const char c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    return !s.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::size_t secretSize = std::min<std::size_t>(data[0] % 32, size - 1);
    const std::string secret(reinterpret_cast<const char*>(data + 1), secretSize);
    const std::string reply(reinterpret_cast<const char*>(data + 1 + secretSize), size - 1 - secretSize);

    std::vector<std::string> secrets = {secret};
    for (std::string& plain : SaslPlainResponses("alice", secret)) secrets.push_back(std::move(plain));
    const std::string shown = RedactSecrets(reply, secrets);
    // A secret that is made of letters and digits is gone in every form;
    // others (one made of the redaction's own stars, say) must still not crash.
    if (alphanumeric(secret)) {
        check(!shows(shown, secret), "the secret shows");
        const std::string nul(1, '\0');
        check(!shows(shown, nul + "alice" + nul + secret), "the SASL PLAIN response shows");
    }

    // The reply as a greeting refusal (its own message) and as a refused
    // log-on with advice.
    const FailureReport greeting = DescribeFailure(ECheckFailure(shown, FailureKind::Refused, shown));
    ECheckFailure logon("Authentication failed", FailureKind::Refused, shown);
    logon.SetAdvice(shown);
    const FailureReport refused = DescribeFailure(logon);
    for (const FailureReport* report : {&greeting, &refused}) {
        check(report->server.size() <= kMaxReportTextBytes, "the server's text is not bounded");
        check(report->message.size() <= kMaxReportTextBytes, "the message is not bounded");
        check(report->advice.size() <= kMaxReportTextBytes, "the advice is not bounded");
        check(report->text.size() < kMaxWholeReport, "the report is not bounded");
        for (const AnsiString* part : {&report->text, &report->server, &report->advice})
            for (const char c : *part)
                check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control byte in the report");
    }
    return 0;
}
