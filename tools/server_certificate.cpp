#include "tools/server_certificate.h"

#include "core/hive_file.h"
#include "core/registry.h"
#include "core/socket.h"
#include "core/tls_socket.h"
#include "net/kxpop3.h"
#include "net/powersock.h"
#include "net/server_address.h"
#include "settings/certificate_pins.h"

namespace {

// A session that goes as far as the TLS handshake and no further.
class CertificateProbe final : public TPowersock {
public:
    CertificateProbe(platform::SocketApi& sockets, const platform::Clock& clock, const ServerAddress& address)
        : TPowersock(nullptr, sockets, clock), address_(address) {}

    void Run() {
        Connect();
        if (address_.security == TransportSecurity::StartTls) {
            // RFC 2595: STLS after the greeting, before anything else.
            if (!ReplyAccepted(ReadLn()) || !ReplyAccepted(Transaction("STLS")))
                throw ESockError(SockFailure::TlsFailed, "Server refused STLS");
            StartTls(address_.host);
        }
        Disconnect();
    }

protected:
    ConnectTarget Target() const override {
        ConnectTarget target{address_.host, address_.port, AnsiString()};
        if (address_.security == TransportSecurity::Implicit)
            target.tlsName = address_.host;
        return target;
    }

private:
    static bool ReplyAccepted(const AnsiString& reply) { return reply.rfind("+OK", 0) == 0; }

    ServerAddress address_;
};

ServerAddress TlsAddress(const AnsiString& server, int defaultPort, const char* option) {
    const ServerAddress address = ParseServerAddress(server, defaultPort);
    if (address.security == TransportSecurity::Plain)
        throw EServerAddressError(std::string(option) +
                                  " goes with a TLS address (pop3s://, pop3+starttls:// or port 995), not with " +
                                  server);
    return address;
}

}  // namespace

std::string ShowServerCertificate(const AnsiString& server, int defaultPort, int timeoutMs,
                                  const platform::Clock& clock) {
    const ServerAddress address = TlsAddress(server, defaultPort, "--show-certificate");
    platform::TlsSockets sockets(platform::SystemSockets());
    sockets.SetInspectionOnly(true);
    {
        CertificateProbe probe(sockets, clock, address);
        probe.SetTimeOut(timeoutMs);
        probe.LimitWaits(timeoutMs);
        probe.Run();
    }
    const std::optional<platform::CertificateSeen> seen = sockets.LastCertificate(address.host, address.port);
    if (!seen)
        throw ESockError(SockFailure::TlsFailed, "TLS handshake failed: the server showed no certificate");
    const platform::CertificateDetails& c = seen->certificate;
    return "Subject: " + c.subject + "\nIssuer: " + c.issuer + "\nNot before: " + c.notBefore +
           "\nNot after: " + c.notAfter + "\nSHA256 Fingerprint: " + c.sha256 +
           "\nVerified: " + (seen->verifyError.empty() ? std::string("yes") : "no (" + seen->verifyError + ")") + "\n";
}

void TrustCertificateForCheck(platform::TlsSockets& sockets, const AnsiString& server, int defaultPort,
                              const std::optional<std::string>& fingerprint) {
    if (fingerprint) {
        const ServerAddress address = TlsAddress(server, defaultPort, "--trust-fingerprint");
        sockets.PinCertificate(address.host, address.port, *fingerprint);
        return;
    }
    ServerAddress address;
    try {
        address = ParseServerAddress(server, defaultPort);
    } catch (const EServerAddressError&) {
        return;  // the check itself says what is wrong with it
    }
    if (address.security == TransportSecurity::Plain)
        return;
    // Only reads; a store that is missing or damaged pins nothing.
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    TRegistry registry(hive);
    const AnsiString pin = LoadCertificatePin(registry, address.host, address.port);
    if (!pin.empty())
        sockets.PinCertificate(address.host, address.port, pin);
}
