#include "app/main_form.h"

#include <QApplication>
#include <QEvent>
#include <QMouseEvent>
#include <QObject>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <memory>
#include <optional>

#include "app/certificate_trust.h"
#include "app/check_runner.h"
#include "app/config_form.h"
#include "app/new_mail.h"
#include "app/sign_in_form.h"
#include "core/application.h"
#include "core/exception.h"
#include "core/registry.h"
#include "core/secret_store.h"
#include "core/streams.h"
#include "core/timer.h"
#include "desktop/notifier.h"
#include "desktop/shell.h"
#include "desktop/window_ops.h"
#include "framework/dialogs.h"
#include "framework/menus.h"
#include "framework/qtext.h"
#include "framework/stdctrls.h"
#include "net/check_mailbox.h"
#include "net/kxpop3.h"
#include "net/server_address.h"
#include "resources/resources.h"
#include "session/oauth2_account.h"
#include "session/oauth2_provider.h"
#include "settings/keyring_password.h"
#include "widgets/formrgn.h"
#include "widgets/shadolbl.h"
#include "widgets/taskbar.h"

TFrmMain* FrmMain = nullptr;

namespace {

// Answers of the window hit test.
constexpr int HTCLIENT = 1;
constexpr int HTCAPTION = 2;

constexpr int kPop3Port = 110;
// A check that reads headers reads as much as the server sends, line after
// line: it ends within this, as a whole, whatever the server does.
constexpr int kListingCheckBoundMs = 120000;
// How long a check may wait on the keyring, an unlock prompt included, when
// the client has no time-out of its own (TimeOut 0 waits on the network
// without end, but a prompt nobody answers must not hold the check).
constexpr std::chrono::seconds kKeyringWaitWithoutTimeOut{30};
// Bounds every keyring wait, an unlock prompt's included, while it lives;
// afterwards the keyring's own bounds hold again.
class KeyringWaitLimit {
public:
    KeyringWaitLimit(platform::SecretStore& secrets, std::chrono::milliseconds bound) : secrets_(secrets) {
        secrets_.LimitWaits(std::chrono::steady_clock::now() + bound);
    }
    ~KeyringWaitLimit() { secrets_.LimitWaits(std::nullopt); }
    KeyringWaitLimit(const KeyringWaitLimit&) = delete;
    KeyringWaitLimit& operator=(const KeyringWaitLimit&) = delete;

private:
    platform::SecretStore& secrets_;
};

// The host name of a server field, as the providers and the keyring know
// it; none for a field that is no server address (the check says why).
std::optional<AnsiString> HostOfField(const AnsiString& field) {
    try {
        return ParseServerAddress(field, kPop3Port).host;
    } catch (const EServerAddressError&) {
        return std::nullopt;
    }
}

// The timer's own default, kept until stored settings say otherwise.
constexpr unsigned kInitialTimerInterval = 1000;

// The designed client size; FormCreate replaces it with the skin's.
constexpr int kDesignedClientWidth = 215;
constexpr int kDesignedClientHeight = 104;
constexpr TRect kSkinBounds{0, 0, 205, 66};
constexpr TRect kMailerButtonBounds{174, 7, 174 + 9, 7 + 9};
constexpr TRect kCloseButtonBounds{186, 7, 186 + 9, 7 + 9};
constexpr int kLabelLeft = 16;
constexpr int kLabelTop = 22;
constexpr int kLabelFontHeight = -15;
constexpr TColor kLabelColor = 0xD8D8D8;
constexpr int kHighlightOffset = -1;

constexpr const char* kSkinFile = "skin.bmp";
constexpr const char* kMailerGlyphFile = "mailer.bmp";
constexpr const char* kCloseGlyphFile = "close.bmp";

// A built-in bitmap into `bitmap`, with its sharper copy for HiDPI screens
// ("skin@2x.bmp" beside "skin.bmp") where there is one; raises Exception when
// the bitmap is missing.
void loadArtwork(TBitmap* bitmap, const char* name) {
    const std::optional<std::string> bytes = resources::Load(name);
    if (!bytes)
        throw Exception(AnsiString("missing built-in picture ") + name);
    TMemoryStream stream;
    stream.Write(bytes->data(), static_cast<std::int64_t>(bytes->size()));
    stream.SetPosition(0);
    bitmap->LoadFromStream(stream);
    const std::string file(name);
    const std::string sharper = file.substr(0, file.rfind('.')) + "@2x" + file.substr(file.rfind('.'));
    if (const std::optional<std::string> hiDpi = resources::Load(sharper)) {
        TMemoryStream sharp;
        sharp.Write(hiDpi->data(), static_cast<std::int64_t>(hiDpi->size()));
        sharp.SetPosition(0);
        bitmap->LoadHiDpiFromStream(sharp);
    }
}

}  // namespace

AnsiString DefaultTitle() {
    return "Postwren";
}

AnsiString MailGreeting(const AnsiString& userID, int count) {
    return userID + Sjis("さん\n") + Sjis("メールが ") + IntToStr(count) + Sjis("通") + Sjis("届いてます。");
}

AnsiString NoMailGreeting(const AnsiString& userID) {
    return userID + Sjis(" さん\n") + Sjis("メールは届いていません。");
}

AnsiString MailTitle(int count) {
    return IntToStr(count) + Sjis("通 着信");
}

AnsiString NoMailTitle() {
    return Sjis("着信なし");
}

// Moves the popup by its face. A press on the face (the hit test says
// "caption") only arms the move; it starts once the pointer has gone the
// desktop's drag distance with the left button still held, and an armed move
// is dropped on release and on any loss of focus. So a click, however short,
// never leaves the popup attached to the pointer. The two buttons are windows
// of their own and never get here.
class TFrmMain::DragFilter final : public QObject {
public:
    DragFilter() = default;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                // A left press: the hit test's "left button down" holds, so the
                // face answers as the caption.
                auto* press = static_cast<QMouseEvent*>(event);
                if (press->button() == Qt::LeftButton) {
                    armed_ = true;
                    press_ = press->globalPosition().toPoint();
                }
                return false;
            }
            case QEvent::MouseMove: {
                if (!armed_)
                    return false;
                auto* move = static_cast<QMouseEvent*>(event);
                if (!move->buttons().testFlag(Qt::LeftButton)) {
                    armed_ = false;
                    return false;
                }
                const QPoint now = move->globalPosition().toPoint();
                if ((now - press_).manhattanLength() < QApplication::startDragDistance())
                    return false;
                armed_ = false;
                auto* window = static_cast<QWidget*>(watched)->window();
                // The way to here is part of the move: the popup keeps the
                // place under the pointer where it was pressed.
                window->move(window->pos() + (now - press_));
                return platform::StartWindowDrag(window, now);
            }
            case QEvent::MouseButtonRelease:
            case QEvent::FocusOut:
            case QEvent::WindowDeactivate:
            case QEvent::Hide:
                armed_ = false;
                return false;
            default:
                return false;
        }
    }

private:
    bool armed_ = false;
    QPoint press_;
};

TFrmMain::TFrmMain(TComponent* AOwner, const Services& services)
    : TForm(AOwner),
      services_(services),
      passwords_(std::make_unique<PasswordKeeper>(services_.secrets, services_.log)),
      newMail_(std::make_unique<NewMailWatch>(services_.log)),
      providers_(std::make_unique<OAuth2Providers>(OAuth2Providers::Load(services_.log))) {
    BeginLoading();
    SetName("FrmMain");
    SetBorderStyle(TFormBorderStyle::bsNone);
    SetPosition(TPosition::poScreenCenter);
    SetClientWidth(kDesignedClientWidth);
    SetClientHeight(kDesignedClientHeight);
    Font()->SetName(DefaultFontName());
    Font()->SetCharset(SHIFTJIS_CHARSET);
    Font()->SetHeight(-12);
    makeFace();
    makeTrayIcon();
    makeCheck();
    makeLabel();
    OnCreate = [this](TObject* Sender) { FormCreate(Sender); };
    OnShow = [this](TObject* Sender) { FormShow(Sender); };
    // The tray icon appears here, and keeps this form from showing at start.
    EndLoading();

    MailerPath.clear();
    Application->SetOnIdle([this](TObject* Sender, bool& Done) { FirstIdle(Sender, Done); });

    // The result of a check is shown as the popup's window title, which is
    // what its taskbar entry shows.
    InstallTaskbarTitle(this);
    dragFilter_ = std::make_unique<DragFilter>();
    Handle()->installEventFilter(dragFilter_.get());

    DoCreate();
    // Published only once whole, so a failed start leaves no dangling window.
    if (FrmMain == nullptr)
        FrmMain = this;
}

void TFrmMain::makeFace() {
    FormRgn1 = new TFormRgn(this);
    FormRgn1->SetName("FormRgn1");
    FormRgn1->SetParent(this);
    FormRgn1->SetBounds(kSkinBounds.Left, kSkinBounds.Top, kSkinBounds.Width(), kSkinBounds.Height());
    FormRgn1->SetAutoSize(true);
    loadArtwork(FormRgn1->Picture()->Bitmap(), kSkinFile);
    FormRgn1->setTrspColor(clRed);

    auto makeButton = [this](const char* name, const TRect& bounds, const char* glyph, const char* hint, int tabOrder) {
        auto* button = new TBitBtn(this);
        button->SetName(name);
        button->SetParent(this);
        button->SetBounds(bounds.Left, bounds.Top, bounds.Width(), bounds.Height());
        loadArtwork(button->Glyph(), glyph);
        button->SetHint(Sjis(hint));
        button->SetShowHint(true);
        button->SetTabOrder(tabOrder);
        return button;
    };
    BBtnMailer = makeButton("BBtnMailer", kMailerButtonBounds, kMailerGlyphFile, "メーラー起動", 0);
    BBtnMailer->OnClick = [this](TObject* Sender) { BBtnMailerClick(Sender); };
    BBtnClose = makeButton("BBtnClose", kCloseButtonBounds, kCloseGlyphFile, "閉じる", 1);
    BBtnClose->OnClick = [this](TObject* Sender) { BBtnCloseClick(Sender); };
}

void TFrmMain::makeTrayIcon() {
    TaskBar1 = new TTaskBar(this, services_.tray);
    TaskBar1->SetName("TaskBar1");

    PopupMenu1 = new TPopupMenu(this);
    PopupMenu1->SetName("PopupMenu1");
    auto addItem = [this](const char* name, const AnsiString& caption, TNotifyEvent onClick) {
        auto* item = new TMenuItem(this);
        item->SetName(name);
        item->SetCaption(caption);
        item->OnClick = std::move(onClick);
        PopupMenu1->Items()->Add(item);
        return item;
    };
    M_ChkNow = addItem("M_ChkNow", Sjis("今すぐチェック"), [this](TObject* Sender) { M_ChkNowClick(Sender); });
    M_ChkNow->SetDefault(true);
    M_Config = addItem("M_Config", Sjis("設定"), [this](TObject* Sender) { M_ConfigClick(Sender); });
    N2 = addItem("N2", "-", nullptr);
    M_Exit = addItem("M_Exit", Sjis("終了"), [this](TObject* Sender) { M_ExitClick(Sender); });

    TaskBar1->SetHideMainForm(true);
    TaskBar1->SetDisableShowForm(true);
    TaskBar1->SetAutoLoad(true);
    TaskBar1->SetHideTaskBar(false);
    TaskBar1->SetTip("Postwren");
    TaskBar1->SetPopupMenu(PopupMenu1);
}

void TFrmMain::makeCheck() {
    KxPOP31 = new TKxPOP3(this, services_.sockets, services_.clock);
    KxPOP31->SetName("KxPOP31");
    KxPOP31->SetPort(kPop3Port);
    KxPOP31->SetReportLevel(0);
    KxPOP31->SetDeleteOnRead(false);

    Timer1 = new TTimer(this, services_.clock);
    Timer1->SetName("Timer1");
    Timer1->SetEnabled(false);
    Timer1->SetInterval(kInitialTimerInterval);
    Timer1->OnTimer = [this](TObject* Sender) { Timer1Timer(Sender); };

    CheckHooks hooks;
    hooks.check = [this] {
        // The one copy this check works on, whatever the dialog confirms meanwhile.
        checked_ = Mailbox;
        checkedAnnounce_ = AnnounceNewMail;
        MailboxAccount account;
        account.server = checked_.Host;
        account.userID = checked_.UserID;
        // A sign-in that just failed in its window is this check's failure.
        if (signInFailure_) {
            FailureReport report = std::move(*signInFailure_);
            signInFailure_.reset();
            return CheckOutcome(std::move(report));
        }
        if (std::shared_ptr<OAuth2Account> signIn = signInFor(checked_)) {
            // The check holds the account, whatever the dialog confirms meanwhile.
            account.bearer =
                BearerLogOn{[signIn](bool renew) { return signIn->AccessToken(renew); }, signIn->Provider().mechanisms};
        } else {
            // Each check asks the keyring afresh: it may have been locked since.
            account.passwordLookup = [this] { return passwords_->PasswordForCheck(checked_.Password); };
        }
        if (trust_)
            trust_->ApplyStoredPin(account.server, kPop3Port);
        // A check that reads headers is bounded as a whole; the client's own
        // time-out (none, as designed) comes back after it.
        const int ownTimeOutMs = KxPOP31->TimeOut();
        if (checkedAnnounce_)
            account.timeoutMs = ownTimeOutMs > 0 ? std::min(ownTimeOutMs, kListingCheckBoundMs) : kListingCheckBoundMs;
        // Without the option the exchange is the log-on, STAT and QUIT alone.
        const CheckSteps steps = checkedAnnounce_ ? newMail_->StepsFor(checked_.Host, checked_.UserID) : CheckSteps{};
        // The keyring's waits end with the check's time; afterwards the
        // dialog's stores have the keyring's own bounds again.
        const int timeOutMs = account.timeoutMs.value_or(ownTimeOutMs);
        const KeyringWaitLimit keyringLimit(
            services_.secrets, timeOutMs > 0 ? std::chrono::milliseconds(timeOutMs) : kKeyringWaitWithoutTimeOut);
        struct RestoreTimeOut {
            TKxPOP3& client;
            int timeOutMs;
            ~RestoreTimeOut() { client.SetTimeOut(timeOutMs); }
        } restore{*KxPOP31, ownTimeOutMs};
        return CheckMailbox(*KxPOP31, account, steps);
    };
    hooks.cancel = [this] { KxPOP31->Cancel(); };
    hooks.show = [this](const CheckResult& result, bool asked) { showResult(result, asked); };
    hooks.openSettings = [this] { M_ConfigClick(this); };
    hooks.timedChecksRun = [this] { return Timer1->Enabled() && Timer1->Interval() != 0 && !signingIn(); };
    if (services_.tls != nullptr)
        trust_ = std::make_unique<CertificateTrust>(*services_.tls, services_.hive, services_.messageBox);
    hooks.repairTls = [this](const FailureReport&) { return trust_ && trust_->OfferTrust(checked_.Host, kPop3Port); };
    hooks.restartInterval = [this] {
        if (!Timer1->Enabled())
            return;
        Timer1->SetEnabled(false);
        Timer1->SetEnabled(true);
    };
    checks_ = std::make_unique<CheckRunner>(std::move(hooks), services_.system, services_.clock, services_.log,
                                            services_.notifier);
}

void TFrmMain::makeLabel() {
    ShdwLabel = new TShadowLabel(this);
    ShdwLabel->SetName("ShdwLabel");
    ShdwLabel->SetParent(this);
    ShdwLabel->SetLeft(kLabelLeft);
    ShdwLabel->SetTop(kLabelTop);
    ShdwLabel->SetAutoSize(true);
    ShdwLabel->SetCaption("");
    ShdwLabel->SetParentFont(false);
    ShdwLabel->Font()->SetName(DefaultFontName());
    ShdwLabel->Font()->SetCharset(SHIFTJIS_CHARSET);
    ShdwLabel->Font()->SetHeight(kLabelFontHeight);
    ShdwLabel->Font()->SetColor(kLabelColor);
    ShdwLabel->SetTransparent(true);
    ShdwLabel->SetEllipsis(TEllipsis::elNone);
    ShdwLabel->SetGradation(false);
    ShdwLabel->SetGradateVert(false);
    ShdwLabel->SetTextGradation(TTextGradation::tgNone);
    ShdwLabel->Highlight()->SetShadowVisible(false);
    ShdwLabel->Highlight()->SetShadowColor(clWhite);
    ShdwLabel->Highlight()->SetShadowLeft(kHighlightOffset);
    ShdwLabel->Highlight()->SetShadowTop(kHighlightOffset);
    ShdwLabel->Shadow()->SetShadowColor(clBlack);
}

TFrmMain::~TFrmMain() {
    signInForm_.reset();
    checks_.reset();
    // The components go before the filter their window still calls.
    DestroyComponents();
    if (HandleAllocated())
        Handle()->removeEventFilter(dragFilter_.get());
    dragFilter_.reset();
    if (FrmMain == this)
        FrmMain = nullptr;
}

void TFrmMain::FormCreate(TObject*) {
    // The popup has no window-manager decorations, so there is no close
    // command to take away: it ends only through the tray menu.
    ScrambleKey = DefaultScrambleKey;
    SetClientWidth(FormRgn1->Width());
    SetClientHeight(FormRgn1->Height());
    FormRgn1->CreateRgn();
    FormRgn1->UpdateRgn();
}

void TFrmMain::FormShow(TObject*) {
    BBtnMailer->SetVisible(!MailerPath.empty());
    platform::SetTopmost(Handle());
}

void TFrmMain::FirstIdle(TObject*, bool&) {
    Application->SetOnIdle(nullptr);
    try {
        LoadSettings();
    } catch (const std::exception&) {
        // A damaged value: reported, and this process runs no timed checks.
        Application->HandleException(this);
        return;
    }
    // Until settings are stored there is nothing to check on a schedule; the
    // first confirmation of the dialog starts the timed checks.
    if (!timedChecksArmed_)
        Timer1->SetInterval(0);
    Timer1Timer(this);
    Timer1->SetEnabled(true);
}

void TFrmMain::Timer1Timer(TObject*) {
    // The check after the sign-in says how it went.
    if (signingIn())
        return;
    checks_->Run(/*asked=*/false);
}

void TFrmMain::M_ChkNowClick(TObject*) {
    if (signingIn())
        return;
    checks_->Run(/*asked=*/true);
}

void TFrmMain::showResult(const CheckResult& result, bool asked) {
    const int count = result.count;
    const AnsiString& user = checked_.UserID;
    std::optional<NewMail> news;
    if (result.listing)
        news = newMail_->Found(result);
    const bool fresh = news && news->count > 0;
    if (count == 0 && !asked) {
        Hide();
        return;
    }
    if (news && !fresh && !asked) {
        // Mail waits, all of it told of before: the popup says so if it is
        // still up, and does not come back for it.
        ShdwLabel->SetCaption(MailGreeting(user, count));
        Application->SetTitle(MailTitle(count));
        return;
    }
    ShdwLabel->SetCaption(count != 0 ? MailGreeting(user, count) : NoMailGreeting(user));
    Application->SetTitle(count != 0 ? MailTitle(count) : NoMailTitle());
    ShowForm();
    if (fresh) {
        services_.notifier.Notify(
            NewMailSummary(*news), NewMailBody(*news),
            platform::NoticeHints{QStringLiteral("email.arrived"), QStringLiteral("message-new-email")});
        return;
    }
    // Where the popup cannot stay on top, a timed check's news also comes as
    // a desktop notification.
    if (!asked && !platform::KeepAboveHonoured())
        TaskBar1->ShowBalloon(DefaultTitle(), ShdwLabel->Caption());
}

void TFrmMain::M_ConfigClick(TObject*) {
    if (FrmConfig == nullptr)
        return;
    FrmConfig->EdPOP3->SetText(Mailbox.Host);
    FrmConfig->EdUserID->SetText(Mailbox.UserID);
    FrmConfig->EdPW->SetText(dialogPassword());
    FrmConfig->UDChkCycle->SetPosition(DialogCycleMinutes());
    FrmConfig->EdMailer->SetText(MailerPath);
    FrmConfig->ChkNewMail->SetChecked(AnnounceNewMail);
    Application->SetTitle(DefaultTitle());
    FrmConfig->ShowForm();
}

AnsiString TFrmMain::dialogPassword() {
    if (!Mailbox.Password.empty() || !passwords_->InKeyring())
        return Mailbox.Password;
    // Kept in the keyring: the field shows it as it would show a stored one,
    // or OK with only the interval changed would store an empty password.
    // A keyring that cannot give it leaves the field empty, and the keeper
    // then leaves the keyring's as it is.
    const KeyringWaitLimit keyringLimit(services_.secrets, kKeyringWaitWithoutTimeOut);
    try {
        return passwords_->PasswordForCheck(Mailbox.Password);
    } catch (const EKeyringError&) {
        return AnsiString();
    }
}

void TFrmMain::M_ExitClick(TObject*) {
    // A check waiting on the network or the keyring gives up at once, so the
    // message loop can end; the teardown after it removes the tray icon.
    // Nothing is saved.
    services_.secrets.Cancel();
    checks_->Exit();
    if (signingIn())
        signInForm_->BtnCancelClick(this);
    Application->Terminate(0);
}

void TFrmMain::BBtnCloseClick(TObject*) {
    Hide();
}

void TFrmMain::BBtnMailerClick(TObject*) {
    if (services_.shell.Open(ToQString(MailerPath)) > platform::kShellOpenFailureMax) {
        Hide();
        return;
    }
    services_.messageBox.Show(Sjis("Mailerの起動に失敗しました。\n設定を確認してください。"), Sjis("エラー"), MB_OK);
}

int TFrmMain::NcHitTest() const {
    return platform::IsLeftButtonDown() ? HTCAPTION : HTCLIENT;
}

void TFrmMain::LoadSettings() {
    TRegistry registry(services_.hive);
    StoredSettings settings{Mailbox.Host, Mailbox.UserID, Mailbox.Password, CycleMinutes, MailerPath};
    settings.announceNewMail = AnnounceNewMail;
    const SettingsLoad load = passwords_->Load(registry, settings, ScrambleKey);
    // Values the store did not have keep what they were.
    Mailbox = MailboxSettings{settings.host, settings.user, settings.password};
    CycleMinutes = settings.cycle;
    if (load.cycleStored)
        cycleKnown_ = true;
    MailerPath = settings.mailer;
    AnnounceNewMail = settings.announceNewMail;
    notePassword();
    if (load.intervalReached) {
        // A negative interval (only a negative stored "Cycle" gives one) is
        // taken as the timer's longest, as the platform timer would.
        Timer1->SetInterval(static_cast<unsigned>(CheckIntervalOf(settings)));
        timedChecksArmed_ = true;
    }
    if (SettingsFound(load))
        return;
    // Nothing usable is stored: ask for the settings.
    storedKeyMissing_ = true;
    checks_->QuietUntilConfirmed();
    if (FrmConfig != nullptr) {
        FrmConfig->UDChkCycle->SetPosition(DialogCycleMinutes());
        FrmConfig->ShowForm();
    }
}

void TFrmMain::SaveSettings() {
    TRegistry registry(services_.hive);
    // A key that cannot be created stores nothing and says nothing.
    StoredSettings settings{Mailbox.Host, Mailbox.UserID, Mailbox.Password, CycleMinutes, MailerPath};
    settings.announceNewMail = AnnounceNewMail;
    passwords_->Save(registry, settings, ScrambleKey);
}

AnsiString TFrmMain::ScramblePassword(const AnsiString& text) const {
    return ::ScramblePassword(text, ScrambleKey);
}

AnsiString TFrmMain::UnscramblePassword(const AnsiString& text) const {
    return ::UnscramblePassword(text, ScrambleKey);
}

std::int16_t TFrmMain::DialogCycleMinutes() const {
    // No interval is 0 unless it was stored so.
    const bool known = cycleKnown_ || CycleMinutes != 0;
    return ::DialogCycleMinutes(known ? std::optional<std::int32_t>(CycleMinutes) : std::nullopt);
}

void TFrmMain::SettingsConfirmed() {
    cycleKnown_ = true;
    // Only a process that found no stored settings waits for this; one whose
    // stored settings failed to load runs no timed checks at all.
    if (storedKeyMissing_ && !timedChecksArmed_)
        armTimedChecks();
    notePassword();
    if (signingIn()) {
        // The sign-in in the window is for the settings before these.
        signInAgain_ = true;
        signInForm_->BtnCancelClick(this);
        return;
    }
    checkConfirmed();
}

void TFrmMain::checkConfirmed() {
    signInFailure_.reset();
    std::shared_ptr<OAuth2Account> account = signInFor(Mailbox);
    if (!account || (!account->SignInNeeded() && signInStored())) {
        checks_->SettingsConfirmed();
        return;
    }
    // Not inside the OK button's click; the check follows the sign-in.
    QTimer::singleShot(0, Handle(), [this, account] {
        runSignIn(*account);
        if (signInAgain_) {
            signInAgain_ = false;
            checkConfirmed();
            return;
        }
        checks_->SettingsConfirmed();
    });
}

std::shared_ptr<OAuth2Account> TFrmMain::signInFor(const MailboxSettings& settings) {
    const std::optional<AnsiString> host = HostOfField(settings.Host);
    const OAuth2Provider* provider = host ? providers_->ForHost(*host) : nullptr;
    if (!OAuth2SignsIn(provider, passwordGiven_))
        return nullptr;
    if (!signIn_ || signIn_->Host() != *host || signIn_->User() != settings.UserID ||
        signIn_->Provider().name != provider->name)
        signIn_ =
            std::make_shared<OAuth2Account>(*provider, *host, settings.UserID, services_.secrets, services_.clock);
    return signIn_;
}

void TFrmMain::notePassword() {
    passwordGiven_ = !Mailbox.Password.empty();
    if (passwordGiven_ || !passwords_->InKeyring())
        return;
    // The keyring is asked only where the answer decides between the
    // password and the sign-in.
    const std::optional<AnsiString> host = HostOfField(Mailbox.Host);
    const OAuth2Provider* provider = host ? providers_->ForHost(*host) : nullptr;
    if (provider == nullptr || !provider->password) {
        passwordGiven_ = true;
        return;
    }
    // Only a keyring that answers says there is none: a locked one may
    // still hold the password the user chose.
    std::string kept;
    const platform::SecretStatus status =
        services_.secrets.Lookup(KeyringAttributes(Mailbox.Host, Mailbox.UserID), kept);
    passwordGiven_ =
        status != platform::SecretStatus::NotFound && !(status == platform::SecretStatus::Ok && kept.empty());
}

bool TFrmMain::signInStored() {
    std::string token;
    // A keyring that cannot say leaves it to the check, which tells why.
    return services_.secrets.Lookup(OAuth2KeyringAttributes(signIn_->Host(), signIn_->User()), token) !=
           platform::SecretStatus::NotFound;
}

bool TFrmMain::signingIn() const {
    return signInForm_ && signInForm_->Running();
}

void TFrmMain::runSignIn(OAuth2Account& account) {
    if (!signInForm_)
        signInForm_ = std::make_unique<TFrmSignIn>(nullptr, services_.shell);
    try {
        signInForm_->SignIn(account);
    } catch (const std::exception& failure) {
        signInFailure_ = DescribeFailure(failure);
    }
}

void TFrmMain::armTimedChecks() {
    timedChecksArmed_ = true;
    const std::int64_t interval = static_cast<std::int64_t>(CycleMinutes) * kMillisecondsPerMinute;
    Timer1->SetInterval(static_cast<unsigned>(static_cast<std::int32_t>(interval)));
}
