#include "widgets/taskbar.h"

#include <cstdio>
#include <cstring>
#include <exception>

#include "core/application.h"
#include "core/message_window.h"
#include "framework/imagelist.h"
#include "framework/menus.h"

using namespace platform;

int TTaskBar::taskBarCount = 0;

namespace {

// The default window procedure: nothing the hidden window receives needs an
// answer other than 0.
LRESULT DefWindowProc(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

LPARAM packPoint(const POINT& p) {
    return MakeLong(static_cast<std::uint16_t>(static_cast<std::int16_t>(p.x)),
                    static_cast<std::uint16_t>(static_cast<std::int16_t>(p.y)));
}

}  // namespace

TTaskBar::TTaskBar(TComponent* AOwner, TrayService& tray)
    : TComponent(AOwner), FTray(&tray), FSelf(std::make_shared<TTaskBar*>(this)) {
    ++taskBarCount;
    FWindow = std::make_unique<MessageWindow>();
    FWindow->setUserSlot(this);
    FWindow->setWindowProc([this](UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        TMessage message{msg, wParam, lParam, 0};
        try {
            WindowProc(message);
        } catch (...) {
            ReportHandlerException(this);
        }
        return message.Result;
    });
    FWindowHandle = FWindow->handle();
}

TTaskBar::~TTaskBar() {
    --taskBarCount;
    Delete();
    FWindow.reset();
    FWindowHandle = 0;
    FIcon.reset();
}

void TTaskBar::Loaded() {
    TComponent::Loaded();
    if (!FIcon)
        FIcon = std::make_unique<TIcon>();
    if (IsDesigning())
        return;
    if (FAutoLoad)
        Add();
    if (Application != nullptr) {
        // The application may outlive this component; the handlers then do nothing.
        std::weak_ptr<TTaskBar*> self = FSelf;
        Application->OnMinimize = [self](TObject* Sender) {
            if (auto p = self.lock())
                (*p)->Minimize(Sender);
        };
        Application->OnRestore = [self](TObject* Sender) {
            if (auto p = self.lock())
                (*p)->Maximize(Sender);
        };
    }
}

void TTaskBar::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != TOperation::opRemove)
        return;
    if (AComponent == FPopupMenu) {
        FPopupMenu = nullptr;
        if (FActive && !IsDestroying())
            ExportMenu();
    }
    if (AComponent == FImages)
        FImages = nullptr;
}

// ---------------------------------------------------------------------------
// The icon in the tray

void TTaskBar::fillTip() {
    // The field holds 63 bytes and a NUL; a longer tip is cut between characters.
    const AnsiString tip = TruncateCp932(FText, kNotifyTipSize - 1);
    std::memset(FIconData.szTip, 0, sizeof FIconData.szTip);
    std::memcpy(FIconData.szTip, tip.data(), tip.size());
}

HICON TTaskBar::GetIconHandle() {
    if (FImageIndex != -1 && FImages != nullptr && FImageIndex < FImages->Count()) {
        // A component made in code was never loaded and has no icon object yet.
        if (!FIcon)
            FIcon = std::make_unique<TIcon>();
        FImages->GetIcon(FImageIndex, FIcon.get());
        return FIcon->Handle();
    }
    return ApplicationIcon()->Handle();
}

void TTaskBar::Add() {
    if (FActive)
        return;
    FIconData = NOTIFYICONDATAA{};
    FIconData.cbSize = NOTIFYICONDATAA_V1_SIZE;
    FIconData.hWnd = FWindowHandle;
    FIconData.uID = static_cast<UINT>(taskBarCount);
    FIconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    FIconData.uCallbackMessage = WM_TASKBARNOTIFY;
    FIconData.hIcon = GetIconHandle();
    fillTip();
    // The tray's answer is not looked at: the component counts as shown either way.
    FTray->NotifyIcon(NIM_ADD, FIconData);
    FActive = true;
    ExportMenu();
    if (!FHideMainForm)
        return;
    if (FHideTaskBar)
        Hide();
    if (Application == nullptr)
        return;
    // While the main form itself is still being made there is none yet: keep
    // it from being shown when the application starts running instead.
    if (Application->MainForm == nullptr)
        Application->ShowMainForm = false;
    else
        Application->MainForm->Hide();
}

void TTaskBar::Modify() {
    if (!FActive)
        return;
    FIconData.hIcon = GetIconHandle();
    fillTip();
    FTray->NotifyIcon(NIM_MODIFY, FIconData);
}

void TTaskBar::Delete() {
    if (!FActive)
        return;
    FTray->NotifyIcon(NIM_DELETE, FIconData);
    FActive = false;
    FExported.clear();
}

bool TTaskBar::ShowBalloon(const AnsiString& Title, const AnsiString& Text) {
    if (!FActive)
        return false;
    return FTray->ShowMessage(FWindowHandle, FIconData.uID, Title, Text);
}

void TTaskBar::ExportMenu() {
    if (!FActive)
        return;
    FExported.clear();
    std::vector<TrayMenuEntry> entries;
    if (FPopupMenu != nullptr) {
        TMenuItem* root = FPopupMenu->Items();
        for (int i = 0; i < root->Count(); ++i) {
            TMenuItem* item = root->Items(i);
            if (!item->Visible())
                continue;
            FExported.push_back(item);
            TrayMenuEntry entry;
            entry.caption = item->Caption();
            entry.command = static_cast<UINT>(FExported.size());
            entry.isDefault = item->Default();
            entry.enabled = item->Enabled();
            entries.push_back(std::move(entry));
        }
    }
    FTray->SetIconMenu(FWindowHandle, FIconData.uID, entries);
}

void TTaskBar::Hide() {
    if (Application != nullptr)
        Application->ShowAppWindow(false);
}

void TTaskBar::Show() {
    if (Application != nullptr)
        Application->ShowAppWindow(true);
}

void TTaskBar::Minimize(TObject*) {
    if (FHideTaskBar)
        Hide();
}

void TTaskBar::Maximize(TObject*) {
    if (FHideTaskBar)
        Show();
}

// ---------------------------------------------------------------------------
// Properties. Refreshes go through the hidden window: the tray sees a change
// only after the current message has been handled, once per setter call.

void TTaskBar::SetTip(const AnsiString& Value) {
    FText = Value;
    if (FActive)
        PostMessage(FWindowHandle, WM_TASKBARMODIFY, 0, 0);
}

void TTaskBar::SetImageIndex(int Value) {
    FImageIndex = Value < 0 ? -1 : Value;
    if (FActive)
        PostMessage(FWindowHandle, WM_TASKBARMODIFY, 0, 0);
}

void TTaskBar::SetImages(TImageList* Value) {
    if (FImages != nullptr && FImages != Value)
        RemoveFreeNotification(FImages);
    FImages = Value;
    if (Value == nullptr)
        return;
    // Told when the list is destroyed, so a dead list is never read.
    FreeNotification(Value);
    if (!IsDesigning())
        PostMessage(FWindowHandle, WM_TASKBARMODIFY, 0, 0);
}

void TTaskBar::SetHideMainForm(bool Value) {
    FHideMainForm = Value;
    if (Value && !FAutoLoad)
        SetAutoLoad(true);
}

void TTaskBar::SetAutoLoad(bool Value) {
    FAutoLoad = Value;
    if (!Value)
        FHideMainForm = false;
}

void TTaskBar::SetPopupMenu(TPopupMenu* Value) {
    if (FPopupMenu != nullptr && FPopupMenu != Value)
        RemoveFreeNotification(FPopupMenu);
    FPopupMenu = Value;
    if (Value != nullptr)
        FreeNotification(Value);
    ExportMenu();
}

// ---------------------------------------------------------------------------
// Messages

void TTaskBar::WindowProc(TMessage& Message) {
    Message.Result = 0;
    if (Message.Msg == WM_TASKBARNOTIFY) {
        // The position is taken now and the mouse message handled later, from
        // the queue, like any mouse message of the window.
        const POINT cursor = FTray->CursorPos();
        switch (Message.LParam) {
            case WM_LBUTTONDOWN:
            case WM_LBUTTONDBLCLK:
            case WM_RBUTTONDOWN:
            case NIN_SELECT:
                PostMessage(FWindowHandle, static_cast<UINT>(Message.LParam), 0, packPoint(cursor));
                break;
            default:
                break;
        }
        return;
    }
    if (Message.Msg == WM_TASKBARMODIFY) {
        Modify();
        return;
    }
    if (Message.Msg == WM_COMMAND) {
        WMCommand(Message);
        return;
    }
    Dispatch(Message);
    if (Message.Result == 0)
        Message.Result = DefWindowProc(FWindowHandle, Message.Msg, Message.WParam, Message.LParam);
}

void TTaskBar::Dispatch(TMessage& Message) {
    TWMMouse mouse;
    mouse.Msg = Message.Msg;
    mouse.Keys = static_cast<std::int32_t>(Message.WParam);
    mouse.XPos = static_cast<std::int16_t>(LoWord(Message.LParam));
    mouse.YPos = static_cast<std::int16_t>(HiWord(Message.LParam));
    switch (Message.Msg) {
        case WM_LBUTTONDOWN:
            WMLButtonDown(mouse);
            break;
        case WM_LBUTTONDBLCLK:
            WMLButtonDblClk(mouse);
            break;
        case WM_RBUTTONDOWN:
            WMRButtonDown(mouse);
            break;
        case NIN_SELECT:
            WMSelect(mouse);
            break;
        default:
            return;  // nothing else is handled here
    }
    Message.Result = mouse.Result;
}

void TTaskBar::DoMouseDown(const TWMMouse& Message, TMouseButton Button, TShiftState Shift) {
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, Message.XPos, Message.YPos);
}

void TTaskBar::WMLButtonDown(TWMMouse& Message) {
    DoMouseDown(Message, TMouseButton::mbLeft, 0);
    if (OnClick)
        OnClick(this);
    Message.Result = 1;
}

void TTaskBar::WMRButtonDown(TWMMouse& Message) {
    DoMouseDown(Message, TMouseButton::mbRight, 0);
    CheckMenuPopup(TSmallPoint{Message.XPos, Message.YPos});
    Message.Result = 1;
}

void TTaskBar::CheckMenuPopup(TSmallPoint Pos) {
    if (IsDesigning())
        return;
    if (FPopupMenu == nullptr || !FPopupMenu->AutoPopup())
        return;
    FPopupMenu->SetPopupComponent(this);
    // The hidden window sits at the screen origin, so its client coordinates
    // are screen coordinates already.
    const TPoint at{Pos.x, Pos.y};
    FPopupMenu->Popup(at.X, at.Y);
}

void TTaskBar::WMLButtonDblClk(TWMMouse& Message) {
    DoMouseDown(Message, TMouseButton::mbLeft, 0);
    if (OnDblClick)
        OnDblClick(this);
    runDefault(Message);
}

void TTaskBar::WMSelect(TWMMouse& Message) {
    runDefault(Message);
}

void TTaskBar::WMCommand(TMessage& Message) {
    const std::size_t command = static_cast<std::size_t>(Message.WParam);
    if (command == 0 || command > FExported.size() || FPopupMenu == nullptr)
        return;
    // The item may have left the menu (or been freed with it) since it was
    // handed to the tray: only an item still in the menu is run.
    TMenuItem* item = FExported[command - 1];
    if (FPopupMenu->Items()->IndexOf(item) < 0)
        return;
    item->Click();
    Message.Result = 1;
}

void TTaskBar::runDefault(
    TWMMouse& Message) {  // A failing command must not keep the main form from being restored below;
    // its exception goes on to the message loop afterwards.
    std::exception_ptr failure;
    try {
        if (FPopupMenu != nullptr && GetDefaultMenuItem(FPopupMenu->Items()) != nullptr) {
            if (Application != nullptr)
                Application->ProcessMessages();
            // What was pending may have destroyed the menu or changed its
            // items, so the command is looked up again rather than kept.
            TMenuItem* item = FPopupMenu != nullptr ? GetDefaultMenuItem(FPopupMenu->Items()) : nullptr;
            if (item != nullptr)
                item->Click();
        }
    } catch (...) {
        failure = std::current_exception();
    }
    if (!FDisableShowForm) {
        if (Application != nullptr) {
            Application->Restore();
            if (TCustomForm* form = Application->MainForm) {
                form->SetVisible(true);
                form->ShowForm();
                form->SetFocus();
            }
        }
        Message.Result = 1;
    }
    if (failure)
        std::rethrow_exception(failure);
}

TMenuItem* TTaskBar::GetDefaultMenuItem(TMenuItem* Item) {
    if (Item == nullptr)
        return nullptr;
    for (int i = 0; i < Item->Count(); ++i) {
        TMenuItem* child = Item->Items(i);
        if (child->Default())
            return child;
        if (child->Count() > 0)
            if (TMenuItem* found = GetDefaultMenuItem(child))
                return found;
    }
    return nullptr;
}
