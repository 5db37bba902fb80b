// TLS as a socket layer: wraps another SocketApi and, for the sockets it is
// asked to protect, runs OpenSSL between the caller and the wire while posting
// the same notifications the plain layer does.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/socket.h"

namespace platform {

// A server certificate as a person checks it before trusting it.
struct CertificateDetails {
    std::string subject;    // RFC 2253, "CN=pop.example.test,O=Example"
    std::string issuer;     // likewise
    std::string notBefore;  // as openssl x509 prints it, "Dec  9 04:00:00 2026 GMT"
    std::string notAfter;
    std::string sha256;  // SHA-256 of the DER certificate, "AB:CD:...", as openssl x509 -fingerprint prints it
};

// What the last full handshake with one server showed.
struct CertificateSeen {
    enum class Verdict {
        Trusted,      // chain and name verified, or the pinned certificate
        Untrusted,    // no chain to the trust store (self-signed, unknown issuer): may be pinned
        PinMismatch,  // a certificate other than the pinned one
        Refused,      // any other verification failure (expired, wrong name, ...)
    };
    CertificateDetails certificate;
    Verdict verdict = Verdict::Trusted;
    std::string verifyError;  // what verification of chain and name said; empty when it passed
    std::string pinned;       // the fingerprint pinned for the server, if one was
};

// A fingerprint as the user may write it (hex, either case, with or without
// colons) in the form CertificateDetails uses; nothing unless it is 32 bytes.
std::optional<std::string> CanonicalFingerprint(const std::string& text);

// Sockets pass through to the wrapped layer untouched (same calls, same
// notifications, same bytes) until StartTls is called for them. From then on:
// FD_CONNECT once the handshake has succeeded (or with a TLS code when it
// failed), FD_READ only when decrypted bytes are there, FD_CLOSE after the
// last decrypted byte has been taken, FD_WRITE when sending may resume.
//
// Verification is strict and cannot be switched off: the system's trust
// store (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR name a
// private CA), the host name or IPv4 address checked against the certificate,
// SNI for names, TLS 1.2 or newer. The one way round it is a pin: a server
// (host and port) given a certificate by its SHA-256 fingerprint accepts
// exactly that certificate, whatever its chain and names, on every full
// handshake; a different one fails with both fingerprints in the text.
//
// GUI thread only; needs a QCoreApplication. Does not own the wrapped layer,
// which must outlive it.
class TlsSockets final : public SocketApi {
public:
    explicit TlsSockets(SocketApi& plain);
    ~TlsSockets() override;
    TlsSockets(const TlsSockets&) = delete;
    TlsSockets& operator=(const TlsSockets&) = delete;

    bool Startup() override;
    void Cleanup() override;
    SOCKET CreateStreamSocket() override;
    int SetLinger(SOCKET s, bool on, std::uint16_t seconds) override;
    int AsyncSelect(SOCKET s, HWND window, UINT msg, long events) override;
    int Connect(SOCKET s, const SockAddrIn& address) override;
    int ConnectRace(SOCKET s, const std::vector<IpAddress>& addresses, std::uint16_t port) override;
    int Send(SOCKET s, const char* data, int len) override;
    int Recv(SOCKET s, char* data, int len) override;
    int CloseSocket(SOCKET s) override;
    int LastError() const override;
    std::uint32_t InetAddr(const std::string& text) override;
    LookupHandle AsyncGetHostByName(HWND window, UINT msg, const std::string& name,
                                    std::shared_ptr<HostEntry> result) override;
    int CancelAsyncRequest(LookupHandle handle) override;

    int StartTls(SOCKET s, const std::string& serverName, TlsStart when) override;
    bool TlsEstablished(SOCKET s) const override;
    bool TlsHandshaking(SOCKET s) const override;
    std::string TlsFailure(SOCKET s) const override;

    // Trusts exactly the certificate with this fingerprint (any form
    // CanonicalFingerprint reads) for serverName (host names compare without
    // case) on `port`, in place of any pin it had. False when the
    // fingerprint cannot be read.
    bool PinCertificate(const std::string& serverName, int port, const std::string& fingerprint);
    // Drops every pin.
    void ClearPins();
    // What the last full handshake with serverName on `port` showed; nothing
    // when none got as far as a certificate.
    std::optional<CertificateSeen> LastCertificate(const std::string& serverName, int port) const;
    // For showing a certificate only: every handshake completes whatever the
    // server shows (LastCertificate tells what it was and what verification
    // said). Only for a connection that sends nothing of the user's.
    void SetInspectionOnly(bool on);
    // Keeps the last TLS session (a TLS 1.3 ticket or a TLS 1.2 session) of
    // each server name and port in memory and offers it at the next
    // connection to the same name and port, so a resident program's timed
    // checks skip the full handshake. A session is offered only while what
    // admitted it still holds: a pinned server's session only for the pinned
    // certificate, a verified server's only while no pin is set for it and
    // its certificate has not expired; otherwise it is dropped and the full
    // handshake verifies (and checks pins) as always. Off by default.
    void SetResumption(bool on);
    // Handshakes that resumed a kept session, since this object was made.
    int ResumedHandshakes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
