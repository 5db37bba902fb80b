#include "session/oauth2_on_demand.h"

#include "core/check_failure_kind.h"
#include "session/module_loader.h"

std::unique_ptr<OAuth2Session> LoadOAuth2Account(const OAuth2Provider& provider, const AnsiString& host,
                                                 const AnsiString& user, platform::SecretStore& secrets,
                                                 const platform::Clock& clock) {
    std::string why;
    const auto make = reinterpret_cast<decltype(&PostwrenNewOAuth2Account)>(platform::LoadModuleEntry(
        platform::ModulePaths(POSTWREN_SIGNIN_MODULE_FROM_PROGRAM, POSTWREN_SIGNIN_MODULE_INSTALLED),
        kPostwrenNewOAuth2Account, "sign-in module", why));
    if (make == nullptr)
        throw ECheckFailure("Sign-in cannot be used: " + why, FailureKind::Usage);
    return std::unique_ptr<OAuth2Session>(make(provider, host, user, secrets, clock));
}
