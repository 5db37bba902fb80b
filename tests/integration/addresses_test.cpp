// Server addresses with real parts: a Dovecot on ::1 (plain, POP3S and STLS),
// names in a private /etc/hosts (postwren-check run in a mount namespace of
// its own), addresses made silent by a listener whose backlog is full, and
// certificates trusted by their fingerprint, shown and checked against what
// the openssl command prints.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <string>

#include "app/certificate_trust.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/socket.h"
#include "core/tls_socket.h"
#include "net/kxpop3.h"
#include "tests/net/loopback_peer.h"
#include "tests/support/fake_hive.h"
#include "tests/support/recording_message_box.h"

namespace {

const std::string kCertDir = POSTWREN_TLS_CERTS;
const std::string kSelfSignedHost = POSTWREN_DOVECOT_PINNED;      // the ::1 instance's self-signed address
const std::string kLogonHost = POSTWREN_DOVECOT_IPV6_PEER;        // plain Dovecot on port 110
constexpr int kIpv6PlainPort = POSTWREN_DOVECOT_IPV6_PLAIN_PORT;  // plain Dovecot on ::1
constexpr int kIpv6StlsPort = POSTWREN_DOVECOT_IPV6_STLS_PORT;    // TLS Dovecot on ::1 (and 995)
constexpr int kProcessLimitMs = 30000;
const platform::SteadyClock clock;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// postwren-check with `args` (and the password on standard input when
// given); with `hosts`, in a mount namespace whose /etc/hosts says that.
Outcome RunTool(QStringList args, const std::string& password = "wonderland", const std::string& hosts = {}) {
    QString program = QStringLiteral(POSTWREN_CHECK_BIN);
    if (!password.empty())
        args << "--password-stdin";
    if (!hosts.empty()) {
        const std::string file = ::testing::TempDir() + "postwren-hosts-" + std::to_string(::getpid());
        std::ofstream(file) << hosts;
        args =
            QStringList{
                "-m",   "sh", "-c", "mount --bind \"$0\" /etc/hosts && exec \"$@\"", QString::fromStdString(file),
                program} +
            args;
        program = "unshare";
    }
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("SSL_CERT_FILE", QString::fromStdString(kCertDir + "/ca.crt"));
    process.setProcessEnvironment(env);
    process.start(program, args);
    if (!process.waitForStarted(kProcessLimitMs))
        return {};
    process.write(QByteArray::fromStdString(password.empty() ? std::string() : password + "\n"));
    process.closeWriteChannel();
    if (!process.waitForFinished(kProcessLimitMs)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

Outcome Check(const std::string& host, QStringList extra = {}, const std::string& hosts = {}) {
    return RunTool(QStringList{"--host", QString::fromStdString(host), "--user", "alice", "--timeout", "10"} + extra,
                   "wonderland", hosts);
}

// What `openssl x509 -noout -fingerprint -sha256` prints for a certificate file.
std::string OpensslFingerprint(const std::string& certificate) {
    QProcess openssl;
    openssl.start("openssl", {"x509", "-noout", "-fingerprint", "-sha256", "-in", QString::fromStdString(certificate)});
    openssl.waitForFinished(kProcessLimitMs);
    const std::string line = openssl.readAllStandardOutput().trimmed().toStdString();
    return line.substr(line.find('=') + 1);
}

TEST(Ipv6, ADovecotOnTheLoopbackIsCountedInEveryForm) {
    const std::string plain = "[::1]:" + std::to_string(kIpv6PlainPort);
    const std::string stls = "pop3+starttls://[::1]:" + std::to_string(kIpv6StlsPort);
    for (const std::string& host : {plain, std::string("pop3s://[::1]"), std::string("[::1]:995"), stls}) {
        const Outcome o = Check(host);
        EXPECT_EQ(o.exitCode, 0) << host << ": " << o.err;
        EXPECT_EQ(o.out, "3\n") << host;
    }
    // A broken form is a usage error before anything goes out.
    for (const char* broken : {"[::1", "[::1]:", "[zz::1]", "[::1]:65536"}) {
        const Outcome o = Check(broken);
        EXPECT_EQ(o.exitCode, 2) << broken << ": " << o.err;
    }
}

// Every test name lives only in the private hosts file of its run.
TEST(Ipv6, ANameWithOnlyAnIpv6AddressGoesThereAndNowhereElse) {
    // Nothing listens on 127.0.0.1 at this port: an IPv4-only look-up would
    // have gone there (glibc maps ::1 to it) rather than to the server.
    const Outcome o = Check("v6only.postwren.test:" + std::to_string(kIpv6PlainPort), {}, "::1 v6only.postwren.test\n");
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "3\n");
}

TEST(Ipv6, EveryAddressOfANameIsTriedAndASilentOneDoesNotStallTheCheck) {
    // --timeout 10 bounds each check: an attempt left hanging on a silent
    // address would use all of it and fail with the time-out.
    {
        // IPv6 first, refused (nothing on ::1:110): IPv4 serves.
        const Outcome o =
            Check("down6.postwren.test", {}, "::1 down6.postwren.test\n" + kLogonHost + " down6.postwren.test\n");
        EXPECT_EQ(o.exitCode, 0) << o.err;
        EXPECT_EQ(o.out, "3\n");
    }
    {
        // A silent IPv6 address (a full backlog on ::1:110) before the IPv4 one that serves.
        testpeer::SilentListener silent6(/*ipv6=*/true, 110);
        const Outcome o =
            Check("silent6.postwren.test", {}, "::1 silent6.postwren.test\n" + kLogonHost + " silent6.postwren.test\n");
        EXPECT_EQ(o.exitCode, 0) << o.err;
        EXPECT_EQ(o.out, "3\n");
    }
    {
        // Every address silent or refused: the session's own time-out text, as for one address.
        testpeer::SilentListener silent6(/*ipv6=*/true, 110);
        const Outcome o = RunTool({"--host", "silent6.postwren.test", "--user", "alice", "--timeout", "2"},
                                  "wonderland", "::1 silent6.postwren.test\n");
        EXPECT_EQ(o.exitCode, 3) << o.err;
        EXPECT_NE(o.err.find("Connection Timed out"), std::string::npos) << o.err;
    }
}

TEST(Certificates, ShownAsOpensslPrintsThemAndTrustedByFingerprintAlone) {
    const std::string selfSigned = "pop3s://" + kSelfSignedHost;
    const std::string fingerprint = OpensslFingerprint(kCertDir + "/selfsigned.crt");
    ASSERT_EQ(fingerprint.size(), 95u) << fingerprint;

    const Outcome shown = RunTool({"--show-certificate", "--host", QString::fromStdString(selfSigned)}, "");
    EXPECT_EQ(shown.exitCode, 0) << shown.err;
    EXPECT_NE(shown.out.find("SHA256 Fingerprint: " + fingerprint + "\n"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("Verified: no (self-signed certificate)"), std::string::npos) << shown.out;
    // After STLS too, and for a certificate that verifies.
    const Outcome stls = RunTool({"--show-certificate", "--host",
                                  QString::fromStdString("pop3+starttls://[::1]:" + std::to_string(kIpv6StlsPort))},
                                 "");
    EXPECT_EQ(stls.exitCode, 0) << stls.err;
    EXPECT_NE(stls.out.find("SHA256 Fingerprint: " + OpensslFingerprint(kCertDir + "/server.crt")), std::string::npos)
        << stls.out;
    EXPECT_NE(stls.out.find("Verified: yes"), std::string::npos) << stls.out;

    // Without a pin the self-signed certificate fails as always.
    EXPECT_EQ(Check(selfSigned).exitCode, 4);
    // Lower case without colons is the same fingerprint.
    std::string bare = fingerprint;
    bare.erase(std::remove(bare.begin(), bare.end(), ':'), bare.end());
    std::transform(bare.begin(), bare.end(), bare.begin(), [](unsigned char c) { return std::tolower(c); });
    const Outcome trusted = Check(selfSigned, {"--trust-fingerprint", QString::fromStdString(bare)});
    EXPECT_EQ(trusted.exitCode, 0) << trusted.err;
    EXPECT_EQ(trusted.out, "3\n");

    // Another certificate, even one the CA signed, is refused, naming what the server showed.
    const std::string other = OpensslFingerprint(kCertDir + "/server.crt");
    const Outcome refused = Check(selfSigned, {"--trust-fingerprint", QString::fromStdString(other)});
    EXPECT_EQ(refused.exitCode, 4) << refused.err;
    EXPECT_NE(refused.err.find(fingerprint), std::string::npos) << refused.err;
    EXPECT_NE(refused.err.find(other), std::string::npos) << refused.err;

    // A pin means nothing on a plain address, and a fingerprint must be one.
    EXPECT_EQ(Check(kLogonHost, {"--trust-fingerprint", QString::fromStdString(fingerprint)}).exitCode, 2);
    EXPECT_EQ(Check(selfSigned, {"--trust-fingerprint", "AB:CD"}).exitCode, 2);
    EXPECT_EQ(RunTool({"--show-certificate", "--host", QString::fromStdString(kLogonHost)}, "").exitCode, 2);
}

// The resident program's timed checks resume the last TLS session of the
// server (the ::1 instance has one login process, which keeps its ticket
// key); what admitted its certificate must still hold each time.
TEST(Resumption, TimedChecksResumeTheSessionOnlyWhileItsCertificateIsStillAdmitted) {
    setenv("SSL_CERT_FILE", (kCertDir + "/ca.crt").c_str(), 1);
    platform::TlsSockets sockets(platform::SystemSockets());
    TKxPOP3 client(nullptr, sockets, clock);
    client.SetTimeOut(10000);
    client.SetUserID("alice");
    client.SetPassword("wonderland");
    client.SetHost("pop3s://[::1]");
    auto check = [&] {
        try {
            client.Connect();
        } catch (const Exception& e) {
            return e.Message();
        }
        const int count = client.MessageCount();
        client.Disconnect();
        return std::to_string(count);
    };
    // Off unless asked for.
    ASSERT_EQ(check(), "3");
    ASSERT_EQ(check(), "3");
    EXPECT_EQ(sockets.ResumedHandshakes(), 0);

    sockets.SetResumption(true);
    ASSERT_EQ(check(), "3");
    ASSERT_EQ(check(), "3");
    EXPECT_EQ(sockets.ResumedHandshakes(), 1);
    // A pin for another certificate: the kept session is not offered, and
    // the full handshake refuses the server's certificate.
    std::string other = "AA";
    for (int i = 1; i < 32; ++i) other += ":AA";
    ASSERT_TRUE(sockets.PinCertificate("::1", 995, other));
    EXPECT_NE(check().find("not the one trusted for [::1]:995 (SHA256 " + other + ")"), std::string::npos);
    EXPECT_EQ(sockets.ResumedHandshakes(), 1);
    // Without the pin, verification again: the session dropped above is gone,
    // the next full handshake's session resumes once more.
    sockets.ClearPins();
    ASSERT_EQ(check(), "3");
    EXPECT_EQ(sockets.ResumedHandshakes(), 1);
    ASSERT_EQ(check(), "3");
    EXPECT_EQ(sockets.ResumedHandshakes(), 2);
}

// The program's prompt: an untrusted certificate is offered, Yes pins it in
// the store and the next check gets in, also after a restart (a fresh TLS
// layer that reads the pin back); a changed pinned certificate names both.
TEST(CertificatePrompt, YesPinsTheCertificateForTheServerAndThePinOutlivesTheProgram) {
    setenv("SSL_CERT_FILE", (kCertDir + "/ca.crt").c_str(), 1);
    const AnsiString server = "pop3s://" + kSelfSignedHost;
    FakeHive hive;
    auto check = [&](platform::TlsSockets& tls) {
        TKxPOP3 client(nullptr, tls, clock);
        client.SetTimeOut(10000);
        client.SetUserID("alice");
        client.SetPassword("wonderland");
        client.SetHost(server);
        try {
            client.Connect();
        } catch (const Exception& e) {
            return e.Message();
        }
        const int count = client.MessageCount();
        client.Disconnect();
        return std::to_string(count);
    };
    {
        platform::TlsSockets tls(platform::SystemSockets());
        RecordingMessageBox box;
        CertificateTrust trust(tls, hive, box);
        trust.ApplyStoredPin(server, 110);
        EXPECT_EQ(check(tls), "TLS certificate verify failed: self-signed certificate");
        box.answer = IDNO;
        EXPECT_FALSE(trust.OfferTrust(server, 110));
        ASSERT_EQ(box.boxes.size(), 1u);
        const std::string fingerprint = OpensslFingerprint(kCertDir + "/selfsigned.crt");
        EXPECT_NE(box.boxes[0].text.find("SHA-256: " + fingerprint), std::string::npos) << box.boxes[0].text;
        EXPECT_NE(box.boxes[0].text.find(Sjis("発行先: CN=")), std::string::npos) << box.boxes[0].text;
        EXPECT_NE(box.boxes[0].text.find(Sjis("発行者: CN=")), std::string::npos) << box.boxes[0].text;
        EXPECT_EQ(check(tls), "TLS certificate verify failed: self-signed certificate");

        box.answer = IDYES;
        EXPECT_TRUE(trust.OfferTrust(server, 110));
        EXPECT_EQ(check(tls), "3");
    }
    {
        // A restart: nothing but the store remembers.
        platform::TlsSockets tls(platform::SystemSockets());
        RecordingMessageBox box;
        CertificateTrust trust(tls, hive, box);
        EXPECT_NE(check(tls), "3");
        trust.ApplyStoredPin(server, 110);
        EXPECT_EQ(check(tls), "3");
        EXPECT_FALSE(trust.OfferTrust(server, 110));  // nothing to ask after a good check
        EXPECT_TRUE(box.boxes.empty());
    }
    {
        // The pinned certificate changed: both fingerprints, and the same explicit step.
        platform::TlsSockets tls(platform::SystemSockets());
        RecordingMessageBox box;
        CertificateTrust trust(tls, hive, box);
        std::string other = "AA";
        for (int i = 1; i < 32; ++i) other += ":AA";
        tls.PinCertificate(kSelfSignedHost, 995, other);
        EXPECT_NE(check(tls), "3");
        box.answer = IDNO;
        EXPECT_FALSE(trust.OfferTrust(server, 110));
        ASSERT_EQ(box.boxes.size(), 1u);
        EXPECT_NE(box.boxes[0].text.find(other), std::string::npos) << box.boxes[0].text;
        EXPECT_NE(box.boxes[0].text.find(OpensslFingerprint(kCertDir + "/selfsigned.crt")), std::string::npos);
    }
}

}  // namespace
