// TTaskBar: the application's icon in the desktop's notification area, with a
// tip, a right-click popup menu and the menu's default command on a double click.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/component.h"
#include "core/messages.h"
#include "core/text.h"
#include "desktop/tray_service.h"
#include "framework/controls.h"

class TIcon;
class TImageList;
class TMenuItem;
class TPopupMenu;
namespace platform {
class MessageWindow;
}

// Messages of the component's own hidden window.
constexpr platform::UINT WM_TASKBARNOTIFY = platform::WM_USER + 100;  // the tray's mouse callback
constexpr platform::UINT WM_TASKBARMODIFY = platform::WM_USER + 101;  // deferred refresh of icon and tip

// A window message as the window procedure sees it.
struct TMessage {
    platform::UINT Msg = 0;
    platform::WPARAM WParam = 0;
    platform::LPARAM LParam = 0;
    platform::LRESULT Result = 0;
};

// A mouse message: the position is packed in lParam as two signed 16-bit halves.
struct TWMMouse {
    platform::UINT Msg = 0;
    std::int32_t Keys = 0;
    std::int16_t XPos = 0;
    std::int16_t YPos = 0;
    platform::LRESULT Result = 0;
};

struct TSmallPoint {
    std::int16_t x = 0;
    std::int16_t y = 0;
};

// The tray icon. Shows the application's icon (or an image-list entry) with
// the tip Text; a right press pops up PopupMenu at the cursor, a left double
// click runs the menu's default item. Trays that show menus themselves get
// PopupMenu's top-level items instead (its commands come back through the
// hidden window), and their one-click activation runs the default item too. Mouse activity and property changes are
// handled one message-loop turn later, through the component's hidden window.
// The menu and image list are not owned; the component forgets them when they
// are destroyed. GUI thread only.
class TTaskBar : public TComponent {
public:
    // tray: the notification area to use; not owned, must outlive the component.
    TTaskBar(TComponent* AOwner, platform::TrayService& tray);
    // Removes the icon from the tray if it is shown.
    ~TTaskBar() override;
    const char* ClassName() const override { return "TTaskBar"; }

    // Puts the icon into the tray (nothing while it is shown); with
    // HideMainForm, hides the main form or keeps it from showing at start.
    void Add();
    // Pushes the current icon and tip to the tray (nothing unless shown).
    void Modify();
    // Takes the icon out of the tray (nothing unless shown).
    void Delete();
    // A passing desktop notification from the icon (CP932 texts). False
    // unless the icon is shown in a tray.
    bool ShowBalloon(const AnsiString& Title, const AnsiString& Text);
    // Hands PopupMenu's current top-level items to the tray again (Add and
    // SetPopupMenu do it; call after changing the items while shown).
    void ExportMenu();
    // Hide / show the application window, and with it its taskbar entry.
    void Hide();
    void Show();

    bool HideMainForm() const { return FHideMainForm; }
    void SetHideMainForm(bool Value);
    bool HideTaskBar() const { return FHideTaskBar; }
    void SetHideTaskBar(bool Value) { FHideTaskBar = Value; }
    bool DisableShowForm() const { return FDisableShowForm; }
    void SetDisableShowForm(bool Value) { FDisableShowForm = Value; }
    TImageList* Images() const { return FImages; }
    void SetImages(TImageList* Value);
    int ImageIndex() const { return FImageIndex; }
    void SetImageIndex(int Value);
    bool AutoLoad() const { return FAutoLoad; }
    void SetAutoLoad(bool Value);
    // The tip, CP932. The tray gets at most its first 63 bytes, cut between characters.
    const AnsiString& Text() const { return FText; }
    void SetTip(const AnsiString& Value);
    TPopupMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(TPopupMenu* Value);

    // X and Y are the cursor's screen position at the time of the activity.
    TMouseEvent OnMouseDown;
    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;

    // Installed by Loaded as the application's minimise and restore handlers.
    void Minimize(TObject* Sender);
    void Maximize(TObject* Sender);

    // How many TTaskBar objects exist right now.
    static int TaskBarCount() { return taskBarCount; }

    // State for tests and diagnostics.
    platform::HWND WindowHandle() const { return FWindowHandle; }
    bool Active() const { return FActive; }
    const platform::NOTIFYICONDATAA& IconData() const { return FIconData; }

protected:
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // The hidden window's procedure. Exceptions propagate to the caller; the
    // hidden window hands them to the application object.
    virtual void WindowProc(TMessage& Message);
    void Dispatch(TMessage& Message);
    void WMLButtonDown(TWMMouse& Message);
    void WMRButtonDown(TWMMouse& Message);
    void WMLButtonDblClk(TWMMouse& Message);
    // The tray activated the icon: runs the default item like a double click.
    void WMSelect(TWMMouse& Message);
    // An entry of the menu the tray shows was chosen.
    void WMCommand(TMessage& Message);
    void DoMouseDown(const TWMMouse& Message, TMouseButton Button, TShiftState Shift);
    void CheckMenuPopup(TSmallPoint Pos);
    // The first item flagged Default under Item, depth first; null when none.
    TMenuItem* GetDefaultMenuItem(TMenuItem* Item);
    platform::HICON GetIconHandle();

private:
    void fillTip();
    void runDefault(TWMMouse& Message);

    static int taskBarCount;

    platform::TrayService* FTray;
    std::unique_ptr<platform::MessageWindow> FWindow;
    platform::HWND FWindowHandle = 0;
    bool FActive = false;
    std::unique_ptr<TIcon> FIcon;
    platform::NOTIFYICONDATAA FIconData;

    bool FHideMainForm = false;
    bool FHideTaskBar = false;
    bool FDisableShowForm = false;
    TImageList* FImages = nullptr;
    int FImageIndex = -1;
    bool FAutoLoad = false;
    AnsiString FText;
    TPopupMenu* FPopupMenu = nullptr;
    // The items handed to the tray, by command (their index here plus one).
    std::vector<TMenuItem*> FExported;

    // Shared with the handlers installed on the application object, which
    // outlive the component there: they do nothing once it is gone.
    std::shared_ptr<TTaskBar*> FSelf;
};
