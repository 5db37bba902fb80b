#include "framework/dialogs.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QAbstractProxyModel>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <set>

#include "core/application.h"
#include "core/event_wait.h"
#include "core/exception.h"
#include "framework/qtext.h"

namespace {

using testing_support::WaitUntil;

constexpr int kDeadlineMs = 10000;

// Runs `act` on the modal window once it is up, from inside its own loop.
// Fails the test when none appears before the deadline.
void whenModalAppears(std::function<void(QWidget*)> act) {
    auto* poll = new QTimer(qApp);
    auto* clock = new QElapsedTimer;
    clock->start();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, clock, act] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr && clock->elapsed() < kDeadlineMs)
            return;
        poll->stop();
        poll->deleteLater();
        delete clock;
        if (modal == nullptr) {
            ADD_FAILURE() << "no modal window appeared";
            return;
        }
        act(modal);
    });
    poll->start(5);
}

void writeFile(const QString& path, QFileDevice::Permissions perms) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("#!/bin/sh\n");
    f.close();
    ASSERT_TRUE(f.setPermissions(perms));
}

constexpr QFileDevice::Permissions kPlain = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr QFileDevice::Permissions kProgram = kPlain | QFileDevice::ExeOwner;

// ---- Open dialog ----

TEST(OpenDialog, FilterEntriesBecomeTheDialogsNameFilters) {
    TOpenDialog d(nullptr);
    d.SetTitle(Sjis("Mailer指定"));
    d.SetFilter(Sjis("テキスト|*.txt;*.log|すべて|*|半端"));
    d.SetFilterIndex(2);
    auto dialog = d.CreateDialog();
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Mailer指定"));
    EXPECT_EQ(dialog->nameFilters(),
              (QStringList{QStringLiteral("テキスト (*.txt *.log)"), QStringLiteral("すべて (*)")}));
    EXPECT_EQ(dialog->selectedNameFilter(), QStringLiteral("すべて (*)"));
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
}

TEST(OpenDialog, TheExecutablesFilterShowsProgramsAndFoldersButNotOtherFiles) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath("mailer"), kProgram);
    writeFile(dir.filePath("notes.txt"), kPlain);
    writeFile(dir.filePath("old.exe"), kPlain);  // the name alone makes nothing a program here
    ASSERT_TRUE(QDir(dir.path()).mkdir("bin"));

    TOpenDialog d(nullptr);
    d.SetFilter(ExecutableFileFilter(Sjis("実行ファイル")));
    d.SetInitialDir(FromQString(dir.path()));
    auto dialog = d.CreateDialog();
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("実行ファイル (*)")});

    auto* proxy = dialog->proxyModel();
    ASSERT_NE(proxy, nullptr);
    auto* fs = qobject_cast<QFileSystemModel*>(proxy->sourceModel());
    ASSERT_NE(fs, nullptr);
    const QModelIndex root = fs->index(dir.path());
    // The file system model reads folders in the background.
    ASSERT_TRUE(WaitUntil([&] { return fs->rowCount(root) == 4; }));
    const QModelIndex proxyRoot = proxy->mapFromSource(root);
    std::set<QString> shown;
    for (int r = 0; r < proxy->rowCount(proxyRoot); ++r) shown.insert(proxy->index(r, 0, proxyRoot).data().toString());
    EXPECT_EQ(shown, (std::set<QString>{QStringLiteral("mailer"), QStringLiteral("bin")}));
}

TEST(OpenDialog, ExecuteKeepsTheChoiceAndStartsFromItNextTime) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    writeFile(dir.filePath("mailer"), kProgram);
    writeFile(dir.filePath("other"), kProgram);
    TOpenDialog d(nullptr);
    d.SetFilter(ExecutableFileFilter(Sjis("実行ファイル")));
    d.SetInitialDir(FromQString(dir.path()));

    whenModalAppears([&](QWidget* modal) {
        auto* fd = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(fd, nullptr);
        EXPECT_EQ(QDir(fd->directory()).canonicalPath(), QDir(dir.path()).canonicalPath());
        fd->selectFile(dir.filePath("mailer"));
        static_cast<QDialog*>(fd)->accept();  // as the dialog's Open button does
    });
    ASSERT_TRUE(d.Execute());
    EXPECT_EQ(d.FileName(), FromQString(QFileInfo(dir.filePath("mailer")).absoluteFilePath()));
    EXPECT_EQ(d.FilterIndex(), 1);

    // The next run starts at the last choice; cancelling keeps it.
    QStringList offered;
    whenModalAppears([&](QWidget* modal) {
        auto* fd = qobject_cast<QFileDialog*>(modal);
        ASSERT_NE(fd, nullptr);
        offered = fd->selectedFiles();
        fd->reject();
    });
    EXPECT_FALSE(d.Execute());
    ASSERT_EQ(offered.size(), 1);
    EXPECT_EQ(QFileInfo(offered[0]).fileName(), QStringLiteral("mailer"));
    EXPECT_EQ(d.FileName(), FromQString(QFileInfo(dir.filePath("mailer")).absoluteFilePath()));
}

// ---- Message boxes ----

TEST(MessageBoxes, OkOnlyWithoutIconShowsTheTextAndCaption) {
    auto box = CreateMessageBox(Sjis("Mailerの起動に失敗しました。\n設定を確認してください。"), Sjis("エラー"), MB_OK);
    EXPECT_EQ(box->windowTitle(), QStringLiteral("エラー"));
    EXPECT_EQ(box->text(), QStringLiteral("Mailerの起動に失敗しました。\n設定を確認してください。"));
    EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
    EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);

    // Texts from outside (a server's reply in an exception) are never read as markup.
    auto markup = CreateMessageBox("<b>-ERR</b> <img src=x>", "", MB_OK);
    EXPECT_EQ(markup->textFormat(), Qt::PlainText);

    // Nor are their control characters passed on: they show as pictures,
    // while the lines of the text stay lines.
    auto escapes = CreateMessageBox("-ERR \x1b]0;pwned\x07\r\nnext\tline", "caption\x1b[2J\n", MB_OK);
    EXPECT_EQ(escapes->text(), QString::fromUtf8("-ERR ␛]0;pwned␇\r\nnext\tline"));
    EXPECT_EQ(escapes->windowTitle(), QString::fromUtf8("caption␛[2J␊"));

    auto ask = CreateMessageBox("?", "", MB_YESNO | MB_ICONQUESTION);
    EXPECT_EQ(ask->standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_EQ(ask->icon(), QMessageBox::Question);
}

TEST(MessageBoxes, MessageBoxRunsModallyAndAnswersWithTheButtonPressed) {
    QString seen;
    whenModalAppears([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen = box->windowTitle();
        box->button(QMessageBox::Cancel)->click();
    });
    EXPECT_EQ(MessageBox("text", "caption", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(seen, QStringLiteral("caption"));

    whenModalAppears([](QWidget* modal) { static_cast<QMessageBox*>(modal)->button(QMessageBox::Ok)->click(); });
    EXPECT_EQ(MessageBox("text", "caption", MB_OK), IDOK);
}

TEST(MessageBoxes, TheStandardErrorBoxShowsTheMessageUnderTheApplicationTitle) {
    ASSERT_NE(Application, nullptr);
    const std::string savedTitle = Application->Title();
    auto savedHook = Application->ShowExceptionHook;
    Application->SetTitle(Sjis("3通 着信"));
    InstallStandardErrorBox();

    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    whenModalAppears([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    try {
        throw Exception(Sjis("'Cycle' のデータ型が不正です"));
    } catch (...) {
        Application->HandleException(nullptr);
    }
    Application->ShowExceptionHook = savedHook;
    Application->SetTitle(savedTitle);

    EXPECT_EQ(title, QStringLiteral("3通 着信"));
    EXPECT_EQ(text, QStringLiteral("'Cycle' のデータ型が不正です"));
    EXPECT_EQ(icon, QMessageBox::Critical);
}

}  // namespace
