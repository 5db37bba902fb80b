#include "net/check_failure.h"

#include "net/powersock.h"
#include "net/report_text.h"
#include "net/server_address.h"

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitNetwork = 3;
constexpr int kExitTls = 4;
constexpr int kExitTemporary = 5;
constexpr int kExitSignIn = 6;

}  // namespace

FailureKind ClassifyFailure(const std::exception& failure) {
    if (const auto* check = dynamic_cast<const ECheckFailure*>(&failure))
        return check->Kind();
    if (dynamic_cast<const EServerAddressError*>(&failure) != nullptr)
        return FailureKind::Usage;
    if (const auto* sock = dynamic_cast<const ESockError*>(&failure))
        return sock->Kind() == SockFailure::TlsFailed ? FailureKind::Tls : FailureKind::Network;
    // Every refusal a server causes comes as an ECheckFailure; anything else
    // (a stored value that cannot be read, a resource this side ran out of)
    // was no server's doing, so it is never reported as a refusal.
    return FailureKind::Usage;
}

int ExitStatusOf(FailureKind kind) {
    switch (kind) {
        case FailureKind::Temporary:
            return kExitTemporary;
        case FailureKind::Network:
            return kExitNetwork;
        case FailureKind::Tls:
            return kExitTls;
        case FailureKind::Usage:
            return kExitUsage;
        case FailureKind::SignIn:
            return kExitSignIn;
        case FailureKind::Refused:
            break;
    }
    return kExitRefused;
}

const char* KindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::Temporary:
            return "temporary";
        case FailureKind::Network:
            return "network";
        case FailureKind::Tls:
            return "tls";
        case FailureKind::Usage:
            return "usage";
        case FailureKind::SignIn:
            return "signin";
        case FailureKind::Refused:
            break;
    }
    return "refused";
}

bool OpensSettingsDialog(FailureKind kind) {
    return kind != FailureKind::Temporary;
}

FailureReport DescribeFailure(const std::exception& failure) {
    FailureReport report;
    report.kind = ClassifyFailure(failure);
    const auto* exception = dynamic_cast<const Exception*>(&failure);
    const AnsiString message = exception != nullptr ? exception->Message() : AnsiString(failure.what());
    // Every part is bounded: a reply may be as long as a line can be, and the
    // short message of a greeting or STAT refusal is that reply.
    report.message = BoundReportText(EscapeControls(message));
    report.text = report.message;
    if (const auto* check = dynamic_cast<const ECheckFailure*>(&failure)) {
        report.server = BoundReportText(EscapeControls(check->ServerReply()));
        report.advice = BoundReportText(EscapeControls(check->Advice()));
        // A greeting or STAT refusal is its reply line already.
        if (!report.server.empty() && report.server != report.text)
            report.text += " (server: " + report.server + ")";
    }
    return report;
}
