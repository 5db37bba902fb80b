// The settings dialog: server, user ID, password, check interval, whether new
// mail is announced with its sender and subject, and the mail program, with a
// credit line and a link to the project's page.
#pragma once

#include "app/services.h"
#include "core/text.h"
#include "framework/controls.h"

class TBevel;
class TBitBtn;
class TButton;
class TCheckBox;
class TEdit;
class TLabel;
class TOpenDialog;
class TStaticText;
class TUpDown;

// The project's page, which the link label shows and opens: the README as
// installed with the program (share/doc/postwren beside its bin folder).
AnsiString ProjectPageAddress();
// The one-line credit the dialog shows.
AnsiString CreditText();

// The dialog holds no settings of its own: the main window fills its fields
// before every showing, and OK copies them back into the main window and
// saves them. Hidden at creation, shown modeless, hidden (never destroyed) by
// OK and Cancel; Enter presses OK and Esc presses Cancel.
//
// One instance, FrmConfig, owned by the application object; it reaches the
// main window through FrmMain. GUI thread only.
class TFrmConfig : public TForm {
public:
    // The link opens through services.shell.
    TFrmConfig(TComponent* AOwner, const Services& services);
    ~TFrmConfig() override;
    const char* ClassName() const override { return "TFrmConfig"; }

    // Designed components, all owned by the form.
    TLabel* Label1 = nullptr;
    TLabel* Label2 = nullptr;
    TLabel* Label3 = nullptr;
    TLabel* Label4 = nullptr;
    TEdit* EdPOP3 = nullptr;
    TEdit* EdUserID = nullptr;
    TEdit* EdPW = nullptr;
    TStaticText* STChkCycle = nullptr;
    TUpDown* UDChkCycle = nullptr;
    // 新着の差出人と件名を知らせる: left of the interval, in the room the
    // layout leaves there.
    TCheckBox* ChkNewMail = nullptr;
    TButton* Button1 = nullptr;
    TEdit* EdMailer = nullptr;
    TBitBtn* BitBtn1 = nullptr;
    TBitBtn* BitBtn2 = nullptr;
    TBevel* Bevel1 = nullptr;
    TLabel* LblCpyRight = nullptr;
    TLabel* LblMyHP = nullptr;
    TOpenDialog* OpenDialog1 = nullptr;

    void FormCreate(TObject* Sender);
    // The pointer over the dialog's background: the link turns black.
    void FormMouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
    // The pointer over the link: it turns blue.
    void LblMyHPMouseMove(TObject* Sender, TShiftState Shift, int X, int Y);
    // Opens the project's page; a failure is ignored.
    void LblMyHPClick(TObject* Sender);
    // Browses for the mail program; a cancelled browse changes nothing.
    void Button1Click(TObject* Sender);
    // OK: copies the fields into the main window and its POP3 client, saves
    // them, and hides the dialog. A failed save leaves the dialog open (the
    // application object reports it).
    void BitBtn1Click(TObject* Sender);
    // Cancel: hides the dialog; nothing is copied or saved.
    void BitBtn2Click(TObject* Sender);

private:
    Services services_;
};

// The settings dialog; null before it is made and after it is gone.
extern TFrmConfig* FrmConfig;
