#include "framework/stdctrls.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <functional>
#include <string>
#include <vector>

#include "core/application.h"
#include "core/event_wait.h"
#include "desktop/window_ops.h"
#include "framework/dialogs.h"
#include "framework/qtext.h"

namespace {

using testing_support::WaitUntil;

// Delivers a key press the way the window system would: to the widget, and up
// to its parents while nobody takes it.
void pressKey(QWidget* target, int key, const QString& text = QString()) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &release);
}

void sendMouse(QWidget* target, QEvent::Type type, QPoint local, Qt::MouseButtons held) {
    const QPoint global = target->mapToGlobal(local);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(local), QPointF(global), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

QRgb rgbOf(TColor c) {
    return ToQColor(c).rgb();
}

// ---- Edits ----

TEST(Edit, PasswordCharacterShowsOneMarkPerCharacter) {
    TForm form(nullptr);
    auto* ed = new TEdit(&form);
    ed->SetParent(&form);
    ed->SetPasswordChar('*');
    ed->SetText(Sjis("ab日本"));  // two single-byte and two double-byte characters
    auto* line = static_cast<QLineEdit*>(ed->Handle());
    EXPECT_EQ(line->displayText(), QStringLiteral("****"));
    EXPECT_EQ(ed->Text(), Sjis("ab日本"));

    // Typing at the end adds one more mark and reaches Text().
    ed->SetSelStart(static_cast<int>(ed->Text().size()));
    pressKey(line, Qt::Key_X, QStringLiteral("x"));
    EXPECT_EQ(line->displayText(), QStringLiteral("*****"));
    EXPECT_EQ(ed->Text(), Sjis("ab日本x"));

    // The mark can change after the widget exists, and can be switched off.
    ed->SetPasswordChar('#');
    EXPECT_EQ(line->displayText(), QStringLiteral("#####"));
    ed->SetPasswordChar('\0');
    EXPECT_EQ(line->displayText(), ToQString(Sjis("ab日本x")));
}

TEST(Edit, ReadOnlyRefusesTypingWhileAWritableEditTakesItAndReportsChanges) {
    TForm form(nullptr);
    auto* ro = new TEdit(&form);
    ro->SetParent(&form);
    ro->SetReadOnly(true);
    ro->SetColor(clSilver);
    ro->SetText("/usr/bin/mailer");
    auto* rw = new TEdit(&form);
    rw->SetParent(&form);
    int changes = 0;
    rw->OnChange = [&](TObject* s) {
        EXPECT_EQ(s, rw);
        ++changes;
    };

    pressKey(ro->Handle(), Qt::Key_Z, QStringLiteral("z"));
    EXPECT_EQ(ro->Text(), "/usr/bin/mailer");
    EXPECT_EQ(static_cast<QLineEdit*>(ro->Handle())->palette().color(QPalette::Base), ToQColor(clSilver));

    pressKey(rw->Handle(), Qt::Key_Q, QStringLiteral("q"));
    EXPECT_EQ(rw->Text(), "q");
    rw->SetText("set");
    EXPECT_EQ(static_cast<QLineEdit*>(rw->Handle())->text(), QStringLiteral("set"));
    EXPECT_EQ(changes, 2);
}

TEST(Edit, TextSetByTheProgramStaysByteExactUntilTheUserEdits) {
    TForm form(nullptr);
    auto* ed = new TEdit(&form);
    ed->SetParent(&form);
    ed->Handle();
    // Not valid CP932: the widget can only show a replacement character.
    const AnsiString odd = std::string("pw\xF0\x40\xFF", 5);
    ed->SetText(odd);
    EXPECT_EQ(ed->Text(), odd);
    ed->SetSelStart(2);
    EXPECT_EQ(ed->Text(), odd);
}

TEST(Edit, ControlBytesShowAsPicturesAndStayWhenTheUserTypesElsewhere) {
    TForm form(nullptr);
    auto* ed = new TEdit(&form);
    ed->SetParent(&form);
    // A stored user ID that would be a second command, and a terminal's escapes.
    const AnsiString stored("taro\r\nDELE 1\x1b[2J\x7f", 17);
    ed->SetText(stored);
    auto* line = static_cast<QLineEdit*>(ed->Handle());
    EXPECT_EQ(line->displayText(), QString::fromUtf8("taro␍␊DELE 1␛[2J␡"));
    EXPECT_EQ(ed->Text(), stored);

    // The caret counts one byte per control; typing at the end keeps them.
    ed->SetSelStart(static_cast<int>(stored.size()));
    EXPECT_EQ(line->cursorPosition(), line->text().size());
    EXPECT_EQ(ed->SelStart(), static_cast<int>(stored.size()));
    pressKey(line, Qt::Key_X, QStringLiteral("x"));
    EXPECT_EQ(ed->Text(), stored + "x");

    // Deleting a picture deletes its byte.
    ed->SetSelStart(5);  // after "taro\r"
    pressKey(line, Qt::Key_Backspace);
    EXPECT_EQ(ed->Text(), AnsiString("taro\nDELE 1\x1b[2J\x7fx", 17));
}

TEST(Edit, SelStartCountsBytesAndPutsTheCaretAtTheEnd) {
    TForm form(nullptr);
    auto* ed = new TEdit(&form);
    ed->SetParent(&form);
    ed->SetBounds(0, 0, 60, 20);
    const AnsiString path = Sjis("/home/利用者/very/long/path/to/the/mail/program/メーラー");
    ed->SetText(path);
    auto* line = static_cast<QLineEdit*>(ed->Handle());
    EXPECT_EQ(line->cursorPosition(), 0);  // a new text starts at its beginning
    ed->SetSelStart(static_cast<int>(path.size()));
    EXPECT_EQ(line->cursorPosition(), ToQString(path).size());
    EXPECT_EQ(ed->SelStart(), static_cast<int>(path.size()));

    // Inside a double-byte character the caret goes to the character's start.
    ed->SetText(Sjis("日本"));
    ed->SetSelStart(1);
    EXPECT_EQ(line->cursorPosition(), 0);
    ed->SetSelStart(3);
    EXPECT_EQ(line->cursorPosition(), 1);
    EXPECT_EQ(ed->SelStart(), 2);
    ed->SetSelStart(99);
    EXPECT_EQ(ed->SelStart(), 4);
}

// ---- Buttons ----

struct DialogForm {
    TForm form{nullptr};
    TEdit* edit;
    TBitBtn* ok;
    TBitBtn* cancel;
    TButton* plain;
    std::vector<std::string> clicks;

    DialogForm() {
        form.SetClientWidth(257);
        form.SetClientHeight(188);
        edit = new TEdit(&form);
        edit->SetParent(&form);
        ok = new TBitBtn(&form);
        ok->SetParent(&form);
        ok->SetKind(TBitBtnKind::bkOK);
        ok->SetCaption("OK");
        ok->OnClick = [this](TObject*) { clicks.push_back("ok"); };
        cancel = new TBitBtn(&form);
        cancel->SetParent(&form);
        cancel->SetKind(TBitBtnKind::bkCancel);
        cancel->OnClick = [this](TObject*) { clicks.push_back("cancel"); };
        plain = new TButton(&form);
        plain->SetParent(&form);
        plain->OnClick = [this](TObject*) { clicks.push_back("plain"); };
        form.Show();
    }
};

TEST(Buttons, EnterPressesTheDefaultButtonAndEscTheCancelButton) {
    DialogForm d;
    EXPECT_TRUE(d.ok->Default());
    EXPECT_TRUE(d.cancel->Cancel());

    pressKey(d.edit->Handle(), Qt::Key_Return);
    pressKey(d.edit->Handle(), Qt::Key_Enter);
    pressKey(d.edit->Handle(), Qt::Key_Escape);
    // A key the form does not handle presses nothing.
    pressKey(d.edit->Handle(), Qt::Key_F5);
    EXPECT_EQ(d.clicks, (std::vector<std::string>{"ok", "ok", "cancel"}));

    // On a focused button Enter presses that button instead.
    d.clicks.clear();
    pressKey(d.plain->Handle(), Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([&] { return !d.clicks.empty(); }));  // animated click
    EXPECT_EQ(d.clicks, (std::vector<std::string>{"plain"}));

    // A hidden or disabled default button is not pressed.
    d.clicks.clear();
    d.ok->SetEnabled(false);
    pressKey(d.edit->Handle(), Qt::Key_Return);
    d.ok->SetEnabled(true);
    d.cancel->Hide();
    pressKey(d.edit->Handle(), Qt::Key_Escape);
    EXPECT_TRUE(d.clicks.empty());
}

TEST(Buttons, ACheckBoxTogglesForTheUserAloneAndLeavesEnterToTheDefaultButton) {
    DialogForm d;
    auto* box = new TCheckBox(&d.form);
    box->SetChecked(true);  // before its widget exists
    box->OnClick = [&](TObject*) { d.clicks.push_back(box->Checked() ? "ticked" : "cleared"); };
    box->SetParent(&d.form);
    EXPECT_TRUE(static_cast<QAbstractButton*>(box->Handle())->isChecked());
    box->SetChecked(false);
    EXPECT_FALSE(static_cast<QAbstractButton*>(box->Handle())->isChecked());
    EXPECT_TRUE(d.clicks.empty()) << "set by the program, yet clicked";

    pressKey(box->Handle(), Qt::Key_Space);
    EXPECT_TRUE(box->Checked());
    pressKey(box->Handle(), Qt::Key_Return);
    EXPECT_EQ(d.clicks, (std::vector<std::string>{"ticked", "ok"}));
}

TEST(Buttons, AnExceptionFromOnClickGoesToTheApplicationObject) {
    ASSERT_NE(Application, nullptr);
    DialogForm d;
    std::vector<std::string> reported;
    auto saved = Application->OnException;
    Application->OnException = [&](TObject* sender, const Exception& e) {
        EXPECT_EQ(sender, d.ok);
        reported.push_back(e.Message());
    };
    d.ok->OnClick = [](TObject*) { throw Exception("'Cycle' の設定に失敗しました"); };
    static_cast<QPushButton*>(d.ok->Handle())->click();
    Application->OnException = saved;
    EXPECT_EQ(reported, (std::vector<std::string>{"'Cycle' の設定に失敗しました"}));
}

TEST(Buttons, ATinyGlyphButtonShowsItsGlyphFlatWithoutMargins) {
    TBitBtn b(nullptr);
    b.SetBounds(0, 0, 9, 9);
    TBitmap glyph;
    glyph.SetSize(10, 10);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x) glyph.Canvas()->SetPixel(x, y, RGB(x * 20, y * 20, 100));
    b.SetGlyph(&glyph);

    QImage img(9, 9, QImage::Format_RGB32);
    img.fill(Qt::magenta);
    {
        QPainter p(&img);
        b.PaintButton(&p, false, false);
    }
    // Every pixel is the glyph's own: no frame, no margin, clipped at the edge.
    for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 9; ++x) ASSERT_EQ(img.pixel(x, y), qRgb(x * 20, y * 20, 100)) << x << "," << y;

    // Pressed, the glyph moves one pixel down and right.
    {
        QPainter p(&img);
        b.PaintButton(&p, true, false);
    }
    EXPECT_EQ(img.pixel(1, 1), qRgb(0, 0, 100));
    EXPECT_EQ(img.pixel(8, 8), qRgb(7 * 20, 7 * 20, 100));

    // On a screen of two device pixels a pixel, the glyph's sharper copy.
    QImage sharp(20, 20, QImage::Format_RGB32);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) sharp.setPixel(x, y, qRgb(x * 10, y * 10, 50));
    ASSERT_TRUE(b.Glyph()->SetHiDpiImage(sharp));
    QImage hiDpi(18, 18, QImage::Format_RGB32);
    hiDpi.setDevicePixelRatio(2);
    {
        QPainter p(&hiDpi);
        b.PaintButton(&p, false, false);
    }
    for (int y = 0; y < 18; ++y)
        for (int x = 0; x < 18; ++x) ASSERT_EQ(hiDpi.pixel(x, y), qRgb(x * 10, y * 10, 50)) << x << "," << y;
}

TEST(Buttons, KindButtonsDrawAFramedFaceWithTheirBuiltInGlyph) {
    TBitBtn b(nullptr);
    b.SetBounds(0, 0, 89, 25);
    b.SetKind(TBitBtnKind::bkOK);
    b.SetCaption("OK");
    QImage img(89, 25, QImage::Format_RGB32);
    img.fill(Qt::magenta);
    {
        QPainter p(&img);
        b.PaintButton(&p, false, false);
    }
    EXPECT_EQ(img.pixel(0, 0), rgbOf(clBtnHighlight));
    EXPECT_EQ(img.pixel(88, 24), rgbOf(cl3DDkShadow));
    int greenish = 0;
    for (int y = 0; y < 25; ++y)
        for (int x = 0; x < 89; ++x) {
            const QColor c(img.pixel(x, y));
            if (c.green() > 90 && c.red() < 60 && c.blue() < 60)
                ++greenish;
        }
    EXPECT_GT(greenish, 5) << "the OK tick is missing";
}

// ---- Static text, up/down, bevel ----

struct SpinForm {
    TForm form{nullptr};
    TStaticText* text;
    TUpDown* ud;
    std::vector<TUDBtnType> steps;

    SpinForm() {
        text = new TStaticText(&form);
        text->SetParent(&form);
        text->SetAlignment(TAlignment::taRightJustify);
        text->SetBorderStyle(TStaticBorderStyle::sbsSunken);
        text->SetBounds(208, 75, 28, 16);
        ud = new TUpDown(&form);
        ud->SetParent(&form);
        ud->SetBounds(236, 75, 15, 16);
        ud->SetMin(1);
        ud->SetMax(100);
        ud->SetAssociate(text);
        ud->OnChangePosition = [this](TObject*, TUDBtnType b) { steps.push_back(b); };
        form.Show();
    }
};

TEST(UpDown, StepsStopAtMinAndMaxAndTheBuddyShowsThePosition) {
    SpinForm s;
    auto* label = static_cast<QLabel*>(s.text->Handle());
    EXPECT_TRUE(label->alignment() & Qt::AlignRight);

    s.ud->SetPosition(99);
    EXPECT_EQ(s.text->Text(), "99");
    EXPECT_EQ(label->text(), QStringLiteral("99"));
    s.ud->Step(TUDBtnType::btNext);
    s.ud->Step(TUDBtnType::btNext);
    EXPECT_EQ(s.ud->Position(), 100);
    EXPECT_EQ(s.text->Text(), "100");
    EXPECT_EQ(s.steps.size(), 1u);  // the refused step changed nothing

    s.ud->SetPosition(2);
    s.ud->Step(TUDBtnType::btPrev);
    s.ud->Step(TUDBtnType::btPrev);
    EXPECT_EQ(s.ud->Position(), 1);
    EXPECT_EQ(s.text->Text(), "1");

    // With Wrap the ends meet.
    s.ud->SetWrap(true);
    s.ud->Step(TUDBtnType::btPrev);
    EXPECT_EQ(s.ud->Position(), 100);
    s.ud->Step(TUDBtnType::btNext);
    EXPECT_EQ(s.ud->Position(), 1);
}

TEST(UpDown, AProgramPositionOutsideTheRangeIsKeptUntilTheUserSteps) {
    SpinForm s;
    s.ud->SetPosition(0);  // no interval stored
    EXPECT_EQ(s.ud->Position(), 0);
    EXPECT_EQ(s.text->Text(), "0");
    s.ud->Step(TUDBtnType::btPrev);
    EXPECT_EQ(s.ud->Position(), 1);

    s.ud->SetPosition(4464);
    EXPECT_EQ(s.text->Text(), "4464");
    s.ud->Step(TUDBtnType::btNext);
    EXPECT_EQ(s.ud->Position(), 100);

    s.ud->SetPosition(-5);
    EXPECT_EQ(s.text->Text(), "-5");
}

TEST(UpDown, ArrowsAndArrowKeysStepLikeTheUser) {
    SpinForm s;
    s.ud->SetPosition(50);
    QWidget* arrows = s.ud->Handle();
    sendMouse(arrows, QEvent::MouseButtonPress, QPoint(7, 2), Qt::LeftButton);  // upper half
    sendMouse(arrows, QEvent::MouseButtonRelease, QPoint(7, 2), Qt::NoButton);
    EXPECT_EQ(s.ud->Position(), 51);
    sendMouse(arrows, QEvent::MouseButtonPress, QPoint(7, 13), Qt::LeftButton);  // lower half
    sendMouse(arrows, QEvent::MouseButtonRelease, QPoint(7, 13), Qt::NoButton);
    EXPECT_EQ(s.ud->Position(), 50);

    pressKey(s.text->Handle(), Qt::Key_Up);
    pressKey(arrows, Qt::Key_Up);
    EXPECT_EQ(s.ud->Position(), 52);
    s.ud->SetArrowKeys(false);
    pressKey(s.text->Handle(), Qt::Key_Down);
    EXPECT_EQ(s.ud->Position(), 52);
    EXPECT_EQ(s.steps, (std::vector<TUDBtnType>{TUDBtnType::btNext, TUDBtnType::btPrev, TUDBtnType::btNext,
                                                TUDBtnType::btNext}));
}

TEST(UpDown, ABuddyDestroyedFirstIsForgotten) {
    TForm form(nullptr);
    auto* ud = new TUpDown(&form);
    ud->SetParent(&form);
    {
        TStaticText buddy(nullptr);
        buddy.SetParent(&form);
        ud->SetAssociate(&buddy);
        form.Show();
        EXPECT_EQ(ud->Associate(), &buddy);
    }
    EXPECT_EQ(ud->Associate(), nullptr);
    ud->Step(TUDBtnType::btNext);
    EXPECT_EQ(ud->Position(), 1);
}

TEST(Bevel, TopLineIsAShadowLineOverAHighlightLine) {
    TBevel bevel(nullptr);
    bevel.SetShape(TBevelShape::bsTopLine);
    bevel.SetBounds(0, 0, 241, 9);
    QImage img(241, 9, QImage::Format_RGB32);
    img.fill(Qt::magenta);
    {
        QPainter p(&img);
        bevel.PaintTo(&p);
    }
    for (int x : {0, 120, 240}) {
        EXPECT_EQ(img.pixel(x, 0), rgbOf(clBtnShadow));
        EXPECT_EQ(img.pixel(x, 1), rgbOf(clBtnHighlight));
        EXPECT_EQ(img.pixel(x, 2), QColor(Qt::magenta).rgb());
    }
}

// ---- Window operations the forms use ----

TEST(WindowOps, TopmostKeepsPlaceAndSizeOfAShownWindow) {
    TForm form(nullptr);
    form.SetBorderStyle(TFormBorderStyle::bsNone);
    form.SetClientWidth(205);
    form.SetClientHeight(66);
    form.SetBounds(40, 30, 205, 66);
    form.Show();
    QWidget* w = form.Handle();
    const QRect before = w->geometry();
    platform::SetTopmost(w);
    EXPECT_TRUE(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(w->geometry(), before);
    // Hidden windows take it too, without moving.
    TForm hidden(nullptr);
    hidden.SetBounds(70, 80, 100, 50);
    QWidget* h = hidden.Handle();
    platform::SetTopmost(h);
    EXPECT_TRUE(h->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(h->pos(), QPoint(70, 80));
}

TEST(WindowOps, WithoutAWindowManagerMoveTheWindowFollowsTheMouseUntilRelease) {
    TForm form(nullptr);
    form.SetBorderStyle(TFormBorderStyle::bsNone);
    form.SetClientWidth(205);
    form.SetClientHeight(66);
    form.SetBounds(100, 100, 205, 66);
    form.Show();
    QWidget* w = form.Handle();
    const QPoint start = w->pos();
    const QPoint press = w->mapToGlobal(QPoint(10, 10));
    ASSERT_TRUE(platform::StartWindowDrag(w, press));
    sendMouse(w, QEvent::MouseMove, QPoint(40, 30), Qt::LeftButton);
    EXPECT_EQ(w->pos(), start + QPoint(30, 20));
    sendMouse(w, QEvent::MouseButtonRelease, w->mapFromGlobal(press + QPoint(30, 20)), Qt::NoButton);
    const QPoint dropped = w->pos();
    sendMouse(w, QEvent::MouseMove, QPoint(90, 50), Qt::NoButton);
    EXPECT_EQ(w->pos(), dropped);
    EXPECT_FALSE(platform::StartWindowDrag(nullptr, press));
}

TEST(WindowOps, ThePopupCarriesTheApplicationTitleAndTheTaskbarEntryFollowsIt) {
    ASSERT_NE(Application, nullptr);
    const std::string savedTitle = Application->Title();
    auto savedHandler = Application->OnTitleChange;
    int earlierHandlerRuns = 0;
    Application->OnTitleChange = [&] { ++earlierHandlerRuns; };
    Application->SetTitle("Postwren");
    Application->ShowAppWindow(false);

    TForm popup(nullptr);
    popup.SetBorderStyle(TFormBorderStyle::bsNone);
    popup.SetClientWidth(205);
    popup.SetClientHeight(66);
    InstallTaskbarTitle(&popup);
    QWidget* w = popup.Handle();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Postwren"));

    Application->SetTitle(Sjis("3通 着信"));
    EXPECT_EQ(w->windowTitle(), QStringLiteral("3通 着信"));
    EXPECT_EQ(earlierHandlerRuns, 2);  // the handler installed before still runs

    EXPECT_FALSE(Application->AppWindowVisible());
    popup.Show();
    EXPECT_TRUE(Application->AppWindowVisible());
    popup.Hide();
    EXPECT_FALSE(Application->AppWindowVisible());

    Application->OnTitleChange = savedHandler;
    Application->SetTitle(savedTitle);
}

}  // namespace
