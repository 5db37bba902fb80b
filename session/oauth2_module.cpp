// The sign-in as a module of its own, loaded by programs that need it seldom
// (session/oauth2_on_demand.h).
#include "session/oauth2_account.h"

extern "C" __attribute__((visibility("default"))) OAuth2Session* PostwrenNewOAuth2Account(
    const OAuth2Provider& provider, const AnsiString& host, const AnsiString& user, platform::SecretStore& secrets,
    const platform::Clock& clock) {
    return new OAuth2Account(provider, host, user, secrets, clock);
}
