// The sign-in's providers: the built-in ones, the user's providers file and
// which endpoints may be used; the forms that carry codes and tokens.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/check_failure_kind.h"
#include "session/oauth2_http.h"
#include "session/oauth2_provider.h"
#include "session/oauth2_signin.h"
#include "tests/support/recording_log.h"
#include "tests/support/wait.h"

namespace {

namespace fs = std::filesystem;

TEST(OAuth2Pkce, ChallengeOfTheRfc7636Vector) {
    EXPECT_EQ(OAuth2PkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
              "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(OAuth2Pkce, VerifiersAndStatesAreFreshBase64Url) {
    const std::string verifier = OAuth2NewVerifier();
    const std::string state = OAuth2NewState();
    // RFC 7636 4.1: 43 to 128 unreserved characters; a state of 128 bits
    // and more is 22 characters and more.
    EXPECT_EQ(verifier.size(), 43u);
    EXPECT_GE(state.size(), 22u);
    for (const std::string& text : {verifier, state})
        EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
                  std::string::npos)
            << text;
    EXPECT_NE(OAuth2NewVerifier(), verifier);
    EXPECT_NE(OAuth2NewState(), state);
}

TEST(OAuth2Form, EncodesEveryReservedByteAndDecodesOnce) {
    EXPECT_EQ(OAuth2FormEncode({{"code", "a+b/c=%41 ~"}, {"redirect_uri", "http://127.0.0.1:5/p"}}),
              "code=a%2Bb%2Fc%3D%2541%20~&redirect_uri=http%3A%2F%2F127.0.0.1%3A5%2Fp");
    // Decoded once: "%2541" is "%41", not "A"; '+' is a space; a lone '%' stays.
    const OAuth2Form form = OAuth2FormParse("code=a%2Bb%2F%3D%2541&state=x+y&bad=%4&&flag");
    ASSERT_EQ(form.size(), 4u);
    EXPECT_EQ(form[0].second, "a+b/=%41");
    EXPECT_EQ(form[1].second, "x y");
    EXPECT_EQ(form[2].second, "%4");
    EXPECT_EQ(form[3], (std::pair<std::string, std::string>{"flag", ""}));
}

struct EndpointRow {
    const char* url;
    bool allowed;
};

class OAuth2Endpoint : public testing::TestWithParam<EndpointRow> {};

TEST_P(OAuth2Endpoint, HttpsOrLoopbackOnly) {
    EXPECT_EQ(OAuth2EndpointAllowed(GetParam().url), GetParam().allowed) << GetParam().url;
}

INSTANTIATE_TEST_SUITE_P(
    Urls, OAuth2Endpoint,
    testing::Values(EndpointRow{"https://login.example.com/token", true},
                    EndpointRow{"HTTPS://login.example.com/token", true},
                    EndpointRow{"http://127.0.0.1:8080/token", true}, EndpointRow{"http://127.3.4.5/token", true},
                    EndpointRow{"http://localhost:9/token", true}, EndpointRow{"http://[::1]:9/token", true},
                    EndpointRow{"http://login.example.com/token", false},
                    EndpointRow{"http://127.0.0.1.example.com/token", false},
                    EndpointRow{"http://10.0.0.1/token", false}, EndpointRow{"ftp://127.0.0.1/token", false},
                    EndpointRow{"https:///token", false}, EndpointRow{"/token", false}, EndpointRow{"", false}));

TEST(OAuth2Providers, BuiltInOnesServeTheirHostsWithoutCase) {
    const OAuth2Providers providers = OAuth2Providers::BuiltIn();
    const OAuth2Provider* outlook = providers.ForHost("OUTLOOK.office365.com.");
    ASSERT_NE(outlook, nullptr);
    EXPECT_EQ(outlook->name, "Microsoft");
    EXPECT_EQ(providers.ForHost("outlook.office.com"), outlook);
    const OAuth2Provider* gmail = providers.ForHost("pop.gmail.com");
    ASSERT_NE(gmail, nullptr);
    EXPECT_EQ(gmail->name, "Google");
    EXPECT_EQ(providers.ForHost("pop.example.org"), nullptr);
    EXPECT_EQ(providers.ForHost("gmail.com"), nullptr);
    for (const OAuth2Provider& p : providers.All()) {
        EXPECT_TRUE(OAuth2EndpointAllowed(p.authorizeUrl)) << p.name;
        EXPECT_TRUE(OAuth2EndpointAllowed(p.tokenUrl)) << p.name;
    }
}

TEST(OAuth2Providers, ProviderWithoutClientIdSaysHowToAddOne) {
    OAuth2Provider provider = *OAuth2Providers::BuiltIn().ForHost("pop.gmail.com");
    provider.clientId.clear();
    try {
        provider.CheckClient();
        FAIL() << "no failure";
    } catch (const ECheckFailure& failure) {
        EXPECT_EQ(failure.Kind(), FailureKind::Usage);
        EXPECT_NE(failure.Advice().find("Registering your own client"), std::string::npos) << failure.Advice();
    }
}

// A providers file's text, and what a merge makes of it.
struct FileRow {
    const char* name;
    const char* json;
    int problems;
    // The provider for this host afterwards, or "" for none.
    const char* host;
    const char* provider;
};

class OAuth2ProvidersFile : public testing::TestWithParam<FileRow> {};

TEST_P(OAuth2ProvidersFile, AddsReplacesOrSkips) {
    const FileRow& row = GetParam();
    OAuth2Providers providers = OAuth2Providers::BuiltIn();
    std::vector<std::string> problems;
    providers.Merge(row.json, problems);
    EXPECT_EQ(int(problems.size()), row.problems) << (problems.empty() ? "" : problems.front());
    for (const std::string& line : problems) EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    const OAuth2Provider* found = providers.ForHost(row.host);
    if (row.provider[0] == '\0') {
        EXPECT_EQ(found, nullptr);
    } else {
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->name, row.provider);
    }
    // The built-in providers survive whatever the file holds, unless replaced.
    EXPECT_NE(providers.ForHost("pop.gmail.com"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Files, OAuth2ProvidersFile,
    testing::Values(
        FileRow{"NewProvider",
                R"({"providers":[{"name":"Fastmail","hosts":["POP.fastmail.com"],)"
                R"("authorize_url":"https://a.example/auth","token_url":"https://a.example/token",)"
                R"("client_id":"mine","scopes":["mail"]}]})",
                0, "pop.fastmail.com", "Fastmail"},
        FileRow{"ReplacesByNameAndWinsTheHost",
                R"({"providers":[{"name":"microsoft","hosts":["outlook.office365.com"],)"
                R"("authorize_url":"http://127.0.0.1:1/a","token_url":"http://127.0.0.1:1/t","client_id":"c",)"
                R"("scopes":["s"],"mechanisms":["oauthbearer"],"redirect_host":"localhost"}]})",
                0, "outlook.office365.com", "microsoft"},
        FileRow{"PlainHttpElsewhere",
                R"({"providers":[{"name":"X","hosts":["pop.x.example"],"authorize_url":"https://x.example/a",)"
                R"("token_url":"http://x.example/t","client_id":"c","scopes":["s"]}]})",
                1, "pop.x.example", ""},
        FileRow{"UnknownMechanism",
                R"({"providers":[{"name":"X","hosts":["pop.x.example"],"authorize_url":"https://x.example/a",)"
                R"("token_url":"https://x.example/t","client_id":"c","scopes":["s"],"mechanisms":["PLAIN"]}]})",
                1, "pop.x.example", ""},
        FileRow{"BadEntryBesideAGoodOne",
                R"({"providers":[7,{"name":"Y","hosts":[]},)"
                R"({"name":"Z","hosts":["pop.z.example"],"authorize_url":"https://z.example/a",)"
                R"("token_url":"https://z.example/t","client_id":"c","scopes":["s"],"password":true}]})",
                2, "pop.z.example", "Z"},
        FileRow{"NoJson", "{\"providers\": [", 1, "pop.fastmail.com", ""},
        FileRow{"NoList", R"({"provider":[]})", 1, "pop.fastmail.com", ""}),
    [](const testing::TestParamInfo<FileRow>& info) { return std::string(info.param.name); });

TEST(OAuth2Providers, LoadReportsADamagedOrOversizedFileAndKeepsTheBuiltIns) {
    const fs::path root = fs::temp_directory_path() / ("postwren-oauth2-" + std::to_string(::getpid()));
    fs::create_directories(root / "postwren");
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before ? before : "";
    ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
    const fs::path file = root / "postwren" / "oauth2.json";
    EXPECT_EQ(OAuth2ProvidersFilePath(), file.string());
    const std::string fastmail =
        R"({"providers":[{"name":"Fastmail","hosts":["pop.fastmail.com"],"authorize_url":"https://a.example/a",)"
        R"("token_url":"https://a.example/t","client_id":"mine","scopes":["mail"]}]})";
    auto load = [&](const std::string& text, const char* host) {
        if (!text.empty())
            std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
        RecordingLog log;
        const OAuth2Providers providers = OAuth2Providers::Load(log);
        EXPECT_NE(providers.ForHost("outlook.office365.com"), nullptr);
        return std::make_pair(log.lines, providers.ForHost(host) != nullptr);
    };

    const auto absent = load("", "pop.fastmail.com");
    EXPECT_TRUE(absent.first.empty());
    const auto good = load(fastmail, "pop.fastmail.com");
    EXPECT_TRUE(good.first.empty());
    EXPECT_TRUE(good.second);
    const auto damaged = load("{\"providers\": [{", "pop.fastmail.com");
    ASSERT_EQ(damaged.first.size(), 1u);
    EXPECT_EQ(damaged.first[0].rfind(file.string(), 0), 0u) << damaged.first[0];
    EXPECT_FALSE(damaged.second);
    const auto oversized = load(fastmail + std::string(OAuth2Providers::kFileLimit, ' '), "pop.fastmail.com");
    ASSERT_EQ(oversized.first.size(), 1u);
    EXPECT_NE(oversized.first[0].find("KiB"), std::string::npos) << oversized.first[0];
    EXPECT_FALSE(oversized.second);

    if (before)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(root);
}

TEST(OAuth2Browser, XdgOpenGetsTheAddressWhole) {
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    const std::string seen = bin.filePath("seen").toStdString();
    {
        std::ofstream script(bin.filePath("xdg-open").toStdString());
        script << "#!/bin/sh\nprintf '%s' \"$1\" > '" << seen << ".part' && mv '" << seen << ".part' '" << seen
               << "'\n";
    }
    fs::permissions(bin.filePath("xdg-open").toStdString(), fs::perms::owner_all);
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (bin.path().toStdString() + ":" + path).c_str(), 1);
    const std::string url = "http://127.0.0.1:1/authorize?a=1&b=$HOME;c='d' e";
    const bool started = OAuth2StartBrowser(url);
    ::setenv("PATH", path.c_str(), 1);
    ASSERT_TRUE(started);
    ASSERT_TRUE(testing_support::WaitUntil([&] { return fs::exists(seen); }));
    std::ifstream in(seen);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), url);
}

}  // namespace
