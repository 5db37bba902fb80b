#include "app/sign_in_form.h"

#include "core/check_failure_kind.h"
#include "core/exception.h"
#include "desktop/shell.h"
#include "framework/label.h"
#include "framework/qtext.h"
#include "framework/stdctrls.h"
#include "session/oauth2_account.h"
#include "session/oauth2_signin.h"

namespace {

constexpr int kClientWidth = 320;
constexpr int kClientHeight = 112;

struct Place {
    int left, top, width, height;
};

constexpr Place kLblState{8, 8, 304, 40};
constexpr Place kEdAddress{8, 50, 304, 20};
constexpr Place kBtnCode{8, 80, 100, 25};
constexpr Place kBtnCancel{212, 80, 100, 25};

void place(TControl* c, const Place& p) {
    c->SetBounds(p.left, p.top, p.width, p.height);
}

}  // namespace

AnsiString SignInTitle() {
    return Sjis("Postwren サインイン");
}

AnsiString SignInBrowserText() {
    return Sjis("ブラウザでサインインしてください。\nブラウザが開かないときは、このアドレスを開いてください。");
}

AnsiString SignInCodeText(const std::string& userCode) {
    // The code is the provider's: shown as text, never taken as markup.
    return Sjis("このアドレスを開いて、コード ") + Utf8ToCp932(userCode) + Sjis(" を入力してください。");
}

AnsiString SignInStartingText() {
    return Sjis("サインインを始めています…");
}

TFrmSignIn::TFrmSignIn(TComponent* AOwner, platform::ShellService& shell) : TForm(AOwner), shell_(shell) {
    BeginLoading();
    SetName("FrmSignIn");
    SetBorderStyle(TFormBorderStyle::bsDialog);
    SetPosition(TPosition::poScreenCenter);
    SetCaption(SignInTitle());
    SetClientWidth(kClientWidth);
    SetClientHeight(kClientHeight);
    Font()->SetName(DefaultFontName());
    Font()->SetCharset(SHIFTJIS_CHARSET);
    Font()->SetHeight(-12);

    LblState = new TLabel(this);
    LblState->SetName("LblState");
    LblState->SetParent(this);
    LblState->SetAutoSize(false);
    LblState->SetWordWrap(true);
    place(LblState, kLblState);

    EdAddress = new TEdit(this);
    EdAddress->SetName("EdAddress");
    EdAddress->SetParent(this);
    place(EdAddress, kEdAddress);
    // To copy, not to change.
    EdAddress->SetReadOnly(true);
    EdAddress->SetTabOrder(0);

    auto makeButton = [this](const char* name, const Place& p, const char* caption, int tabOrder) {
        auto* button = new TButton(this);
        button->SetName(name);
        button->SetParent(this);
        place(button, p);
        button->SetCaption(Sjis(caption));
        button->SetTabOrder(tabOrder);
        return button;
    };
    BtnCode = makeButton("BtnCode", kBtnCode, "コードを使う", 1);
    BtnCode->OnClick = [this](TObject* Sender) { BtnCodeClick(Sender); };
    BtnCancel = makeButton("BtnCancel", kBtnCancel, "キャンセル", 2);
    BtnCancel->SetCancel(true);
    BtnCancel->OnClick = [this](TObject* Sender) { BtnCancelClick(Sender); };
    EndLoading();
    Handle();
}

TFrmSignIn::~TFrmSignIn() {
    if (account_ != nullptr)
        account_->CancelSignIn();
    DestroyComponents();
}

void TFrmSignIn::SignIn(OAuth2Account& account) {
    account_ = &account;
    const bool codeOffered = !account.Provider().deviceAuthorizationUrl.empty();
    OAuth2SignInOptions::Flow flow = OAuth2SignInOptions::Flow::Browser;
    // The window goes whichever way the sign-in ends.
    struct End {
        TFrmSignIn& form;
        ~End() {
            form.account_ = nullptr;
            form.ending_ = true;
            form.Hide();
            form.ending_ = false;
        }
    } end{*this};
    for (;;) {
        switchToCode_ = false;
        LblState->SetCaption(SignInStartingText());
        EdAddress->SetText("");
        BtnCode->SetVisible(codeOffered && flow == OAuth2SignInOptions::Flow::Browser);
        ShowForm();
        OAuth2SignInOptions options;
        options.flow = flow;
        options.tell = [this](const OAuth2Prompt& prompt) { ShowPrompt(prompt); };
        if (flow == OAuth2SignInOptions::Flow::Browser)
            options.openUrl = [this](const std::string& url) { openInBrowser(url); };
        try {
            account.SignIn(std::move(options));
            return;
        } catch (const ECheckFailure&) {
            if (!switchToCode_)
                throw;
        }
        flow = OAuth2SignInOptions::Flow::DeviceCode;
    }
}

void TFrmSignIn::ShowPrompt(const OAuth2Prompt& prompt) {
    LblState->SetCaption(prompt.kind == OAuth2Prompt::Kind::DeviceCode ? SignInCodeText(prompt.userCode)
                                                                       : SignInBrowserText());
    EdAddress->SetText(Utf8ToCp932(prompt.url));
}

void TFrmSignIn::openInBrowser(const std::string& url) {
    // The opener is started and left to itself; the address stays in the
    // window for a person whose browser did not come up.
    if (shell_.Open(ToQString(Utf8ToCp932(url))) <= platform::kShellOpenFailureMax)
        LblState->SetCaption(Sjis("ブラウザを開けませんでした。このアドレスをブラウザで開いてください。"));
}

void TFrmSignIn::BtnCodeClick(TObject*) {
    if (account_ == nullptr)
        return;
    switchToCode_ = true;
    account_->CancelSignIn();
}

void TFrmSignIn::BtnCancelClick(TObject*) {
    if (account_ != nullptr)
        account_->CancelSignIn();
}

void TFrmSignIn::VisibleChanged() {
    TForm::VisibleChanged();
    // Closed by the window manager while the sign-in waits: as キャンセル.
    if (!Visible() && !ending_ && account_ != nullptr)
        account_->CancelSignIn();
}
