#include "session/oauth2_signin.h"

#include <QCryptographicHash>
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <list>

#include "core/check_failure_kind.h"
#include "core/event_wait.h"
#include "core/text.h"
#include "session/oauth2_http.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kWaitSliceMs = 20;
// RFC 7636 4.1: 32 random octets give a 43-character verifier.
constexpr int kVerifierBytes = 32;
// RFC 6749 10.10 asks for a state no one can guess: 128 bits and more.
constexpr int kStateBytes = 24;
// A browser's request line and headers; more is no browser of ours.
constexpr qsizetype kRequestLimit = 16 * 1024;
// Connections to the listener at once; a browser opens a few.
constexpr std::size_t kClientLimit = 16;
// One exchange with an endpoint after the person's part is done.
constexpr auto kExchangeBound = std::chrono::seconds(30);
// RFC 8628 3.2 and 3.5: the default interval, and what slow_down adds.
constexpr auto kDeviceInterval = std::chrono::seconds(5);
constexpr auto kSlowDownStep = std::chrono::seconds(5);
constexpr char kDeviceGrant[] = "urn:ietf:params:oauth:grant-type:device_code";

std::string base64Url(const QByteArray& bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::string randomBase64Url(int bytes) {
    QByteArray data(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(data.begin(), data.end());
    return base64Url(data);
}

std::string joined(const std::vector<std::string>& parts, char separator) {
    std::string out;
    for (const std::string& p : parts) {
        if (!out.empty())
            out += separator;
        out += p;
    }
    return out;
}

void addClient(const OAuth2Provider& provider, OAuth2Form& form) {
    form.emplace_back("client_id", provider.clientId);
    if (!provider.clientSecret.empty())
        form.emplace_back("client_secret", provider.clientSecret);
}

void checkEndpoint(const OAuth2Provider& provider, const std::string& url) {
    if (!OAuth2EndpointAllowed(url)) {
        ECheckFailure failure("The sign-in address of " + Utf8ToCp932(provider.name) + " may not be used",
                              FailureKind::Usage, TruncateCp932(EscapeControls(Utf8ToCp932(url)), 200));
        failure.SetAdvice("sign-in addresses must be https (http only to this machine)");
        throw failure;
    }
}

const std::string* formValue(const OAuth2Form& form, std::string_view name) {
    for (const auto& [key, value] : form) {
        if (key == name)
            return &value;
    }
    return nullptr;
}

// The pages the browser shows at the end (UTF-8).
constexpr char kPageDone[] = "サインインしました。このウィンドウを閉じて Postwren に戻ってください。";
constexpr char kPageFailed[] = "サインインできませんでした。Postwren に戻ってください。";

QByteArray httpAnswer(int status, const char* reason, const QByteArray& body, const char* type) {
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + " " + reason +
                     "\r\n"
                     "Content-Type: " +
                     type +
                     "\r\n"
                     "Content-Length: " +
                     QByteArray::number(body.size()) +
                     "\r\n"
                     "Cache-Control: no-store\r\n"
                     "Connection: close\r\n\r\n";
    return out + body;
}

QByteArray page(const char* text) {
    return QByteArray("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Postwren</title></head><body><p>") +
           text + "</p></body></html>\n";
}

}  // namespace

std::string OAuth2PkceChallenge(std::string_view verifier) {
    return base64Url(
        QCryptographicHash::hash(QByteArray(verifier.data(), qsizetype(verifier.size())), QCryptographicHash::Sha256));
}

std::string OAuth2NewVerifier() {
    return randomBase64Url(kVerifierBytes);
}

std::string OAuth2NewState() {
    return randomBase64Url(kStateBytes);
}

struct OAuth2SignIn::State {
    OAuth2Provider provider;
    OAuth2SignInOptions options;
    bool cancelled = false;
    bool ran = false;
    // The browser flow's listener and what came to it.
    std::unique_ptr<QTcpServer> server;
    // The same port on ::1 where it is free: a browser may take "localhost"
    // for ::1 first.
    std::unique_ptr<QTcpServer> server6;
    std::list<std::unique_ptr<QTcpSocket>> clients;
    std::string redirectUri;
    std::string expectedState;
    bool answered = false;
    std::string code;
    std::optional<ECheckFailure> failure;

    std::function<bool()> cancelledTest() {
        return [this] { return cancelled; };
    }

    // Keeps the loop turning until `done()`, a cancel or `deadline`; throws
    // for the two last.
    void waitUntil(const std::function<bool()>& done, SteadyClock::time_point deadline) {
        while (!done()) {
            if (cancelled)
                OAuth2ThrowCancelled();
            if (SteadyClock::now() >= deadline)
                throw ECheckFailure("The sign-in was not finished in time", FailureKind::SignIn);
            platform::WaitForMessages(kWaitSliceMs);
        }
        if (cancelled)
            OAuth2ThrowCancelled();
    }

    void listen() {
        server = std::make_unique<QTcpServer>();
        if (!server->listen(QHostAddress(QHostAddress::LocalHost), 0))
            throw ECheckFailure("Cannot open a local port for the sign-in", FailureKind::Usage,
                                TruncateCp932(EscapeControls(Utf8ToCp932(server->errorString().toStdString())), 200));
        QObject::connect(server.get(), &QTcpServer::newConnection, server.get(), [this] { accept(*server); });
        if (provider.redirectHost != "127.0.0.1") {
            server6 = std::make_unique<QTcpServer>();
            if (server6->listen(QHostAddress(QHostAddress::LocalHostIPv6), server->serverPort()))
                QObject::connect(server6.get(), &QTcpServer::newConnection, server6.get(),
                                 [this] { accept(*server6); });
            else
                server6.reset();
        }
        redirectUri = "http://" + provider.redirectHost + ":" + std::to_string(server->serverPort()) + kRedirectPath;
    }

    void accept(QTcpServer& from) {
        while (QTcpSocket* socket = from.nextPendingConnection()) {
            socket->setParent(nullptr);
            // Connections that are done go; too many at once are no browser.
            clients.remove_if([](const auto& c) { return c->state() == QAbstractSocket::UnconnectedState; });
            if (clients.size() >= kClientLimit) {
                socket->abort();
                delete socket;
                continue;
            }
            clients.emplace_back(socket);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        }
    }

    void read(QTcpSocket* socket) {
        if (socket->property("answered").toBool()) {
            socket->readAll();
            return;
        }
        // The whole request head is read before anything is judged; the
        // buffer lives on the socket until then.
        if (socket->bytesAvailable() > kRequestLimit) {
            reply(socket, 431, "Request Header Fields Too Large", "too long\n", "text/plain");
            return;
        }
        const QByteArray head = socket->peek(kRequestLimit);
        if (!head.contains("\r\n\r\n"))
            return;
        socket->readAll();
        const qsizetype lineEnd = head.indexOf("\r\n");
        const QList<QByteArray> words = head.left(lineEnd).split(' ');
        if (words.size() != 3 || !words[2].startsWith("HTTP/")) {
            reply(socket, 400, "Bad Request", "bad request\n", "text/plain");
            return;
        }
        const QByteArray target = words[1];
        const qsizetype question = target.indexOf('?');
        const QByteArray path = target.left(question);
        const std::string query = question < 0 ? std::string() : target.mid(question + 1).toStdString();
        if (words[0] != "GET" || path != kRedirectPath || answered) {
            // Anything else the browser asks (a favicon, a prefetch) is not
            // the answer, and the wait goes on.
            reply(socket, 404, "Not Found", "not found\n", "text/plain");
            return;
        }
        judge(socket, OAuth2FormParse(query));
    }

    void judge(QTcpSocket* socket, const OAuth2Form& form) {
        const std::string* state = formValue(form, "state");
        const std::string* error = formValue(form, "error");
        const std::string* code = formValue(form, "code");
        if (!state && !error && !code) {
            reply(socket, 400, "Bad Request", "not a sign-in answer\n", "text/plain");
            return;
        }
        answered = true;
        // RFC 6749 10.12: an answer without this sign-in's state may be
        // someone else's; its code is never used.
        if (!state || *state != expectedState) {
            failure.emplace("The sign-in answer does not belong to this sign-in", FailureKind::SignIn);
        } else if (error) {
            const std::string* description = formValue(form, "error_description");
            try {
                OAuth2ThrowError(provider, *error, description ? *description : std::string());
            } catch (const ECheckFailure& f) {
                failure.emplace(f);
            }
        } else if (!code || code->empty()) {
            failure.emplace("The sign-in answer has no code", FailureKind::Refused);
        } else {
            this->code = *code;
        }
        reply(socket, 200, "OK", page(failure ? kPageFailed : kPageDone), "text/html; charset=utf-8");
        server->close();
        if (server6)
            server6->close();
    }

    void reply(QTcpSocket* socket, int status, const char* reason, const QByteArray& body, const char* type) {
        socket->setProperty("answered", true);
        socket->write(httpAnswer(status, reason, body, type));
        socket->disconnectFromHost();
    }

    // Until what was written to the browser has left (bounded), so that it
    // shows the page rather than a reset connection.
    void flushClients() {
        const auto by = SteadyClock::now() + std::chrono::seconds(1);
        auto pending = [this] {
            return std::any_of(clients.begin(), clients.end(), [](const auto& s) {
                return s->property("answered").toBool() && s->state() != QAbstractSocket::UnconnectedState;
            });
        };
        while (pending() && SteadyClock::now() < by) platform::WaitForMessages(kWaitSliceMs);
    }

    OAuth2Tokens runBrowser(SteadyClock::time_point deadline) {
        checkEndpoint(provider, provider.authorizeUrl);
        checkEndpoint(provider, provider.tokenUrl);
        listen();
        expectedState = OAuth2NewState();
        const std::string verifier = OAuth2NewVerifier();
        OAuth2Form query{{"response_type", "code"},        {"client_id", provider.clientId},
                         {"redirect_uri", redirectUri},    {"scope", joined(provider.scopes, ' ')},
                         {"state", expectedState},         {"code_challenge", OAuth2PkceChallenge(verifier)},
                         {"code_challenge_method", "S256"}};
        if (!options.user.empty())
            query.emplace_back("login_hint", options.user);
        for (const auto& parameter : provider.authorizeParameters) query.push_back(parameter);
        const char separator = provider.authorizeUrl.find('?') == std::string::npos ? '?' : '&';
        const std::string url = provider.authorizeUrl + separator + OAuth2FormEncode(query);

        if (options.tell)
            options.tell(OAuth2Prompt{OAuth2Prompt::Kind::Browser, url, {}});
        if (options.openUrl && !cancelled)
            options.openUrl(url);
        waitUntil([this] { return answered; }, deadline);
        flushClients();
        if (failure)
            throw *failure;

        OAuth2Form form{{"grant_type", "authorization_code"},
                        {"code", code},
                        {"redirect_uri", redirectUri},
                        {"code_verifier", verifier}};
        addClient(provider, form);
        // The code is used once: it is forgotten before the exchange.
        code.clear();
        const OAuth2HttpAnswer answer =
            OAuth2Post(provider.tokenUrl, form, SteadyClock::now() + kExchangeBound, cancelledTest());
        return OAuth2ReadTokenAnswer(provider, answer);
    }

    OAuth2Tokens runDevice(SteadyClock::time_point deadline) {
        if (provider.deviceAuthorizationUrl.empty()) {
            ECheckFailure failure("The sign-in with " + Utf8ToCp932(provider.name) + " has no code to enter elsewhere",
                                  FailureKind::Usage);
            failure.SetAdvice("sign in with the browser on this machine");
            throw failure;
        }
        checkEndpoint(provider, provider.deviceAuthorizationUrl);
        checkEndpoint(provider, provider.tokenUrl);
        OAuth2Form ask{{"scope", joined(provider.scopes, ' ')}};
        addClient(provider, ask);
        const OAuth2HttpAnswer asked =
            OAuth2Post(provider.deviceAuthorizationUrl, ask, std::min(deadline, SteadyClock::now() + kExchangeBound),
                       cancelledTest());
        const auto members = OAuth2JsonMembers(asked.body);
        auto member = [&](const char* name) -> std::string {
            if (members) {
                for (const auto& [key, value] : *members) {
                    if (key == name)
                        return value;
                }
            }
            return {};
        };
        // The same errors as a token endpoint's (RFC 8628 3.2); this throws.
        if (asked.status != 200)
            OAuth2ReadTokenAnswer(provider, asked);
        const std::string deviceCode = member("device_code");
        const std::string userCode = member("user_code");
        std::string verification = member("verification_uri");
        if (verification.empty())
            verification = member("verification_url");
        if (!members || deviceCode.empty() || userCode.empty() || verification.empty())
            throw ECheckFailure("The sign-in server's answer cannot be used", FailureKind::Refused,
                                "no device_code, user_code or verification_uri");
        if (const int expiresIn = StrToIntDef(member("expires_in"), 0); expiresIn > 0)
            deadline = std::min(deadline, SteadyClock::now() + std::chrono::seconds(expiresIn));
        std::chrono::milliseconds interval = kDeviceInterval;
        if (const int seconds = StrToIntDef(member("interval"), 0); seconds > 0)
            interval = std::chrono::seconds(seconds);

        if (options.tell)
            options.tell(OAuth2Prompt{OAuth2Prompt::Kind::DeviceCode, verification, userCode});
        OAuth2Form poll{{"grant_type", kDeviceGrant}, {"device_code", deviceCode}};
        addClient(provider, poll);
        for (;;) {
            const auto next = SteadyClock::now() + interval;
            waitUntil([&] { return SteadyClock::now() >= next; }, deadline);
            const OAuth2HttpAnswer answer = OAuth2Post(
                provider.tokenUrl, poll, std::min(deadline, SteadyClock::now() + kExchangeBound), cancelledTest());
            std::string pending;
            OAuth2Tokens tokens = OAuth2ReadTokenAnswer(provider, answer, &pending);
            if (pending.empty())
                return tokens;
            if (pending == "slow_down")
                interval += kSlowDownStep;
        }
    }
};

OAuth2SignIn::OAuth2SignIn(OAuth2Provider provider, OAuth2SignInOptions options) : state_(std::make_unique<State>()) {
    state_->provider = std::move(provider);
    state_->options = std::move(options);
}

OAuth2SignIn::~OAuth2SignIn() = default;

OAuth2Tokens OAuth2SignIn::Run() {
    State& s = *state_;
    if (s.ran)
        throw ECheckFailure("A sign-in runs only once", FailureKind::Usage);
    s.ran = true;
    const auto deadline = SteadyClock::now() + s.options.timeout;
    s.provider.CheckClient();
    if (s.cancelled)
        OAuth2ThrowCancelled();
    return s.options.flow == OAuth2SignInOptions::Flow::DeviceCode ? s.runDevice(deadline) : s.runBrowser(deadline);
}

void OAuth2SignIn::Cancel() {
    state_->cancelled = true;
}

std::string OAuth2SignIn::RedirectUri() const {
    return state_->redirectUri;
}

OAuth2Tokens OAuth2Refresh(const OAuth2Provider& provider, const std::string& refreshToken,
                           std::optional<SteadyClock::time_point> deadline) {
    provider.CheckClient();
    checkEndpoint(provider, provider.tokenUrl);
    OAuth2Form form{
        {"grant_type", "refresh_token"}, {"refresh_token", refreshToken}, {"scope", joined(provider.scopes, ' ')}};
    addClient(provider, form);
    const OAuth2HttpAnswer answer =
        OAuth2Post(provider.tokenUrl, form, deadline.value_or(SteadyClock::now() + kExchangeBound), nullptr);
    return OAuth2ReadTokenAnswer(provider, answer);
}
