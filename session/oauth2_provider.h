// Where a mail server's sign-in happens: the providers that sign users in
// with OAuth 2.0 for their POP3 servers, as data. Two are built in
// (Microsoft and Google); the user's providers file adds others or replaces
// them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {
class Log;
}

// One provider: its endpoints, the client this program is registered as, and
// what its mail servers take. Texts are UTF-8.
struct OAuth2Provider {
    std::string name;
    // The POP3 servers it signs in for, lower case, compared without case.
    std::vector<std::string> hosts;
    std::string authorizeUrl;
    std::string tokenUrl;
    // Empty when the provider has no device authorization endpoint (RFC 8628).
    std::string deviceAuthorizationUrl;
    // Empty when this build has none for the provider: a sign-in then fails
    // as a usage error that says how to register one (OAuth2Provider::CheckClient).
    std::string clientId;
    // Empty for a public client. A desktop client's "secret" is no secret.
    std::string clientSecret;
    std::vector<std::string> scopes;
    // Further parameters of the authorization request, name and value (for
    // a provider that gives a refresh token only when asked for one).
    std::vector<std::pair<std::string, std::string>> authorizeParameters;
    // The SASL mechanisms its servers take, in the order to try them:
    // "XOAUTH2", "OAUTHBEARER".
    std::vector<std::string> mechanisms;
    // The servers also take a password (USER/PASS), so a password left in the
    // settings is used as ever.
    bool password = false;
    // The host written in the loopback redirect address: "127.0.0.1", or
    // "localhost" where the provider matches only that name. The listener is
    // on 127.0.0.1 either way, and for "localhost" also on ::1 at the same
    // port where that is free.
    std::string redirectHost = "127.0.0.1";

    // True when some host of the provider is `host`, without case and
    // without a trailing dot.
    bool Serves(std::string_view host) const;
    // Throws ECheckFailure (Usage, with advice) when the provider has no
    // client ID; does nothing otherwise.
    void CheckClient() const;
};

// True for an endpoint the sign-in may talk to: https, or http to a loopback
// address (127.0.0.0/8, ::1, localhost). Anything else, and anything that is
// not an absolute URL with a host, is refused.
bool OAuth2EndpointAllowed(std::string_view url);

// The user's providers file: $XDG_CONFIG_HOME/postwren/oauth2.json, or
// ~/.config/postwren/oauth2.json when XDG_CONFIG_HOME is unset or relative.
std::string OAuth2ProvidersFilePath();

// The providers known to this run: the built-in ones, then those of the
// providers file. A provider of the file replaces a built-in one of the same
// name (without case); a lookup by host asks the last-added first, so the
// file wins where hosts overlap. Plain data; copy freely.
class OAuth2Providers {
public:
    // The providers file may be at most this long; a longer one is ignored.
    static constexpr std::size_t kFileLimit = 256 * 1024;

    // Microsoft and Google, with the client IDs this build was given
    // (POSTWREN_MICROSOFT_CLIENT_ID, POSTWREN_GOOGLE_CLIENT_ID,
    // POSTWREN_GOOGLE_CLIENT_SECRET; empty when not given).
    static OAuth2Providers BuiltIn();
    // BuiltIn() with the providers file merged in. A file that is absent is
    // no problem; one that cannot be read, is too long or is no JSON is
    // reported as one line to `log` and ignored; each damaged entry is
    // reported as one line and skipped. Never throws for the file.
    static OAuth2Providers Load(platform::Log& log);

    // Merges the providers of a file's text (the JSON described in the
    // README); each problem becomes one line in `problems` and the entry (or
    // the whole text, when it is no providers document) is skipped.
    void Merge(std::string_view json, std::vector<std::string>& problems);

    // The provider that serves `host`, or null. The pointer lives as long as
    // this object is unchanged.
    const OAuth2Provider* ForHost(std::string_view host) const;
    const std::vector<OAuth2Provider>& All() const { return providers_; }

private:
    std::vector<OAuth2Provider> providers_;
};

// Whether an account of `provider` (null: a server no provider serves) signs
// in rather than sending a password: always where the provider's servers take
// no password, and where they take either, when the account has no password.
bool OAuth2SignsIn(const OAuth2Provider* provider, bool hasPassword);
