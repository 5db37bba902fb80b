#include "app/certificate_trust.h"

#include "core/registry.h"
#include "core/tls_socket.h"
#include "framework/dialogs.h"
#include "net/server_address.h"
#include "settings/certificate_pins.h"

namespace {

// The box's caption, as every box of the program has it.
constexpr char kCaption[] = "Postwren";

AnsiString Details(const platform::CertificateDetails& c) {
    return Sjis("発行先: ") + c.subject + "\n" + Sjis("発行者: ") + c.issuer + "\n" + Sjis("有効期間: ") + c.notBefore +
           Sjis(" から ") + c.notAfter + Sjis(" まで") + "\n" + "SHA-256: " + c.sha256;
}

std::optional<ServerAddress> TlsAddress(const AnsiString& serverField, int defaultPort) {
    try {
        const ServerAddress address = ParseServerAddress(serverField, defaultPort);
        if (address.security != TransportSecurity::Plain)
            return address;
    } catch (const EServerAddressError&) {
        // The check says what is wrong with the field.
    }
    return std::nullopt;
}

}  // namespace

std::optional<AnsiString> TrustQuestion(const platform::CertificateSeen& seen, const AnsiString& server) {
    using Verdict = platform::CertificateSeen::Verdict;
    if (seen.verdict == Verdict::Untrusted)
        return Sjis("サーバー ") + server + Sjis(" の証明書は信頼できる発行元につながっていません (") +
               seen.verifyError + ")\n\n" + Details(seen.certificate) + "\n\n" +
               Sjis("このサーバーについて、この証明書を信頼しますか?");
    if (seen.verdict == Verdict::PinMismatch)
        return Sjis("サーバー ") + server + Sjis(" の証明書が、信頼している証明書と違います。") + "\n" +
               Sjis("信頼している証明書: SHA-256 ") + seen.pinned + "\n" + Sjis("いまの証明書: SHA-256 ") +
               seen.certificate.sha256 + "\n\n" + Details(seen.certificate) + "\n\n" +
               Sjis("このサーバーについて、新しい証明書を信頼しますか?");
    return std::nullopt;
}

CertificateTrust::CertificateTrust(platform::TlsSockets& tls, platform::Hive& hive, MessageBoxService& box)
    : tls_(tls), hive_(hive), box_(box) {}

void CertificateTrust::ApplyStoredPin(const AnsiString& serverField, int defaultPort) {
    const std::optional<ServerAddress> address = TlsAddress(serverField, defaultPort);
    if (!address)
        return;
    TRegistry registry(hive_);
    const AnsiString pin = LoadCertificatePin(registry, address->host, address->port);
    if (!pin.empty())
        tls_.PinCertificate(address->host, address->port, pin);
}

bool CertificateTrust::OfferTrust(const AnsiString& serverField, int defaultPort) {
    const std::optional<ServerAddress> address = TlsAddress(serverField, defaultPort);
    if (!address)
        return false;
    const std::optional<platform::CertificateSeen> seen = tls_.LastCertificate(address->host, address->port);
    if (!seen)
        return false;
    const AnsiString server = HostInField(address->host) + ":" + IntToStr(address->port);
    const std::optional<AnsiString> question = TrustQuestion(*seen, server);
    if (!question || box_.Show(*question, kCaption, MB_YESNO | MB_ICONWARNING) != IDYES)
        return false;
    try {
        TRegistry registry(hive_);
        if (!SaveCertificatePin(registry, address->host, address->port, seen->certificate.sha256))
            return false;
    } catch (const ERegistryException&) {
        return false;
    }
    return tls_.PinCertificate(address->host, address->port, seen->certificate.sha256);
}
