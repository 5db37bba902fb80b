// postwren-check's certificate options: showing the server's certificate
// without logging on, and trusting one by its fingerprint for a check.
#pragma once

#include <optional>
#include <string>

#include "core/text.h"

namespace platform {
class Clock;
class TlsSockets;
}  // namespace platform

// Connects to the server field's address (TLS from the first byte, or the
// greeting and STLS first), completes the handshake whatever certificate the
// server shows, and closes without logging on. Returns the certificate as
// lines to print: subject, issuer, validity, SHA-256 fingerprint and what
// verification said. Raises EServerAddressError for a plain address (usage),
// and what the session raises when no handshake gets that far.
std::string ShowServerCertificate(const AnsiString& server, int defaultPort, int timeoutMs,
                                  const platform::Clock& clock);

// Hands `sockets` the one certificate trusted for the server field's host
// and port: `fingerprint` when given (already checked), otherwise the pin
// the program stored for that server, if any. Raises EServerAddressError
// when a fingerprint is given for a plain address.
void TrustCertificateForCheck(platform::TlsSockets& sockets, const AnsiString& server, int defaultPort,
                              const std::optional<std::string>& fingerprint);
