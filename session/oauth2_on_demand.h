// The sign-in for a program that seldom needs it: its code, with Qt Network
// and what that needs, sits in a module of its own (postwren-signin.so),
// loaded the first time an account signs in. Linked in, it made every start
// of postwren-check half again as costly, password checks included.
#pragma once

#include <memory>

#include "session/oauth2_session.h"

// A new account (see OAuth2Account), from the sign-in module. Raises
// ECheckFailure (Usage) naming the reason when the module cannot be loaded.
std::unique_ptr<OAuth2Session> LoadOAuth2Account(const OAuth2Provider& provider, const AnsiString& host,
                                                 const AnsiString& user, platform::SecretStore& secrets,
                                                 const platform::Clock& clock);
