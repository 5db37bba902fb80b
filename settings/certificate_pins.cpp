#include "settings/certificate_pins.h"

#include <algorithm>
#include <cctype>

#include "core/registry.h"

AnsiString CertificatePinName(const AnsiString& host, int port) {
    AnsiString name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.find(':') != AnsiString::npos)
        name = "[" + name + "]";
    return name + ":" + std::to_string(port);
}

AnsiString LoadCertificatePin(TRegistry& registry, const AnsiString& host, int port) {
    const AnsiString name = CertificatePinName(host, port);
    AnsiString pin;
    registry.SetAccess(KEY_QUERY_VALUE);
    try {
        if (registry.OpenKeySnapshot(kCertificatePinsKeyPath) && registry.ValueExists(name))
            pin = registry.ReadString(name);
    } catch (const ERegistryException&) {
        // A value of the wrong type trusts nothing.
        pin.clear();
    }
    registry.CloseKey();
    registry.SetAccess(KEY_ALL_ACCESS);
    return pin;
}

bool SaveCertificatePin(TRegistry& registry, const AnsiString& host, int port, const AnsiString& fingerprint) {
    TRegistryValues values;
    values.WriteString(CertificatePinName(host, port), fingerprint);
    registry.SetAccess(KEY_ALL_ACCESS);
    const bool written = registry.WriteValues(kCertificatePinsKeyPath, values);
    registry.CloseKey();
    return written;
}
