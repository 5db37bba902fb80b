// Signing in with OAuth 2.0 from a desktop program: the authorization code
// grant with PKCE (RFC 7636) through the user's browser and a listener on
// the loopback address (RFC 8252), the device grant (RFC 8628) for a machine
// without a browser, and the refresh of an access token.
//
// Everything here runs on the calling thread's Qt event loop (the GUI thread
// of the resident program, or the main thread of a QCoreApplication tool):
// a call blocks and keeps the loop turning until it is done, cancelled or
// out of time, so handlers (a Cancel button, a timer) run inside it.
// Failures are ECheckFailure (core/check_failure_kind.h):
//   SignIn     the user declined, the grant is revoked or expired
//              (access_denied, authorization_declined, invalid_grant,
//              expired_token), the browser's answer carried another state
//              than this sign-in's, the wait ran out or was cancelled;
//   Usage      the client is not registered or not allowed
//              (invalid_client, unauthorized_client; with advice), a
//              provider without a client ID or an endpoint that may not be
//              used, a local listener that cannot be opened;
//   Temporary  HTTP 5xx, temporarily_unavailable, server_error;
//   Network    connection refused, name look-up, time-out of a request;
//   Tls        the TLS handshake or certificate of an https endpoint;
//   Refused    any other refusal or an answer that cannot be used.
// A failure's ServerReply() holds the endpoint's "error" and
// "error_description" only, escaped and cut short; no body of an answer
// (which may carry a token) ever goes into a text.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "session/oauth2_provider.h"

// PKCE with S256: the challenge of a code verifier (base64url of its
// SHA-256, no padding).
std::string OAuth2PkceChallenge(std::string_view verifier);
// A new code verifier: 43 characters of base64url from 32 random bytes.
std::string OAuth2NewVerifier();
// A new state value: 128 random bits or more, base64url.
std::string OAuth2NewState();

// What a token endpoint answered. Texts are ASCII (they are tokens).
struct OAuth2Tokens {
    std::string accessToken;
    // Empty when the answer carried none (the old one stays good).
    std::string refreshToken;
    // The access token's lifetime as the answer said; 0 when it said none.
    std::chrono::seconds expiresIn{0};
};

// What the person is asked to do, handed to OAuth2SignInOptions::tell.
struct OAuth2Prompt {
    enum class Kind {
        // Open `url` in a browser and sign in there.
        Browser,
        // Open `url` on any device and enter `userCode` there.
        DeviceCode,
    };
    Kind kind = Kind::Browser;
    std::string url;
    std::string userCode;
};

struct OAuth2SignInOptions {
    enum class Flow { Browser, DeviceCode };
    Flow flow = Flow::Browser;
    // The account's user ID (UTF-8), sent as login_hint; may be empty.
    std::string user;
    // How long the person may take in all, from the start of Run.
    std::chrono::milliseconds timeout = std::chrono::minutes(5);
    // Called once with the address to open in the browser (Browser flow
    // only). Must return at once: start xdg-open detached. May be empty, for
    // a caller that only shows the address.
    std::function<void(const std::string& url)> openUrl;
    // Called once, before openUrl, with what to show the person (the address
    // to copy; the device flow's code and where to enter it). May be empty.
    std::function<void(const OAuth2Prompt&)> tell;
};

// One sign-in, run once. GUI thread only (or the one thread of a tool).
class OAuth2SignIn {
public:
    // The path of the loopback redirect address.
    static constexpr const char* kRedirectPath = "/postwren";

    // Keeps a copy of `provider`.
    OAuth2SignIn(OAuth2Provider provider, OAuth2SignInOptions options);
    ~OAuth2SignIn();
    OAuth2SignIn(const OAuth2SignIn&) = delete;
    OAuth2SignIn& operator=(const OAuth2SignIn&) = delete;

    // Runs the flow to its end and returns the tokens; throws ECheckFailure
    // (see the top of this file). The device flow needs a provider with a
    // device endpoint; without one it fails as Usage before anything is sent.
    OAuth2Tokens Run();

    // Ends the wait of Run at once: Run throws ECheckFailure (SignIn,
    // "Sign-in cancelled"). For a callback, a Cancel button or a timer that
    // runs inside Run; before Run it makes Run fail at once. Idempotent.
    void Cancel();

    // The redirect address of the running browser flow
    // ("http://127.0.0.1:<port>/postwren"); empty before the listener is open.
    std::string RedirectUri() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

// Opens `url` in the user's browser through xdg-open (which honours
// $BROWSER), started detached with its output to /dev/null, so that it never
// holds up the sign-in: a ready-made OAuth2SignInOptions::openUrl. False when
// xdg-open could not be started.
bool OAuth2StartBrowser(const std::string& url);

// Trades a refresh token for a new access token (and, where the provider
// rotates them, a new refresh token) at the provider's token endpoint.
// Blocks with the event loop turning until the answer, `deadline`, or 30
// seconds when none is given. Throws ECheckFailure as above; a revoked or
// expired refresh token is SignIn.
OAuth2Tokens OAuth2Refresh(const OAuth2Provider& provider, const std::string& refreshToken,
                           std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
