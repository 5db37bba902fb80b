#include "app/config_form.h"

#include <QCoreApplication>
#include <QDir>
#include <algorithm>
#include <utility>

#include "app/check_feedback.h"
#include "app/main_form.h"
#include "desktop/shell.h"
#include "framework/dialogs.h"
#include "framework/label.h"
#include "framework/qtext.h"
#include "framework/stdctrls.h"
#include "net/kxpop3.h"

TFrmConfig* FrmConfig = nullptr;

namespace {

constexpr int kClientWidth = 257;
constexpr int kClientHeight = 188;
constexpr int kSmallFontHeight = -11;

// Position and size of a control, as designed.
struct Place {
    int left, top, width, height;
};

constexpr Place kLabel1{8, 8, 0, 0};
constexpr Place kLabel2{8, 32, 0, 0};
constexpr Place kLabel3{8, 56, 0, 0};
constexpr Place kLabel4{120, 77, 0, 0};
constexpr Place kEdPOP3{64, 4, 185, 20};
constexpr Place kEdUserID{64, 28, 185, 20};
constexpr Place kEdPW{64, 52, 185, 20};
constexpr Place kSTChkCycle{208, 75, 28, 16};
constexpr Place kUDChkCycle{236, 75, 15, 16};
constexpr Place kChkNewMail{8, 75, 104, 16};
constexpr Place kButton1{8, 96, 49, 20};
constexpr Place kEdMailer{64, 96, 185, 20};
constexpr Place kBitBtn1{64, 120, 89, 25};
constexpr Place kBitBtn2{160, 120, 89, 25};
constexpr Place kBevel1{8, 152, 241, 9};
constexpr Place kLblCpyRight{40, 160, 209, 11};
constexpr Place kLblMyHP{42, 173, 207, 11};

constexpr char kNewMailQuestion[] = "新着の差出人と件名を知らせる";
constexpr char kNewMailCaption[] = "差出人と件名";

// The position the layout gives the up/down (its range is the interval's).
constexpr std::int16_t kCycleDesignedPosition = 16;

// Link colours: blue under the pointer, black once it has left.
constexpr TColor kLinkHoverColor = 0xFF0000;
constexpr TColor kLinkRestColor = 0;

void place(TControl* c, const Place& p) {
    if (p.width == 0 && p.height == 0) {
        c->SetLeft(p.left);
        c->SetTop(p.top);
        return;
    }
    c->SetBounds(p.left, p.top, p.width, p.height);
}

}  // namespace

AnsiString ProjectPageAddress() {
    // Where the README is installed, seen from the program's own folder.
    const QString readme = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                           QStringLiteral("/" POSTWREN_DOC_FROM_BIN "/README.md"));
    return Utf8ToCp932(readme.toStdString());
}

AnsiString CreditText() {
    return Sjis("Postwren  POP3 メールチェッカー");
}

TFrmConfig::TFrmConfig(TComponent* AOwner, const Services& services) : TForm(AOwner), services_(services) {
    BeginLoading();
    SetName("FrmConfig");
    SetBorderStyle(TFormBorderStyle::bsDialog);
    SetPosition(TPosition::poScreenCenter);
    SetCaption("Postwren");
    SetClientWidth(kClientWidth);
    SetClientHeight(kClientHeight);
    Font()->SetName(DefaultFontName());
    Font()->SetCharset(SHIFTJIS_CHARSET);
    Font()->SetHeight(-12);

    auto makeLabel = [this](const char* name, const Place& p, const AnsiString& caption) {
        auto* label = new TLabel(this);
        label->SetName(name);
        label->SetParent(this);
        place(label, p);
        label->SetCaption(caption);
        return label;
    };
    Label1 = makeLabel("Label1", kLabel1, "POP3");
    Label2 = makeLabel("Label2", kLabel2, "User ID");
    Label3 = makeLabel("Label3", kLabel3, "Password");
    Label4 = makeLabel("Label4", kLabel4, Sjis("チェック間隔(分)"));

    auto makeEdit = [this](const char* name, const Place& p, int tabOrder) {
        auto* edit = new TEdit(this);
        edit->SetName(name);
        edit->SetParent(this);
        place(edit, p);
        edit->SetTabOrder(tabOrder);
        return edit;
    };
    EdPOP3 = makeEdit("EdPOP3", kEdPOP3, 2);
    EdUserID = makeEdit("EdUserID", kEdUserID, 3);
    EdPW = makeEdit("EdPW", kEdPW, 4);
    EdPW->SetPasswordChar('*');

    STChkCycle = new TStaticText(this);
    STChkCycle->SetName("STChkCycle");
    STChkCycle->SetParent(this);
    place(STChkCycle, kSTChkCycle);
    STChkCycle->SetAlignment(TAlignment::taRightJustify);
    STChkCycle->SetBorderStyle(TStaticBorderStyle::sbsSunken);
    STChkCycle->SetTabOrder(5);
    STChkCycle->SetCaption("5");

    UDChkCycle = new TUpDown(this);
    UDChkCycle->SetName("UDChkCycle");
    UDChkCycle->SetParent(this);
    place(UDChkCycle, kUDChkCycle);
    UDChkCycle->SetMin(kCycleMinutesMin);
    UDChkCycle->SetMax(kCycleMinutesMax);
    UDChkCycle->SetIncrement(1);
    UDChkCycle->SetWrap(false);
    UDChkCycle->SetArrowKeys(true);
    UDChkCycle->SetPosition(kCycleDesignedPosition);
    UDChkCycle->SetTabOrder(6);
    // The buddy shows the up/down's position from here on, so the number the
    // user sees is the one OK stores.
    UDChkCycle->SetAssociate(STChkCycle);

    ChkNewMail = new TCheckBox(this);
    ChkNewMail->SetName("ChkNewMail");
    ChkNewMail->SetParent(this);
    place(ChkNewMail, kChkNewMail);
    // The room holds a short caption; the whole question is the hint.
    ChkNewMail->SetCaption(Sjis(kNewMailCaption));
    ChkNewMail->SetHint(Sjis(kNewMailQuestion));
    ChkNewMail->SetShowHint(true);
    ChkNewMail->SetTabOrder(9);

    Button1 = new TButton(this);
    Button1->SetName("Button1");
    Button1->SetParent(this);
    place(Button1, kButton1);
    Button1->SetCaption("Mailer");
    Button1->SetTabOrder(8);
    Button1->OnClick = [this](TObject* Sender) { Button1Click(Sender); };

    EdMailer = makeEdit("EdMailer", kEdMailer, 7);
    EdMailer->SetReadOnly(true);
    EdMailer->SetColor(clSilver);

    auto makeBitBtn = [this](const char* name, const Place& p, TBitBtnKind kind, const AnsiString& caption,
                             int tabOrder) {
        auto* button = new TBitBtn(this);
        button->SetName(name);
        button->SetParent(this);
        place(button, p);
        button->SetKind(kind);
        button->SetCaption(caption);
        button->SetTabOrder(tabOrder);
        return button;
    };
    BitBtn1 = makeBitBtn("BitBtn1", kBitBtn1, TBitBtnKind::bkOK, "OK", 0);
    BitBtn1->OnClick = [this](TObject* Sender) { BitBtn1Click(Sender); };
    BitBtn2 = makeBitBtn("BitBtn2", kBitBtn2, TBitBtnKind::bkCancel, Sjis("キャンセル"), 1);
    BitBtn2->OnClick = [this](TObject* Sender) { BitBtn2Click(Sender); };

    Bevel1 = new TBevel(this);
    Bevel1->SetName("Bevel1");
    Bevel1->SetParent(this);
    place(Bevel1, kBevel1);
    Bevel1->SetShape(TBevelShape::bsTopLine);

    auto makeSmallLabel = [&](const char* name, const Place& p, const AnsiString& caption) {
        TLabel* label = makeLabel(name, p, caption);
        label->SetAutoSize(false);
        place(label, p);
        label->SetParentFont(false);
        label->Font()->SetName(DefaultFontName());
        label->Font()->SetCharset(SHIFTJIS_CHARSET);
        label->Font()->SetHeight(kSmallFontHeight);
        label->Font()->SetColor(clWindowText);
        return label;
    };
    LblCpyRight = makeSmallLabel("LblCpyRight", kLblCpyRight, CreditText());
    LblMyHP = makeSmallLabel("LblMyHP", kLblMyHP, " " + ProjectPageAddress());
    LblMyHP->OnClick = [this](TObject* Sender) { LblMyHPClick(Sender); };
    LblMyHP->OnMouseMove = [this](TObject* Sender, TShiftState Shift, int X, int Y) {
        LblMyHPMouseMove(Sender, Shift, X, Y);
    };

    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->SetName("OpenDialog1");
    OpenDialog1->SetOptions(ofHideReadOnly | ofEnableSizing);
    OpenDialog1->SetFilterIndex(1);

    OnCreate = [this](TObject* Sender) { FormCreate(Sender); };
    OnMouseMove = [this](TObject* Sender, TShiftState Shift, int X, int Y) { FormMouseMove(Sender, Shift, X, Y); };
    EndLoading();

    // Made now, hidden, so the first showing finds every control in place.
    Handle();
    DoCreate();
    if (FrmConfig == nullptr)
        FrmConfig = this;
}

TFrmConfig::~TFrmConfig() {
    DestroyComponents();
    if (FrmConfig == this)
        FrmConfig = nullptr;
}

void TFrmConfig::FormCreate(TObject*) {
    OpenDialog1->SetTitle(Sjis("Mailer指定"));
    // Programs here carry no common extension: the one entry shows the files
    // the user may execute.
    OpenDialog1->SetFilter(ExecutableFileFilter(Sjis("実行ファイル")));
}

void TFrmConfig::FormMouseMove(TObject*, TShiftState, int, int) {
    LblMyHP->Font()->SetColor(kLinkRestColor);
}

void TFrmConfig::LblMyHPMouseMove(TObject*, TShiftState, int, int) {
    LblMyHP->Font()->SetColor(kLinkHoverColor);
}

void TFrmConfig::LblMyHPClick(TObject*) {
    // Nothing to report when no browser opens the page.
    services_.shell.Open(ToQString(ProjectPageAddress()));
}

void TFrmConfig::Button1Click(TObject*) {
    if (!OpenDialog1->Execute())
        return;
    EdMailer->SetText(OpenDialog1->FileName());
    // The end of a long path is the part that tells programs apart.
    EdMailer->SetSelStart(static_cast<int>(EdMailer->Text().size()));
}

void TFrmConfig::BitBtn1Click(TObject*) {
    // The settings are CP932 text: a character typed without a CP932 form
    // would be stored as '?', and a password so changed fails at the server
    // much later with nothing to say why. Say it now; nothing is taken.
    for (const auto& [edit, label] :
         {std::pair{EdPOP3, Label1}, std::pair{EdUserID, Label2}, std::pair{EdPW, Label3}}) {
        if (edit->TypedTextLost()) {
            services_.messageBox.Show(label->Caption() + Sjis(" に保存できない文字があります。\n") +
                                          Sjis("Shift_JIS (CP932) で書ける文字だけが使えます。"),
                                      Sjis("エラー"), MB_OK | MB_ICONERROR);
            edit->SetFocus();
            return;
        }
    }
    // The running check, if any, keeps the copy it started with.
    FrmMain->Mailbox = MailboxSettings{EdPOP3->Text(), EdUserID->Text(), EdPW->Text()};
    // The up/down keeps its position in its range; a position set from
    // outside it is brought in, so what is stored is always an interval the
    // dialog can show.
    FrmMain->CycleMinutes = std::clamp<std::int32_t>(UDChkCycle->Position(), kCycleMinutesMin, kCycleMinutesMax);
    FrmMain->MailerPath = EdMailer->Text();
    FrmMain->AnnounceNewMail = ChkNewMail->Checked();
    FrmMain->SaveSettings();
    Close();
    FrmMain->SettingsConfirmed();
}

void TFrmConfig::BitBtn2Click(TObject*) {
    Close();
}
