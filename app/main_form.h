// The main window: the skinned popup that shows the result of a check, and
// the owner of everything that works (the POP3 client, the check timer, the
// tray icon with its menu). Also the texts a check shows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "app/services.h"
#include "core/text.h"
#include "framework/controls.h"
#include "net/check_failure.h"
#include "settings/settings_store.h"

class CertificateTrust;
class CheckRunner;
struct CheckResult;
class NewMailWatch;
class OAuth2Account;
class OAuth2Providers;
class PasswordKeeper;
class TBitBtn;
class TFormRgn;
class TFrmSignIn;
class TKxPOP3;
class TMenuItem;
class TPopupMenu;
class TShadowLabel;
class TTaskBar;
class TTimer;

// The application title while no check result is shown.
AnsiString DefaultTitle();
// The popup's greeting when `count` messages wait: "<user>さん", a line feed,
// "メールが <count>通届いてます。". Negative counts are written with their sign.
AnsiString MailGreeting(const AnsiString& userID, int count);
// The greeting of "check now" for an empty mailbox: "<user> さん", a line
// feed, "メールは届いていません。".
AnsiString NoMailGreeting(const AnsiString& userID);
// The application title after a check with mail: "<count>通 着信".
AnsiString MailTitle(int count);
// The application title after "check now" finds nothing: "着信なし".
AnsiString NoMailTitle();

// The mailbox a check logs on to, as loaded or confirmed in the dialog.
struct MailboxSettings {
    AnsiString Host;
    AnsiString UserID;
    AnsiString Password;
};

// The popup. Hidden at start; a check with mail (or "check now") shows it
// above other windows with the greeting, and the application title carries
// the result. A failed check is logged and notified, and opens the settings
// dialog instead of an error, unless the server only said "not now"
// (net/check_failure.h).
//
// One instance, FrmMain, owned by the application object. GUI thread only.
// A check waits on the network while the thread's messages keep flowing, so
// the handlers below may run inside one another; a check that would start
// while another is running is skipped, except the one confirmed settings or
// the system's changes ask for, which follows it.
class TFrmMain : public TForm {
public:
    // Builds the designed layout (the tray icon appears while it loads),
    // installs FirstIdle as the application's idle handler and runs
    // FormCreate. The POP3 client works on services.sockets and
    // services.clock, the tray icon on services.tray; the settings are kept
    // in services.hive. Raises what the components raise (no skin, no sockets).
    TFrmMain(TComponent* AOwner, const Services& services);
    ~TFrmMain() override;
    const char* ClassName() const override { return "TFrmMain"; }

    // Designed components, all owned by the form.
    TFormRgn* FormRgn1 = nullptr;
    TBitBtn* BBtnMailer = nullptr;
    TBitBtn* BBtnClose = nullptr;
    TTaskBar* TaskBar1 = nullptr;
    TPopupMenu* PopupMenu1 = nullptr;
    TMenuItem* M_ChkNow = nullptr;
    TMenuItem* M_Config = nullptr;
    TMenuItem* N2 = nullptr;
    TMenuItem* M_Exit = nullptr;
    TKxPOP3* KxPOP31 = nullptr;
    TTimer* Timer1 = nullptr;
    TShadowLabel* ShdwLabel = nullptr;

    // The mailbox settings. A check takes a copy when it starts and works on
    // that alone, so what the dialog confirms applies from the next check.
    MailboxSettings Mailbox;
    // Password scrambling offsets, filled in by FormCreate.
    TScrambleKey ScrambleKey{};
    // The mail program the mailer button starts; empty for none.
    AnsiString MailerPath;
    // Minutes between timed checks; always within signed 16-bit range.
    std::int32_t CycleMinutes = 0;
    // Tell who sent new mail and about what (settings/settings_store.h). A
    // check takes it when it starts, as it takes Mailbox. Then a timed check
    // shows the popup only when mail came that was not told of before, and
    // a desktop notification lists it; 今すぐチェック shows the popup always.
    bool AnnounceNewMail = false;

    void FormCreate(TObject* Sender);
    void FormShow(TObject* Sender);
    // A timed check: shows the popup when mail waits, hides it when none does.
    void Timer1Timer(TObject* Sender);
    // "今すぐチェック": shows the popup with the result, mail or not.
    void M_ChkNowClick(TObject* Sender);
    // "設定": refills the settings dialog from the current settings and shows it.
    void M_ConfigClick(TObject* Sender);
    // "終了": ends the message loop with status 0; a running check is cancelled.
    void M_ExitClick(TObject* Sender);
    void BBtnCloseClick(TObject* Sender);
    void BBtnMailerClick(TObject* Sender);
    // The one-shot idle handler that finishes start-up: loads the settings,
    // runs the first check and starts the check timer.
    void FirstIdle(TObject* Sender, bool& Done);
    // The window's hit test: the caption while the left button is down, the
    // client area otherwise. A press on the caption becomes a move of the
    // popup once the pointer has gone the desktop's drag distance with the
    // button held; a click without such a move leaves the popup in place.
    int NcHitTest() const;

    // Read and write the five settings and AnnounceNewMail (see
    // settings/settings_store.h), the
    // password in the keyring where one runs (settings/keyring_password.h).
    // When no settings are stored, or the store is damaged or unreadable, the
    // load shows the settings dialog. Raise ERegistryException for a value
    // that cannot be read or written.
    void LoadSettings();
    void SaveSettings();
    AnsiString ScramblePassword(const AnsiString& text) const;
    AnsiString UnscramblePassword(const AnsiString& text) const;

    // Called by the settings dialog after its OK has saved and the dialog is
    // hidden: the first confirmation in a process that started without
    // stored settings starts the timed checks at the confirmed interval, and
    // one check runs right after the handler returns, like 今すぐチェック, so
    // the user sees at once whether the new settings work. Where the server's
    // provider signs in (it takes no password, or the password was left
    // empty) and no sign-in is stored for the server and user, or the last
    // one failed, the sign-in window runs first (after the handler returns),
    // and that check follows it; no other check runs meanwhile.
    void SettingsConfirmed();
    // The sign-in window, while one has been needed; null before.
    TFrmSignIn* FrmSignIn() const { return signInForm_.get(); }
    // The interval the settings dialog shows: the proposal while none was
    // loaded or confirmed, otherwise CycleMinutes within the up/down's range.
    std::int16_t DialogCycleMinutes() const;

private:
    friend class TFrmMainTestPeer;
    class DragFilter;
    // The parts of the designed layout: the skin and its two buttons; the
    // tray icon and its menu; the POP3 client, the check timer and the
    // runner of checks; the greeting.
    void makeFace();
    void makeTrayIcon();
    void makeCheck();
    void makeLabel();
    // The result of a counted check: the popup with the greeting when mail
    // waits or the user asked, hidden otherwise; with AnnounceNewMail, a
    // timed check shows it only for new mail, which is also notified.
    void showResult(const CheckResult& result, bool asked);
    void armTimedChecks();
    // The password the settings dialog shows: the one typed, or the one the
    // keyring keeps (empty when it cannot be read).
    AnsiString dialogPassword();
    // The sign-in of the mailbox in `settings` when its server's provider
    // signs in, null when the check sends the password. The same account
    // while the server's host and the user stay, so its access token lives
    // in memory from one check to the next.
    std::shared_ptr<OAuth2Account> signInFor(const MailboxSettings& settings);
    // Notes whether the current settings have a password to send: typed, or
    // kept in the keyring (asked only for a provider that takes either).
    void notePassword();
    // The check of confirmed settings, after their sign-in where one is needed.
    void checkConfirmed();
    // The keyring holds a sign-in for the account signInFor made last.
    bool signInStored();
    bool signingIn() const;
    // Runs the sign-in window; its failure becomes the next check's.
    void runSignIn(OAuth2Account& account);

    Services services_;
    // Where the password is kept: the keyring or the hive.
    std::unique_ptr<PasswordKeeper> passwords_;
    // The settings the running (or last) check works on.
    MailboxSettings checked_;
    bool checkedAnnounce_ = false;
    std::unique_ptr<NewMailWatch> newMail_;
    bool timedChecksArmed_ = false;
    bool storedKeyMissing_ = false;
    // An interval was loaded from the store or confirmed in the dialog.
    bool cycleKnown_ = false;
    std::unique_ptr<CheckRunner> checks_;
    std::unique_ptr<CertificateTrust> trust_;  // with a TLS layer only
    std::unique_ptr<DragFilter> dragFilter_;
    // The sign-in providers, read once at start.
    std::unique_ptr<OAuth2Providers> providers_;
    std::shared_ptr<OAuth2Account> signIn_;
    std::unique_ptr<TFrmSignIn> signInForm_;
    // The settings have a password (see notePassword).
    bool passwordGiven_ = false;
    // How the last sign-in in the window failed, told by the check after it.
    std::optional<FailureReport> signInFailure_;
    // Settings were confirmed while a sign-in ran: theirs follows it.
    bool signInAgain_ = false;
};

// The main window; null before it is made and after it is gone.
extern TFrmMain* FrmMain;
