// The application object: title, main form, idle event, message processing and
// the standard exception handler. One instance per process, made by main() or
// by a test's environment; the global Application points at it.
#pragma once

#include <functional>
#include <string>

#include "core/component.h"
#include "core/events.h"

class Exception;
class TForm;

class TApplication : public TComponent {
public:
    explicit TApplication(TComponent* AOwner = nullptr);
    ~TApplication() override;
    const char* ClassName() const override { return "TApplication"; }

    // The application title (CP932). The popup's taskbar entry and the
    // standard error box show it.
    const std::string& Title() const { return title_; }
    void SetTitle(const std::string& title);

    // Processes every message that is pending now, without waiting.
    void ProcessMessages();

    // Call from inside a catch block: reports the exception in flight through
    // OnException, or ShowException when none is assigned. Exceptions of
    // other kinds are reported with a generic text.
    void HandleException(TObject* Sender);
    // Shows the standard error box (with a display) or writes the message to
    // standard error (without one), through ShowExceptionHook.
    void ShowException(const Exception& E);

    // Runs the message loop until Terminate(); returns the exit code.
    int Run();
    void Terminate(int exitCode = 0);

    std::function<void(TObject* Sender, const Exception& E)> OnException;
    // Replaces the default report of ShowException (GUI programs install the error box).
    std::function<void(const Exception& E)> ShowExceptionHook;
    // Fired when Title changes (the GUI layer mirrors it on the popup's window).
    std::function<void()> OnTitleChange;

    // The idle event: runs when the message loop has nothing to do. Done = true
    // (the default) waits for the next message before asking again.
    using TIdleEvent = std::function<void(TObject* Sender, bool& Done)>;
    const TIdleEvent& OnIdle() const { return onIdle_; }
    void SetOnIdle(TIdleEvent handler);

    // Minimise and restore notifications, and the two operations.
    TNotifyEvent OnMinimize;
    TNotifyEvent OnRestore;
    void Minimize();
    void Restore();
    bool Minimized() const { return minimized_; }

    // The main form: the first form created as the main form. Null until then.
    TForm* MainForm = nullptr;
    // Cleared by a component that keeps the main form hidden at start.
    bool ShowMainForm = true;

    // The application window: its visibility governs the taskbar entry, its text
    // is Title. SW_HIDE / SW_SHOW from ShowWindow land here.
    bool AppWindowVisible() const { return appWindowVisible_; }
    void ShowAppWindow(bool visible);

private:
    void scheduleIdle();

    std::string title_;
    TIdleEvent onIdle_;
    bool idleScheduled_ = false;
    bool minimized_ = false;
    bool appWindowVisible_ = true;
};

// The process's application object, or null outside one.
extern TApplication* Application;

// Call inside a catch block: reports the exception in flight the way the
// message loop reports any handler's, through Application->HandleException,
// or on standard error when there is no application object. Never throws, so
// nothing escapes into Qt's event loop.
void ReportHandlerException(TObject* Sender) noexcept;
