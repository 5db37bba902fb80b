// The stand-in provider (tests/integration/oauth2_provider.py) for the
// sign-in's tests: started once for a test program, with HTTP helpers to
// drive its control addresses, and a "browser" that follows the sign-in
// address as a person's would.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "session/oauth2_provider.h"
#include "tests/support/wait.h"

class OAuth2StandIn {
public:
    // Starts the provider and waits for its port; ends the test program's
    // run when it does not come up in time.
    OAuth2StandIn() {
        const QString portFile = dir_.filePath("port");
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QStringLiteral(POSTWREN_PYTHON3),
                       {QStringLiteral(POSTWREN_OAUTH2_PROVIDER), "--port-file", portFile, "--watch-stdin"});
        const bool up = testing_support::WaitUntil([&] { return QFile::exists(portFile); }, 20000);
        if (up) {
            QFile file(portFile);
            if (file.open(QIODevice::ReadOnly))
                port_ = file.readAll().trimmed().toInt();
        }
        if (port_ <= 0) {
            ADD_FAILURE() << "the stand-in provider did not start";
            std::abort();
        }
    }
    ~OAuth2StandIn() {
        process_.closeWriteChannel();
        if (!process_.waitForFinished(5000))
            process_.kill();
        process_.waitForFinished(5000);
    }

    int port() const { return port_; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // A provider on the stand-in with its known client.
    OAuth2Provider provider() const {
        OAuth2Provider p;
        p.name = "Stand-in";
        p.hosts = {"pop.example.test"};
        p.authorizeUrl = base() + "/authorize";
        p.tokenUrl = base() + "/token";
        p.deviceAuthorizationUrl = base() + "/device";
        p.clientId = "postwren-test";
        p.scopes = {"mail", "offline"};
        p.mechanisms = {"XOAUTH2", "OAUTHBEARER"};
        return p;
    }

    // GET or POST an address of the stand-in; its status and body.
    std::pair<int, QByteArray> request(const std::string& path, const QByteArray* post = nullptr) {
        QNetworkAccessManager network;
        QNetworkRequest request(QUrl(QString::fromStdString(base() + path)));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        QNetworkReply* reply = post ? network.post(request, *post) : network.get(request);
        EXPECT_TRUE(testing_support::WaitUntil([&] { return reply->isFinished(); })) << path;
        return {reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    }
    QJsonObject json(const std::string& path, const QByteArray* post = nullptr) {
        return QJsonDocument::fromJson(request(path, post).second).object();
    }
    void mode(const std::string& query) { EXPECT_EQ(request("/control/mode?" + query).first, 200) << query; }
    // The user an access token belongs to, or "" when it is not active.
    std::string owner(const std::string& accessToken) {
        const QByteArray form = "token=" + QUrl::toPercentEncoding(QString::fromStdString(accessToken));
        const QJsonObject answer = json("/introspect", &form);
        return answer.value("active").toBool() ? answer.value("email").toString().toStdString() : std::string();
    }
    // From here on, seen() counts only the requests that come after.
    void mark() { marker_ = QJsonDocument::fromJson(request("/control/log").second).array().size(); }
    // How many requests since mark() have this path (and grant, when given).
    int seen(const char* path, const char* grant = nullptr) {
        int n = 0;
        const QJsonArray log = QJsonDocument::fromJson(request("/control/log").second).array();
        for (qsizetype i = marker_; i < log.size(); ++i) {
            const QJsonObject e = log[i].toObject();
            if (e.value("path").toString() == QLatin1String(path) &&
                (!grant || e.value("grant_type").toString() == QLatin1String(grant)))
                ++n;
        }
        return n;
    }

private:
    QTemporaryDir dir_;
    QProcess process_;
    int port_ = 0;
    qsizetype marker_ = 0;
};

// Follows a sign-in address as a person's browser does: the provider's page
// (here it answers at once with a redirect), then, at the address it
// redirects to, the site's icon first and the page itself after. Runs on
// the event loop; open() returns at once.
class FollowingBrowser {
public:
    void open(const std::string& url) {
        get(QUrl::fromEncoded(QByteArray::fromStdString(url), QUrl::StrictMode), [this](QNetworkReply* reply) {
            const QByteArray location = reply->rawHeader("Location");
            if (location.isEmpty()) {
                done = true;
                return;
            }
            const QUrl target = QUrl::fromEncoded(location, QUrl::StrictMode);
            QUrl icon = target;
            icon.setPath("/favicon.ico");
            icon.setQuery(QString());
            get(icon, [this, target](QNetworkReply*) { get(target, [this](QNetworkReply*) { done = true; }); });
        });
    }

    // "<status> <path>" of each page asked, in order.
    std::vector<std::string> seen;
    bool done = false;

private:
    void get(const QUrl& url, std::function<void(QNetworkReply*)> then) {
        QNetworkRequest request(url);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply* reply = network_.get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply, [this, reply, then] {
            seen.push_back(std::to_string(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()) + " " +
                           reply->url().path().toStdString());
            reply->deleteLater();
            then(reply);
        });
    }

    QNetworkAccessManager network_;
};
