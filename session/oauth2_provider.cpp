#include "session/oauth2_provider.h"

#include <arpa/inet.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <algorithm>
#include <cctype>
#include <optional>

#include "core/check_failure_kind.h"

#ifndef POSTWREN_MICROSOFT_CLIENT_ID
#define POSTWREN_MICROSOFT_CLIENT_ID ""
#endif
#ifndef POSTWREN_GOOGLE_CLIENT_ID
#define POSTWREN_GOOGLE_CLIENT_ID ""
#endif
#ifndef POSTWREN_GOOGLE_CLIENT_SECRET
#define POSTWREN_GOOGLE_CLIENT_SECRET ""
#endif

namespace {

constexpr char kXOAuth2[] = "XOAUTH2";
constexpr char kOAuthBearer[] = "OAUTHBEARER";
constexpr char kLoopbackIp[] = "127.0.0.1";
constexpr char kLocalhost[] = "localhost";

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c); });
    return out;
}

std::string withoutTrailingDot(std::string_view host) {
    if (!host.empty() && host.back() == '.')
        host.remove_suffix(1);
    return std::string(host);
}

OAuth2Provider microsoft() {
    OAuth2Provider p;
    p.name = "Microsoft";
    p.hosts = {"outlook.office365.com", "outlook.office.com"};
    p.authorizeUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/authorize";
    p.tokenUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
    p.deviceAuthorizationUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode";
    p.clientId = POSTWREN_MICROSOFT_CLIENT_ID;
    p.scopes = {"https://outlook.office.com/POP.AccessAsUser.All", "offline_access"};
    p.mechanisms = {kXOAuth2};
    p.password = false;
    // Its registrations match "http://localhost" whatever the port, and no
    // other loopback name.
    p.redirectHost = kLocalhost;
    return p;
}

OAuth2Provider google() {
    OAuth2Provider p;
    p.name = "Google";
    p.hosts = {"pop.gmail.com"};
    p.authorizeUrl = "https://accounts.google.com/o/oauth2/v2/auth";
    p.tokenUrl = "https://oauth2.googleapis.com/token";
    p.clientId = POSTWREN_GOOGLE_CLIENT_ID;
    p.clientSecret = POSTWREN_GOOGLE_CLIENT_SECRET;
    p.scopes = {"https://mail.google.com/"};
    // A refresh token comes only with an offline grant, and again on a new
    // sign-in only when consent is asked again.
    p.authorizeParameters = {{"access_type", "offline"}, {"prompt", "consent"}};
    p.mechanisms = {kXOAuth2, kOAuthBearer};
    p.password = true;
    p.redirectHost = kLoopbackIp;
    return p;
}

// One entry of a providers file, read into `out`; the first problem found, or
// nullopt when the entry is good.
std::optional<std::string> readEntry(const QJsonObject& entry, OAuth2Provider& out) {
    auto text = [&](const char* key, bool required, std::string& into) -> std::optional<std::string> {
        const QJsonValue v = entry.value(QLatin1String(key));
        if (v.isUndefined() && !required)
            return std::nullopt;
        if (!v.isString())
            return std::string("\"") + key + "\" must be a text";
        into = v.toString().toStdString();
        return std::nullopt;
    };
    auto texts = [&](const char* key, std::vector<std::string>& into) -> std::optional<std::string> {
        const QJsonValue v = entry.value(QLatin1String(key));
        if (!v.isArray() || v.toArray().isEmpty())
            return std::string("\"") + key + "\" must be a list of texts, not empty";
        into.clear();
        for (const QJsonValue& item : v.toArray()) {
            if (!item.isString() || item.toString().isEmpty())
                return std::string("\"") + key + "\" must be a list of texts, not empty";
            into.push_back(item.toString().toStdString());
        }
        return std::nullopt;
    };
    auto endpoint = [&](const char* key, bool required, std::string& into) -> std::optional<std::string> {
        if (auto problem = text(key, required, into))
            return problem;
        if ((required || !into.empty()) && !OAuth2EndpointAllowed(into))
            return std::string("\"") + key + "\" must be an https address (http only to this machine)";
        return std::nullopt;
    };

    std::optional<std::string> problem;
    if ((problem = text("name", true, out.name)))
        return problem;
    if (out.name.empty())
        return std::string("\"name\" must not be empty");
    if ((problem = texts("hosts", out.hosts)))
        return problem;
    for (std::string& host : out.hosts) host = withoutTrailingDot(lower(host));
    if ((problem = endpoint("authorize_url", true, out.authorizeUrl)) ||
        (problem = endpoint("token_url", true, out.tokenUrl)) ||
        (problem = endpoint("device_authorization_url", false, out.deviceAuthorizationUrl)) ||
        (problem = text("client_id", true, out.clientId)) ||
        (problem = text("client_secret", false, out.clientSecret)) || (problem = texts("scopes", out.scopes)))
        return problem;
    out.mechanisms = {kXOAuth2, kOAuthBearer};
    if (entry.contains(QLatin1String("mechanisms"))) {
        if ((problem = texts("mechanisms", out.mechanisms)))
            return problem;
        for (std::string& m : out.mechanisms) {
            std::transform(m.begin(), m.end(), m.begin(), [](unsigned char c) { return char(std::toupper(c)); });
            if (m != kXOAuth2 && m != kOAuthBearer)
                return "\"mechanisms\" may hold only \"XOAUTH2\" and \"OAUTHBEARER\", not \"" + m + "\"";
        }
    }
    const QJsonValue password = entry.value(QLatin1String("password"));
    if (!password.isUndefined() && !password.isBool())
        return std::string("\"password\" must be true or false");
    out.password = password.toBool(false);
    out.redirectHost = kLoopbackIp;
    if (auto problem = text("redirect_host", false, out.redirectHost))
        return problem;
    if (out.redirectHost != kLoopbackIp && out.redirectHost != kLocalhost)
        return std::string("\"redirect_host\" must be \"127.0.0.1\" or \"localhost\"");
    return std::nullopt;
}

}  // namespace

bool OAuth2Provider::Serves(std::string_view host) const {
    const std::string wanted = withoutTrailingDot(lower(host));
    return std::find(hosts.begin(), hosts.end(), wanted) != hosts.end();
}

void OAuth2Provider::CheckClient() const {
    if (!clientId.empty())
        return;
    ECheckFailure failure("The sign-in with " + Utf8ToCp932(name) + " has no client ID in this program",
                          FailureKind::Usage);
    failure.SetAdvice(
        "register your own client (README, \"Registering your own client\") and give its ID to the build "
        "or in $XDG_CONFIG_HOME/postwren/oauth2.json");
    throw failure;
}

bool OAuth2EndpointAllowed(std::string_view url) {
    const QUrl parsed(QString::fromUtf8(url.data(), qsizetype(url.size())), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty())
        return false;
    const QString scheme = parsed.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    if (scheme != QLatin1String("http"))
        return false;
    const QString host = parsed.host().toLower();
    if (host == QLatin1String(kLocalhost))
        return true;
    // 127.0.0.0/8 and ::1, written as addresses (QUrl gives IPv6 without brackets).
    const std::string text = host.toStdString();
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

OAuth2Providers OAuth2Providers::BuiltIn() {
    OAuth2Providers list;
    list.providers_ = {microsoft(), google()};
    return list;
}

void OAuth2Providers::Merge(std::string_view json, std::vector<std::string>& problems) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray(json.data(), qsizetype(json.size())), &error);
    if (error.error != QJsonParseError::NoError) {
        problems.push_back("no JSON (" + error.errorString().toStdString() + " at byte " +
                           std::to_string(error.offset) + "); its providers are ignored");
        return;
    }
    const QJsonValue list = document.object().value(QLatin1String("providers"));
    if (!document.isObject() || !list.isArray()) {
        problems.push_back("no \"providers\" list; its providers are ignored");
        return;
    }
    int index = 0;
    for (const QJsonValue& value : list.toArray()) {
        ++index;
        OAuth2Provider provider;
        std::optional<std::string> problem =
            value.isObject() ? readEntry(value.toObject(), provider) : std::string("not an object");
        if (problem) {
            std::string which = "provider " + std::to_string(index);
            if (!provider.name.empty())
                which += " (\"" + provider.name + "\")";
            problems.push_back(which + ": " + *problem + "; skipped");
            continue;
        }
        const std::string key = lower(provider.name);
        const auto same = std::find_if(providers_.begin(), providers_.end(),
                                       [&](const OAuth2Provider& p) { return lower(p.name) == key; });
        if (same != providers_.end())
            providers_.erase(same);
        providers_.push_back(std::move(provider));
    }
}

const OAuth2Provider* OAuth2Providers::ForHost(std::string_view host) const {
    for (auto it = providers_.rbegin(); it != providers_.rend(); ++it) {
        if (it->Serves(host))
            return &*it;
    }
    return nullptr;
}

bool OAuth2SignsIn(const OAuth2Provider* provider, bool hasPassword) {
    return provider != nullptr && (!provider->password || !hasPassword);
}
