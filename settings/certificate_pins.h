// Certificates the user chose to trust by their fingerprint, one per server,
// kept in a key of their own beside the settings (whose five values they
// leave alone). No GUI: the program and postwren-check share it.
#pragma once

#include "core/text.h"

class TRegistry;

// The key of the pins, taken from the root of HKEY_CURRENT_USER. Each value
// is named after one server (CertificatePinName) and holds the SHA-256
// fingerprint of the one certificate trusted for it, as REG_SZ text in the
// form openssl x509 -fingerprint -sha256 prints ("AB:CD:...:EF").
inline constexpr const char* kCertificatePinsKeyPath = "\\Software\\Brindlework\\Postwrn\\TrustedCertificates";

// "host:port" in lower case, an IPv6 address in brackets: "pop.example.test:995",
// "[::1]:995".
AnsiString CertificatePinName(const AnsiString& host, int port);

// The fingerprint stored for host and port; empty when none is stored or it
// cannot be read (strict verification applies then). Raises nothing.
AnsiString LoadCertificatePin(TRegistry& registry, const AnsiString& host, int port);

// Stores `fingerprint` for host and port, in place of one stored before, in
// one change of the store. False when the key cannot be opened or created;
// raises ERegistryException when the value cannot be written.
bool SaveCertificatePin(TRegistry& registry, const AnsiString& host, int port, const AnsiString& fingerprint);
