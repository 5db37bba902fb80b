#include "session/oauth2_account.h"

#include <algorithm>
#include <cctype>

#include "core/check_failure_kind.h"
#include "core/clock.h"

namespace {

constexpr char kAttributeApplication[] = "application";
constexpr char kApplication[] = "postwren";
constexpr char kAttributeUser[] = "user";
// A lifetime the token endpoint did not say: RFC 6749 5.1 leaves it to
// "other means"; an hour is what the providers give.
constexpr auto kAssumedLifetime = std::chrono::hours(1);

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(std::tolower(c)) : char(c); });
    return text;
}

const char* keyringReason(platform::SecretStatus status) {
    switch (status) {
        case platform::SecretStatus::Locked:
            return "the keyring is locked";
        case platform::SecretStatus::NotFound:
            return "no such item";
        case platform::SecretStatus::NoService:
            return "no keyring";
        case platform::SecretStatus::Ok:
        case platform::SecretStatus::Failed:
            break;
    }
    return "the keyring failed";
}

}  // namespace

platform::SecretAttributes OAuth2KeyringAttributes(const AnsiString& host, const AnsiString& user) {
    return {{kAttributeApplication, kApplication},
            {kOAuth2AttributeKind, kOAuth2Kind},
            {kOAuth2AttributeHost, lowerAscii(Cp932ToUtf8(host))},
            {kAttributeUser, Cp932ToUtf8(user)}};
}

OAuth2Account::OAuth2Account(OAuth2Provider provider, AnsiString host, AnsiString user, platform::SecretStore& secrets,
                             const platform::Clock& clock)
    : provider_(std::move(provider)),
      host_(std::move(host)),
      user_(std::move(user)),
      secrets_(secrets),
      clock_(clock) {}

OAuth2Account::~OAuth2Account() = default;

void OAuth2Account::keyringFailure(platform::SecretStatus status, const char* doing) {
    if (status == platform::SecretStatus::NoService) {
        ECheckFailure failure("Signing in needs a keyring (Secret Service)", FailureKind::Usage);
        failure.SetAdvice(
            "start the desktop's keyring (GNOME Keyring, KWallet, KeePassXC) and sign in again; the sign-in is "
            "never written to a file");
        throw failure;
    }
    throw ECheckFailure(AnsiString("The keyring could not ") + doing + " the sign-in", FailureKind::Usage,
                        keyringReason(status));
}

bool OAuth2Account::storeRefreshToken(const std::string& token) {
    const platform::SecretAttributes attributes = OAuth2KeyringAttributes(host_, user_);
    const std::string label = "Postwren sign-in: " + Cp932ToUtf8(user_) + "@" + lowerAscii(Cp932ToUtf8(host_));
    platform::SecretStatus status = secrets_.Store(label, attributes, token);
    std::string stored;
    if (status == platform::SecretStatus::Ok)
        status = secrets_.Lookup(attributes, stored);
    if (status == platform::SecretStatus::Ok && stored != token)
        status = platform::SecretStatus::Failed;
    if (status == platform::SecretStatus::NoService)
        keyringFailure(status, "keep");
    return status == platform::SecretStatus::Ok;
}

void OAuth2Account::keep(const OAuth2Tokens& tokens) {
    accessToken_ = tokens.accessToken;
    const auto lifetime = tokens.expiresIn.count() > 0
                              ? std::chrono::duration_cast<platform::Clock::duration>(tokens.expiresIn)
                              : std::chrono::duration_cast<platform::Clock::duration>(kAssumedLifetime);
    accessExpiry_ = clock_.Now() + lifetime;
}

void OAuth2Account::SignIn(OAuth2SignInOptions options) {
    provider_.CheckClient();
    // Asked before the browser opens, so that nobody signs in for nothing.
    std::string existing;
    const platform::SecretStatus probe = secrets_.Lookup(OAuth2KeyringAttributes(host_, user_), existing);
    if (probe != platform::SecretStatus::Ok && probe != platform::SecretStatus::NotFound)
        keyringFailure(probe, "be read for");
    existing.clear();

    if (options.user.empty())
        options.user = Cp932ToUtf8(user_);
    OAuth2SignIn flow(provider_, std::move(options));
    running_ = &flow;
    OAuth2Tokens tokens;
    try {
        tokens = flow.Run();
    } catch (...) {
        running_ = nullptr;
        throw;
    }
    running_ = nullptr;
    if (tokens.refreshToken.empty())
        throw ECheckFailure("The sign-in server gave no refresh token", FailureKind::Refused,
                            "the sign-in would end with this access token");
    if (!storeRefreshToken(tokens.refreshToken))
        keyringFailure(platform::SecretStatus::Failed, "keep");
    unstored_.reset();
    keep(tokens);
    signInNeeded_ = false;
}

void OAuth2Account::CancelSignIn() {
    if (running_)
        running_->Cancel();
}

std::string OAuth2Account::refreshTokenOrThrow() {
    if (unstored_) {
        // Stored first: until then it is the only copy of the sign-in.
        if (!storeRefreshToken(*unstored_))
            keyringFailure(platform::SecretStatus::Failed, "keep");
        std::string token = std::move(*unstored_);
        unstored_.reset();
        return token;
    }
    std::string token;
    const platform::SecretStatus status = secrets_.Lookup(OAuth2KeyringAttributes(host_, user_), token);
    if (status == platform::SecretStatus::NotFound) {
        signInNeeded_ = true;
        throw ECheckFailure("Sign-in required", FailureKind::SignIn);
    }
    if (status != platform::SecretStatus::Ok)
        keyringFailure(status, "be read for");
    return token;
}

std::string OAuth2Account::AccessToken(bool renew, std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (signInNeeded_)
        throw ECheckFailure("Sign-in required", FailureKind::SignIn);
    if (!renew && !accessToken_.empty() && clock_.Now() + kRenewAhead < accessExpiry_)
        return accessToken_;
    accessToken_.clear();
    const std::string refreshToken = refreshTokenOrThrow();
    OAuth2Tokens tokens;
    try {
        tokens = OAuth2Refresh(provider_, refreshToken, deadline);
    } catch (const ECheckFailure& failure) {
        if (failure.Kind() == FailureKind::SignIn)
            signInNeeded_ = true;
        throw;
    }
    if (!tokens.refreshToken.empty() && tokens.refreshToken != refreshToken) {
        // The old one is spent: the new one must be kept before anything
        // uses the access token, or the sign-in is lost.
        unstored_ = tokens.refreshToken;
        if (!storeRefreshToken(*unstored_))
            keyringFailure(platform::SecretStatus::Failed, "keep");
        unstored_.reset();
    }
    keep(tokens);
    return accessToken_;
}

platform::SecretStatus OAuth2Account::SignOut() {
    accessToken_.clear();
    unstored_.reset();
    signInNeeded_ = false;
    const platform::SecretStatus status = secrets_.Clear(OAuth2KeyringAttributes(host_, user_));
    return status;
}
