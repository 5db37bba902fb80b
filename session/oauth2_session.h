// What a program needs of one signed-in account, apart from how it is made:
// the resident program links the sign-in (session/oauth2_account.h) in,
// postwren-check loads it from its module only when an account signs in
// (session/oauth2_on_demand.h), so that a check with a password never loads
// Qt Network.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "core/secret_store.h"
#include "core/text.h"
#include "session/oauth2_provider.h"
#include "session/oauth2_signin.h"

namespace platform {
class Clock;
}

// See OAuth2Account for what each call does.
class OAuth2Session {
public:
    virtual ~OAuth2Session() = default;
    virtual void SignIn(OAuth2SignInOptions options) = 0;
    virtual void CancelSignIn() = 0;
    virtual std::string AccessToken(bool renew = false,
                                    std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) = 0;
    virtual bool SignInNeeded() const = 0;
    virtual platform::SecretStatus SignOut() = 0;
};

// The sign-in module's one entry: a new OAuth2Account (the arguments as its
// constructor takes them), owned by the caller.
extern "C" OAuth2Session* PostwrenNewOAuth2Account(const OAuth2Provider& provider, const AnsiString& host,
                                                   const AnsiString& user, platform::SecretStore& secrets,
                                                   const platform::Clock& clock);
inline constexpr char kPostwrenNewOAuth2Account[] = "PostwrenNewOAuth2Account";
