#include "net/sasl.h"

#include <strings.h>
#include <algorithm>
#include <cstdint>
#include <utility>

std::string Base64Of(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::uint32_t bits = 0;
    int held = 0;
    for (const char c : bytes) {
        bits = (bits << 8) | static_cast<unsigned char>(c);
        held += 8;
        while (held >= 6) {
            held -= 6;
            out += kAlphabet[(bits >> held) & 0x3F];
        }
    }
    if (held > 0)
        out += kAlphabet[(bits << (6 - held)) & 0x3F];
    while (out.size() % 4 != 0) out += '=';
    return out;
}

namespace {

// Both mechanisms end their message the same way: the token as an HTTP
// bearer credential, then the empty key-value pair that closes the list.
std::string WithBearer(std::string message, std::string_view token) {
    message +=
        "\x01"
        "auth=Bearer ";
    message += token;
    message += "\x01\x01";
    return Base64Of(message);
}

}  // namespace

std::string Xoauth2Response(std::string_view user, std::string_view token) {
    return WithBearer("user=" + std::string(user), token);
}

std::string OauthBearerResponse(std::string_view user, std::string_view host, int port, std::string_view token) {
    // RFC 5801's saslname: the two characters that end a GS2 field are escaped.
    std::string message = "n,a=";
    for (const char c : user) {
        if (c == ',')
            message += "=2C";
        else if (c == '=')
            message += "=3D";
        else
            message += c;
    }
    message += ",\x01host=";
    message += host;
    message += "\x01port=" + std::to_string(port);
    return WithBearer(std::move(message), token);
}

std::string_view ErrorChallengeAnswer(std::string_view mechanism) {
    return mechanism == kOauthBearer ? std::string_view("AQ==") : std::string_view();
}

std::string ChooseMechanism(const std::vector<std::string>& offered, const std::vector<std::string>& wanted) {
    static const std::vector<std::string> kEither = {kXoauth2, kOauthBearer};
    for (const std::string& mechanism : wanted.empty() ? kEither : wanted) {
        const bool named = std::any_of(offered.begin(), offered.end(), [&](const std::string& name) {
            return strcasecmp(name.c_str(), mechanism.c_str()) == 0;
        });
        if (named)
            return mechanism;
    }
    return {};
}
