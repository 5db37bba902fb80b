// TLS as a socket layer: wraps another SocketApi and, for the sockets it is
// asked to protect, runs OpenSSL between the caller and the wire while posting
// the same notifications the plain layer does.
#pragma once

#include <memory>

#include "core/socket.h"

namespace platform {

// Sockets pass through to the wrapped layer untouched (same calls, same
// notifications, same bytes) until StartTls is called for them. From then on:
// FD_CONNECT once the handshake has succeeded (or with a TLS code when it
// failed), FD_READ only when decrypted bytes are there, FD_CLOSE after the
// last decrypted byte has been taken, FD_WRITE when sending may resume.
//
// Verification is strict and cannot be switched off: the system's trust
// store (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR name a
// private CA), the host name or IPv4 address checked against the certificate,
// SNI for names, TLS 1.2 or newer.
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

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
