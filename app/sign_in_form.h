// The sign-in window: what a sign-in with the mail provider waits for (the
// browser, or a code entered on another device), the address to copy, and
// the way out.
#pragma once

#include <string>

#include "core/text.h"
#include "framework/controls.h"

class OAuth2Account;
struct OAuth2Prompt;
class TButton;
class TEdit;
class TLabel;
namespace platform {
class ShellService;
}

// The window's title, which the desktop's task list shows.
AnsiString SignInTitle();
// What the window says while the person signs in: in the browser (the
// address is in the edit below it), or with `userCode` entered at the
// address; and, before the provider has answered, that the sign-in starts.
AnsiString SignInBrowserText();
AnsiString SignInCodeText(const std::string& userCode);
AnsiString SignInStartingText();

// Shown for the length of one sign-in and hidden when it ends, whichever
// way. Closing the window cancels the sign-in, like キャンセル. Owned by the
// main window, which runs it; GUI thread only.
class TFrmSignIn : public TForm {
public:
    // The browser opens through `shell` (detached: the desktop's opener),
    // which must outlive the window.
    TFrmSignIn(TComponent* AOwner, platform::ShellService& shell);
    ~TFrmSignIn() override;
    const char* ClassName() const override { return "TFrmSignIn"; }

    // Designed components, all owned by the form.
    TLabel* LblState = nullptr;
    TEdit* EdAddress = nullptr;
    TButton* BtnCode = nullptr;
    TButton* BtnCancel = nullptr;

    // Signs `account` in with this window showing, first in the browser;
    // コードを使う starts it again with a device code. Returns when the
    // sign-in is stored; raises what OAuth2Account::SignIn raises (a
    // cancel is a SignIn failure). The window is hidden either way. The
    // message loop runs meanwhile (see session/oauth2_signin.h).
    void SignIn(OAuth2Account& account);
    // A sign-in runs in this window now.
    bool Running() const { return account_ != nullptr; }

    // What the provider asks the person to do.
    void ShowPrompt(const OAuth2Prompt& prompt);
    // コードを使う: the browser's sign-in ends and one with a device code starts.
    void BtnCodeClick(TObject* Sender);
    // キャンセル: the sign-in ends without one.
    void BtnCancelClick(TObject* Sender);

protected:
    void VisibleChanged() override;

private:
    void openInBrowser(const std::string& url);

    platform::ShellService& shell_;
    OAuth2Account* account_ = nullptr;
    bool switchToCode_ = false;
    // The window is being hidden by the end of the sign-in, not by the user.
    bool ending_ = false;
};
