// The SASL responses of a log-on with an OAuth2 access token (POP3 AUTH,
// RFC 5034): Google's XOAUTH2 and RFC 7628's OAUTHBEARER.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// RFC 4648 base64 of `bytes`, padded.
std::string Base64Of(std::string_view bytes);

inline constexpr char kXoauth2[] = "XOAUTH2";
inline constexpr char kOauthBearer[] = "OAUTHBEARER";

// The XOAUTH2 initial response, base64: "user=" U "\x01auth=Bearer " T "\x01\x01".
std::string Xoauth2Response(std::string_view user, std::string_view token);

// The OAUTHBEARER initial response, base64: the GS2 header "n,a=" U "," (with
// "," and "=" in U written "=2C" and "=3D"), then "\x01host=" H "\x01port=" P
// "\x01auth=Bearer " T "\x01\x01".
std::string OauthBearerResponse(std::string_view user, std::string_view host, int port, std::string_view token);

// What the client answers to the server's error challenge after a rejected
// token, so that the server ends the exchange with its -ERR: an empty line
// for XOAUTH2, the base64 of "\x01" for OAUTHBEARER (RFC 7628 section 3.2.3).
std::string_view ErrorChallengeAnswer(std::string_view mechanism);

// The mechanism to use: the first of `wanted` (XOAUTH2, OAUTHBEARER where
// empty) that `offered` names, compared without regard to case; empty when
// none is.
std::string ChooseMechanism(const std::vector<std::string>& offered, const std::vector<std::string>& wanted);
