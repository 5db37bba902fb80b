// Common dialogs and application-level boxes: the file-open dialog, message
// boxes, the standard error box and the application title on the taskbar.
// GUI thread only; every box here needs a QApplication.
#pragma once

#include <memory>

#include "core/component.h"
#include "core/text.h"

class Exception;
class QFileDialog;
class QMessageBox;
class TCustomForm;

enum TOpenOptionFlag : unsigned {
    ofHideReadOnly = 0x4,       // no read-only check box (this dialog never has one)
    ofEnableSizing = 0x800000,  // the dialog can be resized
};
using TOpenOptions = unsigned;

// The pattern of a filter entry that shows the files the user may execute,
// whatever their names (programs here have no common extension).
extern const char* const kExecutableFilesPattern;
// A one-entry filter "description|<executables>" for TOpenDialog::SetFilter.
AnsiString ExecutableFileFilter(const AnsiString& description);

// The file-open dialog. FileName keeps the last choice and the next Execute
// starts from it (its folder, the file selected).
class TOpenDialog : public TComponent {
public:
    explicit TOpenDialog(TComponent* AOwner);
    ~TOpenDialog() override;
    const char* ClassName() const override { return "TOpenDialog"; }

    const AnsiString& Title() const { return title_; }
    void SetTitle(const AnsiString& t) { title_ = t; }
    // "description|pattern[|description|pattern...]"; several patterns in one
    // entry are separated by ';' ("*.txt;*.log"). kExecutableFilesPattern as a
    // pattern shows executable files. A description without a pattern is ignored.
    const AnsiString& Filter() const { return filter_; }
    void SetFilter(const AnsiString& f) { filter_ = f; }
    // 1-based entry of Filter shown first; after Execute, the entry the user left selected.
    int FilterIndex() const { return filterIndex_; }
    void SetFilterIndex(int i) { filterIndex_ = i; }
    // Full path of the chosen file (CP932).
    const AnsiString& FileName() const { return fileName_; }
    // Folder to start in while FileName is empty.
    const AnsiString& InitialDir() const { return initialDir_; }
    void SetInitialDir(const AnsiString& d) { initialDir_ = d; }
    TOpenOptions Options() const { return options_; }
    void SetOptions(TOpenOptions o) { options_ = o; }

    // Runs the dialog modally. True when a file was chosen (FileName and
    // FilterIndex then hold the choice); false on cancel, with nothing changed.
    bool Execute();

    // Makes the dialog Execute would run, set up from the properties, without
    // showing it; TakeChoice copies an accepted dialog's choice back. For tests
    // and callers that run the dialog their own way.
    std::unique_ptr<QFileDialog> CreateDialog() const;
    void TakeChoice(const QFileDialog& dialog);

private:
    AnsiString title_;
    AnsiString filter_;
    int filterIndex_ = 1;
    AnsiString fileName_;
    AnsiString initialDir_;
    TOpenOptions options_ = ofHideReadOnly | ofEnableSizing;
};

// Message box flags and results (the subset the program uses).
constexpr unsigned MB_OK = 0x00000000;
constexpr unsigned MB_OKCANCEL = 0x00000001;
constexpr unsigned MB_YESNO = 0x00000004;
constexpr unsigned MB_ICONERROR = 0x00000010;
constexpr unsigned MB_ICONQUESTION = 0x00000020;
constexpr unsigned MB_ICONWARNING = 0x00000030;
constexpr unsigned MB_ICONINFORMATION = 0x00000040;
constexpr unsigned kMessageBoxButtonsMask = 0x0000000F;
constexpr unsigned kMessageBoxIconMask = 0x000000F0;
constexpr int IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7;

// A modal box owned by the application (no parent window) with the text and
// caption (CP932) and the buttons and icon of `flags`. Returns the ID of the
// button pressed; closing the box counts as the last button (IDOK for MB_OK,
// IDCANCEL, IDNO).
int MessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags);
// The box MessageBox would run, not shown.
std::unique_ptr<QMessageBox> CreateMessageBox(const AnsiString& text, const AnsiString& caption, unsigned flags);

// Message boxes as a service the program is handed, so a test can answer them.
// GUI thread only.
class MessageBoxService {
public:
    virtual ~MessageBoxService() = default;
    // Shows a box as MessageBox does and returns the ID of the button pressed.
    virtual int Show(const AnsiString& text, const AnsiString& caption, unsigned flags) = 0;
};

// The real service: runs MessageBox.
class DesktopMessageBox final : public MessageBoxService {
public:
    int Show(const AnsiString& text, const AnsiString& caption, unsigned flags) override;
};

// The standard error box for E: its message as the text, the application
// title as the caption, an error icon and an OK button. Not shown.
std::unique_ptr<QMessageBox> CreateStandardErrorBox(const Exception& E);
// Makes the application object report exceptions with the standard error box
// (run modally). Needs the global Application.
void InstallStandardErrorBox();

// Shows the application title on the taskbar entry of `form`: on this
// platform the entry belongs to the visible form and shows its window title,
// which from now on follows Application->Title(). While the form is visible
// the application's window counts as visible (TApplication::AppWindowVisible),
// and it stops counting when the last such form hides. Handlers already on
// Application->OnTitleChange keep running. Needs the global Application; the
// wiring ends with the form's window.
void InstallTaskbarTitle(TCustomForm* form);
