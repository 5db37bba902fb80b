#include "framework/controls.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScreen>
#include <QWidget>
#include <algorithm>

#include "core/exception.h"
#include "framework/qtext.h"

namespace {

constexpr int kMouseDown = 0, kMouseUp = 1, kMouseMove = 2, kMouseDouble = 3;

TShiftState shiftFrom(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons) {
    TShiftState s = 0;
    if (mods & Qt::ShiftModifier)
        s |= ssShift;
    if (mods & Qt::AltModifier)
        s |= ssAlt;
    if (mods & Qt::ControlModifier)
        s |= ssCtrl;
    if (buttons & Qt::LeftButton)
        s |= ssLeft;
    if (buttons & Qt::RightButton)
        s |= ssRight;
    if (buttons & Qt::MiddleButton)
        s |= ssMiddle;
    return s;
}

TMouseButton buttonFrom(Qt::MouseButton b) {
    switch (b) {
        case Qt::RightButton:
            return TMouseButton::mbRight;
        case Qt::MiddleButton:
            return TMouseButton::mbMiddle;
        default:
            return TMouseButton::mbLeft;
    }
}

}  // namespace

// The widget behind a TWinControl: forwards painting and mouse input.
class ControlWidget final : public QWidget {
public:
    ControlWidget(TWinControl* control, QWidget* parent, Qt::WindowFlags flags)
        : QWidget(parent, flags), control_(control) {
        setMouseTracking(true);
    }
    void detach() { control_ = nullptr; }

protected:
    void paintEvent(QPaintEvent* e) override {
        if (control_ == nullptr)
            return;
        QPainter p(this);
        const QRect r = e->rect();
        control_->PaintWindow(&p, Rect(r.left(), r.top(), r.right() + 1, r.bottom() + 1));
    }
    void mousePressEvent(QMouseEvent* e) override { route(kMouseDown, e); }
    void mouseReleaseEvent(QMouseEvent* e) override { route(kMouseUp, e); }
    void mouseMoveEvent(QMouseEvent* e) override { route(kMouseMove, e); }
    void mouseDoubleClickEvent(QMouseEvent* e) override { route(kMouseDouble, e); }
    void moveEvent(QMoveEvent* e) override {
        QWidget::moveEvent(e);
        if (auto* f = dynamic_cast<TCustomForm*>(control_))
            f->SyncGeometryFromWidget();
    }
    void resizeEvent(QResizeEvent* e) override {
        QWidget::resizeEvent(e);
        if (auto* f = dynamic_cast<TCustomForm*>(control_))
            f->SyncGeometryFromWidget();
    }
    void closeEvent(QCloseEvent* e) override {
        // A form is hidden, never destroyed, when the window manager closes it.
        e->ignore();
        if (control_ != nullptr)
            control_->Hide();
    }

private:
    void route(int kind, QMouseEvent* e) {
        if (control_ == nullptr)
            return;
        const QPoint p = e->position().toPoint();
        control_->RouteMouse(kind, buttonFrom(e->button()), shiftFrom(e->modifiers(), e->buttons()), p.x(), p.y());
    }
    TWinControl* control_;
};

// ---- TControl ----

TControl::TControl(TComponent* AOwner) : TComponent(AOwner) {
    font_.OnChange = [this](TObject*) {
        parentFont_ = false;
        FontChanged();
    };
}

TControl::~TControl() {
    if (parent_ != nullptr)
        parent_->removeControl(this);
}

void TControl::SetParent(TWinControl* parent) {
    if (parent == parent_)
        return;
    if (parent_ != nullptr) {
        parent_->Invalidate();
        parent_->removeControl(this);
    }
    parent_ = parent;
    if (parent_ != nullptr) {
        parent_->insertControl(this);
        if (parentFont_) {
            auto handler = std::move(font_.OnChange);
            font_.Assign(parent_->Font());
            font_.OnChange = std::move(handler);
        }
    }
}

void TControl::SetBounds(int left, int top, int width, int height) {
    if (left == left_ && top == top_ && width == width_ && height == height_)
        return;
    left_ = left;
    top_ = top;
    width_ = width;
    height_ = height;
    BoundsChanged();
}

void TControl::SetVisible(bool visible) {
    if (visible == visible_)
        return;
    visible_ = visible;
    VisibleChanged();
}

void TControl::VisibleChanged() {
    if (parent_ != nullptr)
        parent_->InvalidateRect(BoundsRect());
}

bool TControl::Showing() const {
    return visible_ && parent_ != nullptr && parent_->Showing();
}

void TControl::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Invalidate();
}

void TControl::SetText(const AnsiString& text) {
    if (text == text_)
        return;
    text_ = text;
    TextChanged();
}

void TControl::SetColor(TColor color) {
    if (color == color_)
        return;
    color_ = color;
    Invalidate();
}

void TControl::SetParentFont(bool v) {
    parentFont_ = v;
    if (v && parent_ != nullptr) {
        auto handler = std::move(font_.OnChange);
        font_.Assign(parent_->Font());
        font_.OnChange = std::move(handler);
        FontChanged();
    }
}

void TControl::SetHint(const AnsiString& hint) {
    hint_ = hint;
}
void TControl::SetShowHint(bool v) {
    showHint_ = v;
}

void TControl::Invalidate() {}
void TControl::Repaint() {}

void TControl::MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y) {
    if (OnMouseDown)
        OnMouseDown(this, Button, Shift, X, Y);
}
void TControl::MouseMove(TShiftState Shift, int X, int Y) {
    if (OnMouseMove)
        OnMouseMove(this, Shift, X, Y);
}
void TControl::Click() {
    if (OnClick)
        OnClick(this);
}
void TControl::DblClick() {
    if (OnDblClick)
        OnDblClick(this);
}

// ---- TGraphicControl ----

TGraphicControl::TGraphicControl(TComponent* AOwner) : TControl(AOwner) {}

TGraphicControl::~TGraphicControl() {
    if (parent_ != nullptr)
        parent_->InvalidateRect(BoundsRect());
}

TCanvas* TGraphicControl::Canvas() {
    if (!painting_) {
        // Outside painting the canvas only measures.
        if (scratch_.isNull())
            scratch_ = QImage(1, 1, QImage::Format_BGR888);
        if (canvas_.Image() != &scratch_)
            canvas_.AttachImage(&scratch_);
    }
    canvas_.Font()->Assign(Font());
    return &canvas_;
}

void TGraphicControl::Invalidate() {
    if (parent_ != nullptr)
        parent_->InvalidateRect(BoundsRect());
}

void TGraphicControl::Repaint() {
    Invalidate();
    if (parent_ != nullptr && parent_->HandleAllocated())
        parent_->Repaint();
}

void TGraphicControl::BoundsChanged() {
    if (parent_ != nullptr)
        parent_->Invalidate();
}

void TGraphicControl::PaintTo(QPainter* painter) {
    painter->save();
    painter->translate(left_, top_);
    painter->setClipRect(0, 0, width_, height_, Qt::IntersectClip);
    canvas_.AttachPainter(painter);
    canvas_.Font()->Assign(Font());
    painting_ = true;
    try {
        Paint();
    } catch (...) {
        painting_ = false;
        canvas_.Detach();
        painter->restore();
        throw;
    }
    painting_ = false;
    canvas_.Detach();
    painter->restore();
}

// ---- TWinControl ----

TWinControl::TWinControl(TComponent* AOwner) : TControl(AOwner) {}

TWinControl::~TWinControl() {
    // Children placed on us but owned elsewhere lose their parent.
    while (!controls_.empty()) controls_.back()->SetParent(nullptr);
    destroyWidget();
}

void TWinControl::destroyWidget() {
    if (widget_ == nullptr)
        return;
    if (auto* cw = dynamic_cast<ControlWidget*>(widget_))
        cw->detach();
    QWidget* w = widget_;
    widget_ = nullptr;
    delete w;
}

void TWinControl::insertControl(TControl* c) {
    controls_.push_back(c);
    if (auto* wc = dynamic_cast<TWinControl*>(c); wc != nullptr && widget_ != nullptr) {
        if (wc->widget_ != nullptr)
            wc->widget_->setParent(widget_);
        else
            wc->Handle();
    }
    c->Invalidate();
}

void TWinControl::removeControl(TControl* c) {
    controls_.erase(std::remove(controls_.begin(), controls_.end(), c), controls_.end());
    if (mouseCapture_ == c)
        mouseCapture_ = nullptr;
    if (auto* wc = dynamic_cast<TWinControl*>(c); wc != nullptr && wc->widget_ != nullptr && !IsDestroying())
        wc->widget_->setParent(nullptr);
    InvalidateRect(c->BoundsRect());
}

QWidget* TWinControl::CreateWidget(QWidget* parentWidget) {
    return new ControlWidget(this, parentWidget, Qt::Widget);
}

QWidget* TWinControl::Handle() {
    if (widget_ != nullptr)
        return widget_;
    QWidget* parentWidget = parent_ != nullptr ? parent_->Handle() : nullptr;
    widget_ = CreateWidget(parentWidget);
    InitWidget();
    for (TControl* c : controls_)
        if (auto* wc = dynamic_cast<TWinControl*>(c))
            wc->Handle();
    UpdateTabOrder();
    return widget_;
}

void TWinControl::InitWidget() {
    widget_->setGeometry(left_, top_, std::max(width_, 0), std::max(height_, 0));
    widget_->setEnabled(enabled_);
    widget_->setFont(font_.ToQFont());
    if (showHint_ && !hint_.empty())
        widget_->setToolTip(ToQString(hint_));
    if (parent_ != nullptr)
        widget_->setVisible(visible_);
    widget_->setFocusPolicy(tabStop_ ? Qt::StrongFocus : Qt::ClickFocus);
}

void TWinControl::SetBounds(int left, int top, int width, int height) {
    TControl::SetBounds(left, top, width, height);
    if (widget_ != nullptr && widget_->geometry() != QRect(left_, top_, width_, height_))
        widget_->setGeometry(left_, top_, std::max(width_, 0), std::max(height_, 0));
}

void TWinControl::SetText(const AnsiString& text) {
    TControl::SetText(text);
}

void TWinControl::SetEnabled(bool enabled) {
    TControl::SetEnabled(enabled);
    if (widget_ != nullptr)
        widget_->setEnabled(enabled);
}

void TWinControl::SetHint(const AnsiString& hint) {
    TControl::SetHint(hint);
    if (widget_ != nullptr)
        widget_->setToolTip(showHint_ ? ToQString(hint_) : QString());
}

void TWinControl::SetShowHint(bool v) {
    TControl::SetShowHint(v);
    if (widget_ != nullptr)
        widget_->setToolTip(showHint_ ? ToQString(hint_) : QString());
}

void TWinControl::VisibleChanged() {
    if (widget_ != nullptr)
        widget_->setVisible(visible_);
    else if (visible_ && parent_ != nullptr && parent_->HandleAllocated())
        Handle();
}

bool TWinControl::Showing() const {
    if (widget_ != nullptr)
        return widget_->isVisible();
    return TControl::Showing();
}

void TWinControl::Invalidate() {
    if (widget_ != nullptr)
        widget_->update();
}

void TWinControl::Repaint() {
    if (widget_ != nullptr)
        widget_->repaint();
}

void TWinControl::InvalidateRect(const TRect& r) {
    if (widget_ != nullptr)
        widget_->update(QRect(r.Left, r.Top, r.Width(), r.Height()));
}

void TWinControl::SetTabOrder(int order) {
    tabOrder_ = order;
    if (parent_ != nullptr)
        parent_->UpdateTabOrder();
}

void TWinControl::SetTabStop(bool v) {
    tabStop_ = v;
    if (widget_ != nullptr)
        widget_->setFocusPolicy(v ? Qt::StrongFocus : Qt::ClickFocus);
}

void TWinControl::UpdateTabOrder() {
    std::vector<TWinControl*> ordered;
    for (TControl* c : controls_)
        if (auto* wc = dynamic_cast<TWinControl*>(c); wc != nullptr && wc->widget_ != nullptr && wc->tabOrder_ >= 0)
            ordered.push_back(wc);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const TWinControl* a, const TWinControl* b) { return a->tabOrder_ < b->tabOrder_; });
    for (size_t i = 1; i < ordered.size(); ++i) QWidget::setTabOrder(ordered[i - 1]->widget_, ordered[i]->widget_);
}

void TWinControl::SetFocus() {
    QWidget* w = Handle();
    w->activateWindow();
    w->setFocus(Qt::OtherFocusReason);
}

void TWinControl::PaintWindow(QPainter* painter, const TRect& updateRect) {
    if (paintBackground_)
        painter->fillRect(QRect(updateRect.Left, updateRect.Top, updateRect.Width(), updateRect.Height()),
                          ToQColor(color_));
    for (TControl* c : controls_) {
        auto* gc = dynamic_cast<TGraphicControl*>(c);
        if (gc == nullptr || !gc->Visible())
            continue;
        const TRect b = gc->BoundsRect();
        if (b.Right <= updateRect.Left || b.Left >= updateRect.Right || b.Bottom <= updateRect.Top ||
            b.Top >= updateRect.Bottom)
            continue;
        gc->PaintTo(painter);
    }
}

void TWinControl::RouteMouse(int kind, TMouseButton button, TShiftState shift, int x, int y) {
    TControl* target = this;
    if (mouseCapture_ != nullptr) {
        target = mouseCapture_;
    } else {
        for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
            auto* gc = dynamic_cast<TGraphicControl*>(*it);
            if (gc == nullptr || !gc->Visible() || !gc->Enabled())
                continue;
            const TRect b = gc->BoundsRect();
            if (x >= b.Left && x < b.Right && y >= b.Top && y < b.Bottom) {
                target = gc;
                break;
            }
        }
    }
    const int tx = target == this ? x : x - target->Left();
    const int ty = target == this ? y : y - target->Top();
    switch (kind) {
        case kMouseDown:
            if (target != this)
                mouseCapture_ = static_cast<TGraphicControl*>(target);
            target->MouseDown(button, shift, tx, ty);
            break;
        case kMouseDouble:
            target->DblClick();
            target->MouseDown(button, shift | ssDouble, tx, ty);
            break;
        case kMouseUp: {
            mouseCapture_ = nullptr;
            const bool inside = tx >= 0 && ty >= 0 && tx < target->Width() && ty < target->Height();
            if (button == TMouseButton::mbLeft && inside)
                target->Click();
            break;
        }
        default:
            target->MouseMove(shift, tx, ty);
            break;
    }
}

// ---- TCustomForm ----

TCustomForm::TCustomForm(TComponent* AOwner) : TWinControl(AOwner) {
    visible_ = false;
    font_.SetName(DefaultFontName());
    font_.SetHeight(-12);
    font_.SetCharset(SHIFTJIS_CHARSET);
    font_.SetColor(clWindowText);
}

TCustomForm::~TCustomForm() {
    // Owned components (controls among them) go before the window does.
    DestroyComponents();
}

QWidget* TCustomForm::CreateWidget(QWidget*) {
    auto* w = new ControlWidget(this, nullptr, Qt::Window);
    return w;
}

void TCustomForm::applyWindowFlags() {
    QWidget* w = Handle();
    Qt::WindowFlags flags = Qt::Window;
    switch (borderStyle_) {
        case TFormBorderStyle::bsNone:
            flags |= Qt::FramelessWindowHint;
            break;
        case TFormBorderStyle::bsDialog:
            // A fixed-size dialog frame with a caption and no caption-bar buttons.
            flags |= Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint;
            break;
        case TFormBorderStyle::bsSizeable:
            break;
    }
    const bool wasVisible = w->isVisible();
    w->setWindowFlags(flags);
    if (borderStyle_ == TFormBorderStyle::bsDialog || borderStyle_ == TFormBorderStyle::bsNone)
        w->setFixedSize(clientWidth_, clientHeight_);
    if (wasVisible)
        w->show();
}

void TCustomForm::InitWidget() {
    QWidget* w = Handle();
    w->setWindowTitle(ToDisplayQString(text_));
    w->setFont(font_.ToQFont());
    w->resize(std::max(clientWidth_, 1), std::max(clientHeight_, 1));
    w->move(left_, top_);
    applyWindowFlags();
}

void TCustomForm::SetBorderStyle(TFormBorderStyle s) {
    if (s == borderStyle_)
        return;
    borderStyle_ = s;
    if (HandleAllocated())
        applyWindowFlags();
}

void TCustomForm::SetClientWidth(int w) {
    clientWidth_ = w;
    width_ = w;
    if (HandleAllocated()) {
        Handle()->resize(w, clientHeight_);
        if (borderStyle_ == TFormBorderStyle::bsDialog || borderStyle_ == TFormBorderStyle::bsNone)
            Handle()->setFixedSize(clientWidth_, clientHeight_);
    }
}

void TCustomForm::SetClientHeight(int h) {
    clientHeight_ = h;
    height_ = h;
    if (HandleAllocated()) {
        Handle()->resize(clientWidth_, h);
        if (borderStyle_ == TFormBorderStyle::bsDialog || borderStyle_ == TFormBorderStyle::bsNone)
            Handle()->setFixedSize(clientWidth_, clientHeight_);
    }
}

void TCustomForm::SetBounds(int left, int top, int width, int height) {
    // The outer size is the client size plus whatever frame the window manager adds.
    const int frameW = width_ - clientWidth_;
    const int frameH = height_ - clientHeight_;
    TControl::SetBounds(left, top, width, height);
    clientWidth_ = std::max(width - frameW, 0);
    clientHeight_ = std::max(height - frameH, 0);
    if (HandleAllocated()) {
        Handle()->move(left, top);
        Handle()->resize(clientWidth_, clientHeight_);
    }
}

void TCustomForm::SetText(const AnsiString& text) {
    TWinControl::SetText(text);
    if (HandleAllocated())
        Handle()->setWindowTitle(ToDisplayQString(text_));
}

void TCustomForm::SyncGeometryFromWidget() {
    if (!HandleAllocated())
        return;
    QWidget* w = Handle();
    const QRect frame = w->frameGeometry();
    const QRect client = w->geometry();
    left_ = frame.left();
    top_ = frame.top();
    clientWidth_ = client.width();
    clientHeight_ = client.height();
    width_ = frame.width();
    height_ = frame.height();
}

void TCustomForm::placeBeforeShowing() {
    if (placedOnce_)
        return;
    placedOnce_ = true;
    if (position_ != TPosition::poScreenCenter)
        return;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr)
        return;
    const QRect avail = screen->availableGeometry();
    const int x = avail.left() + (avail.width() - Width()) / 2;
    const int y = avail.top() + (avail.height() - Height()) / 2;
    left_ = x;
    top_ = y;
    Handle()->move(x, y);
}

void TCustomForm::VisibleChanged() {
    QWidget* w = Handle();
    if (visible_) {
        placeBeforeShowing();
        w->show();
        if (OnShow)
            OnShow(this);
    } else {
        w->hide();
    }
}

void TCustomForm::ShowForm() {
    SetVisible(true);
    QWidget* w = Handle();
    w->raise();
    w->activateWindow();
}

void TCustomForm::DoCreate() {
    if (OnCreate)
        OnCreate(this);
}

// ---- TImage ----

TImage::TImage(TComponent* AOwner) : TGraphicControl(AOwner) {
    picture_.OnChange = [this](TObject*) { pictureChanged(); };
    width_ = 105;
    height_ = 105;
}

TImage::~TImage() {
    picture_.OnChange = nullptr;
}

void TImage::pictureChanged() {
    if (autoSize_ && picture_.Width() > 0 && picture_.Height() > 0)
        SetBounds(left_, top_, picture_.Width(), picture_.Height());
    Invalidate();
}

void TImage::SetAutoSize(bool v) {
    if (v == autoSize_)
        return;
    autoSize_ = v;
    pictureChanged();
}

TCanvas* TImage::Canvas() {
    if (picture_.Graphic() == nullptr) {
        TBitmap* b = picture_.Bitmap();
        b->SetSize(width_, height_);
    }
    auto* bitmap = dynamic_cast<TBitmap*>(picture_.Graphic());
    if (bitmap == nullptr)
        throw EInvalidOperation("Can only modify an image if it contains a bitmap");
    return bitmap->Canvas();
}

void TImage::Paint() {
    TGraphic* g = picture_.Graphic();
    if (g == nullptr || g->Empty())
        return;
    TGraphicControl::Canvas()->Draw(0, 0, g);
}
