// Postwren: a resident POP3 mail checker that lives in the notification area.
// It takes no command line; everything it needs is in its stored settings.
#include <QApplication>
#include <QByteArray>
#include <QIcon>
#include <QPixmap>
#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "app/config_form.h"
#include "app/main_form.h"
#include "app/services.h"
#include "app/single_instance.h"
#include "app/start_failure.h"
#include "core/application.h"
#include "core/clock.h"
#include "core/exception.h"
#include "core/hive_file.h"
#include "core/log.h"
#include "core/socket.h"
#include "core/streams.h"
#include "core/text.h"
#include "core/tls_socket.h"
#include "desktop/notifier.h"
#include "desktop/shell.h"
#include "desktop/tray_service.h"
#include "framework/dialogs.h"
#include "framework/imagelist.h"
#include "framework/menus.h"
#include "resources/resources.h"
#include "session/desktop_system_state.h"
#include "session/secret_service.h"

namespace {

constexpr int kExitStatus = 0;
constexpr int kNoAnswerStatus = 1;
// What a later start asks of the running program, and how long it waits.
constexpr char kCheckNowRequest[] = "check";
constexpr int kRequestTimeoutMs = 10000;
// How long the icon waits for a notification area before the user is told.
constexpr std::chrono::seconds kTrayMissingAfter{30};
constexpr const char* kIconFile = "postwren.ico";

// The program's icon for the tray and its windows. A missing icon leaves the
// framework's drawn one in place.
void loadApplicationIcon() {
    const std::optional<std::string> bytes = resources::Load(kIconFile);
    if (!bytes)
        return;
    TMemoryStream stream;
    stream.Write(bytes->data(), static_cast<std::int64_t>(bytes->size()));
    stream.SetPosition(0);
    ApplicationIcon()->LoadFromStream(stream);
    QApplication::setWindowIcon(QIcon(QPixmap::fromImage(ApplicationIcon()->Image())));
}

}  // namespace

int main(int argc, char** argv) {
    // A start that cannot go on says why and ends with a status of its own.
    if (const std::string why = MissingDisplay(argc, argv); !why.empty()) {
        ReportStartFailure(why);
        return kStartFailedStatus;
    }
    std::optional<FatalMessagesEndTheStart> fatalEndsTheStart(std::in_place);
    QApplication qapp(argc, argv);
    fatalEndsTheStart.reset();
    // Desktop integration: the name trays show, the .desktop entry, one instance.
    QCoreApplication::setApplicationName(QStringLiteral("Postwren"));
    QGuiApplication::setDesktopFileName(QStringLiteral("postwren"));
    GuardedStart guard =
        GuardStart(SingleInstance::DefaultDirs(), SingleInstance::DefaultKey(), kCheckNowRequest, kRequestTimeoutMs);
    // The clock and the log come first: everything after them says what it does through them.
    const platform::SteadyClock clock;
    platform::StandardErrorLog log(clock, "postwren");
    for (const QString& warning : guard.warnings) log.Line(warning.toStdString());
    if (guard.verdict == GuardedStart::Verdict::HandedOver)
        return kExitStatus;
    if (guard.verdict == GuardedStart::Verdict::NoAnswer) {
        log.Line("another instance holds " + guard.heldLock.toStdString() + " but does not answer");
        return kNoAnswerStatus;
    }
    // A resident program: hiding its last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Every service the program works with, made here and nowhere else. They
    // are made before the application object, so they outlive the forms it
    // owns, and go before the QApplication.
    const std::unique_ptr<platform::SocketApi> plainSockets = platform::MakePosixSockets();
    // TLS wraps the plain sockets; a bare server name passes through untouched.
    platform::TlsSockets sockets(*plainSockets);
    const std::unique_ptr<platform::TrayService> tray = platform::MakeDesktopTray();
    platform::DesktopShell shell(log);
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    DesktopMessageBox messageBox;
    platform::DesktopNotifier notifier;
    platform::SecretService secrets;
    platform::DesktopSystemState system;
    const Services services{sockets, *tray, shell, hive, messageBox, clock, notifier, secrets, system, log};

    TApplication application;
    InstallStandardErrorBox();

    int status = kExitStatus;
    try {
        application.SetTitle("Postwren");
        loadApplicationIcon();
        // Started before the panel, the icon waits for it; after a while the user is told.
        tray->SetTrayMissingHandler(kTrayMissingAfter, [&messageBox] {
            messageBox.Show(
                Sjis(
                    "通知領域が見つかりません\nパネルに通知領域 (システムトレイ) を置くと、アイコンがそこに現れます。"),
                "Postwren", MB_OK | MB_ICONERROR);
        });
        // While its layout loads, the tray icon appears and asks that the
        // main form stay hidden when the loop starts.
        auto* frmMain = new TFrmMain(&application, services);
        if (application.MainForm == nullptr)
            application.MainForm = frmMain;
        new TFrmConfig(&application, services);
        // A later start asks for "今すぐチェック".
        if (guard.instance)
            guard.instance->OnRequest = [](const QByteArray& request) {
                if (request != kCheckNowRequest || FrmMain == nullptr)
                    return;
                try {
                    FrmMain->M_ChkNow->Click();
                } catch (...) {
                    ReportHandlerException(FrmMain);
                }
            };
        application.ShowAppWindow(false);
        if (application.ShowMainForm)
            application.MainForm->ShowForm();
        status = application.Run();
    } catch (const std::exception& e) {
        // The standard error box while there is a screen to show it on, and
        // a line for whoever started the program; then a failed start's status.
        application.HandleException(&application);
        const auto* framework = dynamic_cast<const Exception*>(&e);
        ReportStartFailure(framework != nullptr ? framework->Message() : AnsiString(e.what()));
        status = kStartFailedStatus;
    }
    return status;
}
