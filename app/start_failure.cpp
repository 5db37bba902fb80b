#include "app/start_failure.h"

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstring>

#include "core/log.h"
#include "core/text.h"

namespace {

QtMessageHandler previousHandler = nullptr;

void endStartOnFatal(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type != QtFatalMsg) {
        if (previousHandler != nullptr)
            previousHandler(type, context, message);
        else
            platform::WriteStandardError(qFormatLogMessage(type, context, message).toStdString());
        return;
    }
    // Qt's own text goes on about reinstalling; its first sentence says what
    // failed. Qt's warnings before it name the display.
    QString what = message.section(QLatin1Char('\n'), 0, 0).trimmed();
    what = what.section(QLatin1String(". "), 0, 0);
    if (what.endsWith(QLatin1Char('.')))
        what.chop(1);
    platform::WriteStandardError("postwren: cannot start: the display cannot be opened (" + what.toStdString() + ")");
    // Qt aborts once this returns; nothing of the start is worth tearing down.
    ::_exit(kStartFailedStatus);
}

bool platformNamed(int argc, char** argv) {
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return true;
    for (int i = 1; i < argc; ++i) {
        // Qt takes its options with one dash or two.
        const char* arg = std::strncmp(argv[i], "--", 2) == 0 ? argv[i] + 1 : argv[i];
        if (std::strcmp(arg, "-platform") == 0 || std::strncmp(arg, "-platform=", 10) == 0)
            return true;
    }
    return false;
}

}  // namespace

void ReportStartFailure(const std::string& cp932Why) {
    // Before the services exist, or after they failed: no log to go through.
    platform::WriteStandardError("postwren: cannot start: " + Cp932ToUtf8(EscapeControls(cp932Why)));
}

std::string MissingDisplay(int argc, char** argv) {
    if (platformNamed(argc, argv) || !qEnvironmentVariableIsEmpty("DISPLAY") ||
        !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        return {};
    return "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)";
}

FatalMessagesEndTheStart::FatalMessagesEndTheStart() {
    previousHandler = qInstallMessageHandler(endStartOnFatal);
}

FatalMessagesEndTheStart::~FatalMessagesEndTheStart() {
    qInstallMessageHandler(previousHandler);
    previousHandler = nullptr;
}
