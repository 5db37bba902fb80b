// Postwren: a resident POP3 mail checker that lives in the notification area.
// It takes no command line; everything it needs is in its stored settings.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "app/config_form.h"
#include "app/main_form.h"
#include "app/services.h"
#include "framework/application.h"
#include "framework/dialogs.h"
#include "framework/exception.h"
#include "framework/imagelist.h"
#include "framework/streams.h"
#include "platform/clock.h"
#include "platform/hive_file.h"
#include "platform/notifier.h"
#include "platform/shell.h"
#include "platform/socket.h"
#include "platform/tray_service.h"
#include "resources/resources.h"

namespace {

constexpr int kExitStatus = 0;
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
    QApplication qapp(argc, argv);
    // A resident program: hiding its last window must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    // Every service the program works with, made here and nowhere else. They
    // are made before the application object, so they outlive the forms it
    // owns, and go before the QApplication.
    const std::unique_ptr<platform::SocketApi> sockets = platform::MakePosixSockets();
    const std::unique_ptr<platform::TrayService> tray = platform::MakeDesktopTray();
    platform::DesktopShell shell;
    platform::HiveFile hive(platform::HiveFile::DefaultPath());
    DesktopMessageBox messageBox;
    const platform::SteadyClock clock;
    platform::DesktopNotifier notifier;
    const Services services{*sockets, *tray, shell, hive, messageBox, clock, notifier};

    TApplication application;
    InstallStandardErrorBox();

    int status = kExitStatus;
    try {
        application.SetTitle("Postwren");
        loadApplicationIcon();
        // While its layout loads, the tray icon appears and asks that the
        // main form stay hidden when the loop starts.
        auto* frmMain = new TFrmMain(&application, services);
        if (application.MainForm == nullptr)
            application.MainForm = frmMain;
        new TFrmConfig(&application, services);
        application.ShowAppWindow(false);
        if (application.ShowMainForm)
            application.MainForm->ShowForm();
        status = application.Run();
    } catch (const std::exception&) {
        application.HandleException(&application);
        status = kExitStatus;
    }
    return status;
}
