// The settings dialog: its layout, the refill from the main window, OK and
// Cancel, a failing save, the link label and the first confirmation.
#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QWidget>

#include "app/config_form.h"
#include "app/main_form.h"
#include "core/registry.h"
#include "core/timer.h"
#include "framework/dialogs.h"
#include "framework/label.h"
#include "framework/menus.h"
#include "framework/stdctrls.h"
#include "tests/app/app_fixture.h"

namespace app_testing {
namespace {

using ConfigForm = AppFormsTest;

// Sends a mouse move to a form's window at a client point, as the pointer would.
void movePointer(TFrmConfig* form, int x, int y) {
    QWidget* w = form->Handle();
    const QPointF local(x, y);
    QMouseEvent move(QEvent::MouseMove, local, w->mapToGlobal(local), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &move);
}

void pressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &release);
}

TEST_F(ConfigForm, ShowsTheIntervalOkWouldStoreAndBrowsesForExecutables) {
    MakeForms();
    // The buddy shows the up/down's own position, not a stale designed text.
    EXPECT_EQ(frmConfig->STChkCycle->Caption(), IntToStr(frmConfig->UDChkCycle->Position()));
    frmConfig->UDChkCycle->Step(TUDBtnType::btNext);
    EXPECT_EQ(frmConfig->STChkCycle->Caption(), IntToStr(frmConfig->UDChkCycle->Position()));
    // Programs here have no ".exe": the one filter entry shows executable files.
    EXPECT_EQ(frmConfig->OpenDialog1->Title(), Sjis("Mailer指定"));
    EXPECT_EQ(frmConfig->OpenDialog1->Filter(), ExecutableFileFilter(Sjis("実行ファイル")));
    // Before any pointer movement the link has the window-text colour.
    EXPECT_EQ(frmConfig->LblMyHP->Font()->Color(), clWindowText);
}

TEST_F(ConfigForm, SettingsCommandRefillsOverWhatWasTypedAndResetsTheTitle) {
    MakeForms();
    UseAccount("taro", "pass word ");
    frmMain->CycleMinutes = 4464;
    frmMain->MailerPath = Sjis("/opt/メール/mailer");
    Application->SetTitle(Sjis("3通 着信"));
    frmMain->M_ConfigClick(frmMain->M_Config);
    EXPECT_TRUE(DialogVisible());
    EXPECT_EQ(Application->Title(), "Postwren");

    frmConfig->EdPOP3->SetText("typed.example");
    frmConfig->UDChkCycle->SetPosition(3);
    frmMain->M_ConfigClick(frmMain->M_Config);  // already visible: refilled all the same
    EXPECT_EQ(frmConfig->EdPOP3->Text(), "127.0.0.1");
    EXPECT_EQ(frmConfig->EdUserID->Text(), "taro");
    EXPECT_EQ(frmConfig->EdPW->Text(), "pass word ");
    // Shown within the up/down's range.
    EXPECT_EQ(frmConfig->UDChkCycle->Position(), 100);
    EXPECT_EQ(frmConfig->EdMailer->Text(), Sjis("/opt/メール/mailer"));
    // The password edit shows one mark per character typed.
    auto* pw = dynamic_cast<QLineEdit*>(frmConfig->EdPW->Handle());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(pw->displayText(), QString(10, '*'));
}

TEST_F(ConfigForm, OkCopiesTheFieldsBackAndStoresAllFiveValues) {
    MakeForms();
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->EdPOP3->SetText(" pop.example.org ");
    frmConfig->EdUserID->SetText(Sjis("太郎"));
    frmConfig->EdPW->SetText("secret-password!");
    frmConfig->UDChkCycle->SetPosition(15);
    frmConfig->EdMailer->SetText("/usr/bin/mailer");
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);

    EXPECT_FALSE(DialogVisible());
    // Taken as typed, not trimmed.
    EXPECT_EQ(frmMain->Mailbox.Host, " pop.example.org ");
    EXPECT_EQ(frmMain->Mailbox.UserID, Sjis("太郎"));
    EXPECT_EQ(frmMain->Mailbox.Password, "secret-password!");
    EXPECT_EQ(frmMain->CycleMinutes, 15);
    EXPECT_EQ(frmMain->MailerPath, "/usr/bin/mailer");
    EXPECT_EQ(hive.writes, (std::vector<std::string>{kKey + "\\POP3", kKey + "\\UserID", kKey + "\\Password",
                                                     kKey + "\\Cycle", kKey + "\\Mailer"}));
    EXPECT_EQ(*hive.find(kKey, "POP3"), sz(" pop.example.org "));
    EXPECT_EQ(*hive.find(kKey, "UserID"), sz(Sjis("太郎")));
    EXPECT_EQ(*hive.find(kKey, "Password"), sz(ScramblePassword("secret-password!", DefaultScrambleKey)));
    EXPECT_EQ(hive.find(kKey, "Password")->data.find("secret"), std::string::npos);
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(15));
    EXPECT_EQ(*hive.find(kKey, "Mailer"), sz("/usr/bin/mailer"));

    // What was stored reads back whole in the next process.
    frmConfig.reset();
    frmMain.reset();
    MakeForms();
    frmMain->LoadSettings();
    EXPECT_EQ(frmMain->Mailbox.Host, " pop.example.org ");
    EXPECT_EQ(frmMain->Mailbox.UserID, Sjis("太郎"));
    EXPECT_EQ(frmMain->Mailbox.Password, "secret-password!");
    EXPECT_EQ(frmMain->CycleMinutes, 15);
    EXPECT_EQ(frmMain->Timer1->Interval(), 15u * 60000u);
    EXPECT_EQ(frmMain->MailerPath, "/usr/bin/mailer");
}

TEST_F(ConfigForm, OkWithEmptyFieldsStoresFourEmptyTextsAndTheInterval) {
    MakeForms();
    frmMain->M_ConfigClick(frmMain->M_Config);  // no interval yet: the dialog proposes 10
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_EQ(hive.writes.size(), 5u);
    for (const char* name : {"POP3", "UserID", "Password", "Mailer"}) EXPECT_EQ(*hive.find(kKey, name), sz(""));
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(10));
    EXPECT_TRUE(errors.empty());
}

TEST_F(ConfigForm, TheNewMailBoxSitsLeftOfTheIntervalAndTheDialogKeepsItsSize) {
    MakeForms();
    EXPECT_EQ(frmConfig->ClientWidth(), 257);
    EXPECT_EQ(frmConfig->ClientHeight(), 188);
    const TRect box = frmConfig->ChkNewMail->BoundsRect();
    EXPECT_GE(box.Left, 8);
    EXPECT_LE(box.Right, 112);
    EXPECT_GE(box.Top, 75);
    EXPECT_LE(box.Bottom, 91);
    // Clear of every other control, whose places are the designed ones.
    for (int i = 0; i < frmConfig->ControlCount(); ++i) {
        TControl* other = frmConfig->Controls(i);
        if (other == frmConfig->ChkNewMail || other->Width() == 0)
            continue;
        const TRect r = other->BoundsRect();
        const bool apart = r.Right <= box.Left || box.Right <= r.Left || r.Bottom <= box.Top || box.Bottom <= r.Top;
        EXPECT_TRUE(apart) << other->Name();
    }
    EXPECT_EQ(frmConfig->Label4->Left(), 120);
    EXPECT_EQ(frmConfig->STChkCycle->BoundsRect(), Bounds(208, 75, 28, 16));
    // The caption fits the room; the whole question is the hint.
    EXPECT_EQ(frmConfig->ChkNewMail->Hint(), Sjis("新着の差出人と件名を知らせる"));
    EXPECT_LE(frmConfig->ChkNewMail->Handle()->sizeHint().width(), box.Width());
}

TEST_F(ConfigForm, TheNewMailBoxIsRefilledAndStoredBesideTheFiveValues) {
    MakeForms();
    frmMain->AnnounceNewMail = true;
    frmMain->M_ConfigClick(frmMain->M_Config);
    EXPECT_TRUE(frmConfig->ChkNewMail->Checked());
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_EQ(*hive.find(kKey, "AnnounceNewMail"), dword(1));
    EXPECT_EQ(hive.writes.size(), 6u);

    // Cleared by the user: stored as 0, and read back as off.
    frmMain->M_ConfigClick(frmMain->M_Config);
    static_cast<QAbstractButton*>(frmConfig->ChkNewMail->Handle())->click();
    EXPECT_FALSE(frmConfig->ChkNewMail->Checked());
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_FALSE(frmMain->AnnounceNewMail);
    EXPECT_EQ(*hive.find(kKey, "AnnounceNewMail"), dword(0));
    frmMain->AnnounceNewMail = true;
    frmMain->LoadSettings();
    EXPECT_FALSE(frmMain->AnnounceNewMail);
}

TEST_F(ConfigForm, EnterPressesOkAndEscapePressesCancel) {
    MakeForms();
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->EdUserID->SetText("hanako");
    pressKey(frmConfig->EdUserID->Handle(), Qt::Key_Escape);
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_TRUE(frmMain->Mailbox.UserID.empty());

    frmMain->M_ConfigClick(frmMain->M_Config);
    EXPECT_TRUE(frmConfig->EdUserID->Text().empty());  // the next showing presents the current settings
    frmConfig->EdUserID->SetText("hanako");
    pressKey(frmConfig->EdPW->Handle(), Qt::Key_Return);
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(frmMain->Mailbox.UserID, "hanako");
    EXPECT_EQ(hive.writes.size(), 5u);
}

TEST_F(ConfigForm, AFailingSaveIsReportedAndKeepsTheDialogOpen) {
    MakeForms();
    hive.createKey(kKey);
    hive.failWriteOf = {"Cycle"};
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->EdPOP3->SetText("pop.example.org");
    frmConfig->EdMailer->SetText("/usr/bin/mailer");
    // Pressed as the user would; the button reports what its handler raised.
    static_cast<QAbstractButton*>(frmConfig->BitBtn1->Handle())->click();
    ASSERT_EQ(errors.size(), 1u);
    // The save is one change: it fails as a whole, named by its first value.
    EXPECT_EQ(errors[0], Sjis("'POP3' の設定に失敗しました"));
    EXPECT_TRUE(DialogVisible());
    // None of the values is stored; the settings were copied into the main
    // window already.
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_EQ(hive.find(kKey, "Mailer"), nullptr);
    EXPECT_EQ(frmMain->Mailbox.Host, "pop.example.org");
    EXPECT_EQ(frmMain->MailerPath, "/usr/bin/mailer");
}

// Typed into a widget as the keyboard would.
void typeText(QWidget* target, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(target, &press);
    }
}

// The settings are CP932 text: a character without a CP932 form would be
// stored as '?' and fail at the server later. OK says so and takes nothing.
TEST_F(ConfigForm, OkRefusesATypedCharacterTheSettingsCannotHold) {
    MakeForms();
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->EdPOP3->SetText("pop.example.org");
    typeText(frmConfig->EdUserID->Handle(), QString::fromUtf8("山田"));
    typeText(frmConfig->EdPW->Handle(), QString::fromUtf8("grüße-1"));
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_TRUE(DialogVisible());
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_TRUE(frmMain->Mailbox.Password.empty());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              Sjis("Password に保存できない文字があります。\nShift_JIS (CP932) で書ける文字だけが使えます。"));

    // Typed again in characters CP932 has, it is taken.
    auto* pw = dynamic_cast<QLineEdit*>(frmConfig->EdPW->Handle());
    ASSERT_NE(pw, nullptr);
    pw->selectAll();
    typeText(pw, QString::fromUtf8("パスワード1"));
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_FALSE(DialogVisible());
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(frmMain->Mailbox.UserID, Sjis("山田"));
    EXPECT_EQ(frmMain->Mailbox.Password, Sjis("パスワード1"));
}

TEST_F(ConfigForm, AKeyThatCannotBeCreatedSavesNothingSilently) {
    MakeForms();
    hive.failCreate = true;
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->EdPOP3->SetText("pop.example.org");
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(hive.writes.empty());
    EXPECT_TRUE(errors.empty());
    EXPECT_EQ(frmMain->Mailbox.Host, "pop.example.org");
}

TEST_F(ConfigForm, TheFirstConfirmationWithoutStoredSettingsStartsTimedChecks) {
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_TRUE(DialogVisible());
    ASSERT_EQ(frmMain->Timer1->Interval(), 0u);
    frmConfig->UDChkCycle->SetPosition(7);
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_TRUE(TimedChecksArmed());
    EXPECT_TRUE(frmMain->Timer1->Enabled());
    EXPECT_EQ(frmMain->Timer1->Interval(), 7u * 60000u);
    // Later confirmations change the stored interval only.
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->UDChkCycle->SetPosition(9);
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(9));
    EXPECT_EQ(frmMain->Timer1->Interval(), 7u * 60000u);
}

TEST_F(ConfigForm, AChangedIntervalWaitsForTheNextStartWhenSettingsWereStored) {
    StoreSettings("127.0.0.1", "taro", "secret", 5, "");
    server.AddSession(CheckScript("taro", "secret", 0));
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_EQ(frmMain->Timer1->Interval(), 5u * 60000u);
    frmMain->M_ConfigClick(frmMain->M_Config);
    frmConfig->UDChkCycle->SetPosition(30);
    frmConfig->BitBtn1Click(frmConfig->BitBtn1);
    EXPECT_EQ(*hive.find(kKey, "Cycle"), dword(30));
    EXPECT_EQ(frmMain->Timer1->Interval(), 5u * 60000u);
}

TEST_F(ConfigForm, TheLinkTurnsBlueUnderThePointerAndBlackOverTheBackground) {
    MakeForms();
    frmConfig->ShowForm();
    const TRect link = frmConfig->LblMyHP->BoundsRect();
    movePointer(frmConfig.get(), link.Left + 20, link.Top + 5);
    EXPECT_EQ(frmConfig->LblMyHP->Font()->Color(), 0xFF0000u);
    // Over another label nothing changes; over the background it turns black.
    movePointer(frmConfig.get(), frmConfig->Label1->Left() + 2, frmConfig->Label1->Top() + 2);
    EXPECT_EQ(frmConfig->LblMyHP->Font()->Color(), 0xFF0000u);
    movePointer(frmConfig.get(), 4, 140);
    EXPECT_EQ(frmConfig->LblMyHP->Font()->Color(), 0u);
}

TEST_F(ConfigForm, TheLinkOpensTheProjectPageAndIgnoresAFailure) {
    MakeForms();
    shell.setResult(platform::SE_ERR_NOASSOC);
    frmConfig->LblMyHPClick(frmConfig->LblMyHP);
    ASSERT_EQ(shell.opened.size(), 1u);
    EXPECT_EQ(shell.opened[0].toStdString(), ProjectPageAddress());
    // A real page: the README beside the program, as installed (the build
    // tree has it at the same place).
    const QFileInfo page(shell.opened[0]);
    EXPECT_TRUE(page.isAbsolute());
    EXPECT_TRUE(page.isFile()) << page.filePath().toStdString();
    EXPECT_TRUE(page.filePath().endsWith(QStringLiteral("/share/doc/postwren/README.md")));
    EXPECT_EQ(frmConfig->LblMyHP->Caption(), " " + ProjectPageAddress());
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(errors.empty());
}

}  // namespace
}  // namespace app_testing
