#include "core/tls_socket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <utility>

#include "core/message_window.h"
#include "core/openssl_library.h"

namespace platform {

namespace {

// Notifications of the wrapped layer for protected sockets come to our own window.
constexpr UINT kPlainNotify = WM_USER + 1;

// Ciphertext is taken from the wrapped layer in chunks of this size.
constexpr int kWireChunk = 16384;
// Decrypted bytes the caller has not taken yet. Above this, nothing more is
// read from the wire until the caller catches up, so a peer that floods
// cannot make the process grow.
constexpr std::size_t kMaxPlainBuffered = 64 * 1024;

const char* const kClosedDuringHandshake = "the server closed the connection";

struct Selection {
    HWND window = 0;
    UINT msg = 0;
    long events = 0;
};

// Pins and what handshakes showed are kept per server: its name (without
// case) and port.
using ServerKey = std::pair<std::string, int>;

// A TLS session kept for the next connection to the same server, with what
// admitted its certificate.
struct KeptSession {
    SSL_SESSION* session = nullptr;  // one reference, ours
    bool pinned = false;             // admitted by a pin, not by verification
};

// One protected socket.
struct TlsConnection {
    enum class Phase { AwaitConnect, Handshake, Open, Failed };

    Phase phase = Phase::AwaitConnect;
    TlsStart start = TlsStart::OnConnect;
    SSL* ssl = nullptr;
    BIO* wireIn = nullptr;   // ciphertext received, for OpenSSL to read; owned by ssl
    BIO* wireOut = nullptr;  // ciphertext OpenSSL wrote, to be sent; owned by ssl
    std::string plain;       // decrypted, not yet taken by Recv
    std::string out;         // ciphertext the wrapped layer has not taken yet
    bool readArmed = true;   // FD_READ may be posted; cleared until the next Recv
    bool writeWanted = false;
    bool wireClosed = false;  // the peer closed the TCP connection
    bool tlsClosed = false;   // close_notify, or a record that could not be read
    bool broken = false;      // the TLS stream ended in error
    bool wirePaused = false;  // stopped reading the wire: plain is full
    bool closePosted = false;
    int closeError = 0;
    std::string failure;
    ServerKey server;    // whom the certificate must name, and the port it was met on
    std::string pinned;  // the fingerprint the certificate must have; empty: verified as usual
    bool inspecting = false;
    // A session OpenSSL made before the handshake was judged (TLS 1.2 makes
    // it inside the handshake); kept once the certificate is admitted.
    SSL_SESSION* earlySession = nullptr;

    ~TlsConnection() {
        if (earlySession != nullptr)
            OpenSsl().SSL_SESSION_free(earlySession);
        if (ssl != nullptr)
            OpenSsl().SSL_free(ssl);
    }
};

// The size and entries of an OpenSSL stack, as its sk_TYPE_num and
// sk_TYPE_value macros give them.
int StackSize(const void* stack) {
    return OpenSsl().OPENSSL_sk_num(static_cast<const OPENSSL_STACK*>(stack));
}
template <class T>
T* StackEntry(const void* stack, int index) {
    return static_cast<T*>(OpenSsl().OPENSSL_sk_value(static_cast<const OPENSSL_STACK*>(stack), index));
}

std::string ReasonOfLastError() {
    const unsigned long e = OpenSsl().ERR_peek_last_error();
    const char* reason = e != 0 ? OpenSsl().ERR_reason_error_string(e) : nullptr;
    return reason != nullptr ? reason : "unexpected reply";
}

std::string Asn1Text(const ASN1_STRING* s) {
    return std::string(reinterpret_cast<const char*>(OpenSsl().ASN1_STRING_get0_data(s)),
                       static_cast<std::size_t>(OpenSsl().ASN1_STRING_length(s)));
}

// The names a certificate is for: its DNS and IP subject alternative names,
// or its common name, marked as naming no host, when it has none.
std::string CertificateNames(X509* cert) {
    std::string names;
    auto add = [&names](const std::string& name) {
        if (!names.empty())
            names += ", ";
        names += name;
    };
    auto* alt = static_cast<GENERAL_NAMES*>(OpenSsl().X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    if (alt != nullptr) {
        for (int i = 0; i < StackSize(alt); ++i) {
            const GENERAL_NAME* n = StackEntry<const GENERAL_NAME>(alt, i);
            if (n->type == GEN_DNS) {
                add(Asn1Text(n->d.dNSName));
            } else if (n->type == GEN_IPADD) {
                const int length = OpenSsl().ASN1_STRING_length(n->d.iPAddress);
                char text[INET6_ADDRSTRLEN] = {};
                if ((length == 4 || length == 16) &&
                    inet_ntop(length == 4 ? AF_INET : AF_INET6, OpenSsl().ASN1_STRING_get0_data(n->d.iPAddress), text,
                              sizeof text) != nullptr)
                    add(text);
            }
        }
        OpenSsl().GENERAL_NAMES_free(alt);
    }
    if (names.empty()) {
        X509_NAME* subject = OpenSsl().X509_get_subject_name(cert);
        const int index = OpenSsl().X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
        if (index >= 0)
            add(Asn1Text(OpenSsl().X509_NAME_ENTRY_get_data(OpenSsl().X509_NAME_get_entry(subject, index))) +
                " in its subject CN only, which names no host (no subjectAltName)");
    }
    return names.empty() ? "no name" : names;
}

// What an OpenSSL print function writes into a memory BIO, as text.
template <class Print>
std::string Printed(Print print) {
    BIO* bio = OpenSsl().BIO_new(OpenSsl().BIO_s_mem());
    if (bio == nullptr)
        return {};
    print(bio);
    std::string text;
    char chunk[256];
    int n;
    while ((n = OpenSsl().BIO_read(bio, chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<std::size_t>(n));
    OpenSsl().BIO_free(bio);
    return text;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::size_t kSha256Bytes = 32;

// "AB:CD:...", the SHA-256 of the DER certificate; empty when it cannot be made.
std::string Sha256Of(X509* cert) {
    std::string text;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (OpenSsl().X509_digest(cert, OpenSsl().EVP_sha256(), digest, &length) != 1)
        return text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i > 0)
            text += ':';
        text += kHexDigits[digest[i] >> 4];
        text += kHexDigits[digest[i] & 0x0F];
    }
    return text;
}

CertificateDetails DetailsOf(X509* cert) {
    CertificateDetails d;
    d.subject = Printed(
        [cert](BIO* b) { OpenSsl().X509_NAME_print_ex(b, OpenSsl().X509_get_subject_name(cert), 0, XN_FLAG_RFC2253); });
    d.issuer = Printed(
        [cert](BIO* b) { OpenSsl().X509_NAME_print_ex(b, OpenSsl().X509_get_issuer_name(cert), 0, XN_FLAG_RFC2253); });
    d.notBefore = Printed([cert](BIO* b) { OpenSsl().ASN1_TIME_print(b, OpenSsl().X509_get0_notBefore(cert)); });
    d.notAfter = Printed([cert](BIO* b) { OpenSsl().ASN1_TIME_print(b, OpenSsl().X509_get0_notAfter(cert)); });
    d.sha256 = Sha256Of(cert);
    return d;
}

// A certificate a handshake showed, and the verdict on it; the details are
// written out only when someone asks (a timed check never does).
struct SeenCertificate {
    std::shared_ptr<X509> certificate;
    CertificateSeen verdict;  // everything but the details
};

// Verification failures that only say the chain does not reach the trust
// store: what a server with its own certificate gives, and what a pin cures.
bool IsUntrustedChain(long verify) {
    return verify == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT || verify == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
           verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY || verify == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
           verify == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE;
}

std::string LowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "host:port", an IPv6 address in brackets.
std::string ServerText(const ServerKey& server) {
    const bool ipv6 = server.first.find(':') != std::string::npos;
    return (ipv6 ? "[" + server.first + "]" : server.first) + ":" + std::to_string(server.second);
}

}  // namespace

std::optional<std::string> CanonicalFingerprint(const std::string& text) {
    std::string hex;
    for (const char c : text) {
        if (c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 2 * kSha256Bytes)
        return std::nullopt;
    std::string canonical;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        if (i > 0)
            canonical += ':';
        canonical.append(hex, i, 2);
    }
    return canonical;
}

struct TlsSockets::Impl {
    explicit Impl(SocketApi& plainLayer) : plain(plainLayer) {
        window.setWindowProc([this](UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
            if (msg == kPlainNotify)
                onPlainNotify(static_cast<SOCKET>(wParam), LoWord(lParam), HiWord(lParam));
            return 0;
        });
    }
    ~Impl() {
        connections.clear();
        for (auto& kept : sessions) OpenSsl().SSL_SESSION_free(kept.second.session);
        if (context != nullptr)
            OpenSsl().SSL_CTX_free(context);
    }

    SocketApi& plain;
    MessageWindow window;
    SSL_CTX* context = nullptr;
    std::map<SOCKET, Selection> selections;
    std::map<SOCKET, std::unique_ptr<TlsConnection>> connections;
    int lastError = 0;
    std::map<SOCKET, int> ports;  // the port each socket was connected to, in host order
    std::map<ServerKey, std::string> pins;
    std::map<ServerKey, SeenCertificate> seen;
    bool inspectionOnly = false;
    bool resumption = false;
    std::map<ServerKey, KeptSession> sessions;
    int resumed = 0;

    void dropSession(const ServerKey& server) {
        const auto it = sessions.find(server);
        if (it == sessions.end())
            return;
        OpenSsl().SSL_SESSION_free(it->second.session);
        sessions.erase(it);
    }

    // OpenSSL hands over each new session (for TLS 1.3, each ticket as it
    // arrives after the handshake); 1 keeps the reference it gives.
    static int onNewSession(SSL* ssl, SSL_SESSION* session) {
        auto* self = static_cast<Impl*>(OpenSsl().SSL_CTX_get_ex_data(OpenSsl().SSL_get_SSL_CTX(ssl), 0));
        auto* c = static_cast<TlsConnection*>(OpenSsl().SSL_get_ex_data(ssl, 0));
        if (self == nullptr || c == nullptr || !self->resumption || c->inspecting)
            return 0;
        if (c->phase == TlsConnection::Phase::Handshake) {
            if (c->earlySession != nullptr)
                OpenSsl().SSL_SESSION_free(c->earlySession);
            c->earlySession = session;
            return 1;
        }
        return self->keepSession(*c, session) ? 1 : 0;
    }

    // Keeps `session` (taking its reference) for c's server when c's
    // certificate was admitted.
    bool keepSession(TlsConnection& c, SSL_SESSION* session) {
        if (c.phase != TlsConnection::Phase::Open)
            return false;
        const auto shown = seen.find(c.server);
        if (shown == seen.end() || shown->second.verdict.verdict != CertificateSeen::Verdict::Trusted)
            return false;
        dropSession(c.server);
        sessions[c.server] = KeptSession{session, !c.pinned.empty()};
        return true;
    }

    // Offers the session kept for c's server, if what admitted it still holds.
    void offerSession(TlsConnection& c) {
        if (!resumption || c.inspecting)
            return;
        const auto it = sessions.find(c.server);
        if (it == sessions.end())
            return;
        const KeptSession& kept = it->second;
        X509* peer = OpenSsl().SSL_SESSION_get0_peer(kept.session);
        const bool admitted = c.pinned.empty() ? !kept.pinned : peer != nullptr && Sha256Of(peer) == c.pinned;
        const bool current = peer != nullptr && OpenSsl().X509_cmp_current_time(OpenSsl().X509_get0_notAfter(peer)) > 0;
        if (!admitted || !current) {
            dropSession(c.server);
            return;
        }
        OpenSsl().SSL_set_session(c.ssl, kept.session);
    }

    // How the certificate of c will be judged, now that its port is known
    // (StartTls may come before the connect that tells it).
    void judgeBy(TlsConnection& c, int port) {
        c.server.second = port;
        const auto pin = pins.find(c.server);
        c.pinned = pin != pins.end() ? pin->second : std::string();
        c.inspecting = inspectionOnly;
        // A pinned certificate is judged by its fingerprint alone, after the
        // handshake; the chain is still verified, so LastCertificate can say
        // what it would have said.
        OpenSsl().SSL_set_verify(c.ssl, !c.pinned.empty() || c.inspecting ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
    }

    // The port s is connected to, for the TLS connection on it.
    void notePort(SOCKET s, std::uint16_t networkPort) {
        ports[s] = static_cast<int>(ntohs(networkPort));
        if (TlsConnection* c = find(s); c != nullptr && c->phase == TlsConnection::Phase::AwaitConnect)
            judgeBy(*c, ports[s]);
    }

    // Keeps what the handshake of c showed about the server's certificate.
    void noteCertificate(TlsConnection& c, long verify, bool pinMatched) {
        X509* leaf = OpenSsl().SSL_get0_peer_certificate(c.ssl);
        if (leaf == nullptr) {
            STACK_OF(X509)* chain = OpenSsl().SSL_get_peer_cert_chain(c.ssl);
            leaf = chain != nullptr && StackSize(chain) > 0 ? StackEntry<X509>(chain, 0) : nullptr;
        }
        if (leaf == nullptr)
            return;
        OpenSsl().X509_up_ref(leaf);
        SeenCertificate seenNow;
        seenNow.certificate = std::shared_ptr<X509>(leaf, [](X509* x) { OpenSsl().X509_free(x); });
        CertificateSeen& s = seenNow.verdict;
        s.pinned = c.pinned;
        if (verify != X509_V_OK)
            s.verifyError = OpenSsl().X509_verify_cert_error_string(verify);
        if (!c.pinned.empty())
            s.verdict = pinMatched ? CertificateSeen::Verdict::Trusted : CertificateSeen::Verdict::PinMismatch;
        else if (verify == X509_V_OK)
            s.verdict = CertificateSeen::Verdict::Trusted;
        else if (IsUntrustedChain(verify))
            s.verdict = CertificateSeen::Verdict::Untrusted;
        else
            s.verdict = CertificateSeen::Verdict::Refused;
        seen[c.server] = std::move(seenNow);
    }

    int fail(int code) {
        lastError = code;
        return SOCKET_ERROR;
    }

    // A result of the plain layer handed on; when `failed`, its error becomes ours.
    template <class T>
    T passOn(T result, bool failed) {
        if (failed)
            lastError = plain.LastError();
        return result;
    }

    TlsConnection* find(SOCKET s) const {
        auto it = connections.find(s);
        return it == connections.end() ? nullptr : it->second.get();
    }

    // Made on first use, so a process that never asks for TLS never loads
    // OpenSSL or the trust store.
    bool makeContext(std::string& why) {
        if (context != nullptr)
            return true;
        if (!LoadOpenSsl(why))
            return false;
        OpenSsl().ERR_clear_error();
        SSL_CTX* ctx = OpenSsl().SSL_CTX_new(OpenSsl().TLS_client_method());
        if (ctx == nullptr) {
            why = ReasonOfLastError();
            return false;
        }
        OpenSsl().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
        // A write that must wait for a renegotiation is retried from the
        // caller's queue, which may have moved in memory since.
        OpenSsl().SSL_CTX_ctrl(ctx, SSL_CTRL_MODE, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER, nullptr);
        OpenSsl().SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        // Client sessions go to onNewSession and nowhere else: which session
        // may be offered again is decided here, per server.
        OpenSsl().SSL_CTX_ctrl(ctx, SSL_CTRL_SET_SESS_CACHE_MODE,
                               SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE, nullptr);
        OpenSsl().SSL_CTX_set_ex_data(ctx, 0, this);
        OpenSsl().SSL_CTX_sess_set_new_cb(ctx, &Impl::onNewSession);
        if (OpenSsl().SSL_CTX_set_default_verify_paths(ctx) != 1) {
            why = "cannot load the trust store: " + ReasonOfLastError();
            OpenSsl().SSL_CTX_free(ctx);
            return false;
        }
        context = ctx;
        return true;
    }

    void post(SOCKET s, long event, int error) {
        auto it = selections.find(s);
        if (it == selections.end() || (it->second.events & event) == 0 || it->second.window == 0)
            return;
        PostMessage(it->second.window, it->second.msg, s,
                    MakeLong(static_cast<std::uint16_t>(event), static_cast<std::uint16_t>(error)));
    }

    // Hands ciphertext OpenSSL produced to the wrapped layer, as far as it takes it.
    void flushOut(SOCKET s, TlsConnection& c) {
        char chunk[kWireChunk];
        int n;
        while ((n = OpenSsl().BIO_read(c.wireOut, chunk, sizeof chunk)) > 0)
            c.out.append(chunk, static_cast<std::size_t>(n));
        while (!c.out.empty()) {
            const int sent =
                plain.Send(s, c.out.data(), static_cast<int>(std::min<std::size_t>(c.out.size(), kWireChunk)));
            if (sent == SOCKET_ERROR) {
                // Would-block: the wrapped layer posts FD_WRITE to us when it can take more.
                if (plain.LastError() != WSAEWOULDBLOCK) {
                    c.out.clear();
                    c.wireClosed = true;
                }
                break;
            }
            c.out.erase(0, static_cast<std::size_t>(sent));
        }
        if (c.out.empty() && c.writeWanted && c.phase == TlsConnection::Phase::Open) {
            c.writeWanted = false;
            post(s, FD_WRITE, 0);
        }
    }

    // Takes one chunk of ciphertext from the wire (which also re-arms the
    // wrapped layer's FD_READ).
    void pullWire(SOCKET s, TlsConnection& c) {
        if (c.plain.size() >= kMaxPlainBuffered) {
            c.wirePaused = true;
            return;
        }
        char chunk[kWireChunk];
        const int n = plain.Recv(s, chunk, sizeof chunk);
        if (n > 0)
            OpenSsl().BIO_write(c.wireIn, chunk, n);
        else if (n == 0)
            c.wireClosed = true;
    }

    void failHandshake(SOCKET s, TlsConnection& c) {
        const long verify = OpenSsl().SSL_get_verify_result(c.ssl);
        noteCertificate(c, verify, false);
        dropSession(c.server);
        int code = kTlsHandshakeFailed;
        std::string detail;
        if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
            code = kTlsHostMismatch;
            STACK_OF(X509)* chain = OpenSsl().SSL_get_peer_cert_chain(c.ssl);
            X509* leaf = chain != nullptr && StackSize(chain) > 0 ? StackEntry<X509>(chain, 0) : nullptr;
            detail =
                leaf != nullptr ? "certificate is for " + CertificateNames(leaf) : "certificate is for another host";
        } else if (verify != X509_V_OK) {
            code = kTlsVerifyFailed;
            detail = OpenSsl().X509_verify_cert_error_string(verify);
        } else if (c.wireClosed && OpenSsl().ERR_peek_last_error() == 0) {
            detail = kClosedDuringHandshake;
        } else {
            detail = ReasonOfLastError();
        }
        OpenSsl().ERR_clear_error();
        c.phase = TlsConnection::Phase::Failed;
        c.failure = std::string(TlsErrorText(code)) + ": " + detail;
        post(s, FD_CONNECT, code);
    }

    // Moves the protected socket on as far as the bytes at hand allow.
    void drive(SOCKET s, TlsConnection& c) {
        if (c.phase == TlsConnection::Phase::Handshake) {
            OpenSsl().ERR_clear_error();
            const int r = OpenSsl().SSL_do_handshake(c.ssl);
            flushOut(s, c);
            if (r != 1) {
                const int error = OpenSsl().SSL_get_error(c.ssl, r);
                if (error == SSL_ERROR_WANT_READ && !c.wireClosed)
                    return;
                failHandshake(s, c);
                return;
            }
            const long verify = OpenSsl().SSL_get_verify_result(c.ssl);
            if (!c.pinned.empty() || c.inspecting) {
                noteCertificate(c, verify, true);
                const auto it = seen.find(c.server);
                const std::string shown = it != seen.end() ? Sha256Of(it->second.certificate.get()) : std::string();
                if (!c.pinned.empty() && shown != c.pinned) {
                    // The fingerprint is the certificate's whole identity here:
                    // another one is refused before anything is sent.
                    if (it != seen.end())
                        it->second.verdict.verdict = CertificateSeen::Verdict::PinMismatch;
                    dropSession(c.server);
                    c.phase = TlsConnection::Phase::Failed;
                    c.failure = std::string(TlsErrorText(kTlsVerifyFailed)) + ": the server showed the certificate " +
                                (shown.empty() ? std::string("(none)") : "SHA256 " + shown) +
                                ", not the one trusted for " + ServerText(c.server) + " (SHA256 " + c.pinned + ")";
                    post(s, FD_CONNECT, kTlsVerifyFailed);
                    return;
                }
            } else {
                noteCertificate(c, verify, false);
            }
            c.phase = TlsConnection::Phase::Open;
            if (OpenSsl().SSL_session_reused(c.ssl) == 1)
                ++resumed;
            if (c.earlySession != nullptr && !keepSession(c, c.earlySession))
                OpenSsl().SSL_SESSION_free(c.earlySession);
            c.earlySession = nullptr;
            post(s, FD_CONNECT, 0);
            if (c.start == TlsStart::OnConnect)
                post(s, FD_WRITE, 0);
        }
        if (c.phase != TlsConnection::Phase::Open)
            return;

        char chunk[kWireChunk];
        while (!c.tlsClosed && c.plain.size() < kMaxPlainBuffered) {
            OpenSsl().ERR_clear_error();
            const int n = OpenSsl().SSL_read(c.ssl, chunk, sizeof chunk);
            if (n > 0) {
                c.plain.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            const int error = OpenSsl().SSL_get_error(c.ssl, n);
            if (error == SSL_ERROR_WANT_READ)
                break;
            c.tlsClosed = true;
            if (error != SSL_ERROR_ZERO_RETURN) {
                c.broken = true;
                c.failure = std::string(TlsErrorText(kTlsConnectionBroken)) + ": " + ReasonOfLastError();
            }
            OpenSsl().ERR_clear_error();
        }
        flushOut(s, c);
        // A wire that closed in the middle of a record cut the stream short.
        // (OpenSSL may hold the part of the record it has already taken; what
        // it holds while the caller is behind is whole records, read later.)
        if (c.wireClosed && !c.tlsClosed && c.plain.size() < kMaxPlainBuffered &&
            (OpenSsl().BIO_ctrl_pending(c.wireIn) > 0 || OpenSsl().SSL_has_pending(c.ssl) == 1)) {
            c.broken = true;
            c.failure = std::string(TlsErrorText(kTlsConnectionBroken)) + ": the connection ended inside a record";
        }
        if (!c.plain.empty() && c.readArmed) {
            c.readArmed = false;
            post(s, FD_READ, 0);
        }
        maybeClose(s, c);
    }

    void maybeClose(SOCKET s, TlsConnection& c) {
        if (c.closePosted || !c.plain.empty() || !(c.wireClosed || c.tlsClosed))
            return;
        c.closePosted = true;
        post(s, FD_CLOSE, c.broken ? kTlsConnectionBroken : c.closeError);
    }

    void onPlainNotify(SOCKET s, long event, int error) {
        TlsConnection* c = find(s);
        if (c == nullptr)
            return;
        switch (event) {
            case FD_CONNECT:
                if (c->phase != TlsConnection::Phase::AwaitConnect)
                    return;
                if (error != 0) {
                    // The connection itself failed: the caller sees the wrapped layer's code.
                    post(s, FD_CONNECT, error);
                    return;
                }
                c->phase = TlsConnection::Phase::Handshake;
                offerSession(*c);
                drive(s, *c);
                break;
            case FD_READ:
                pullWire(s, *c);
                drive(s, *c);
                break;
            case FD_WRITE:
                flushOut(s, *c);
                break;
            case FD_CLOSE: {
                // Everything the peer sent before it closed is taken now.
                char chunk[kWireChunk];
                int n;
                while ((n = plain.Recv(s, chunk, sizeof chunk)) > 0) OpenSsl().BIO_write(c->wireIn, chunk, n);
                c->wireClosed = true;
                c->closeError = error;
                if (c->phase == TlsConnection::Phase::AwaitConnect) {
                    c->phase = TlsConnection::Phase::Handshake;
                }
                drive(s, *c);
                break;
            }
            default:
                break;
        }
    }

    int startTls(SOCKET s, const std::string& serverName, TlsStart when) {
        if (connections.count(s) != 0)
            return WSAEISCONN;
        auto c = std::make_unique<TlsConnection>();
        c->start = when;
        std::string why;
        if (!makeContext(why) || (c->ssl = OpenSsl().SSL_new(context)) == nullptr) {
            if (why.empty())
                why = ReasonOfLastError();
            c->failure = std::string(TlsErrorText(kTlsNotAvailable)) + ": " + why;
            failedStarts[s] = c->failure;
            return kTlsNotAvailable;
        }
        OpenSsl().SSL_set_ex_data(c->ssl, 0, c.get());
        c->wireIn = OpenSsl().BIO_new(OpenSsl().BIO_s_mem());
        c->wireOut = OpenSsl().BIO_new(OpenSsl().BIO_s_mem());
        OpenSsl().SSL_set_bio(c->ssl, c->wireIn, c->wireOut);
        OpenSsl().SSL_set_connect_state(c->ssl);
        const auto port = ports.find(s);
        c->server.first = LowerCase(serverName);
        judgeBy(*c, port != ports.end() ? port->second : 0);
        in_addr literal{};
        in6_addr literal6{};
        if (inet_pton(AF_INET, serverName.c_str(), &literal) == 1 ||
            inet_pton(AF_INET6, serverName.c_str(), &literal6) == 1) {
            // An address is checked against the certificate's IP entries; SNI carries names only.
            OpenSsl().X509_VERIFY_PARAM_set1_ip_asc(OpenSsl().SSL_get0_param(c->ssl), serverName.c_str());
        } else {
            // RFC 9525: only subjectAltName entries name the host, never the subject CN.
            OpenSsl().SSL_set_hostflags(c->ssl,
                                        X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
            OpenSsl().SSL_set1_host(c->ssl, serverName.c_str());
            OpenSsl().SSL_ctrl(c->ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                               const_cast<char*>(serverName.c_str()));
        }
        failedStarts.erase(s);
        TlsConnection& ref = *c;
        connections[s] = std::move(c);
        const Selection& sel = selections[s];
        plain.AsyncSelect(s, window.handle(), kPlainNotify, sel.events != 0 ? FD_ALL_EVENTS : 0);
        if (when == TlsStart::Now) {
            ref.phase = TlsConnection::Phase::Handshake;
            offerSession(ref);
            // Whatever already waits on the wire arrived in clear before the
            // handshake: it goes to OpenSSL, which refuses it, rather than to
            // the caller. Taking it also re-arms the wrapped layer's FD_READ.
            pullWire(s, ref);
            drive(s, ref);
        }
        return 0;
    }

    // Why StartTls could not even begin, per socket, for TlsFailure.
    std::map<SOCKET, std::string> failedStarts;
};

TlsSockets::TlsSockets(SocketApi& plain) : impl_(std::make_unique<Impl>(plain)) {}
TlsSockets::~TlsSockets() = default;

bool TlsSockets::Startup() {
    return impl_->plain.Startup();
}

void TlsSockets::Cleanup() {
    impl_->plain.Cleanup();
}

SOCKET TlsSockets::CreateStreamSocket() {
    const SOCKET s = impl_->plain.CreateStreamSocket();
    return impl_->passOn(s, s == INVALID_SOCKET);
}

int TlsSockets::SetLinger(SOCKET s, bool on, std::uint16_t seconds) {
    const int r = impl_->plain.SetLinger(s, on, seconds);
    return impl_->passOn(r, r != 0);
}

int TlsSockets::AsyncSelect(SOCKET s, HWND window, UINT msg, long events) {
    Impl& d = *impl_;
    if (d.connections.count(s) == 0) {
        const int r = d.plain.AsyncSelect(s, window, msg, events);
        if (r != 0) {
            d.lastError = d.plain.LastError();
            return r;
        }
        d.selections[s] = Selection{window, msg, events & FD_ALL_EVENTS};
        return 0;
    }
    d.selections[s] = Selection{window, msg, events & FD_ALL_EVENTS};
    const int r = d.plain.AsyncSelect(s, d.window.handle(), kPlainNotify, events != 0 ? FD_ALL_EVENTS : 0);
    return d.passOn(r, r != 0);
}

int TlsSockets::Connect(SOCKET s, const SockAddrIn& address) {
    impl_->notePort(s, address.port);
    const int r = impl_->plain.Connect(s, address);
    return impl_->passOn(r, r != 0);
}

int TlsSockets::ConnectRace(SOCKET s, const std::vector<IpAddress>& addresses, std::uint16_t port) {
    impl_->notePort(s, port);
    const int r = impl_->plain.ConnectRace(s, addresses, port);
    return impl_->passOn(r, r != 0);
}

int TlsSockets::Send(SOCKET s, const char* data, int len) {
    Impl& d = *impl_;
    TlsConnection* c = d.find(s);
    if (c == nullptr) {
        const int r = d.plain.Send(s, data, len);
        return d.passOn(r, r == SOCKET_ERROR);
    }
    if (len < 0)
        return d.fail(WSAEINVAL);
    if (c->phase != TlsConnection::Phase::Open)
        return d.fail(WSAENOTCONN);
    if (c->broken)
        return d.fail(kTlsConnectionBroken);
    if (c->wireClosed || c->tlsClosed)
        return d.fail(WSAESHUTDOWN);
    if (!c->out.empty()) {
        c->writeWanted = true;
        return d.fail(WSAEWOULDBLOCK);
    }
    if (len == 0)
        return 0;
    OpenSsl().ERR_clear_error();
    const int n = OpenSsl().SSL_write(c->ssl, data, len);
    if (n <= 0) {
        const int error = OpenSsl().SSL_get_error(c->ssl, n);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            // A renegotiation the server asked for is under way: the write
            // goes out once it is done, announced by FD_WRITE when the
            // server's next bytes have moved it on (not at once, which would
            // only bring the caller straight back here).
            OpenSsl().ERR_clear_error();
            c->writeWanted = false;
            d.flushOut(s, *c);
            c->writeWanted = true;
            return d.fail(WSAEWOULDBLOCK);
        }
        d.flushOut(s, *c);
        if (error == SSL_ERROR_SSL) {
            c->broken = true;
            c->tlsClosed = true;
            c->failure = std::string(TlsErrorText(kTlsConnectionBroken)) + ": " + ReasonOfLastError();
            OpenSsl().ERR_clear_error();
            d.maybeClose(s, *c);
            return d.fail(kTlsConnectionBroken);
        }
        OpenSsl().ERR_clear_error();
        return d.fail(WSAESHUTDOWN);
    }
    d.flushOut(s, *c);
    return n;
}

int TlsSockets::Recv(SOCKET s, char* data, int len) {
    Impl& d = *impl_;
    TlsConnection* c = d.find(s);
    if (c == nullptr) {
        const int r = d.plain.Recv(s, data, len);
        return d.passOn(r, r == SOCKET_ERROR);
    }
    if (len < 0)
        return d.fail(WSAEINVAL);
    if (c->phase != TlsConnection::Phase::Open)
        return c->wireClosed ? 0 : d.fail(WSAENOTCONN);
    if (c->plain.empty()) {
        c->readArmed = true;
        if (c->wireClosed || c->tlsClosed) {
            d.maybeClose(s, *c);
            return 0;
        }
        return d.fail(WSAEWOULDBLOCK);
    }
    const std::size_t n = std::min(c->plain.size(), static_cast<std::size_t>(len));
    std::copy_n(c->plain.data(), n, data);
    c->plain.erase(0, n);
    // As on the wrapped layer: receiving re-arms FD_READ, and data left over are announced again.
    c->readArmed = true;
    if (c->wirePaused && c->plain.size() < kMaxPlainBuffered) {
        c->wirePaused = false;
        d.pullWire(s, *c);
        d.drive(s, *c);
    } else if (!c->plain.empty()) {
        c->readArmed = false;
        d.post(s, FD_READ, 0);
    } else {
        d.maybeClose(s, *c);
    }
    return static_cast<int>(n);
}

int TlsSockets::CloseSocket(SOCKET s) {
    Impl& d = *impl_;
    auto it = d.connections.find(s);
    if (it != d.connections.end()) {
        TlsConnection& c = *it->second;
        if (c.phase == TlsConnection::Phase::Open && !c.wireClosed) {
            // close_notify, as far as the wire takes it now; the close does not wait for it.
            OpenSsl().ERR_clear_error();
            OpenSsl().SSL_shutdown(c.ssl);
            OpenSsl().ERR_clear_error();
            d.flushOut(s, c);
        }
        d.connections.erase(it);
    }
    d.selections.erase(s);
    d.failedStarts.erase(s);
    d.ports.erase(s);
    const int r = d.plain.CloseSocket(s);
    return d.passOn(r, r != 0);
}

int TlsSockets::LastError() const {
    return impl_->lastError;
}

std::uint32_t TlsSockets::InetAddr(const std::string& text) {
    return impl_->plain.InetAddr(text);
}

LookupHandle TlsSockets::AsyncGetHostByName(HWND window, UINT msg, const std::string& name,
                                            std::shared_ptr<HostEntry> result) {
    const LookupHandle h = impl_->plain.AsyncGetHostByName(window, msg, name, std::move(result));
    return impl_->passOn(h, h == 0);
}

int TlsSockets::CancelAsyncRequest(LookupHandle handle) {
    const int r = impl_->plain.CancelAsyncRequest(handle);
    return impl_->passOn(r, r != 0);
}

int TlsSockets::StartTls(SOCKET s, const std::string& serverName, TlsStart when) {
    return impl_->startTls(s, serverName, when);
}

bool TlsSockets::TlsEstablished(SOCKET s) const {
    const TlsConnection* c = impl_->find(s);
    return c != nullptr && c->phase == TlsConnection::Phase::Open && !c->broken;
}

bool TlsSockets::TlsHandshaking(SOCKET s) const {
    const TlsConnection* c = impl_->find(s);
    return c != nullptr && c->phase == TlsConnection::Phase::Handshake;
}

bool TlsSockets::PinCertificate(const std::string& serverName, int port, const std::string& fingerprint) {
    const std::optional<std::string> canonical = CanonicalFingerprint(fingerprint);
    if (!canonical)
        return false;
    impl_->pins[ServerKey(LowerCase(serverName), port)] = *canonical;
    return true;
}

void TlsSockets::ClearPins() {
    impl_->pins.clear();
}

std::optional<CertificateSeen> TlsSockets::LastCertificate(const std::string& serverName, int port) const {
    const auto it = impl_->seen.find(ServerKey(LowerCase(serverName), port));
    if (it == impl_->seen.end())
        return std::nullopt;
    CertificateSeen seen = it->second.verdict;
    seen.certificate = DetailsOf(it->second.certificate.get());
    return seen;
}

void TlsSockets::SetInspectionOnly(bool on) {
    impl_->inspectionOnly = on;
}

void TlsSockets::SetResumption(bool on) {
    impl_->resumption = on;
    if (!on) {
        for (auto& kept : impl_->sessions) OpenSsl().SSL_SESSION_free(kept.second.session);
        impl_->sessions.clear();
    }
}

int TlsSockets::ResumedHandshakes() const {
    return impl_->resumed;
}

std::string TlsSockets::TlsFailure(SOCKET s) const {
    if (const TlsConnection* c = impl_->find(s))
        return c->failure;
    auto it = impl_->failedStarts.find(s);
    return it == impl_->failedStarts.end() ? std::string() : it->second;
}

}  // namespace platform
