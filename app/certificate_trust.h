// The program's side of certificates trusted by their fingerprint: the pin
// stored for the server goes to the TLS layer before each check, and after a
// check that failed on a certificate a pin could cure, the user is asked
// whether to trust it for this server.
#pragma once

#include <optional>

#include "core/text.h"

class MessageBoxService;
namespace platform {
class Hive;
class TlsSockets;
struct CertificateSeen;
}  // namespace platform

// The box's text for what the last handshake with `server` ("host:port")
// showed, or nothing when no pin could cure it: an untrusted chain
// (self-signed, unknown issuer) asks whether to trust the certificate; a
// pinned certificate that changed names both fingerprints and asks whether to
// trust the new one. An expired or wrong-name certificate that chains to the
// trust store asks nothing. CP932.
std::optional<AnsiString> TrustQuestion(const platform::CertificateSeen& seen, const AnsiString& server);

// GUI thread only. Works on the services it is handed, which must outlive it.
class CertificateTrust {
public:
    CertificateTrust(platform::TlsSockets& tls, platform::Hive& hive, MessageBoxService& box);

    // Hands the TLS layer the pin stored for the server field's host and
    // port (none for a plain address, a field that cannot be read, or a
    // store without one). Raises nothing.
    void ApplyStoredPin(const AnsiString& serverField, int defaultPort);
    // After a failed check of the server field: asks TrustQuestion's
    // question when there is one. Yes stores the pin for the host and port,
    // hands it to the TLS layer and returns true (check again); No, no
    // question, or a pin that cannot be stored return false. Raises nothing.
    bool OfferTrust(const AnsiString& serverField, int defaultPort);

private:
    platform::TlsSockets& tls_;
    platform::Hive& hive_;
    MessageBoxService& box_;
};
