// Standard windowed controls: edits, push buttons, bitmap buttons, check
// boxes, static text, up/down arrows with a buddy, and the bevel line. GUI
// thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "framework/controls.h"
#include "framework/graphics.h"

class QLineEdit;
class QObject;
class QPainter;

// A single-line edit. Text() is the content in CP932; what the user types is
// taken as it changes. A text set by the program stays byte-exact until the
// user edits it.
class TEdit : public TWinControl {
public:
    explicit TEdit(TComponent* AOwner);
    ~TEdit() override;
    const char* ClassName() const override { return "TEdit"; }

    // Any character other than '\0' is shown in place of every character of
    // the text (one mark per character, double-byte ones included).
    char PasswordChar() const { return passwordChar_; }
    void SetPasswordChar(char c);
    // The user can select and copy, but not change the text.
    bool ReadOnly() const { return readOnly_; }
    void SetReadOnly(bool v);
    // The caret as a byte offset into Text(); setting it to Text().size()
    // puts the caret at the end and scrolls the end of a long text into view.
    // Values outside 0..size are clamped.
    int SelStart() const;
    void SetSelStart(int pos);
    // Color() is the background (clWindow by default).
    void SetColor(TColor color) override;
    // True when the user has typed a character that has no CP932 form, so
    // that Text() holds '?' in its place; a text set by the program clears it.
    bool TypedTextLost() const { return typedTextLost_; }

    // Fired after every change of the text, by the user or the program.
    TNotifyEvent OnChange;

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void InitWidget() override;
    void TextChanged() override;
    void FontChanged() override;

private:
    friend class EditWidget;
    void userEdited(const AnsiString& text, bool lost);
    void applyPalette();

    QLineEdit* edit_ = nullptr;  // the widget, once made
    char passwordChar_ = '\0';
    bool readOnly_ = false;
    int selStart_ = 0;
    bool typedTextLost_ = false;
};

// A push button. Default: Enter anywhere in its form presses it (unless the
// focus is on another button, which then takes Enter itself). Cancel: Esc
// anywhere in its form presses it. Only a visible, enabled button is pressed.
class TButton : public TWinControl {
public:
    explicit TButton(TComponent* AOwner);
    ~TButton() override;
    const char* ClassName() const override { return "TButton"; }

    bool Default() const { return default_; }
    void SetDefault(bool v);
    bool Cancel() const { return cancel_; }
    void SetCancel(bool v);

    // Click() fires OnClick. An exception escaping OnClick after a press by
    // the user (mouse, Enter, Esc, space) is reported by the application object.

    // Draws the whole button when OwnerDrawn(): a raised frame (sunken while
    // pressed), the caption centred, a dotted focus rectangle.
    virtual void PaintButton(QPainter* painter, bool pressed, bool focused);

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void InitWidget() override;
    void TextChanged() override;
    void FontChanged() override;
    // Whether PaintButton replaces the toolkit's own drawing.
    virtual bool OwnerDrawn() const { return false; }

private:
    friend class ButtonWidget;
    void rolesChanged();

    bool default_ = false;
    bool cancel_ = false;
};

enum class TBitBtnKind { bkCustom, bkOK, bkCancel };

// A push button with a picture. bkOK makes it the default button and bkCancel
// the cancel button (the caption stays the caller's); both draw a built-in
// glyph while Glyph is empty. The glyph is drawn opaque, left of the caption,
// the pair centred. A button without a caption that is too small to frame its
// glyph (the tiny buttons on a skin: 9 x 9 showing a 10 x 10 glyph) draws just
// the glyph, flat, centred and clipped, without frame or margins; while
// pressed it shifts by one pixel.
class TBitBtn : public TButton {
public:
    explicit TBitBtn(TComponent* AOwner);
    ~TBitBtn() override;
    const char* ClassName() const override { return "TBitBtn"; }

    // The picture; assign or load into it. Owned by the button.
    TBitmap* Glyph() { return &glyph_; }
    void SetGlyph(const TBitmap* bitmap);
    TBitBtnKind Kind() const { return kind_; }
    void SetKind(TBitBtnKind kind);

    void PaintButton(QPainter* painter, bool pressed, bool focused) override;

protected:
    bool OwnerDrawn() const override { return true; }

private:
    TBitmap glyph_;
    TBitBtnKind kind_ = TBitBtnKind::bkCustom;
};

// A check box with its caption to the right of the box. The user toggles it
// with the mouse or the space bar; OnClick fires after each such toggle, not
// after SetChecked.
class TCheckBox : public TWinControl {
public:
    explicit TCheckBox(TComponent* AOwner);
    ~TCheckBox() override;
    const char* ClassName() const override { return "TCheckBox"; }

    bool Checked() const { return checked_; }
    void SetChecked(bool v);

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void InitWidget() override;
    void TextChanged() override;
    void FontChanged() override;

private:
    friend class CheckBoxWidget;
    void userToggled(bool checked);

    bool checked_ = false;
};

enum class TStaticBorderStyle { sbsNone, sbsSingle, sbsSunken };

// A static text with a window of its own; keeps its designed size.
class TStaticText : public TWinControl {
public:
    explicit TStaticText(TComponent* AOwner);
    ~TStaticText() override;
    const char* ClassName() const override { return "TStaticText"; }

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment a);
    TStaticBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TStaticBorderStyle s);
    void SetColor(TColor color) override;

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void InitWidget() override;
    void TextChanged() override;
    void FontChanged() override;

private:
    void applyLook();

    TAlignment alignment_ = TAlignment::taLeftJustify;
    TStaticBorderStyle borderStyle_ = TStaticBorderStyle::sbsNone;
};

enum class TUDBtnType { btNext, btPrev };

// Vertical up/down arrows. The user steps Position by Increment between Min
// and Max (wrapping to the other end when Wrap is on, stopping at the end
// otherwise); the arrow keys step it while the control or its buddy has the
// focus (ArrowKeys). Associate is a buddy control whose text shows Position in
// decimal. A Position set by the program is kept as given, even outside
// Min..Max, and shown in the buddy as it is, so a stored value survives an
// unchanged confirmation; the first step by the user brings it into range.
class TUpDown : public TWinControl {
public:
    explicit TUpDown(TComponent* AOwner);
    ~TUpDown() override;
    const char* ClassName() const override { return "TUpDown"; }

    std::int16_t Min() const { return min_; }
    void SetMin(std::int16_t v);
    std::int16_t Max() const { return max_; }
    void SetMax(std::int16_t v);
    int Increment() const { return increment_; }
    void SetIncrement(int v);
    bool Wrap() const { return wrap_; }
    void SetWrap(bool v) { wrap_ = v; }
    bool ArrowKeys() const { return arrowKeys_; }
    void SetArrowKeys(bool v) { arrowKeys_ = v; }
    std::int16_t Position() const { return position_; }
    void SetPosition(std::int16_t v);

    // Not owned; forgotten when it is destroyed. Setting it writes Position
    // into its text at once.
    TWinControl* Associate() const { return associate_; }
    void SetAssociate(TWinControl* buddy);

    // One step as the user makes it (the arrows, the keys): btNext steps up.
    void Step(TUDBtnType button);

    // Fired after the user changed Position.
    std::function<void(TObject* Sender, TUDBtnType Button)> OnChangePosition;

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class UpDownWidget;
    void updateBuddy();
    void watchBuddyKeys();

    std::int16_t min_ = 0;
    std::int16_t max_ = 100;
    int increment_ = 1;
    bool wrap_ = false;
    bool arrowKeys_ = true;
    std::int16_t position_ = 0;
    TWinControl* associate_ = nullptr;
    std::unique_ptr<QObject> buddyKeys_;
};

enum class TBevelShape { bsBox, bsFrame, bsTopLine, bsBottomLine, bsLeftLine, bsRightLine, bsSpacer };

// An etched line or frame drawn on the parent; bsTopLine is a horizontal
// separator along the top edge.
class TBevel : public TGraphicControl {
public:
    explicit TBevel(TComponent* AOwner);
    ~TBevel() override;
    const char* ClassName() const override { return "TBevel"; }

    TBevelShape Shape() const { return shape_; }
    void SetShape(TBevelShape s);

protected:
    void Paint() override;

private:
    TBevelShape shape_ = TBevelShape::bsBox;
};
