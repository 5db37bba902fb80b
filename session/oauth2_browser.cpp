// The sign-in's browser: Qt Core alone, so a program that only opens the
// address needs no more than that.
#include <QProcess>

#include "session/oauth2_signin.h"

bool OAuth2StartBrowser(const std::string& url) {
    QProcess opener;
    opener.setProgram(QStringLiteral("xdg-open"));
    opener.setArguments({QString::fromStdString(url)});
    opener.setStandardInputFile(QProcess::nullDevice());
    opener.setStandardOutputFile(QProcess::nullDevice());
    opener.setStandardErrorFile(QProcess::nullDevice());
    return opener.startDetached();
}
