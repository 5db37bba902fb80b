// A small program whose main form carries a tray icon set up the way the
// mail checker's main window sets up its own, for end-to-end tests on a real
// X server with a real tray.
//
//   tray_probe [--hold] [--show-form] [--artwork]
//
// Writes one line per event to standard output:
//   started show-main-form=<0|1>    the message loop is about to run
//   default-item                    "今すぐチェック" ran
//   settings                        "設定" ran
//   icon-removed                    "終了" ran and the main form, with its
//                                   tray icon, has been destroyed
// With --hold the program then waits for a line (or end of file) on standard
// input before it exits, so a test can look at the tray while it still runs.
// With --show-form a double click also brings the main form up (the tray
// icon's DisableShowForm is off). With --artwork the icon is the program's
// own, loaded as the program loads it, instead of the framework's drawn one.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/application_icon.h"
#include "core/application.h"
#include "core/text.h"
#include "desktop/tray_service.h"
#include "framework/controls.h"
#include "framework/menus.h"
#include "widgets/taskbar.h"

namespace {

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

// The window title tests look for to tell whether the main form is on screen.
constexpr const char* kMainFormCaption = "tray probe main form";

class ProbeForm : public TForm {
public:
    ProbeForm(TComponent* AOwner, platform::TrayService& tray, bool disableShowForm) : TForm(AOwner) {
        // The designed layout, loaded as a unit: the tray icon sees it whole.
        BeginLoading();
        SetCaption(kMainFormCaption);
        SetBounds(200, 200, 240, 120);

        PopupMenu1 = new TPopupMenu(this);
        M_ChkNow = AddItem("今すぐチェック", [](TObject*) { Say("default-item"); });
        M_ChkNow->SetDefault(true);
        M_Config = AddItem("設定", [](TObject*) { Say("settings"); });
        N2 = AddItem("-", nullptr);
        M_Exit = AddItem("終了", [this](TObject*) {
            exitRequested = true;
            Application->Terminate(0);
        });

        TaskBar1 = new TTaskBar(this, tray);
        TaskBar1->SetHideMainForm(true);
        TaskBar1->SetDisableShowForm(disableShowForm);
        TaskBar1->SetAutoLoad(true);
        TaskBar1->SetHideTaskBar(false);
        TaskBar1->SetTip("Postwren");
        TaskBar1->SetPopupMenu(PopupMenu1);
        EndLoading();
    }

    TPopupMenu* PopupMenu1;
    TMenuItem* M_ChkNow;
    TMenuItem* M_Config;
    TMenuItem* N2;
    TMenuItem* M_Exit;
    TTaskBar* TaskBar1;
    bool exitRequested = false;

private:
    TMenuItem* AddItem(const char* caption, TNotifyEvent onClick) {
        auto* item = new TMenuItem(this);
        item->SetCaption(Sjis(caption));
        item->OnClick = std::move(onClick);
        PopupMenu1->Items()->Add(item);
        return item;
    }
};

}  // namespace

int main(int argc, char** argv) {
    bool hold = false, showForm = false, artwork = false;
    for (int i = 1; i < argc; ++i) {
        hold = hold || std::strcmp(argv[i], "--hold") == 0;
        showForm = showForm || std::strcmp(argv[i], "--show-form") == 0;
        artwork = artwork || std::strcmp(argv[i], "--artwork") == 0;
    }
    QApplication qapp(argc, argv);
    if (artwork)
        LoadApplicationIcon();
    // A resident tray program: closing a window never ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    // The desktop's tray, as the program makes it: before the application
    // object, so it outlives the form and its icon.
    const std::unique_ptr<platform::TrayService> tray = platform::MakeDesktopTray();
    TApplication app;
    app.SetTitle("Postwren");

    // The main form becomes the application's main form only once it exists,
    // as a program's start-up registers it.
    auto* form = new ProbeForm(&app, *tray, !showForm);
    app.MainForm = form;
    if (app.ShowMainForm)
        form->Show();
    Say(app.ShowMainForm ? "started show-main-form=1" : "started show-main-form=0");

    const int code = app.Run();
    const bool exitRequested = form->exitRequested;
    app.MainForm = nullptr;
    delete form;
    // Let the destroyed icon window reach the X server before anyone looks.
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    if (exitRequested)
        Say("icon-removed");
    if (hold) {
        std::string line;
        std::getline(std::cin, line);
    }
    return code;
}
