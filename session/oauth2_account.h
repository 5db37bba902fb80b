// One mail account that signs in with OAuth 2.0: a provider, a server and a
// user ID. The refresh token lives only in the desktop's keyring; the access
// token lives only in this object's memory.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "core/secret_store.h"
#include "core/text.h"
#include "session/oauth2_provider.h"
#include "session/oauth2_session.h"
#include "session/oauth2_signin.h"

namespace platform {
class Clock;
}

// The keyring item of a sign-in. Label "Postwren sign-in: <user ID>@<server>";
// attributes application = "postwren", kind = "oauth2", host = the server's
// host name (lower case) and user = the user ID, all UTF-8. The secret is
// the refresh token. The server goes under "host", not under the password
// item's "server", so that a look-up or a clearing of the password item
// (application, server, user) never finds a sign-in, nor the other way
// round (a keyring matches every item that has the attributes asked for).
inline constexpr const char* kOAuth2AttributeKind = "kind";
inline constexpr const char* kOAuth2Kind = "oauth2";
inline constexpr const char* kOAuth2AttributeHost = "host";

platform::SecretAttributes OAuth2KeyringAttributes(const AnsiString& host, const AnsiString& user);

// The sign-in of one account, and the access tokens it gives. Does not own
// the keyring or the clock, which must outlive it. GUI thread only (or the
// one thread of a tool); the calls keep the message loop turning while they
// wait. Failures are ECheckFailure, kinds as in session/oauth2_signin.h.
//
// After a SignIn failure (no stored sign-in, a revoked or expired one, a
// declined consent) the account remembers it: SignInNeeded() turns true and
// every AccessToken call fails at once with SignIn, without asking the
// keyring or the token endpoint, until SignIn succeeds. Timed checks rely on
// this; a caller that wants to know before a check asks SignInNeeded().
class OAuth2Account final : public OAuth2Session {
public:
    // An access token is renewed when it has less than this left.
    static constexpr std::chrono::seconds kRenewAhead{60};

    // `host` is the server's host name alone (no scheme, no port) and `user`
    // the user ID, both as the settings hold them (CP932). The clock measures
    // the access token's life.
    OAuth2Account(OAuth2Provider provider, AnsiString host, AnsiString user, platform::SecretStore& secrets,
                  const platform::Clock& clock);
    ~OAuth2Account() override;
    OAuth2Account(const OAuth2Account&) = delete;
    OAuth2Account& operator=(const OAuth2Account&) = delete;

    const OAuth2Provider& Provider() const { return provider_; }
    const AnsiString& Host() const { return host_; }
    const AnsiString& User() const { return user_; }

    // Signs the user in (OAuth2SignIn with `options`; its user defaults to
    // this account's user ID) and stores the refresh token in the keyring,
    // replacing an earlier sign-in. The keyring is asked before the browser
    // opens: with no keyring (NoService) it fails as Usage, saying that a
    // keyring (Secret Service) is needed, and nothing is written anywhere.
    // On success SignInNeeded() is false and the first access token is held.
    void SignIn(OAuth2SignInOptions options) override;

    // Ends a SignIn that is waiting (from a Cancel button or a callback);
    // harmless when none runs.
    void CancelSignIn() override;

    // An access token for the server (ASCII). The one held in memory while it
    // has more than kRenewAhead left and `renew` is false; otherwise a new
    // one from the stored refresh token. Pass `renew` after the server
    // rejected the token once. A refresh token the provider replaced is
    // stored in the keyring before the new access token is returned; when
    // the keyring does not take it, the call fails (Usage) and the account
    // keeps it in memory and stores it first at the next call. The token
    // endpoint's wait ends by `deadline` (30 seconds when none is given).
    std::string AccessToken(bool renew = false,
                            std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) override;

    // True after a SignIn failure, until SignIn succeeds (see above).
    bool SignInNeeded() const override { return signInNeeded_; }

    // Forgets the sign-in: clears the keyring item and what is in memory.
    // Ok or NotFound when nothing is left; the keyring's status otherwise.
    platform::SecretStatus SignOut() override;

private:
    std::string refreshTokenOrThrow();
    void keep(const OAuth2Tokens& tokens);
    bool storeRefreshToken(const std::string& token);
    [[noreturn]] void keyringFailure(platform::SecretStatus status, const char* doing);

    OAuth2Provider provider_;
    AnsiString host_;
    AnsiString user_;
    platform::SecretStore& secrets_;
    const platform::Clock& clock_;
    std::string accessToken_;
    std::chrono::steady_clock::time_point accessExpiry_{};
    // A rotated refresh token the keyring did not take yet.
    std::optional<std::string> unstored_;
    bool signInNeeded_ = false;
    OAuth2SignIn* running_ = nullptr;
};
