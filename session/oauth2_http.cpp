#include "session/oauth2_http.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include "core/check_failure_kind.h"
#include "core/event_wait.h"
#include "core/text.h"

namespace {

// How long one turn of the wait may block, so that a cancel or the deadline
// is seen soon even when nothing arrives.
constexpr int kWaitSliceMs = 20;
// An endpoint's error texts go into a failure's reply at most this long.
constexpr std::size_t kReplyTextLimit = 200;

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

// A text of the endpoint's for a failure's reply: CP932, controls escaped,
// cut short.
AnsiString replyText(std::string_view utf8) {
    return TruncateCp932(EscapeControls(Utf8ToCp932(utf8)), kReplyTextLimit);
}

// Tokens go into SASL lines and HTTP forms: printable ASCII without spaces
// (RFC 6750 b64token is narrower still).
bool tokenShaped(const std::string& token) {
    if (token.empty() || token.size() > OAuth2HttpAnswer::kAnswerLimit)
        return false;
    for (const unsigned char c : token) {
        if (c < 0x21 || c > 0x7E)
            return false;
    }
    return true;
}

[[noreturn]] void throwUnusable(const char* why) {
    throw ECheckFailure("The sign-in server's answer cannot be used", FailureKind::Refused, replyText(why));
}

}  // namespace

std::string OAuth2FormEncode(const OAuth2Form& form) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const auto& [name, value] : form) {
        if (!out.empty())
            out += '&';
        for (const std::string* part : {&name, &value}) {
            for (const unsigned char c : *part) {
                if (unreserved(c)) {
                    out += char(c);
                } else {
                    out += '%';
                    out += kHex[c >> 4];
                    out += kHex[c & 0xF];
                }
            }
            if (part == &name)
                out += '=';
        }
    }
    return out;
}

std::string OAuth2FormDecode(std::string_view component) {
    std::string out;
    out.reserve(component.size());
    for (std::size_t i = 0; i < component.size(); ++i) {
        const char c = component[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < component.size() && HexDigitValue(component[i + 1]) >= 0 &&
                   HexDigitValue(component[i + 2]) >= 0) {
            out += char(HexDigitValue(component[i + 1]) * 16 + HexDigitValue(component[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

OAuth2Form OAuth2FormParse(std::string_view query) {
    OAuth2Form form;
    while (!query.empty()) {
        const std::size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        if (!pair.empty()) {
            const std::size_t eq = pair.find('=');
            form.emplace_back(OAuth2FormDecode(pair.substr(0, eq)),
                              eq == std::string_view::npos ? std::string() : OAuth2FormDecode(pair.substr(eq + 1)));
        }
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return form;
}

OAuth2HttpAnswer OAuth2Post(const std::string& url, const OAuth2Form& form,
                            std::chrono::steady_clock::time_point deadline, const std::function<bool()>& cancelled) {
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QString::fromStdString(url), QUrl::StrictMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    request.setRawHeader("Accept", "application/json");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    QNetworkReply* reply = network.post(request, QByteArray::fromStdString(OAuth2FormEncode(form)));

    OAuth2HttpAnswer answer;
    bool tooLong = false;
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [&] {
        const QByteArray chunk = reply->readAll();
        if (answer.body.size() + std::size_t(chunk.size()) > OAuth2HttpAnswer::kAnswerLimit) {
            tooLong = true;
            reply->abort();
            return;
        }
        answer.body.append(chunk.constData(), std::size_t(chunk.size()));
    });

    bool timedOut = false;
    bool stopped = false;
    while (!reply->isFinished()) {
        if (cancelled && cancelled()) {
            stopped = true;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        platform::WaitForMessages(kWaitSliceMs);
    }
    if (!reply->isFinished()) {
        reply->disconnect();
        reply->abort();
    }
    // The reply belongs to the manager, which goes at the end of this call.
    if (stopped)
        OAuth2ThrowCancelled();
    if (timedOut)
        throw ECheckFailure("The sign-in server did not answer in time", FailureKind::Network);
    if (tooLong)
        throwUnusable("the answer is longer than 64 KiB");

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid()) {
        const QByteArray rest = reply->readAll();
        if (answer.body.size() + std::size_t(rest.size()) > OAuth2HttpAnswer::kAnswerLimit)
            throwUnusable("the answer is longer than 64 KiB");
        answer.body.append(rest.constData(), std::size_t(rest.size()));
        answer.status = status.toInt();
        return answer;
    }
    const QNetworkReply::NetworkError error = reply->error();
    const AnsiString detail = replyText(reply->errorString().toStdString());
    switch (error) {
        case QNetworkReply::SslHandshakeFailedError:
            throw ECheckFailure("The TLS connection to the sign-in server failed", FailureKind::Tls, detail);
        case QNetworkReply::ProtocolUnknownError:
        case QNetworkReply::ProtocolInvalidOperationError:
            throw ECheckFailure("The sign-in server's address cannot be used", FailureKind::Usage, detail);
        default:
            break;
    }
    throw ECheckFailure("Cannot reach the sign-in server", FailureKind::Network, detail);
}

void OAuth2ThrowError(const OAuth2Provider& provider, const std::string& error, const std::string& description) {
    const AnsiString reply = replyText(description.empty() ? error : error + ": " + description);
    if (error == "invalid_grant" || error == "expired_token")
        throw ECheckFailure("Sign-in required", FailureKind::SignIn, reply);
    if (error == "access_denied" || error == "authorization_declined")
        throw ECheckFailure("Sign-in declined", FailureKind::SignIn, reply);
    if (error == "invalid_client" || error == "unauthorized_client") {
        ECheckFailure failure("The sign-in server does not take this program's client ID", FailureKind::Usage, reply);
        failure.SetAdvice("check the client ID of " + Utf8ToCp932(provider.name) +
                          " (README, \"Registering your own client\")");
        throw failure;
    }
    if (error == "temporarily_unavailable" || error == "server_error")
        throw ECheckFailure("The sign-in server is not available now", FailureKind::Temporary, reply);
    throw ECheckFailure("The sign-in server refused", FailureKind::Refused, reply);
}

std::optional<std::vector<std::pair<std::string, std::string>>> OAuth2JsonMembers(const std::string& body) {
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(body), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    std::vector<std::pair<std::string, std::string>> members;
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        std::string value;
        if (it.value().isString())
            value = it.value().toString().toStdString();
        else if (it.value().isDouble())
            value = std::to_string(static_cast<long long>(it.value().toDouble()));
        else
            continue;
        members.emplace_back(it.key().toStdString(), std::move(value));
    }
    return members;
}

OAuth2Tokens OAuth2ReadTokenAnswer(const OAuth2Provider& provider, const OAuth2HttpAnswer& answer,
                                   std::string* pendingError) {
    const auto members = OAuth2JsonMembers(answer.body);
    auto member = [&](const char* name) -> std::string {
        if (!members)
            return {};
        for (const auto& [key, value] : *members) {
            if (key == name)
                return value;
        }
        return {};
    };
    if (answer.status != 200) {
        const std::string error = member("error");
        if (pendingError && (error == "authorization_pending" || error == "slow_down")) {
            *pendingError = error;
            return {};
        }
        if (!error.empty() && answer.status >= 400 && answer.status < 500)
            OAuth2ThrowError(provider, error, member("error_description"));
        const AnsiString reply = "HTTP " + IntToStr(answer.status) + (error.empty() ? "" : " " + replyText(error));
        if (answer.status >= 500)
            throw ECheckFailure("The sign-in server is not available now", FailureKind::Temporary, reply);
        throw ECheckFailure("The sign-in server refused", FailureKind::Refused, reply);
    }
    if (!members)
        throwUnusable("the answer is no JSON object");
    OAuth2Tokens tokens;
    tokens.accessToken = member("access_token");
    tokens.refreshToken = member("refresh_token");
    if (!tokenShaped(tokens.accessToken))
        throwUnusable("the answer has no usable access_token");
    if (!tokens.refreshToken.empty() && !tokenShaped(tokens.refreshToken))
        throwUnusable("the answer's refresh_token cannot be used");
    const std::string type = member("token_type");
    if (!type.empty() && QString::fromStdString(type).compare(QLatin1String("bearer"), Qt::CaseInsensitive) != 0)
        throwUnusable("the token is not a bearer token");
    const long long expiresIn = StrToIntDef(member("expires_in"), 0);
    tokens.expiresIn = std::chrono::seconds(expiresIn > 0 ? expiresIn : 0);
    return tokens;
}

void OAuth2ThrowCancelled() {
    throw ECheckFailure("Sign-in cancelled", FailureKind::SignIn);
}
