// The main window: the texts a check shows, start-up from stored settings or
// none, timed checks and "check now", failures, the mailer button and exit.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QIcon>
#include <QImage>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "app/application_icon.h"
#include "app/check_scheduler.h"
#include "app/config_form.h"
#include "app/main_form.h"
#include "app/sign_in_form.h"
#include "core/timer.h"
#include "framework/imagelist.h"
#include "framework/menus.h"
#include "framework/stdctrls.h"
#include "resources/resources.h"
#include "session/oauth2_account.h"
#include "settings/announced_mail.h"
#include "settings/keyring_password.h"
#include "tests/app/app_fixture.h"
#include "tests/support/manual_clock.h"
#include "tests/support/stepping_clock.h"
#include "tests/support/unreachable_sockets.h"
#include "widgets/formrgn.h"
#include "widgets/shadolbl.h"
#include "widgets/taskbar.h"

namespace app_testing {
namespace {

// --- the texts ------------------------------------------------------------------

struct TextCase {
    const char* user;
    int count;
    const char* greeting;  // UTF-8
    const char* title;     // UTF-8
};

class CheckTexts : public ::testing::TestWithParam<TextCase> {};

TEST_P(CheckTexts, GreetingAndTitleForWaitingMail) {
    const TextCase& c = GetParam();
    EXPECT_EQ(MailGreeting(c.user, c.count), Sjis(c.greeting));
    EXPECT_EQ(MailTitle(c.count), Sjis(c.title));
}

INSTANTIATE_TEST_SUITE_P(Counts, CheckTexts,
                         ::testing::Values(TextCase{"taro", 12, "taroさん\nメールが 12通届いてます。", "12通 着信"},
                                           TextCase{"taro", 1, "taroさん\nメールが 1通届いてます。", "1通 着信"},
                                           TextCase{"", 3, "さん\nメールが 3通届いてます。", "3通 着信"},
                                           TextCase{"hanako", -2, "hanakoさん\nメールが -2通届いてます。", "-2通 着信"},
                                           TextCase{"x", 2147483647, "xさん\nメールが 2147483647通届いてます。",
                                                    "2147483647通 着信"}),
                         [](const ::testing::TestParamInfo<TextCase>& info) {
                             const int n = info.param.count;
                             return (n < 0 ? "minus" + std::to_string(-n) : std::to_string(n)) + "_messages";
                         });

TEST(CheckTexts, NoMailGreetingHasASpaceBeforeSan) {
    EXPECT_EQ(NoMailGreeting("taro"), Sjis("taro さん\nメールは届いていません。"));
    EXPECT_EQ(NoMailTitle(), Sjis("着信なし"));
    EXPECT_EQ(DefaultTitle(), "Postwren");
    // The user ID passes through as bytes, double-byte characters included.
    EXPECT_EQ(NoMailGreeting(Sjis("太郎")), Sjis("太郎 さん\nメールは届いていません。"));
}

// --- the designed window ------------------------------------------------------------

// For a check that must end on a test's stepping clock: starts the clock
// once `ready` holds, and cancels the check after 30 s of real time, so that
// one that does not end on the clock fails its test instead of hanging it.
class ClockedCheck {
public:
    ClockedCheck(SteppingClock& clock, std::function<bool()> ready, TKxPOP3& client) {
        QObject::connect(&starter_, &QTimer::timeout, [&clock, ready = std::move(ready)] {
            if (ready())
                clock.Start();
        });
        starter_.start(1);
        watchdog_.setSingleShot(true);
        QObject::connect(&watchdog_, &QTimer::timeout, [this, &client] {
            gaveUp_ = true;
            client.Cancel();
        });
        watchdog_.start(30000);
    }
    bool GaveUp() const { return gaveUp_; }

private:
    QTimer starter_;
    QTimer watchdog_;
    bool gaveUp_ = false;
};

using MainForm = AppFormsTest;

TEST_F(MainForm, StartsHiddenWithTheTrayIconAndTheSkinsSize) {
    MakeForms();
    EXPECT_FALSE(PopupVisible());
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(FrmMain, frmMain.get());
    EXPECT_EQ(FrmConfig, frmConfig.get());
    // The icon is in the tray with its tip, and keeps the popup from showing at start.
    ASSERT_EQ(tray.CountOf(platform::NIM_ADD), 1);
    EXPECT_EQ(platform::NotifyTipUtf8(tray.Last(platform::NIM_ADD)->data), "Postwren");
    EXPECT_FALSE(Application->ShowMainForm);
    // The window is exactly the skin.
    EXPECT_EQ(frmMain->ClientWidth(), 205);
    EXPECT_EQ(frmMain->ClientHeight(), 66);
    EXPECT_NE(frmMain->FormRgn1->Rgn(), 0u);
    // Nothing is loaded before the first idle moment.
    EXPECT_FALSE(frmMain->Timer1->Enabled());
    EXPECT_EQ(frmMain->CycleMinutes, 0);
}

TEST_F(MainForm, DestroyingTheWindowTakesTheIconAway) {
    MakeForms();
    frmConfig.reset();
    frmMain.reset();
    EXPECT_EQ(tray.CountOf(platform::NIM_DELETE), 1);
    EXPECT_TRUE(tray.area.Icons().empty());
    EXPECT_EQ(FrmMain, nullptr);
    EXPECT_EQ(FrmConfig, nullptr);
}

// The built-in picture, premultiplied so that fully transparent pixels compare
// equal whatever colour they carry.
QImage BuiltIn(const std::string& name) {
    const auto bytes = resources::Load(name);
    QImage image;
    if (bytes)
        image.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()));
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}
QImage Premultiplied(const QImage& image) {
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The 256-colour icon stays the application's icon and the windows' icon at
// its size; the tray, which may show the icon at any size, gets the picture
// drawn for each, at 32 pixels the one with full alpha.
TEST_F(MainForm, TheApplicationIconIsThe256ColourIconAndTheTrayGetsEachSizeAsDrawn) {
    LoadApplicationIcon();
    const QImage ico = BuiltIn("postwren.ico");
    const QImage drawn32 = BuiltIn("postwren-32.png");
    ASSERT_EQ(ico.size(), QSize(32, 32));
    ASSERT_NE(ico, drawn32) << "the two 32 pixel pictures must differ for this test to tell them apart";
    EXPECT_EQ(Premultiplied(ApplicationIcon()->Image()), ico);
    EXPECT_EQ(Premultiplied(QApplication::windowIcon().pixmap(QSize(32, 32)).toImage()), ico);
    EXPECT_EQ(Premultiplied(QApplication::windowIcon().pixmap(QSize(48, 48)).toImage()), BuiltIn("postwren-48.png"));

    MakeForms();
    ASSERT_EQ(tray.CountOf(platform::NIM_ADD), 1);
    const platform::HICON shown = tray.Last(platform::NIM_ADD)->data.hIcon;
    EXPECT_EQ(shown, ApplicationIcon()->Handle());
    const platform::IconPictures pictures = platform::IconPicturesOf(shown);
    EXPECT_EQ(Premultiplied(pictures.picture), ico);
    for (int size : {22, 32, 33, 48})
        EXPECT_EQ(Premultiplied(pictures.ForSize(size)), BuiltIn("postwren-" + std::to_string(size) + ".png")) << size;
}

// --- start-up -------------------------------------------------------------------------

TEST_F(MainForm, FirstStartWithoutSettingsShowsTheDialogAndStoresNothing) {
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    EXPECT_TRUE(DialogVisible());
    EXPECT_FALSE(PopupVisible());
    // The first check failed at once (no user ID): no connection was made.
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(hive.createCalls, 0);
    EXPECT_TRUE(hive.writes.empty());
    // No timed checks until settings are confirmed.
    EXPECT_TRUE(frmMain->Timer1->Enabled());
    EXPECT_EQ(frmMain->Timer1->Interval(), 0u);
    EXPECT_FALSE(TimedChecksArmed());
    EXPECT_EQ(Application->Title(), "Postwren");
}

TEST_F(MainForm, AStoredUserIdWithALineBreakNeverReachesTheServer) {
    // A synced or hand-edited settings file must not smuggle a second
    // command ("DELE 1" would delete the first message) into the log-on.
    StoreSettings("127.0.0.1", "taro\r\nDELE 1", "secret", 5, "");
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    EXPECT_TRUE(DialogVisible());
    EXPECT_FALSE(PopupVisible());
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(frmConfig->EdUserID->Text(), "taro\r\nDELE 1");
}

TEST_F(MainForm, StoredSettingsAreLoadedThenTheFirstCheckRunsThenTheTimerStarts) {
    StoreSettings("127.0.0.1", "taro", "secret", 1, "/usr/bin/true");
    server.AddSession(CheckScript("taro", "secret", 3));
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());

    EXPECT_EQ(frmMain->Mailbox.Host, "127.0.0.1");
    EXPECT_EQ(frmMain->Mailbox.Password, "secret");
    EXPECT_EQ(frmMain->MailerPath, "/usr/bin/true");
    EXPECT_EQ(frmMain->CycleMinutes, 1);
    EXPECT_TRUE(server.Mismatches().empty());
    EXPECT_EQ(server.Lines().size(), 4u);  // USER, PASS, STAT, QUIT
    EXPECT_TRUE(PopupVisible());
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 3));
    EXPECT_EQ(Application->Title(), Sjis("3通 着信"));
    EXPECT_TRUE(frmMain->BBtnMailer->Visible());
    EXPECT_TRUE(frmMain->Timer1->Enabled());
    EXPECT_EQ(frmMain->Timer1->Interval(), 60000u);
}

// A keyring whose prompt never completes may hold a check no longer than its
// time-out, or a fixed bound where TimeOut is 0; the dialog's own keyring
// calls afterwards are not cut short by a check that has ended.
TEST_F(MainForm, TheChecksKeyringWaitsEndWithinTheChecksBound) {
    using std::chrono::seconds;
    using std::chrono::steady_clock;
    services.secrets.running = true;
    StoreSettings("127.0.0.1", "taro", "secret", 10, "");
    server.AddSession(CheckScript("taro", "secret", 1));
    const auto startedAt = steady_clock::now();
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_TRUE(testing_support::WaitUntil([&] { return server.Connections() == 1 && !CheckRunning(); }));
    const auto& limits = services.secrets.lookupLimits;
    ASSERT_FALSE(limits.empty());
    ASSERT_TRUE(limits.back().has_value()) << "the check at start asked the keyring without a bound";
    EXPECT_GE(*limits.back(), startedAt + seconds(30));
    EXPECT_LE(*limits.back(), steady_clock::now() + seconds(30));
    EXPECT_FALSE(services.secrets.limit.has_value()) << "the bound outlived the check";

    frmMain->KxPOP31->SetTimeOut(3000);
    server.AddSession(CheckScript("taro", "secret", 1));
    const auto askedAt = steady_clock::now();
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    ASSERT_TRUE(limits.back().has_value());
    EXPECT_GE(*limits.back(), askedAt + seconds(3));
    EXPECT_LE(*limits.back(), steady_clock::now() + seconds(3));
    EXPECT_FALSE(services.secrets.limit.has_value());
    EXPECT_TRUE(PopupVisible());
}

// A password kept in the keyring shows in the dialog as a stored one would:
// OK with only the interval changed keeps it there, not an empty one.
TEST_F(MainForm, TheDialogShowsThePasswordTheKeyringKeepsSoOkKeepsIt) {
    services.secrets.running = true;
    StoreSettings("127.0.0.1", "taro", "", 10, "");
    hive.put(kKey, "PasswordInKeyring", dword(1));
    services.secrets.items.push_back({"Postwren", KeyringAttributes("127.0.0.1", "taro"), "secret"});
    server.AddSession(CheckScript("taro", "secret", 1));
    MakeForms();
    frmMain->LoadSettings();
    frmMain->Timer1Timer(frmMain.get());
    ASSERT_TRUE(testing_support::WaitUntil([&] { return server.Connections() == 1 && !CheckRunning(); }));
    frmMain->M_ConfigClick(frmMain->M_Config);
    EXPECT_EQ(frmConfig->EdPW->Text(), "secret");
    frmConfig->UDChkCycle->SetPosition(20);
    server.AddSession(CheckScript("taro", "secret", 1));
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    ASSERT_NE(services.secrets.find(KeyringAttributes("127.0.0.1", "taro")), nullptr);
    EXPECT_EQ(services.secrets.find(KeyringAttributes("127.0.0.1", "taro"))->secret, "secret");
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(20));
}

TEST_F(MainForm, TheCheckTimerTicksOnTheClockAtTheStoredInterval) {
    services.clock = &manualClock;
    StoreSettings("127.0.0.1", "taro", "secret", 2, "");
    server.AddSession(CheckScript("taro", "secret", 0));
    server.AddSession(CheckScript("taro", "secret", 4));
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_TRUE(testing_support::WaitUntil([&] { return server.Connections() == 1 && !CheckRunning(); }));
    EXPECT_FALSE(PopupVisible());

    manualClock.Advance(std::chrono::minutes(2) - std::chrono::milliseconds(1));
    ASSERT_TRUE(testing_support::DeliverQueuedMessages());
    EXPECT_EQ(server.Connections(), 1) << "ticked before its interval";
    manualClock.Advance(std::chrono::milliseconds(1));
    ASSERT_TRUE(testing_support::WaitUntil([&] { return PopupVisible() && !CheckRunning(); }));
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_EQ(Application->Title(), Sjis("4通 着信"));
}

struct CycleCase {
    bool stored;
    std::uint32_t value;
    std::int32_t minutes;
    unsigned interval;
};

class StoredCycle : public AppFormsTest, public ::testing::WithParamInterface<CycleCase> {};

TEST_P(StoredCycle, SetsTheCheckInterval) {
    const CycleCase& c = GetParam();
    hive.createKey(kKey);
    hive.put(kKey, "POP3", sz("127.0.0.1"));
    hive.put(kKey, "UserID", sz("taro"));
    hive.put(kKey, "Password", sz(ScramblePassword("secret", DefaultScrambleKey)));
    if (c.stored)
        hive.put(kKey, "Cycle", dword(c.value));
    server.AddSession(CheckScript("taro", "secret", 0));
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    EXPECT_EQ(frmMain->CycleMinutes, c.minutes);
    EXPECT_EQ(frmMain->Timer1->Interval(), c.interval);
    EXPECT_TRUE(frmMain->Timer1->Enabled());
    // The first check runs all the same.
    EXPECT_EQ(server.Connections(), 1);
}

INSTANTIATE_TEST_SUITE_P(Values, StoredCycle,
                         ::testing::Values(CycleCase{true, 1, 1, 60000u}, CycleCase{true, 100, 100, 6000000u},
                                           CycleCase{true, 65536 + 4464, 4464, 4464u * 60000u},
                                           CycleCase{true, 0, 0, 0u}, CycleCase{false, 0, 0, 0u}),
                         [](const ::testing::TestParamInfo<CycleCase>& info) {
                             return info.param.stored ? "stored_" + std::to_string(info.param.value) : "none_stored";
                         });

TEST_F(MainForm, ADamagedOrUnreadableStoreStartsAsOneWithoutSettings) {
    for (const platform::HiveError error : {platform::HiveError::Damaged, platform::HiveError::Unreadable}) {
        hive.storeError = error;
        MakeForms(/*keepFirstIdle=*/true);
        ASSERT_TRUE(RunUntilFirstIdleDone());
        EXPECT_TRUE(DialogVisible());
        EXPECT_TRUE(errors.empty());
        EXPECT_EQ(frmMain->Timer1->Interval(), 0u);
        EXPECT_FALSE(TimedChecksArmed());
        frmConfig.reset();
        frmMain.reset();
    }
    // Only the damaged store was moved aside; the unreadable one is left alone.
    EXPECT_EQ(hive.setAsideCalls, 1);
}

TEST_F(MainForm, ADamagedValueIsReportedAndNoCheckRuns) {
    StoreSettings("127.0.0.1", "taro", "secret", 5, "");
    hive.put(kKey, "Cycle", sz("5"));  // a string where a number belongs
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], Sjis("'Cycle' のデータ型が不正です"));
    // The values before it are loaded; the rest of start-up is skipped.
    EXPECT_EQ(frmMain->Mailbox.UserID, "taro");
    EXPECT_TRUE(frmMain->MailerPath.empty());
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_FALSE(frmMain->Timer1->Enabled());
    EXPECT_FALSE(DialogVisible());
    // Confirming the dialog later does not start timed checks in this process.
    frmConfig->BitBtn1Click(frmConfig.get());
    EXPECT_FALSE(frmMain->Timer1->Enabled());
}

// --- checks -------------------------------------------------------------------------------

TEST_F(MainForm, TimedCheckWithoutMailHidesThePopupAndKeepsItsTexts) {
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession(CheckScript("taro", "secret", 12));
    server.AddSession(CheckScript("taro", "secret", 0));
    frmMain->Timer1Timer(frmMain.get());
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(Application->Title(), Sjis("12通 着信"));
    frmMain->Timer1Timer(frmMain.get());
    EXPECT_FALSE(PopupVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 12));
    EXPECT_EQ(Application->Title(), Sjis("12通 着信"));
    EXPECT_TRUE(server.Mismatches(1).empty());
    EXPECT_FALSE(DialogVisible());
}

TEST_F(MainForm, CheckNowShowsThePopupAlsoWithoutMail) {
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession(CheckScript("taro", "secret", 0));
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), NoMailGreeting("taro"));
    EXPECT_EQ(Application->Title(), Sjis("着信なし"));
    // No mailer path: no mailer button.
    EXPECT_FALSE(frmMain->BBtnMailer->Visible());
    EXPECT_TRUE(server.WaitSessionEnded(0, std::chrono::seconds(5)));
    EXPECT_EQ(server.Lines().back(), "QUIT\r\n");
}

TEST_F(MainForm, TheTrayDoubleClickRunsCheckNowWithoutRestoringTheWindowByItself) {
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession(CheckScript("taro", "secret", 0));
    ASSERT_TRUE(tray.Activate(frmMain->TaskBar1->WindowHandle(), frmMain->TaskBar1->IconData().uID,
                              platform::WM_LBUTTONDBLCLK));
    // The double click is handled one message-loop turn later, and the check after it.
    ASSERT_TRUE(testing_support::WaitUntil([&] {
        return server.Connections() == 1 && !CheckRunning() && PopupVisible();
    })) << "the double click did not check";
    EXPECT_EQ(Application->Title(), Sjis("着信なし"));
}

TEST_F(MainForm, AFailedCheckOpensTheRefilledDialogWithoutAnError) {
    MakeForms();
    UseAccount("taro", "wrong");
    frmMain->CycleMinutes = 7;
    frmMain->MailerPath = "/opt/mail";
    Application->SetTitle(Sjis("3通 着信"));
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"),
                       Expect("PASS wrong", "-ERR [AUTH] Authentication failed.\r\n"), Expect("QUIT", "+OK\r\n")});
    frmConfig->EdUserID->SetText("typed");
    frmMain->Timer1Timer(frmMain.get());
    EXPECT_TRUE(DialogVisible());
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(frmConfig->EdPOP3->Text(), "127.0.0.1");
    EXPECT_EQ(frmConfig->EdUserID->Text(), "taro");
    EXPECT_EQ(frmConfig->EdPW->Text(), "wrong");
    EXPECT_EQ(frmConfig->UDChkCycle->Position(), 7);
    EXPECT_EQ(frmConfig->EdMailer->Text(), "/opt/mail");
    EXPECT_EQ(Application->Title(), "Postwren");
    EXPECT_FALSE(PopupVisible());
}

TEST_F(MainForm, ARefusedConnectionOpensTheDialogToo) {
    MakeForms();
    UseAccount("taro", "secret");
    frmMain->KxPOP31->SetPort(testing_support::ScriptedPop3Server::UnusedPort());
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    EXPECT_TRUE(DialogVisible());
    EXPECT_FALSE(PopupVisible());
    EXPECT_TRUE(errors.empty());
}

TEST_F(MainForm, ACheckArrivingWhileOneRunsIsSkipped) {
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession(CheckScript("taro", "secret", 5));
    // A disturbed connection may wait for ever: give up on it in time.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { frmMain->KxPOP31->Cancel(); });
    watchdog.start(5000);
    // Whatever arrives while the check waits on the network: a tick and a
    // "check now". Both run inside the first check's waits.
    int overlapped = 0;
    bool sawRunning = false;
    QTimer::singleShot(0, [&] {
        sawRunning = CheckRunning();
        frmMain->Timer1Timer(frmMain.get());
        frmMain->M_ChkNowClick(frmMain->M_ChkNow);
        ++overlapped;
    });
    frmMain->Timer1Timer(frmMain.get());
    ASSERT_EQ(overlapped, 1) << "nothing arrived while the check waited";
    EXPECT_TRUE(sawRunning);
    EXPECT_FALSE(CheckRunning());
    // The running check went on undisturbed, on its one connection.
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(server.Mismatches().empty());
    EXPECT_EQ(server.Lines().size(), 4u);
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(Application->Title(), Sjis("5通 着信"));
}

TEST_F(MainForm, ExitEndsTheMessageLoopAtOnceEvenDuringACheck) {
    MakeForms();
    UseAccount("taro", "secret");
    // The server greets and then never answers.
    server.AddSession({Send("+OK ready\r\n"), testing_support::Hang()});
    QEventLoop loop;
    int status = -1;
    QTimer::singleShot(0, [&] { frmMain->Timer1Timer(frmMain.get()); });
    QTimer::singleShot(50, [&] { frmMain->M_ExitClick(frmMain->M_Exit); });
    // A loop that would not end by itself: only the exit can end it in time.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&] { loop.exit(99); });
    guard.start(10000);
    status = loop.exec();
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(CheckRunning());
    // Exiting is not a failed check: no settings dialog on the way out.
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(server.WaitSessionEnded(0, std::chrono::seconds(5)));
}

// --- the popup's buttons -----------------------------------------------------------------

TEST_F(MainForm, TheMailerButtonStartsTheMailerAndHidesThePopup) {
    MakeForms();
    frmMain->MailerPath = "/usr/bin/mailer";
    frmMain->ShowForm();
    EXPECT_TRUE(frmMain->BBtnMailer->Visible());
    frmMain->BBtnMailerClick(frmMain->BBtnMailer);
    ASSERT_EQ(shell.opened.size(), 1u);
    EXPECT_EQ(shell.opened[0].toStdString(), "/usr/bin/mailer");
    EXPECT_FALSE(PopupVisible());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainForm, AMailerThatDoesNotStartIsReportedAndThePopupStays) {
    MakeForms();
    frmMain->MailerPath = "/nowhere/mailer";
    frmMain->ShowForm();
    shell.setResult(platform::SE_ERR_FNF);
    frmMain->BBtnMailerClick(frmMain->BBtnMailer);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, Sjis("Mailerの起動に失敗しました。\n設定を確認してください。"));
    EXPECT_EQ(boxes[0].caption, Sjis("エラー"));
    EXPECT_TRUE(PopupVisible());
    // 32 is still a failure; 33 the first success.
    shell.setResult(platform::kShellOpenFailureMax);
    frmMain->BBtnMailerClick(frmMain->BBtnMailer);
    EXPECT_EQ(boxes.size(), 2u);
    shell.setResult(platform::kShellOpenFailureMax + 1);
    frmMain->BBtnMailerClick(frmMain->BBtnMailer);
    EXPECT_EQ(boxes.size(), 2u);
    EXPECT_FALSE(PopupVisible());
}

TEST_F(MainForm, TheMailerButtonFollowsThePathEachTimeThePopupShows) {
    MakeForms();
    frmMain->ShowForm();
    EXPECT_FALSE(frmMain->BBtnMailer->Visible());
    frmMain->MailerPath = "/usr/bin/mailer";
    frmMain->ShowForm();  // already visible: no change yet
    EXPECT_FALSE(frmMain->BBtnMailer->Visible());
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    EXPECT_FALSE(PopupVisible());
    frmMain->ShowForm();
    EXPECT_TRUE(frmMain->BBtnMailer->Visible());
}

// --- the services it is handed ---------------------------------------------------------

// A check whose network fails the way the system reports it (a refused
// connect, a host name not found) ends in the settings dialog, never an error.
struct NetworkFailure {
    const char* name;
    const char* host;
    std::size_t connects;  // connect attempts the check made
    std::size_t lookups;   // host name look-ups it made
};

class UnreachableNetwork : public AppFormsTest, public ::testing::WithParamInterface<NetworkFailure> {
protected:
    UnreachableSockets network;
};

TEST_P(UnreachableNetwork, TheCheckGoesThroughTheGivenSocketsAndOpensTheDialog) {
    const NetworkFailure& c = GetParam();
    services.sockets = &network;
    MakeForms();
    UseAccount("taro", "secret");
    frmMain->Mailbox.Host = c.host;
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);

    EXPECT_TRUE(DialogVisible());
    EXPECT_FALSE(PopupVisible());
    EXPECT_TRUE(errors.empty());
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(frmConfig->EdPOP3->Text(), c.host);
    // Nothing reached the real network.
    EXPECT_EQ(server.Connections(), 0);
    ASSERT_EQ(network.connects.size(), c.connects);
    EXPECT_EQ(network.lookups.size(), c.lookups);
    if (c.connects != 0) {
        EXPECT_EQ(network.connects[0].address, network.InetAddr(c.host));
        EXPECT_EQ(network.connects[0].port, platform::HostToNetwork16(static_cast<std::uint16_t>(server.Port())));
    }
    if (c.lookups != 0) {
        EXPECT_EQ(network.lookups[0], c.host);
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, UnreachableNetwork,
                         ::testing::Values(NetworkFailure{"refused", "127.0.0.1", 1, 0},
                                           NetworkFailure{"unknown_host", "pop.example.invalid", 0, 1}),
                         [](const ::testing::TestParamInfo<NetworkFailure>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(MainForm, WithoutASocketTheWindowIsNotMadeAndLeavesNothingBehind) {
    UnreachableSockets network;
    network.failCreate = true;
    services.sockets = &network;
    const Services made = services.Make();
    try {
        TFrmMain form(nullptr, made);
        ADD_FAILURE() << "made without a socket";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Initializaton of windows sockets failed");
    }
    EXPECT_EQ(FrmMain, nullptr);
    EXPECT_TRUE(tray.area.Icons().empty());
    EXPECT_EQ(network.LiveSockets(), 0);
    EXPECT_FALSE(Application->OnIdle());
}

TEST_F(MainForm, AServerThatFallsSilentTimesOutOnTheGivenClock) {
    // The session's reply deadline comes from this clock alone: it starts
    // moving once the server has the user name, and the check can end only
    // through it (the server never answers).
    SteppingClock clock;
    services.clock = &clock;
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", ""), testing_support::Hang()});
    const ClockedCheck watch(
        clock, [&] { return !server.Lines().empty(); }, *frmMain->KxPOP31);
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);

    EXPECT_FALSE(watch.GaveUp()) << "the check did not end on the given clock";
    EXPECT_TRUE(clock.Running());
    EXPECT_TRUE(DialogVisible());
    EXPECT_FALSE(PopupVisible());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(server.Lines().front(), "USER taro\r\n");
    // The forms' timers run on this clock: they go before it does.
    TearDown();
}

// --- first run, failure feedback, dragging -------------------------------------------

Script RefusedLogonScript(const std::string& user, const std::string& password) {
    return {Send("+OK ready\r\n"), Expect("USER " + user, "+OK\r\n"),
            Expect("PASS " + password, "-ERR [AUTH] Authentication failed.\r\n"), Expect("QUIT", "+OK\r\n")};
}

int CountOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(MainForm, AFirstRunConfirmedWithEnterStoresTenMinutesAndChecksAtOnce) {
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_TRUE(DialogVisible());
    EXPECT_EQ(frmConfig->UDChkCycle->Position(), 10);
    EXPECT_EQ(frmConfig->STChkCycle->Caption(), "10");
    // Settings missing altogether are not a failure worth a notice.
    EXPECT_TRUE(services.notifier.notices.empty());

    server.AddSession(CheckScript("taro", "secret", 2));
    frmConfig->EdPOP3->SetText("127.0.0.1");
    frmConfig->EdUserID->SetText("taro");
    frmConfig->EdPW->SetText("secret");
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(10));
    EXPECT_EQ(frmMain->Timer1->Interval(), 10u * 60000u);
    // The check runs once the OK handler has returned, like 今すぐチェック.
    ASSERT_TRUE(testing_support::WaitUntil([&] { return PopupVisible() && !CheckRunning(); }));
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_TRUE(server.Mismatches(0).empty());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 2));
    EXPECT_EQ(Application->Title(), Sjis("2通 着信"));
}

struct ShownCycleCase {
    std::uint32_t stored;
    int shown;
};

class StoredCycleShown : public AppFormsTest, public ::testing::WithParamInterface<ShownCycleCase> {};

TEST_P(StoredCycleShown, IsClampedIntoTheUpDownsRangeAndOkStoresThat) {
    StoreSettings("127.0.0.1", "taro", "secret", static_cast<int>(GetParam().stored), "");
    MakeForms();
    frmMain->LoadSettings();
    frmMain->M_ConfigClick(frmMain->M_Config);
    EXPECT_EQ(frmConfig->UDChkCycle->Position(), GetParam().shown);
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(static_cast<std::uint32_t>(GetParam().shown)));
}

INSTANTIATE_TEST_SUITE_P(Values, StoredCycleShown,
                         ::testing::Values(ShownCycleCase{0, 1}, ShownCycleCase{0xFFFFFFFF, 1}, ShownCycleCase{55, 55},
                                           ShownCycleCase{65536 + 4464, 100}),
                         [](const ::testing::TestParamInfo<ShownCycleCase>& info) {
                             return "stored_" + std::to_string(info.param.stored);
                         });

TEST_F(MainForm, EachFailureIsLoggedAndEachRunOfFailuresNotifiedOnce) {
    MakeForms();
    UseAccount("taro", "wrong");
    for (int i = 0; i < 3; ++i) server.AddSession(RefusedLogonScript("taro", "wrong"));
    server.AddSession(CheckScript("taro", "wrong", 0));
    server.AddSession(RefusedLogonScript("taro", "wrong"));

    CaptureLog();
    for (int i = 0; i < 3; ++i) frmMain->Timer1Timer(frmMain.get());
    const std::string firstRun = CapturedLog();
    EXPECT_EQ(CountOf(firstRun,
                      " postwren: check failed: Authentication failed (server: -ERR [AUTH] Authentication failed.)\n"),
              3)
        << firstRun;
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary,
              QString::fromUtf8(
                  "メールを確認できませんでした: Authentication failed (server: -ERR [AUTH] Authentication failed.)"));
    EXPECT_TRUE(DialogVisible());  // the dialog still opens, as ever

    frmMain->Timer1Timer(frmMain.get());  // works: the run ends
    frmMain->Timer1Timer(frmMain.get());  // fails again: a new run
    EXPECT_EQ(services.notifier.notices.size(), 2u);
    EXPECT_EQ(server.Connections(), 5);
}

// A busy mailbox is not a wrong setting: the failure is logged and notified
// once, the dialog stays closed and the timed checks go on.
TEST_F(MainForm, ATemporaryRefusalNotifiesWithoutTheDialog) {
    MakeForms();
    UseAccount("taro", "secret");
    frmMain->Timer1->SetEnabled(true);
    for (int i = 0; i < 2; ++i)
        server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"),
                           Expect("PASS secret", "-ERR [IN-USE] Mailbox is locked\r\n"), Expect("QUIT", "+OK\r\n")});
    server.AddSession(CheckScript("taro", "secret", 1));

    CaptureLog();
    frmMain->Timer1Timer(frmMain.get());
    frmMain->Timer1Timer(frmMain.get());
    const std::string log = CapturedLog();
    EXPECT_EQ(
        CountOf(log, " postwren: check failed: Authentication failed (server: -ERR [IN-USE] Mailbox is locked)\n"), 2)
        << log;
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary,
              QString::fromUtf8(
                  "メールを確認できませんでした: Authentication failed (server: -ERR [IN-USE] Mailbox is locked)"));
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(frmMain->Timer1->Enabled());
    // The next timed check finds the mailbox free again.
    frmMain->Timer1Timer(frmMain.get());
    EXPECT_TRUE(PopupVisible());
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(server.Connections(), 3);
}

// A server's endless refusal, escape sequences and all, is cut in the log
// line and in the notification.
TEST_F(MainForm, AMegabyteRefusalIsLoggedAndNotifiedCut) {
    MakeForms();
    UseAccount("taro", "secret");
    std::string reply = "-ERR ";
    while (reply.size() < (1u << 20)) reply += "busy \x1b[2J";
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"), Expect("PASS secret", reply + "\r\n"),
                       Expect("QUIT", "+OK\r\n")});

    CaptureLog();
    frmMain->Timer1Timer(frmMain.get());
    const std::string log = CapturedLog();
    EXPECT_LT(log.size(), 4096u);
    EXPECT_NE(log.find(" postwren: check failed: Authentication failed (server: -ERR busy \\x1B[2Jbusy "),
              std::string::npos)
        << log.substr(0, 200);
    EXPECT_NE(log.find("…)"), std::string::npos) << log.substr(log.size() > 100 ? log.size() - 100 : 0);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    const QString summary = services.notifier.notices[0].summary;
    EXPECT_LT(summary.toUtf8().size(), 4096);
    EXPECT_TRUE(summary.endsWith(QString::fromUtf8("…)"))) << summary.right(40).toStdString();
}

TEST_F(MainForm, ConfirmedSettingsStartANewRunOfFailures) {
    MakeForms();
    UseAccount("taro", "wrong");
    frmMain->CycleMinutes = 5;
    server.AddSession(RefusedLogonScript("taro", "wrong"));
    server.AddSession(RefusedLogonScript("taro", "still-wrong"));
    CaptureLog();
    frmMain->Timer1Timer(frmMain.get());
    ASSERT_TRUE(DialogVisible());
    frmConfig->EdPW->SetText("still-wrong");
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    // The check after OK fails too: the dialog is back, and the user is told.
    ASSERT_TRUE(testing_support::WaitUntil([&] { return server.Connections() == 2 && !CheckRunning(); }));
    CapturedLog();
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(services.notifier.notices.size(), 2u);
}

TEST_F(MainForm, ServerTextInTheNoticeAndTheLogIsEscaped) {
    MakeForms();
    UseAccount("taro", "secret");
    server.AddSession({Send("-ERR \x1b]0;owned\x07\x1b[2J\r\n"), Expect("QUIT", "+OK\r\n")});
    CaptureLog();
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    const std::string log = CapturedLog();
    EXPECT_EQ(log.find('\x1b'), std::string::npos);
    EXPECT_NE(log.find("check failed: -ERR \\x1B]0;owned\\x07\\x1B[2J\n"), std::string::npos) << log;
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary,
              QString::fromUtf8("メールを確認できませんでした: -ERR \\x1B]0;owned\\x07\\x1B[2J"));
}

// --- one set of settings per check; the network and sleep -----------------------------

TEST_F(MainForm, OkDuringACheckAppliesFromTheNextCheckAndEachCheckSendsOnePair) {
    MakeForms();
    UseAccount("taro", "old-secret");
    frmMain->CycleMinutes = 5;
    // The server holds the first check between USER and PASS.
    server.AddSession({Send("+OK ready\r\n"), Expect("USER taro", ""), testing_support::Pause(), Send("+OK\r\n"),
                       Expect("PASS old-secret", "+OK\r\n"), Expect("STAT", "+OK 1 512\r\n"),
                       Expect("QUIT", "+OK bye\r\n")});
    server.AddSession(CheckScript("hanako", "new-secret", 2));
    // Meanwhile the user confirms another account in the dialog.
    bool confirmed = false;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (confirmed || server.Lines(0).empty())
            return;
        confirmed = true;
        frmMain->M_ConfigClick(frmMain->M_Config);
        frmConfig->EdUserID->SetText("hanako");
        frmConfig->EdPW->SetText("new-secret");
        frmConfig->BitBtn1Click(frmConfig->BitBtn1);
        server.Resume();
    });
    user.start(1);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] { frmMain->KxPOP31->Cancel(); });
    watchdog.start(10000);
    frmMain->Timer1Timer(frmMain.get());
    user.stop();

    ASSERT_TRUE(confirmed) << "the check did not wait for the reply to USER";
    // The running check kept its own pair, and greets its own user.
    EXPECT_EQ(server.Lines(0),
              (std::vector<std::string>{"USER taro\r\n", "PASS old-secret\r\n", "STAT\r\n", "QUIT\r\n"}));
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 1));
    // The check OK asks for follows it, on the confirmed settings.
    ASSERT_TRUE(testing_support::WaitUntil([&] {
        return server.Connections() == 2 && server.Lines(1).size() == 4 && !CheckRunning();
    })) << server.Connections()
        << " connections";
    EXPECT_TRUE(server.Mismatches(1).empty());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("hanako", 2));
    EXPECT_FALSE(DialogVisible());
}

TEST_F(MainForm, OfflineATimedCheckIsSkippedQuietlyAndCheckNowStillReports) {
    services.system.StartWith(platform::Reachability::Disconnected);
    MakeForms();
    UseAccount("taro", "secret");
    // Nothing listens: a check that ran would fail.
    frmMain->KxPOP31->SetPort(testing_support::ScriptedPop3Server::UnusedPort());
    CaptureLog();
    frmMain->Timer1Timer(frmMain.get());
    const std::string log = CapturedLog();
    EXPECT_EQ(CountOf(log, " postwren: timed check skipped: the system is offline\n"), 1) << log;
    EXPECT_EQ(CountOf(log, "\n"), 1) << log;
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(services.notifier.notices.empty());

    CaptureLog();
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    CapturedLog();
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(services.notifier.notices.size(), 1u);
}

TEST_F(MainForm, AFailureRightAfterTheNetworkReturnsCountsOnlyWhenTheSecondAttemptFails) {
    testing_support::ManualClock& clock = manualClock;
    UnreachableSockets network;
    services.clock = &clock;
    services.sockets = &network;
    services.system.StartWith(platform::Reachability::Disconnected);
    MakeForms();
    UseAccount("taro", "secret");
    auto pass = [&](std::chrono::milliseconds d) {
        clock.Advance(d);
        ASSERT_TRUE(testing_support::DeliverQueuedMessages());
    };
    CaptureLog();
    // Before timed checks run (start-up has not finished), the network's return checks nothing.
    services.system.Say(platform::Reachability::Online);
    ASSERT_TRUE(testing_support::DeliverQueuedMessages());
    pass(CheckScheduler::kSettleDelay);
    EXPECT_TRUE(network.connects.empty());

    frmMain->Timer1->SetInterval(60000);
    frmMain->Timer1->SetEnabled(true);
    services.system.Say(platform::Reachability::Disconnected);
    services.system.Say(platform::Reachability::Online);
    ASSERT_TRUE(testing_support::DeliverQueuedMessages());
    // Its check comes a minute after the last such check.
    pass(CheckScheduler::kChangeCheckSpacing - std::chrono::milliseconds(1));
    EXPECT_TRUE(network.connects.empty());
    pass(std::chrono::milliseconds(1));
    ASSERT_EQ(network.connects.size(), 1u) << CapturedLog();
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(services.notifier.notices.empty());
    pass(CheckScheduler::kRetryDelay);
    const std::string log = CapturedLog();
    EXPECT_EQ(network.connects.size(), 2u);
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(CountOf(log, "postwren: check held back: "), 1) << log;
    EXPECT_EQ(CountOf(log, "postwren: check failed: "), 1) << log;
    // The forms' timers run on this clock: they go before it does.
    TearDown();
}

// --- new mail told with its sender and subject ------------------------------------------

struct Message {
    std::string uid;
    std::string from;
    std::string subject;
};

// A check of taro's mailbox holding `mailbox` (message 1 first): the log-on,
// STAT, UIDL (or its refusal), a TOP for each number in `topped` in that
// order (a message without a sender has its TOP refused), then QUIT.
Script ListingScript(const std::vector<Message>& mailbox, const std::vector<int>& topped, bool uidl = true) {
    Script s{Send("+OK ready\r\n"), Expect("USER taro", "+OK\r\n"), Expect("PASS secret", "+OK\r\n"),
             Expect("STAT", "+OK " + std::to_string(mailbox.size()) + " 4096\r\n")};
    std::string uids = "+OK\r\n";
    for (std::size_t i = 0; i < mailbox.size(); ++i) uids += std::to_string(i + 1) + " " + mailbox[i].uid + "\r\n";
    s.push_back(Expect("UIDL", uidl ? uids + ".\r\n" : "-ERR no UIDL here\r\n"));
    for (const int n : topped) {
        const Message& m = mailbox[static_cast<std::size_t>(n - 1)];
        s.push_back(Expect(
            "TOP " + std::to_string(n) + " 0",
            m.from.empty() ? "-ERR no\r\n" : "+OK\r\nFrom: " + m.from + "\r\nSubject: " + m.subject + "\r\n\r\n.\r\n"));
    }
    s.push_back(Expect("QUIT", "+OK bye\r\n"));
    return s;
}

// The program with the box ticked; what it records lives in a folder of the test's own.
class NewMailTold : public AppFormsTest {
protected:
    void SetUp() override {
        AppFormsTest::SetUp();
        ASSERT_TRUE(state.isValid());
        const char* old = std::getenv("XDG_STATE_HOME");
        oldState = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("XDG_STATE_HOME", state.path().toUtf8().constData(), 1);
        Start();
    }
    void TearDown() override {
        AppFormsTest::TearDown();
        if (oldState)
            ::setenv("XDG_STATE_HOME", oldState->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }
    void Start() {
        MakeForms();
        UseAccount("taro", "secret");
        frmMain->AnnounceNewMail = true;
    }
    void TimedCheck() { frmMain->Timer1Timer(frmMain.get()); }
    std::size_t Notices() const { return services.notifier.notices.size(); }
    QString LastBody() const { return services.notifier.notices.back().body; }
    std::optional<std::set<std::string>> Recorded() const {
        return AnnouncedMail(AnnouncedMail::DefaultDirectory(), "127.0.0.1", "taro").Load();
    }

    QTemporaryDir state;
    std::optional<std::string> oldState;
    const Message a{"uid-a", "Alice <alice@example.org>", "Hello"};
    const Message b{"uid-b", "bob@example.org", "Lunch"};
    const Message c{"uid-c", "=?UTF-8?B?5bGx55Sw5aSq6YOO?= <taro@example.jp>",
                    "=?ISO-2022-JP?B?GyRCJDMkcyRLJEEkTxsoQg==?="};
};

TEST_F(NewMailTold, ATimedCheckShowsAndNotifiesOnlyMailNotToldBeforeAcrossRestarts) {
    server.AddSession(ListingScript({a, b}, {2, 1}));
    TimedCheck();
    EXPECT_TRUE(server.Mismatches(0).empty());
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 2));
    ASSERT_EQ(Notices(), 1u);
    const auto& first = services.notifier.notices[0];
    EXPECT_EQ(first.summary, QString::fromUtf8("新着メール 2通"));
    EXPECT_EQ(first.body, QString::fromUtf8("bob@example.org — Lunch\nAlice — Hello"));
    EXPECT_EQ(first.hints.category, "email.arrived");
    EXPECT_EQ(first.hints.soundName, "message-new-email");

    // Nothing new: no TOP, no notice, and the closed popup stays closed.
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    server.AddSession(ListingScript({a, b}, {}));
    TimedCheck();
    EXPECT_TRUE(server.Mismatches(1).empty());
    EXPECT_FALSE(PopupVisible());
    EXPECT_EQ(Notices(), 1u);
    EXPECT_EQ(Application->Title(), Sjis("2通 着信"));

    // One read elsewhere and deleted, one arrived: only the arrival is told,
    // decoded, and the record keeps only what is on the server.
    server.AddSession(ListingScript({b, c}, {2}));
    TimedCheck();
    EXPECT_TRUE(server.Mismatches(2).empty());
    EXPECT_TRUE(PopupVisible());
    ASSERT_EQ(Notices(), 2u);
    EXPECT_EQ(services.notifier.notices[1].summary, QString::fromUtf8("新着メール 1通"));
    EXPECT_EQ(LastBody(), QString::fromUtf8("山田太郎 — こんにちは"));
    EXPECT_EQ(Recorded(), (std::set<std::string>{"uid-b", "uid-c"}));

    // The next start tells nothing old again.
    frmConfig.reset();
    frmMain.reset();
    Start();
    server.AddSession(ListingScript({b, c}, {}));
    TimedCheck();
    EXPECT_TRUE(server.Mismatches(3).empty());
    EXPECT_FALSE(PopupVisible());
    EXPECT_EQ(Notices(), 2u);
}

TEST_F(NewMailTold, FiveAreNamedAndTheRestCounted) {
    std::vector<Message> mailbox;
    for (int i = 1; i <= 7; ++i) mailbox.push_back({"u" + std::to_string(i), "s" + std::to_string(i), "t"});
    mailbox[5].from.clear();  // message 6: its TOP is refused
    server.AddSession(ListingScript(mailbox, {7, 6, 5, 4, 3}));
    TimedCheck();
    EXPECT_TRUE(server.Mismatches(0).empty());
    ASSERT_EQ(Notices(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary, QString::fromUtf8("新着メール 7通"));
    EXPECT_EQ(LastBody(), QString::fromUtf8("s7 — t\n(差出人不明) — (件名なし)\ns5 — t\ns4 — t\ns3 — t\nほか 2 通"));
    // All seven were told of, named or counted.
    EXPECT_EQ(Recorded()->size(), 7u);
}

TEST_F(NewMailTold, WithoutUidlNewMailIsWhatTheCountGrewByLoggedOnce) {
    CaptureLog();
    server.AddSession(ListingScript({a, b}, {2, 1}, /*uidl=*/false));
    TimedCheck();
    ASSERT_EQ(Notices(), 1u);
    EXPECT_EQ(LastBody(), QString::fromUtf8("bob@example.org — Lunch\nAlice — Hello"));
    // Message 3 came: the newest is the new one.
    server.AddSession(ListingScript({a, b, c}, {3, 2, 1}, /*uidl=*/false));
    TimedCheck();
    ASSERT_EQ(Notices(), 2u);
    EXPECT_EQ(services.notifier.notices[1].summary, QString::fromUtf8("新着メール 1通"));
    EXPECT_EQ(LastBody(), QString::fromUtf8("山田太郎 — こんにちは"));
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    server.AddSession(ListingScript({a, b, c}, {3, 2, 1}, /*uidl=*/false));
    TimedCheck();
    EXPECT_FALSE(PopupVisible());
    EXPECT_EQ(Notices(), 2u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(server.Mismatches(i).empty()) << "check " << i;
    EXPECT_EQ(CapturedLog(), " postwren: the server does not answer UIDL; new mail is told by a count that grew\n");
    // Nothing is recorded from a count.
    EXPECT_FALSE(Recorded());
}

TEST_F(NewMailTold, CheckNowShowsThePopupAlsoWhenNothingIsNew) {
    server.AddSession(ListingScript({a}, {1}));
    TimedCheck();
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    server.AddSession(ListingScript({a}, {}));
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 1));
    EXPECT_EQ(Notices(), 1u);
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    server.AddSession(ListingScript({}, {}));
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), NoMailGreeting("taro"));
    // An empty mailbox prunes the record to nothing.
    EXPECT_EQ(Recorded(), std::set<std::string>{});
}

// A header without end: the check that reads it ends all the same, on the
// clock, with the count it had; the listing's failure is logged.
TEST_F(NewMailTold, AnEndlessHeaderEndsTheCheckInTime) {
    frmConfig.reset();
    frmMain.reset();
    SteppingClock clock(std::chrono::milliseconds(500));
    services.clock = &clock;
    Start();
    Script endless{Send("+OK ready\r\n"),
                   Expect("USER taro", "+OK\r\n"),
                   Expect("PASS secret", "+OK\r\n"),
                   Expect("STAT", "+OK 1 99\r\n"),
                   Expect("UIDL", "+OK\r\n1 uid-a\r\n.\r\n"),
                   Expect("TOP 1 0", "+OK\r\n"),
                   testing_support::Stream("X-Filler: aaaaaaaaaaaaaaaa\r\n")};
    server.AddSession(endless);
    const ClockedCheck watch(
        clock, [&] { return server.Lines().size() >= 5; }, *frmMain->KxPOP31);
    CaptureLog();
    TimedCheck();
    EXPECT_FALSE(watch.GaveUp()) << "the check did not end on the clock";
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting("taro", 1));
    EXPECT_NE(CapturedLog().find(" postwren: new mail not listed: "), std::string::npos) << CapturedLog();
    EXPECT_FALSE(Recorded());
    TearDown();
}

TEST_F(NewMailTold, ClearedTheCheckIsTodaysAgain) {
    server.AddSession(ListingScript({a}, {1}));
    TimedCheck();
    frmMain->BBtnCloseClick(frmMain->BBtnClose);
    frmMain->AnnounceNewMail = false;
    server.AddSession(CheckScript("taro", "secret", 1));
    TimedCheck();
    EXPECT_EQ(server.Lines(1), (std::vector<std::string>{"USER taro\r\n", "PASS secret\r\n", "STAT\r\n", "QUIT\r\n"}));
    // Mail waits: the popup comes back as it always did, and nothing is notified.
    EXPECT_TRUE(PopupVisible());
    EXPECT_EQ(Notices(), 1u);
}

// --- servers whose provider signs in -------------------------------------------

// A providers file in a private XDG_CONFIG_HOME names the scripted server's
// address; nothing answers at its endpoints, which the browser alone would
// reach.
class SignInTest : public AppFormsTest {
protected:
    void SetUp() override {
        AppFormsTest::SetUp();
        ASSERT_TRUE(config.isValid());
        if (const char* before = std::getenv("XDG_CONFIG_HOME"))
            savedConfig = before;
        ::setenv("XDG_CONFIG_HOME", config.path().toStdString().c_str(), 1);
        services.secrets.running = true;
    }
    void TearDown() override {
        AppFormsTest::TearDown();
        if (savedConfig)
            ::setenv("XDG_CONFIG_HOME", savedConfig->c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

    // Before MakeForms, which reads it.
    void WriteProviders(bool takesPassword) {
        QDir(config.path()).mkpath("postwren");
        std::ofstream(config.path().toStdString() + "/postwren/oauth2.json")
            << R"({"providers": [{"name": "Test", "hosts": ["127.0.0.1"],
                 "authorize_url": "http://127.0.0.1:9/authorize", "token_url": "http://127.0.0.1:9/token",
                 "device_authorization_url": "http://127.0.0.1:9/device", "client_id": "postwren-test",
                 "scopes": ["mail"], "password": )"
            << (takesPassword ? "true" : "false") << "}]}";
    }

    bool SignInShowing() const { return frmMain->FrmSignIn() != nullptr && frmMain->FrmSignIn()->Visible(); }
    int StoredSignIns() const {
        int n = 0;
        for (const FakeSecretStore::Item& item : services.secrets.items)
            n += item.attributes == OAuth2KeyringAttributes("127.0.0.1", "taro") ? 1 : 0;
        return n;
    }
    // The sign-in waits inside the message loop, so what a person does in
    // its window happens from a timer: `step` runs once the window shows and
    // the browser has been sent the address for the `opens`-th time.
    void WhenSignInWaits(std::size_t opens, std::function<void(TFrmSignIn&)> step) {
        poll.setInterval(5);
        QObject::disconnect(&poll, nullptr, nullptr, nullptr);
        QObject::connect(&poll, &QTimer::timeout, [this, opens, step = std::move(step)] {
            if (!SignInShowing() || shell.opened.size() != opens)
                return;
            poll.stop();
            step(*frmMain->FrmSignIn());
        });
        poll.start();
    }
    bool Notified(std::size_t n) {
        return testing_support::WaitUntil([&] { return services.notifier.notices.size() == n && !CheckRunning(); });
    }

    QTemporaryDir config;
    std::optional<std::string> savedConfig;
    QTimer poll;
};

TEST_F(SignInTest, WithoutAStoredSignInChecksSendNothingAndAskNothingMoreAfterTheFirst) {
    WriteProviders(/*takesPassword=*/false);
    MakeForms();
    frmMain->Mailbox = MailboxSettings{"pop3s://127.0.0.1", "taro", "secret"};
    frmMain->Timer1Timer(frmMain.get());
    const int lookups = services.secrets.lookups;
    frmMain->Timer1Timer(frmMain.get());
    frmMain->Timer1Timer(frmMain.get());
    // No password, no token: the server never hears of the account.
    EXPECT_EQ(server.Connections(), 0);
    // The first check learnt that a sign-in is needed; until one, the keyring
    // and the token endpoint are left alone.
    EXPECT_EQ(services.secrets.lookups, lookups);
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary, QString::fromUtf8("サインインが必要です"));
    EXPECT_TRUE(services.notifier.notices[0].body.contains("Sign-in required"));
    EXPECT_TRUE(DialogVisible());
}

struct ConfirmCase {
    const char* name;
    bool takesPassword;
    const char* host;
    const char* typed;
    bool signsIn;
};

class ConfirmedSignIn : public SignInTest, public ::testing::WithParamInterface<ConfirmCase> {};

TEST_P(ConfirmedSignIn, OkOpensTheSignInWindowWhereTheProviderSignsIn) {
    WriteProviders(GetParam().takesPassword);
    MakeForms();
    if (!GetParam().signsIn)
        server.AddSession(CheckScript("taro", GetParam().typed, 3));
    AnsiString address;
    AnsiString state;
    bool codeOffered = false;
    int noticesWhileWaiting = -1;
    WhenSignInWaits(1, [&](TFrmSignIn& window) {
        address = window.EdAddress->Text();
        state = window.LblState->Caption();
        codeOffered = window.BtnCode->Visible() && window.EdAddress->ReadOnly();
        // The check waits for the sign-in; a timed one does not run meanwhile.
        frmMain->Timer1Timer(frmMain.get());
        noticesWhileWaiting = static_cast<int>(services.notifier.notices.size());
        window.BtnCancelClick(window.BtnCancel);
    });
    frmConfig->EdPOP3->SetText(GetParam().host);
    frmConfig->EdUserID->SetText("taro");
    frmConfig->EdPW->SetText(GetParam().typed);
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    if (!GetParam().signsIn) {
        // A password for a provider that takes one: the exchange of ever.
        ASSERT_TRUE(testing_support::WaitUntil([&] { return PopupVisible() && !CheckRunning(); }));
        EXPECT_TRUE(server.Mismatches(0).empty());
        EXPECT_EQ(frmMain->FrmSignIn(), nullptr);
        return;
    }
    ASSERT_TRUE(Notified(1));
    // The address to copy is the one handed to the desktop's opener.
    EXPECT_EQ(address.rfind("http://127.0.0.1:9/authorize?", 0), 0u) << address;
    ASSERT_EQ(shell.opened.size(), 1u);
    EXPECT_EQ(shell.opened[0].toStdString(), address);
    EXPECT_EQ(state, SignInBrowserText());
    EXPECT_TRUE(codeOffered);
    EXPECT_EQ(noticesWhileWaiting, 0);
    // Cancelled: the window is gone and the check says a sign-in is needed.
    EXPECT_FALSE(SignInShowing());
    EXPECT_EQ(services.notifier.notices[0].summary, QString::fromUtf8("サインインが必要です"));
    EXPECT_TRUE(services.notifier.notices[0].body.contains("Sign-in cancelled"));
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(server.Connections(), 0);
    EXPECT_EQ(StoredSignIns(), 0);
}

INSTANTIATE_TEST_SUITE_P(Providers, ConfirmedSignIn,
                         ::testing::Values(ConfirmCase{"only_oauth2_empty", false, "pop3s://127.0.0.1", "", true},
                                           ConfirmCase{"only_oauth2_typed", false, "pop3s://127.0.0.1", "secret", true},
                                           ConfirmCase{"either_empty", true, "pop3s://127.0.0.1", "", true},
                                           ConfirmCase{"either_typed", true, "127.0.0.1", "secret", false}),
                         [](const ::testing::TestParamInfo<ConfirmCase>& info) { return info.param.name; });

struct KeptCase {
    const char* name;
    const char* host;
    const char* kept;  // null: the keyring stays locked
    const char* summary;
};

class KeptPassword : public SignInTest, public ::testing::WithParamInterface<KeptCase> {};

// Where the provider takes either, a password kept in the keyring is used;
// an empty one there, as an empty field, means the sign-in.
TEST_P(KeptPassword, DecidesBetweenThePasswordAndTheSignIn) {
    WriteProviders(/*takesPassword=*/true);
    StoreSettings(GetParam().host, "taro", "", 10, "");
    hive.put(kKey, "PasswordInKeyring", dword(1));
    if (GetParam().kept != nullptr)
        services.secrets.items.push_back({"Postwren", KeyringAttributes(GetParam().host, "taro"), GetParam().kept});
    else
        services.secrets.locked = true;
    const bool sendsPassword = GetParam().summary == nullptr;
    if (sendsPassword)
        server.AddSession(CheckScript("taro", GetParam().kept, 1));
    MakeForms();
    frmMain->LoadSettings();
    frmMain->Timer1Timer(frmMain.get());
    EXPECT_EQ(server.Connections(), sendsPassword ? 1 : 0);
    if (sendsPassword) {
        EXPECT_TRUE(server.Mismatches(0).empty());
        EXPECT_TRUE(services.notifier.notices.empty());
        return;
    }
    ASSERT_EQ(services.notifier.notices.size(), 1u);
    EXPECT_EQ(services.notifier.notices[0].summary.toStdString(), GetParam().summary);
}

INSTANTIATE_TEST_SUITE_P(
    Keyring, KeptPassword,
    ::testing::Values(KeptCase{"password", "127.0.0.1", "secret", nullptr},
                      KeptCase{"empty", "pop3s://127.0.0.1", "", "サインインが必要です"},
                      KeptCase{"locked", "pop3s://127.0.0.1", nullptr,
                               "メールを確認できませんでした: キーリングからパスワードを読めませんでした"}),
    [](const ::testing::TestParamInfo<KeptCase>& info) { return info.param.name; });

TEST_F(SignInTest, CodeRestartsWithADeviceCodeAndClosingTheWindowCancels) {
    WriteProviders(/*takesPassword=*/false);
    MakeForms();
    frmMain->Mailbox = MailboxSettings{"pop3s://127.0.0.1", "taro", ""};
    // コードを使う: the browser's wait ends and the device flow starts, which
    // asks the device endpoint (nobody listens there) and so fails on the
    // network, not as a sign-in the user gave up.
    WhenSignInWaits(1, [](TFrmSignIn& window) { window.BtnCodeClick(window.BtnCode); });
    frmMain->SettingsConfirmed();
    ASSERT_TRUE(Notified(1));
    EXPECT_EQ(shell.opened.size(), 1u);
    EXPECT_FALSE(SignInShowing());
    EXPECT_EQ(services.notifier.notices[0].summary.toStdString().rfind("メールを確認できませんでした: ", 0), 0u)
        << services.notifier.notices[0].summary.toStdString();

    // Closed by the window manager: as キャンセル.
    WhenSignInWaits(2, [](TFrmSignIn& window) { window.Handle()->close(); });
    frmMain->SettingsConfirmed();
    ASSERT_TRUE(Notified(2));
    EXPECT_FALSE(SignInShowing());
    EXPECT_TRUE(services.notifier.notices[1].body.contains("Sign-in cancelled"));
}

// Mouse events on the popup's face, as the window system delivers them.
class PopupDrag : public AppFormsTest {
protected:
    void SetUp() override {
        AppFormsTest::SetUp();
        MakeForms();
        frmMain->ShowForm();
        face = frmMain->Handle();
        start = face->window()->pos();
        screenOrigin = face->mapToGlobal(QPoint(0, 0));
    }

    // The pointer at `pointer`, in the popup's coordinates before any move.
    void Mouse(QEvent::Type type, QPoint pointer, Qt::MouseButtons held) {
        const QPointF global(screenOrigin + pointer);
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent e(type, face->mapFromGlobal(global), global, button, held, Qt::NoModifier);
        QApplication::sendEvent(face, &e);
    }
    QPoint Moved() const { return face->window()->pos() - start; }

    QWidget* face = nullptr;
    QPoint start;
    QPoint screenOrigin;
    const QPoint pressAt{60, 48};
    const int distance = QApplication::startDragDistance();
};

TEST_F(PopupDrag, AClickLeavesThePopupInPlaceAndDetached) {
    Mouse(QEvent::MouseButtonPress, pressAt, Qt::LeftButton);
    Mouse(QEvent::MouseButtonRelease, pressAt, Qt::NoButton);
    // The pointer moves on without a button: nothing follows it.
    Mouse(QEvent::MouseMove, pressAt + QPoint(50, 40), Qt::NoButton);
    EXPECT_EQ(Moved(), QPoint(0, 0));
    // Even a stray event claiming the button is held does not pick it up.
    Mouse(QEvent::MouseMove, pressAt + QPoint(80, 60), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(0, 0));
}

TEST_F(PopupDrag, ATremorBelowTheDragDistanceIsStillAClick) {
    Mouse(QEvent::MouseButtonPress, pressAt, Qt::LeftButton);
    Mouse(QEvent::MouseMove, pressAt + QPoint(distance - 1, 0), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(0, 0));
    Mouse(QEvent::MouseButtonRelease, pressAt + QPoint(distance - 1, 0), Qt::NoButton);
    EXPECT_EQ(Moved(), QPoint(0, 0));
}

TEST_F(PopupDrag, MovingWithTheButtonHeldDragsUntilRelease) {
    Mouse(QEvent::MouseButtonPress, pressAt, Qt::LeftButton);
    Mouse(QEvent::MouseMove, pressAt + QPoint(40, 30), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(40, 30));
    Mouse(QEvent::MouseMove, pressAt + QPoint(120, 80), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(120, 80));
    Mouse(QEvent::MouseButtonRelease, pressAt + QPoint(120, 80), Qt::NoButton);
    Mouse(QEvent::MouseMove, pressAt + QPoint(200, 200), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(120, 80));
}

TEST_F(PopupDrag, LosingTheFocusDropsTheMove) {
    // Armed, then the focus goes elsewhere before the pointer moves.
    Mouse(QEvent::MouseButtonPress, pressAt, Qt::LeftButton);
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(face, &deactivate);
    Mouse(QEvent::MouseMove, pressAt + QPoint(40, 30), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(0, 0));

    // Moving, then the focus goes: the popup stays where it got to.
    Mouse(QEvent::MouseButtonPress, pressAt, Qt::LeftButton);
    Mouse(QEvent::MouseMove, pressAt + QPoint(40, 30), Qt::LeftButton);
    ASSERT_EQ(Moved(), QPoint(40, 30));
    QEvent appDeactivate(QEvent::ApplicationDeactivate);
    QApplication::sendEvent(qApp, &appDeactivate);
    Mouse(QEvent::MouseMove, pressAt + QPoint(90, 90), Qt::LeftButton);
    EXPECT_EQ(Moved(), QPoint(40, 30));
}

}  // namespace
}  // namespace app_testing
