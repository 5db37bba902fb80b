// Signing in and the tokens it gives, against the stand-in provider: the
// browser and device flows, the refresh token in the keyring, its rotation
// and revocation, and how each failure is told.
#include <gtest/gtest.h>

#include <QNetworkAccessManager>
#include <QTcpServer>

#include "core/check_failure_kind.h"
#include "core/clock.h"
#include "session/oauth2_account.h"
#include "tests/session/oauth2_stand_in.h"
#include "tests/support/fake_secret_store.h"
#include "tests/support/manual_clock.h"

namespace {

using namespace std::chrono_literals;
using testing_support::MsSince;

OAuth2StandIn* standIn = nullptr;

class StandInEnvironment : public testing::Environment {
public:
    void SetUp() override { standIn = new OAuth2StandIn; }
    void TearDown() override {
        delete standIn;
        standIn = nullptr;
    }
};
testing::Environment* const environment = testing::AddGlobalTestEnvironment(new StandInEnvironment);

constexpr char kHost[] = "POP.example.test";
constexpr char kUser[] = "ann@example.org";

class OAuth2AccountTest : public testing::Test {
protected:
    void SetUp() override {
        standIn->mode("authorize=ok&token=ok&introspect=ok&expires_in=3600");
        standIn->mark();
        keyring.running = true;
    }

    // A sign-in made at the stand-in without a browser, its refresh token in
    // the keyring as a sign-in would leave it.
    std::string signedIn(const OAuth2Account& account) {
        const std::string refresh =
            standIn->json(std::string("/control/mint?user=") + kUser).value("refresh_token").toString().toStdString();
        keyring.Store("sign-in", OAuth2KeyringAttributes(kHost, kUser), refresh);
        return refresh;
    }
    std::string stored() {
        const FakeSecretStore::Item* item = keyring.find(OAuth2KeyringAttributes(kHost, kUser));
        return item ? item->secret : std::string();
    }
    // The failure `action` ends with; fails the test when it ends without one.
    template <typename Action>
    std::optional<ECheckFailure> failureOf(Action action) {
        try {
            action();
        } catch (const ECheckFailure& failure) {
            return failure;
        }
        ADD_FAILURE() << "no failure";
        return std::nullopt;
    }

    FakeSecretStore keyring;
    platform::SteadyClock clock;
    OAuth2Provider provider = standIn->provider();
};

// ---- signing in ----

struct SignInRow {
    const char* name;
    const char* mode;
    // The failure, or none for a sign-in that succeeds.
    std::optional<FailureKind> kind;
    const char* message;
    // The host of the redirect address, as the provider wants it.
    const char* redirectHost = "127.0.0.1";
};

void PrintTo(const SignInRow& row, std::ostream* os) {
    *os << row.name;
}

class OAuth2SignInFlow : public OAuth2AccountTest, public testing::WithParamInterface<SignInRow> {};

TEST_P(OAuth2SignInFlow, ThroughTheBrowser) {
    const SignInRow& row = GetParam();
    if (row.mode[0] != '\0')
        standIn->mode(row.mode);
    provider.redirectHost = row.redirectHost;
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    FollowingBrowser browser;
    std::vector<OAuth2Prompt> told;
    std::vector<std::string> opened;
    OAuth2SignInOptions options;
    options.tell = [&](const OAuth2Prompt& prompt) { told.push_back(prompt); };
    options.openUrl = [&](const std::string& url) {
        opened.push_back(url);
        browser.open(url);
    };

    std::optional<ECheckFailure> failure;
    try {
        account.SignIn(options);
    } catch (const ECheckFailure& f) {
        failure = f;
    }
    ASSERT_EQ(told.size(), 1u);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(told[0].url, opened[0]);
    EXPECT_EQ(told[0].kind, OAuth2Prompt::Kind::Browser);
    EXPECT_TRUE(testing_support::WaitUntil([&] { return browser.done; }));
    // The icon asked first got a 404 and did not end the wait.
    ASSERT_EQ(browser.seen.size(), 3u);
    EXPECT_EQ(browser.seen[0], "302 /authorize");
    EXPECT_EQ(browser.seen[1], "404 /favicon.ico");
    EXPECT_EQ(browser.seen[2], "200 /postwren");

    if (!row.kind) {
        ASSERT_FALSE(failure) << failure->Message();
        EXPECT_FALSE(account.SignInNeeded());
        EXPECT_FALSE(stored().empty());
        // The first access token came with the sign-in: no refresh for it.
        EXPECT_EQ(standIn->owner(account.AccessToken()), kUser);
        EXPECT_EQ(standIn->seen("/token", "refresh_token"), 0);
        EXPECT_EQ(standIn->seen("/token", "authorization_code"), 1);
        return;
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), *row.kind);
    EXPECT_NE(failure->Message().find(row.message), std::string::npos) << failure->Message();
    EXPECT_TRUE(keyring.items.empty());
    EXPECT_EQ(keyring.stores, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, OAuth2SignInFlow,
    testing::Values(SignInRow{"SignsIn", "", std::nullopt, ""},
                    SignInRow{"SignsInAtLocalhost", "", std::nullopt, "", "localhost"},
                    SignInRow{"TamperedStateIsRefused", "authorize=tamper", FailureKind::SignIn, "does not belong"},
                    SignInRow{"ConsentDenied", "authorize=deny", FailureKind::SignIn, "declined"},
                    SignInRow{"TokenEndpointUnavailable", "token=503", FailureKind::Temporary, "not available"}),
    [](const testing::TestParamInfo<SignInRow>& info) { return std::string(info.param.name); });

TEST_F(OAuth2AccountTest, TamperedOrDeniedAnswersNeverSpendTheCode) {
    for (const char* mode : {"authorize=tamper", "authorize=deny"}) {
        standIn->mode(mode);
        OAuth2Account account(provider, kHost, kUser, keyring, clock);
        FollowingBrowser browser;
        OAuth2SignInOptions options;
        options.openUrl = [&](const std::string& url) { browser.open(url); };
        EXPECT_TRUE(failureOf([&] { account.SignIn(options); })) << mode;
    }
    EXPECT_EQ(standIn->seen("/token"), 0);
}

TEST_F(OAuth2AccountTest, DeviceCodeApprovedElsewhere) {
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    QNetworkAccessManager phone;
    std::vector<OAuth2Prompt> told;
    OAuth2SignInOptions options;
    options.flow = OAuth2SignInOptions::Flow::DeviceCode;
    options.openUrl = [](const std::string&) { ADD_FAILURE() << "the device flow opened a browser"; };
    options.tell = [&](const OAuth2Prompt& prompt) {
        told.push_back(prompt);
        phone.get(QNetworkRequest(QUrl(QString::fromStdString(standIn->base() +
                                                              "/device/approve?user=dev@example.org"
                                                              "&user_code=" +
                                                              prompt.userCode))));
    };
    account.SignIn(options);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].kind, OAuth2Prompt::Kind::DeviceCode);
    EXPECT_EQ(told[0].url, standIn->base() + "/device");
    EXPECT_FALSE(told[0].userCode.empty());
    EXPECT_EQ(standIn->owner(account.AccessToken()), "dev@example.org");
    EXPECT_FALSE(stored().empty());
    EXPECT_GE(standIn->seen("/token", "urn:ietf:params:oauth:grant-type:device_code"), 1);
}

TEST_F(OAuth2AccountTest, SignInThatCannotStartAsksNothing) {
    // No keyring: nobody is sent to the browser for a sign-in that cannot be kept.
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    bool opened = false;
    OAuth2SignInOptions options;
    options.openUrl = [&](const std::string&) { opened = true; };
    keyring.running = false;
    auto failure = failureOf([&] { account.SignIn(options); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::Usage);
    EXPECT_NE(failure->Message().find("keyring (Secret Service)"), std::string::npos) << failure->Message();
    keyring.running = true;

    // A provider without a client ID, and one without a device endpoint.
    OAuth2Provider unregistered = provider;
    unregistered.clientId.clear();
    OAuth2Account nobody(unregistered, kHost, kUser, keyring, clock);
    failure = failureOf([&] { nobody.SignIn(options); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::Usage);
    OAuth2Provider noDevice = provider;
    noDevice.deviceAuthorizationUrl.clear();
    OAuth2Account deviceless(noDevice, kHost, kUser, keyring, clock);
    options.flow = OAuth2SignInOptions::Flow::DeviceCode;
    failure = failureOf([&] { deviceless.SignIn(options); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::Usage);

    EXPECT_FALSE(opened);
    EXPECT_TRUE(keyring.items.empty());
    EXPECT_EQ(standIn->seen("/authorize") + standIn->seen("/device"), 0);
}

TEST_F(OAuth2AccountTest, CancelOrTimeOutEndsTheWait) {
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    OAuth2SignInOptions options;
    options.tell = [&](const OAuth2Prompt&) { account.CancelSignIn(); };
    options.openUrl = [](const std::string&) { ADD_FAILURE() << "opened after a cancel"; };
    auto start = std::chrono::steady_clock::now();
    auto failure = failureOf([&] { account.SignIn(options); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
    EXPECT_NE(failure->Message().find("cancelled"), std::string::npos) << failure->Message();
    EXPECT_LT(MsSince(start), 5000);

    // A person who never comes back.
    OAuth2SignInOptions waiting;
    waiting.timeout = 300ms;
    start = std::chrono::steady_clock::now();
    failure = failureOf([&] { account.SignIn(waiting); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
    EXPECT_GE(MsSince(start), 300);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_TRUE(keyring.items.empty());
}

// ---- the tokens of a stored sign-in ----

TEST_F(OAuth2AccountTest, RotatedRefreshTokenIsStoredAndTheOldOneIsSpent) {
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    const std::string first = signedIn(account);
    EXPECT_EQ(standIn->owner(account.AccessToken()), kUser);
    const std::string second = stored();
    EXPECT_NE(second, first);
    EXPECT_EQ(standIn->owner(account.AccessToken(true)), kUser);
    const std::string third = stored();
    EXPECT_NE(third, second);
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 2);
    for (const std::string& spent : {first, second}) {
        auto failure = failureOf([&] { OAuth2Refresh(provider, spent); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
        // Only the endpoint's error and description, never a token.
        EXPECT_EQ(failure->ServerReply(), "invalid_grant: the refresh token is not valid");
    }
}

TEST_F(OAuth2AccountTest, RotatedTokenTheKeyringRefusedIsStoredAtTheNextCall) {
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    const std::string first = signedIn(account);
    keyring.storeFails = platform::SecretStatus::Failed;
    auto failure = failureOf([&] { account.AccessToken(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::Usage);
    EXPECT_EQ(stored(), first);
    // The stored token is spent; only the one kept in memory still works.
    keyring.storeFails = platform::SecretStatus::Ok;
    EXPECT_EQ(standIn->owner(account.AccessToken()), kUser);
    EXPECT_NE(stored(), first);
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 2);
}

TEST_F(OAuth2AccountTest, AccessTokenIsRenewedAheadOfItsExpiry) {
    testing_support::ManualClock manual;
    OAuth2Account account(provider, kHost, kUser, keyring, manual);
    signedIn(account);
    const std::string held = account.AccessToken();
    EXPECT_EQ(account.AccessToken(), held);
    manual.Advance(3600s - OAuth2Account::kRenewAhead - 1s);
    EXPECT_EQ(account.AccessToken(), held);
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 1);
    manual.Advance(2s);
    const std::string renewed = account.AccessToken();
    EXPECT_NE(renewed, held);
    EXPECT_EQ(standIn->owner(renewed), kUser);
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 2);
}

TEST_F(OAuth2AccountTest, RevokedOrMissingSignInFailsOnceThenAsksNoMore) {
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    signedIn(account);
    standIn->request(std::string("/control/revoke?user=") + kUser);
    for (int call = 0; call < 2; ++call) {
        auto failure = failureOf([&] { account.AccessToken(); });
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
        EXPECT_TRUE(account.SignInNeeded());
    }
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 1);
    EXPECT_EQ(keyring.lookups, 1);

    OAuth2Account never(provider, "pop.other.test", kUser, keyring, clock);
    auto failure = failureOf([&] { never.AccessToken(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
    EXPECT_EQ(failure->Message(), "Sign-in required");
    EXPECT_TRUE(never.SignInNeeded());
    EXPECT_EQ(standIn->seen("/token", "refresh_token"), 1);
}

struct RefreshRow {
    const char* name;
    const char* mode;
    const char* clientId;
    // Where the token endpoint is: the stand-in, a port where nothing
    // listens, or the stand-in asked for TLS it does not speak.
    enum class Where { StandIn, ClosedPort, HttpsToPlain } where;
    FailureKind kind;
    bool advice;
    // A part of the failure's reply, where it tells the case apart.
    const char* reply = "";
};

void PrintTo(const RefreshRow& row, std::ostream* os) {
    *os << row.name;
}

class OAuth2RefreshFailure : public OAuth2AccountTest, public testing::WithParamInterface<RefreshRow> {};

TEST_P(OAuth2RefreshFailure, HasItsKind) {
    const RefreshRow& row = GetParam();
    if (row.mode[0] != '\0')
        standIn->mode(row.mode);
    provider.clientId = row.clientId;
    if (row.where == RefreshRow::Where::ClosedPort) {
        QTcpServer closed;
        ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
        provider.tokenUrl = "http://127.0.0.1:" + std::to_string(closed.serverPort()) + "/token";
    } else if (row.where == RefreshRow::Where::HttpsToPlain) {
        provider.tokenUrl = "https://127.0.0.1:" + std::to_string(standIn->port()) + "/token";
    }
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    signedIn(account);
    auto failure = failureOf([&] { account.AccessToken(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), row.kind) << failure->Message();
    EXPECT_EQ(!failure->Advice().empty(), row.advice) << failure->Advice();
    EXPECT_NE(failure->ServerReply().find(row.reply), std::string::npos) << failure->ServerReply();
    // Only a sign-in failure stops later calls.
    EXPECT_FALSE(account.SignInNeeded());
}

INSTANTIATE_TEST_SUITE_P(
    Endpoints, OAuth2RefreshFailure,
    testing::Values(
        RefreshRow{"Unavailable", "token=503", "postwren-test", RefreshRow::Where::StandIn, FailureKind::Temporary,
                   false},
        RefreshRow{"UnknownClient", "", "someone-else", RefreshRow::Where::StandIn, FailureKind::Usage, true},
        RefreshRow{"NothingListens", "", "postwren-test", RefreshRow::Where::ClosedPort, FailureKind::Network, false},
        RefreshRow{"OverlongAnswer", "token=huge", "postwren-test", RefreshRow::Where::StandIn, FailureKind::Refused,
                   false, "longer than 64 KiB"},
        RefreshRow{"NoTls", "", "postwren-test", RefreshRow::Where::HttpsToPlain, FailureKind::Tls, false}),
    [](const testing::TestParamInfo<RefreshRow>& info) { return std::string(info.param.name); });

TEST_F(OAuth2AccountTest, SignOutLeavesThePasswordItemAndThePasswordItemLeavesTheSignIn) {
    // The password's item as the settings keep it.
    const platform::SecretAttributes password{{"application", "postwren"}, {"server", kHost}, {"user", kUser}};
    keyring.Store("password", password, "hunter2");
    OAuth2Account account(provider, kHost, kUser, keyring, clock);
    const std::string refresh = signedIn(account);

    std::string found;
    ASSERT_EQ(keyring.Lookup(password, found), platform::SecretStatus::Ok);
    EXPECT_EQ(found, "hunter2");
    ASSERT_EQ(keyring.Lookup(OAuth2KeyringAttributes(kHost, kUser), found), platform::SecretStatus::Ok);
    EXPECT_EQ(found, refresh);
    // The settings clear the password's item when the server changes.
    keyring.Clear(password);
    EXPECT_EQ(stored(), refresh);
    keyring.Store("password", password, "hunter2");

    EXPECT_EQ(account.SignOut(), platform::SecretStatus::Ok);
    EXPECT_EQ(stored(), "");
    ASSERT_EQ(keyring.Lookup(password, found), platform::SecretStatus::Ok);
    EXPECT_EQ(found, "hunter2");
    auto failure = failureOf([&] { account.AccessToken(); });
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->Kind(), FailureKind::SignIn);
}

}  // namespace
