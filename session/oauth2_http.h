// The sign-in's exchanges with a provider's endpoints: a form posted over
// Qt Network with every answer and every wait bounded, and what an answer
// means. Used by oauth2_signin.cpp; not for other callers.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "session/oauth2_signin.h"

using OAuth2Form = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded: every byte but the unreserved ones of
// RFC 3986 is written %XX, so '+' in a value stays '+'.
std::string OAuth2FormEncode(const OAuth2Form& form);
// One component of such a form decoded once: '+' is a space, %XX its byte;
// a '%' not followed by two hex digits stays as it is.
std::string OAuth2FormDecode(std::string_view component);
// A query or form body split at '&' and '=', each part decoded once.
OAuth2Form OAuth2FormParse(std::string_view query);

// An endpoint's answer: its HTTP status and body (at most kAnswerLimit bytes).
struct OAuth2HttpAnswer {
    static constexpr std::size_t kAnswerLimit = 64 * 1024;
    int status = 0;
    std::string body;
};

// Posts `form` to `url` and waits, the event loop turning, until the answer
// is in, `deadline` passes or `cancelled()` turns true. Redirects are not
// followed. Throws ECheckFailure: Network (no connection, name look-up,
// the deadline), Tls, Refused (an answer over the limit), SignIn
// ("Sign-in cancelled").
OAuth2HttpAnswer OAuth2Post(const std::string& url, const OAuth2Form& form,
                            std::chrono::steady_clock::time_point deadline, const std::function<bool()>& cancelled);

// The failure for an OAuth error code (RFC 6749 5.2, 4.1.2.1; RFC 8628 3.5)
// with its description, as ECheckFailure with the kind the code means.
[[noreturn]] void OAuth2ThrowError(const OAuth2Provider& provider, const std::string& error,
                                   const std::string& description);

// A JSON answer as a flat map of its members; values that are texts or
// numbers, as text. nullopt when the body is no JSON object.
std::optional<std::vector<std::pair<std::string, std::string>>> OAuth2JsonMembers(const std::string& body);

// The meaning of a token endpoint's answer: the tokens of a 200, or the
// failure its status and error say (thrown). With `pendingError` given (the
// device flow), authorization_pending and slow_down are not thrown but
// written there, and empty tokens come back.
OAuth2Tokens OAuth2ReadTokenAnswer(const OAuth2Provider& provider, const OAuth2HttpAnswer& answer,
                                   std::string* pendingError = nullptr);

// The failure that ends a sign-in the user cancelled.
[[noreturn]] void OAuth2ThrowCancelled();
