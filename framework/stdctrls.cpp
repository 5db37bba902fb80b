#include "framework/stdctrls.h"

#include <QCheckBox>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QProxyStyle>
#include <QPushButton>
#include <QTimer>
#include <algorithm>

#include "core/application.h"
#include "framework/qtext.h"

namespace {

// Width of the raised or sunken frame of a classic push button, per side.
constexpr int kButtonFrame = 2;
// Pixels between a bitmap button's glyph and its caption.
constexpr int kGlyphSpacing = 4;
// Gap between the frame and the dotted focus rectangle.
constexpr int kFocusInset = 4;
// The built-in OK and cancel glyphs are drawn in a square of this size.
constexpr int kKindGlyphSize = 16;
// Auto-repeat of a held up/down arrow.
constexpr int kRepeatDelayMs = 400;
constexpr int kRepeatIntervalMs = 60;

bool isEnterKey(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter;
}

// Palette roles shared by the text controls: background and font colour.
void applyColors(QWidget* w, QPalette::ColorRole background, TColor color, TColor fontColor) {
    QPalette pal = w->palette();
    pal.setColor(background, ToQColor(color));
    pal.setColor(QPalette::Text, ToQColor(fontColor));
    pal.setColor(QPalette::WindowText, ToQColor(fontColor));
    pal.setColor(QPalette::ButtonText, ToQColor(fontColor));
    w->setPalette(pal);
}

// The classic 3D edge: light on the top and left, dark on the bottom and right
// (reversed when sunken).
void drawEdge(QPainter* p, const QRect& r, bool sunken) {
    const QColor hi = ToQColor(clBtnHighlight), light = ToQColor(cl3DLight);
    const QColor shadow = ToQColor(clBtnShadow), dark = ToQColor(cl3DDkShadow);
    const QColor outerTL = sunken ? dark : hi, outerBR = sunken ? hi : dark;
    const QColor innerTL = sunken ? shadow : light, innerBR = sunken ? light : shadow;
    const int l = r.left(), t = r.top(), rr = r.right(), b = r.bottom();
    p->setPen(outerTL);
    p->drawLine(l, t, rr - 1, t);
    p->drawLine(l, t, l, b - 1);
    p->setPen(outerBR);
    p->drawLine(l, b, rr, b);
    p->drawLine(rr, t, rr, b);
    p->setPen(innerTL);
    p->drawLine(l + 1, t + 1, rr - 2, t + 1);
    p->drawLine(l + 1, t + 1, l + 1, b - 2);
    p->setPen(innerBR);
    p->drawLine(l + 1, b - 1, rr - 1, b - 1);
    p->drawLine(rr - 1, t + 1, rr - 1, b - 1);
}

void drawFocusRect(QPainter* p, const QRect& r) {
    QPen pen(ToQColor(clBtnText));
    pen.setStyle(Qt::DotLine);
    p->setPen(pen);
    p->setBrush(Qt::NoBrush);
    p->drawRect(r.adjusted(0, 0, -1, -1));
}

// The built-in glyphs: a green tick for OK, a red cross for cancel.
void drawKindGlyph(QPainter* p, TBitBtnKind kind, const QRect& box, bool enabled) {
    p->save();
    p->setRenderHint(QPainter::Antialiasing, true);
    const qreal s = box.width();
    const QPointF o = box.topLeft();
    if (kind == TBitBtnKind::bkOK) {
        QPainterPath tick;
        tick.moveTo(o + QPointF(0.15 * s, 0.55 * s));
        tick.lineTo(o + QPointF(0.40 * s, 0.80 * s));
        tick.lineTo(o + QPointF(0.88 * s, 0.22 * s));
        QPen pen(enabled ? QColor(0, 128, 0) : ToQColor(clGrayText), 0.16 * s, Qt::SolidLine, Qt::RoundCap,
                 Qt::RoundJoin);
        p->setPen(pen);
        p->drawPath(tick);
    } else if (kind == TBitBtnKind::bkCancel) {
        QPen pen(enabled ? QColor(192, 0, 0) : ToQColor(clGrayText), 0.16 * s, Qt::SolidLine, Qt::RoundCap);
        p->setPen(pen);
        p->drawLine(o + QPointF(0.22 * s, 0.22 * s), o + QPointF(0.78 * s, 0.78 * s));
        p->drawLine(o + QPointF(0.78 * s, 0.22 * s), o + QPointF(0.22 * s, 0.78 * s));
    }
    p->restore();
}

// Makes the line edit show the chosen password character, whatever the style's own.
class PasswordCharStyle final : public QProxyStyle {
public:
    explicit PasswordCharStyle(char c) : mark_(QChar::fromLatin1(c)) {}
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* ret) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return mark_.unicode();
        return QProxyStyle::styleHint(hint, option, widget, ret);
    }

private:
    QChar mark_;
};

// What an edit shows of a text. The widget keeps at most maxLength()
// characters of it, so no more than twice as many bytes are converted: a
// megabyte stored value costs no more than a full edit.
QString editText(const QLineEdit* edit, const AnsiString& text) {
    const auto most = 2 * static_cast<std::size_t>(std::max(edit->maxLength(), 0));
    return ToDisplayQString(text.size() > most ? TruncateCp932(text, most) : text);
}

}  // namespace

// ---- TEdit ----

class EditWidget final : public QLineEdit {
public:
    EditWidget(TEdit* owner, QWidget* parent) : QLineEdit(parent), owner_(owner) {
        connect(this, &QLineEdit::textEdited, this, [this](const QString& text) {
            if (owner_ == nullptr)
                return;
            try {
                const std::optional<AnsiString> exact = TryFromDisplayQString(text);
                owner_->userEdited(exact ? *exact : FromDisplayQString(text), !exact);
            } catch (...) {
                ReportHandlerException(owner_);
            }
        });
    }
    ~EditWidget() override { owner_ = nullptr; }

private:
    TEdit* owner_;
};

TEdit::TEdit(TComponent* AOwner) : TWinControl(AOwner) {
    color_ = clWindow;
    width_ = 121;
    height_ = 21;
    SetTabStop(true);
}

TEdit::~TEdit() = default;

QWidget* TEdit::CreateWidget(QWidget* parentWidget) {
    edit_ = new EditWidget(this, parentWidget);
    return edit_;
}

void TEdit::InitWidget() {
    TWinControl::InitWidget();
    edit_->setFrame(true);
    edit_->setText(editText(edit_, text_));
    edit_->setReadOnly(readOnly_);
    if (passwordChar_ != '\0') {
        auto* style = new PasswordCharStyle(passwordChar_);
        style->setParent(edit_);
        edit_->setStyle(style);
        edit_->setEchoMode(QLineEdit::Password);
    }
    applyPalette();
    SetSelStart(selStart_);
}

void TEdit::applyPalette() {
    if (edit_ != nullptr)
        applyColors(edit_, QPalette::Base, color_, font_.Color());
}

void TEdit::SetPasswordChar(char c) {
    if (c == passwordChar_)
        return;
    passwordChar_ = c;
    if (edit_ == nullptr)
        return;
    if (c == '\0') {
        edit_->setEchoMode(QLineEdit::Normal);
        return;
    }
    // The line edit reads the mark from its style when the echo mode or style changes.
    auto* style = new PasswordCharStyle(c);
    style->setParent(edit_);
    QStyle* old = edit_->style();
    edit_->setStyle(style);
    if (auto* oldOwn = dynamic_cast<PasswordCharStyle*>(old); oldOwn != nullptr && oldOwn->parent() == edit_)
        delete oldOwn;
    edit_->setEchoMode(QLineEdit::Normal);
    edit_->setEchoMode(QLineEdit::Password);
}

void TEdit::SetReadOnly(bool v) {
    readOnly_ = v;
    if (edit_ != nullptr)
        edit_->setReadOnly(v);
}

int TEdit::SelStart() const {
    if (edit_ == nullptr)
        return selStart_;
    // The widget counts characters; the program counts bytes.
    return static_cast<int>(FromDisplayQString(edit_->text().left(edit_->cursorPosition())).size());
}

void TEdit::SetSelStart(int pos) {
    pos = std::clamp(pos, 0, static_cast<int>(text_.size()));
    selStart_ = pos;
    if (edit_ == nullptr)
        return;
    // A position inside a double-byte character goes to its start.
    const int chars = static_cast<int>(ToDisplayQString(TruncateCp932(text_, static_cast<std::size_t>(pos))).size());
    edit_->deselect();
    edit_->setCursorPosition(chars);
}

void TEdit::SetColor(TColor color) {
    TWinControl::SetColor(color);
    applyPalette();
}

void TEdit::TextChanged() {
    // A text set by the program starts with the caret at its beginning.
    selStart_ = 0;
    typedTextLost_ = false;
    if (edit_ != nullptr && FromDisplayQString(edit_->text()) != text_) {
        edit_->setText(editText(edit_, text_));
        edit_->setCursorPosition(0);
    }
    if (OnChange)
        OnChange(this);
}

void TEdit::FontChanged() {
    if (edit_ == nullptr)
        return;
    edit_->setFont(font_.ToQFont());
    applyPalette();
}

void TEdit::userEdited(const AnsiString& text, bool lost) {
    typedTextLost_ = lost;
    if (text == text_)
        return;
    text_ = text;
    if (OnChange)
        OnChange(this);
}

// ---- TButton ----

// Presses the default or the cancel button of a form when Enter or Esc reaches
// the form unhandled. One per form window, made by its first such button.
class DialogKeyFilter final : public QObject {
public:
    explicit DialogKeyFilter(QWidget* window) : QObject(window) { window->installEventFilter(this); }

    static void ensureOn(QWidget* window) {
        if (window == nullptr)
            return;
        // No meta-object of its own, so look it up by dynamic type, not qobject_cast.
        for (QObject* child : window->children())
            if (dynamic_cast<DialogKeyFilter*>(child) != nullptr)
                return;
        new DialogKeyFilter(window);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

class ButtonWidget final : public QPushButton {
public:
    ButtonWidget(TButton* owner, QWidget* parent) : QPushButton(parent), owner_(owner) {
        connect(this, &QPushButton::clicked, this, [this] {
            if (owner_ == nullptr)
                return;
            try {
                owner_->Click();
            } catch (...) {
                ReportHandlerException(owner_);
            }
        });
    }
    void detach() { owner_ = nullptr; }
    TButton* owner() const { return owner_; }

protected:
    void paintEvent(QPaintEvent* e) override {
        if (owner_ == nullptr || !owner_->OwnerDrawn()) {
            QPushButton::paintEvent(e);
            return;
        }
        QPainter p(this);
        owner_->PaintButton(&p, isDown(), hasFocus());
    }
    void keyPressEvent(QKeyEvent* e) override {
        // A focused button takes Enter itself, as a dialog's buttons do.
        if (isEnterKey(e->key()) && e->modifiers() == Qt::NoModifier) {
            animateClick();
            e->accept();
            return;
        }
        QPushButton::keyPressEvent(e);
    }
    void showEvent(QShowEvent* e) override {
        QPushButton::showEvent(e);
        if (owner_ != nullptr && (owner_->Default() || owner_->Cancel()))
            DialogKeyFilter::ensureOn(window());
    }
    bool event(QEvent* e) override {
        if (e->type() == QEvent::ParentChange && owner_ != nullptr && (owner_->Default() || owner_->Cancel()))
            DialogKeyFilter::ensureOn(window());
        return QPushButton::event(e);
    }

private:
    TButton* owner_;
};

bool DialogKeyFilter::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress)
        return false;
    auto* key = static_cast<QKeyEvent*>(event);
    const bool enter = isEnterKey(key->key()) && (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    const bool escape = key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier;
    if (!enter && !escape)
        return false;
    auto* window = static_cast<QWidget*>(parent());
    for (QPushButton* pb : window->findChildren<QPushButton*>()) {
        auto* b = dynamic_cast<ButtonWidget*>(pb);
        if (b == nullptr)
            continue;
        TButton* owner = b->owner();
        if (owner == nullptr || !b->isVisibleTo(window) || !b->isEnabled())
            continue;
        if ((enter && owner->Default()) || (escape && owner->Cancel())) {
            b->click();
            return true;
        }
    }
    return false;
}

TButton::TButton(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 75;
    height_ = 25;
    SetTabStop(true);
}

TButton::~TButton() {
    if (HandleAllocated())
        static_cast<ButtonWidget*>(Handle())->detach();
}

QWidget* TButton::CreateWidget(QWidget* parentWidget) {
    return new ButtonWidget(this, parentWidget);
}

void TButton::InitWidget() {
    TWinControl::InitWidget();
    auto* b = static_cast<ButtonWidget*>(Handle());
    b->setText(ToQString(text_));
    rolesChanged();
}

void TButton::SetDefault(bool v) {
    if (v == default_)
        return;
    default_ = v;
    rolesChanged();
}

void TButton::SetCancel(bool v) {
    if (v == cancel_)
        return;
    cancel_ = v;
    rolesChanged();
}

void TButton::rolesChanged() {
    if (!HandleAllocated())
        return;
    auto* b = static_cast<ButtonWidget*>(Handle());
    b->setDefault(default_);
    if (default_ || cancel_)
        DialogKeyFilter::ensureOn(b->window());
    b->update();
}

void TButton::TextChanged() {
    if (HandleAllocated())
        static_cast<ButtonWidget*>(Handle())->setText(ToQString(text_));
}

void TButton::FontChanged() {
    if (!HandleAllocated())
        return;
    Handle()->setFont(font_.ToQFont());
    applyColors(Handle(), QPalette::Button, clBtnFace, font_.Color());
}

void TButton::PaintButton(QPainter* painter, bool pressed, bool focused) {
    const QRect r(0, 0, width_, height_);
    painter->fillRect(r, ToQColor(clBtnFace));
    drawEdge(painter, r, pressed);
    const int shift = pressed ? 1 : 0;
    painter->setFont(font_.ToQFont());
    painter->setPen(ToQColor(Enabled() ? font_.Color() : clGrayText));
    painter->drawText(r.translated(shift, shift), Qt::AlignCenter | Qt::TextShowMnemonic, ToQString(text_));
    if (focused && width_ > 2 * kFocusInset && height_ > 2 * kFocusInset)
        drawFocusRect(painter, r.adjusted(kFocusInset - 1, kFocusInset - 1, 1 - kFocusInset, 1 - kFocusInset));
}

// ---- TBitBtn ----

TBitBtn::TBitBtn(TComponent* AOwner) : TButton(AOwner) {
    glyph_.OnChange = [this](TObject*) { Invalidate(); };
}

TBitBtn::~TBitBtn() {
    glyph_.OnChange = nullptr;
}

void TBitBtn::SetGlyph(const TBitmap* bitmap) {
    if (bitmap == nullptr) {
        glyph_.SetSize(0, 0);
    } else {
        glyph_.Assign(bitmap);
    }
    Invalidate();
}

void TBitBtn::SetKind(TBitBtnKind kind) {
    if (kind == kind_)
        return;
    kind_ = kind;
    if (kind == TBitBtnKind::bkOK)
        SetDefault(true);
    if (kind == TBitBtnKind::bkCancel)
        SetCancel(true);
    Invalidate();
}

void TBitBtn::PaintButton(QPainter* painter, bool pressed, bool focused) {
    const QRect r(0, 0, width_, height_);
    const bool hasGlyph = !glyph_.Empty();
    const bool kindGlyph = !hasGlyph && kind_ != TBitBtnKind::bkCustom;
    const int gw = hasGlyph ? glyph_.Width() : (kindGlyph ? kKindGlyphSize : 0);
    const int gh = hasGlyph ? glyph_.Height() : (kindGlyph ? kKindGlyphSize : 0);
    const int shift = pressed ? 1 : 0;

    if (text_.empty() && gw > 0 && (width_ < gw + 2 * kButtonFrame || height_ < gh + 2 * kButtonFrame)) {
        // Too small for a frame: the glyph is the whole face. Halving toward
        // zero keeps a glyph one pixel larger than the button at the origin.
        painter->setClipRect(r);
        const QRect box((width_ - gw) / 2 + shift, (height_ - gh) / 2 + shift, gw, gh);
        painter->fillRect(r, ToQColor(clBtnFace));
        if (!Enabled())
            painter->setOpacity(0.5);
        if (hasGlyph)
            glyph_.DrawTo(*painter, box);
        else
            drawKindGlyph(painter, kind_, box, Enabled());
        return;
    }

    painter->fillRect(r, ToQColor(clBtnFace));
    drawEdge(painter, r, pressed);
    const QString caption = ToQString(text_);
    painter->setFont(font_.ToQFont());
    const int textW = caption.isEmpty() ? 0 : painter->fontMetrics().size(Qt::TextShowMnemonic, caption).width();
    const int gap = (gw > 0 && textW > 0) ? kGlyphSpacing : 0;
    const int total = gw + gap + textW;
    const int x = (width_ - total) / 2 + shift;
    if (gw > 0) {
        const QRect box(x, (height_ - gh) / 2 + shift, gw, gh);
        painter->save();
        painter->setClipRect(r.adjusted(kButtonFrame, kButtonFrame, -kButtonFrame, -kButtonFrame));
        if (!Enabled())
            painter->setOpacity(0.5);
        if (hasGlyph)
            glyph_.DrawTo(*painter, box);
        else
            drawKindGlyph(painter, kind_, box, Enabled());
        painter->restore();
    }
    if (textW > 0) {
        painter->setPen(ToQColor(Enabled() ? font_.Color() : clGrayText));
        painter->drawText(QRect(x + gw + gap, shift, textW, height_), Qt::AlignVCenter | Qt::TextShowMnemonic, caption);
    }
    if (focused && width_ > 2 * kFocusInset && height_ > 2 * kFocusInset)
        drawFocusRect(painter, r.adjusted(kFocusInset - 1, kFocusInset - 1, 1 - kFocusInset, 1 - kFocusInset));
}

// ---- TCheckBox ----

class CheckBoxWidget final : public QCheckBox {
public:
    CheckBoxWidget(TCheckBox* owner, QWidget* parent) : QCheckBox(parent), owner_(owner) {
        // Only the user's toggles: a box set by the program says nothing.
        connect(this, &QCheckBox::clicked, this, [this](bool checked) {
            if (owner_ == nullptr)
                return;
            try {
                owner_->userToggled(checked);
            } catch (...) {
                ReportHandlerException(owner_);
            }
        });
    }
    void detach() { owner_ = nullptr; }

private:
    TCheckBox* owner_;
};

TCheckBox::TCheckBox(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 97;
    height_ = 17;
    SetTabStop(true);
}

TCheckBox::~TCheckBox() {
    if (HandleAllocated())
        static_cast<CheckBoxWidget*>(Handle())->detach();
}

QWidget* TCheckBox::CreateWidget(QWidget* parentWidget) {
    return new CheckBoxWidget(this, parentWidget);
}

void TCheckBox::InitWidget() {
    TWinControl::InitWidget();
    auto* box = static_cast<CheckBoxWidget*>(Handle());
    box->setText(ToDisplayQString(text_));
    box->setChecked(checked_);
    applyColors(box, QPalette::Window, color_, font_.Color());
}

void TCheckBox::SetChecked(bool v) {
    checked_ = v;
    if (HandleAllocated())
        static_cast<CheckBoxWidget*>(Handle())->setChecked(v);
}

void TCheckBox::userToggled(bool checked) {
    checked_ = checked;
    Click();
}

void TCheckBox::TextChanged() {
    if (HandleAllocated())
        static_cast<CheckBoxWidget*>(Handle())->setText(ToDisplayQString(text_));
}

void TCheckBox::FontChanged() {
    if (!HandleAllocated())
        return;
    Handle()->setFont(font_.ToQFont());
    applyColors(Handle(), QPalette::Window, color_, font_.Color());
}

// ---- TStaticText ----

TStaticText::TStaticText(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 65;
    height_ = 17;
}

TStaticText::~TStaticText() = default;

QWidget* TStaticText::CreateWidget(QWidget* parentWidget) {
    auto* label = new QLabel(parentWidget);
    label->setTextFormat(Qt::PlainText);
    label->setAutoFillBackground(true);
    return label;
}

void TStaticText::InitWidget() {
    TWinControl::InitWidget();
    static_cast<QLabel*>(Handle())->setText(ToDisplayQString(text_, DisplayLines::Multiple));
    applyLook();
}

void TStaticText::applyLook() {
    if (!HandleAllocated())
        return;
    auto* label = static_cast<QLabel*>(Handle());
    Qt::Alignment h = Qt::AlignLeft;
    if (alignment_ == TAlignment::taRightJustify)
        h = Qt::AlignRight;
    if (alignment_ == TAlignment::taCenter)
        h = Qt::AlignHCenter;
    label->setAlignment(h | Qt::AlignTop);
    switch (borderStyle_) {
        case TStaticBorderStyle::sbsNone:
            label->setFrameStyle(QFrame::NoFrame);
            break;
        case TStaticBorderStyle::sbsSingle:
            label->setFrameStyle(QFrame::Box | QFrame::Plain);
            label->setLineWidth(1);
            break;
        case TStaticBorderStyle::sbsSunken:
            label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            label->setLineWidth(1);
            break;
    }
    applyColors(label, QPalette::Window, color_, font_.Color());
}

void TStaticText::SetAlignment(TAlignment a) {
    if (a == alignment_)
        return;
    alignment_ = a;
    applyLook();
}

void TStaticText::SetBorderStyle(TStaticBorderStyle s) {
    if (s == borderStyle_)
        return;
    borderStyle_ = s;
    applyLook();
}

void TStaticText::SetColor(TColor color) {
    TWinControl::SetColor(color);
    applyLook();
}

void TStaticText::TextChanged() {
    if (HandleAllocated())
        static_cast<QLabel*>(Handle())->setText(ToDisplayQString(text_, DisplayLines::Multiple));
}

void TStaticText::FontChanged() {
    if (!HandleAllocated())
        return;
    Handle()->setFont(font_.ToQFont());
    applyLook();
}

// ---- TUpDown ----

// Two arrow buttons, one above the other; a held arrow repeats.
class UpDownWidget final : public QWidget {
public:
    UpDownWidget(TUpDown* owner, QWidget* parent) : QWidget(parent), owner_(owner) {
        repeat_.setSingleShot(false);
        connect(&repeat_, &QTimer::timeout, this, [this] {
            repeat_.setInterval(kRepeatIntervalMs);
            step();
        });
    }
    void detach() {
        owner_ = nullptr;
        repeat_.stop();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const int half = height() / 2;
        paintArrow(&p, QRect(0, 0, width(), half), true, pressed_ == Pressed::Up);
        paintArrow(&p, QRect(0, half, width(), height() - half), false, pressed_ == Pressed::Down);
    }
    void mousePressEvent(QMouseEvent* e) override {
        if (e->button() != Qt::LeftButton || owner_ == nullptr || !isEnabled())
            return;
        pressed_ = e->position().y() < height() / 2 ? Pressed::Up : Pressed::Down;
        update();
        step();
        repeat_.start(kRepeatDelayMs);
    }
    void mouseReleaseEvent(QMouseEvent*) override { release(); }
    void hideEvent(QHideEvent*) override { release(); }
    void showEvent(QShowEvent*) override {
        if (owner_ != nullptr)
            owner_->watchBuddyKeys();
    }
    void keyPressEvent(QKeyEvent* e) override {
        if (owner_ != nullptr && owner_->ArrowKeys() && (e->key() == Qt::Key_Up || e->key() == Qt::Key_Down)) {
            owner_->Step(e->key() == Qt::Key_Up ? TUDBtnType::btNext : TUDBtnType::btPrev);
            return;
        }
        QWidget::keyPressEvent(e);
    }

private:
    enum class Pressed { None, Up, Down };

    void step() {
        if (owner_ == nullptr || pressed_ == Pressed::None)
            return;
        try {
            owner_->Step(pressed_ == Pressed::Up ? TUDBtnType::btNext : TUDBtnType::btPrev);
        } catch (...) {
            release();
            ReportHandlerException(owner_);
        }
    }
    void release() {
        repeat_.stop();
        if (pressed_ == Pressed::None)
            return;
        pressed_ = Pressed::None;
        update();
    }
    void paintArrow(QPainter* p, const QRect& r, bool up, bool down) {
        p->fillRect(r, ToQColor(clBtnFace));
        drawEdge(p, r, down);
        // A small solid triangle in the middle of the half.
        const int shift = down ? 1 : 0;
        const int w = std::max(1, std::min((r.width() - 4) / 2, r.height() - 3));
        const int cx = r.left() + r.width() / 2 + shift;
        const int cy = r.top() + r.height() / 2 + shift;
        const int rows = (w + 1) / 2;
        p->setPen(ToQColor(isEnabled() ? clBtnText : clGrayText));
        for (int i = 0; i < rows; ++i) {
            const int y = up ? cy - rows / 2 + i : cy + rows / 2 - i;
            p->drawLine(cx - i, y, cx + i, y);
        }
    }

    TUpDown* owner_;
    Pressed pressed_ = Pressed::None;
    QTimer repeat_;
};

namespace {

// Steps the up/down with the arrow keys while its buddy has the focus.
class BuddyKeyFilter final : public QObject {
public:
    BuddyKeyFilter(TUpDown* updown, QWidget* buddy) : updown_(updown), buddy_(buddy) {
        buddy->installEventFilter(this);
    }
    ~BuddyKeyFilter() override {
        if (buddy_ != nullptr)
            buddy_->removeEventFilter(this);
    }
    QWidget* buddy() const { return buddy_; }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !updown_->ArrowKeys())
            return false;
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key != Qt::Key_Up && key != Qt::Key_Down)
            return false;
        try {
            updown_->Step(key == Qt::Key_Up ? TUDBtnType::btNext : TUDBtnType::btPrev);
        } catch (...) {
            ReportHandlerException(updown_);
        }
        return true;
    }

private:
    TUpDown* updown_;
    QPointer<QWidget> buddy_;
};

}  // namespace

TUpDown::TUpDown(TComponent* AOwner) : TWinControl(AOwner) {
    width_ = 17;
    height_ = 25;
}

TUpDown::~TUpDown() {
    buddyKeys_.reset();
    if (HandleAllocated())
        static_cast<UpDownWidget*>(Handle())->detach();
}

QWidget* TUpDown::CreateWidget(QWidget* parentWidget) {
    return new UpDownWidget(this, parentWidget);
}

void TUpDown::SetMin(std::int16_t v) {
    min_ = v;
}
void TUpDown::SetMax(std::int16_t v) {
    max_ = v;
}
void TUpDown::SetIncrement(int v) {
    increment_ = v;
}

void TUpDown::SetPosition(std::int16_t v) {
    if (v == position_)
        return;
    position_ = v;
    updateBuddy();
}

void TUpDown::Step(TUDBtnType button) {
    // With Min above Max the arrows run the other way, toward each end.
    const int lo = std::min<int>(min_, max_), hi = std::max<int>(min_, max_);
    const int toward = (max_ >= min_) ? 1 : -1;
    const int delta = (button == TUDBtnType::btNext ? 1 : -1) * toward * increment_;
    const int from = position_;
    int to = from + delta;
    if (from < lo || from > hi) {
        to = std::clamp(to, lo, hi);
    } else if (to > hi) {
        to = wrap_ ? lo : hi;
    } else if (to < lo) {
        to = wrap_ ? hi : lo;
    }
    if (to == from)
        return;
    position_ = static_cast<std::int16_t>(to);
    updateBuddy();
    if (OnChangePosition)
        OnChangePosition(this, button);
}

void TUpDown::SetAssociate(TWinControl* buddy) {
    if (buddy == associate_)
        return;
    buddyKeys_.reset();
    if (associate_ != nullptr)
        RemoveFreeNotification(associate_);
    associate_ = buddy;
    if (associate_ != nullptr) {
        FreeNotification(associate_);
        updateBuddy();
        watchBuddyKeys();
    }
}

void TUpDown::watchBuddyKeys() {
    if (associate_ == nullptr || !associate_->HandleAllocated())
        return;
    QWidget* w = associate_->Handle();
    if (buddyKeys_ != nullptr && static_cast<BuddyKeyFilter*>(buddyKeys_.get())->buddy() == w)
        return;
    buddyKeys_ = std::make_unique<BuddyKeyFilter>(this, w);
}

void TUpDown::updateBuddy() {
    if (associate_ == nullptr || IsLoading())
        return;
    associate_->SetText(IntToStr(position_));
}

void TUpDown::Loaded() {
    TWinControl::Loaded();
    updateBuddy();
}

void TUpDown::Notification(TComponent* AComponent, TOperation Operation) {
    TWinControl::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == associate_) {
        buddyKeys_.reset();
        associate_ = nullptr;
    }
}

// ---- TBevel ----

TBevel::TBevel(TComponent* AOwner) : TGraphicControl(AOwner) {
    width_ = 50;
    height_ = 50;
}

TBevel::~TBevel() = default;

void TBevel::SetShape(TBevelShape s) {
    if (s == shape_)
        return;
    shape_ = s;
    Invalidate();
}

void TBevel::Paint() {
    // An etched line is a dark line with a light one beside it.
    const TColor first = clBtnShadow;
    const TColor second = clBtnHighlight;
    TCanvas* c = Canvas();
    const int w = width_, h = height_;
    auto line = [c](TColor color, const TRect& r) {
        c->Brush()->SetColor(color);
        c->FillRect(r);
    };
    switch (shape_) {
        case TBevelShape::bsTopLine:
            line(first, Rect(0, 0, w, 1));
            line(second, Rect(0, 1, w, 2));
            break;
        case TBevelShape::bsBottomLine:
            line(first, Rect(0, h - 2, w, h - 1));
            line(second, Rect(0, h - 1, w, h));
            break;
        case TBevelShape::bsLeftLine:
            line(first, Rect(0, 0, 1, h));
            line(second, Rect(1, 0, 2, h));
            break;
        case TBevelShape::bsRightLine:
            line(first, Rect(w - 2, 0, w - 1, h));
            line(second, Rect(w - 1, 0, w, h));
            break;
        case TBevelShape::bsBox:
            line(first, Rect(0, 0, w, 1));
            line(first, Rect(0, 0, 1, h));
            line(second, Rect(0, h - 1, w, h));
            line(second, Rect(w - 1, 0, w, h));
            break;
        case TBevelShape::bsFrame:
            line(first, Rect(0, 0, w - 1, 1));
            line(first, Rect(0, 0, 1, h - 1));
            line(first, Rect(0, h - 2, w - 1, h - 1));
            line(first, Rect(w - 2, 0, w - 1, h - 1));
            line(second, Rect(1, 1, w, 2));
            line(second, Rect(1, 1, 2, h));
            line(second, Rect(1, h - 1, w, h));
            line(second, Rect(w - 1, 1, w, h));
            break;
        case TBevelShape::bsSpacer:
            break;
    }
}
