// Controls and forms: window-less graphic controls drawn by their parent,
// windowed controls that own a Qt widget, and top-level forms.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/component.h"
#include "framework/graphics.h"

class QWidget;
class TWinControl;
class ControlWidget;

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
enum TShiftStateFlag : unsigned {
    ssShift = 1,
    ssAlt = 2,
    ssCtrl = 4,
    ssLeft = 8,
    ssRight = 16,
    ssMiddle = 32,
    ssDouble = 64
};
using TShiftState = unsigned;
using TMouseEvent = std::function<void(TObject* Sender, TMouseButton Button, TShiftState Shift, int X, int Y)>;
using TMouseMoveEvent = std::function<void(TObject* Sender, TShiftState Shift, int X, int Y)>;

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };

// Anything placed on a window. GUI thread only.
class TControl : public TComponent {
public:
    explicit TControl(TComponent* AOwner);
    ~TControl() override;
    const char* ClassName() const override { return "TControl"; }

    TWinControl* Parent() const { return parent_; }
    virtual void SetParent(TWinControl* parent);

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }
    virtual void SetBounds(int left, int top, int width, int height);
    TRect BoundsRect() const { return Bounds(left_, top_, width_, height_); }

    virtual int ClientWidth() const { return width_; }
    virtual int ClientHeight() const { return height_; }
    TRect ClientRect() const { return Rect(0, 0, ClientWidth(), ClientHeight()); }

    bool Visible() const { return visible_; }
    virtual void SetVisible(bool visible);
    void Show() { SetVisible(true); }
    void Hide() { SetVisible(false); }
    // Visible, and every parent up to a shown form too.
    virtual bool Showing() const;
    bool Enabled() const { return enabled_; }
    virtual void SetEnabled(bool enabled);

    // The text of the control: a label's caption, an edit's content, a form's title.
    const AnsiString& Caption() const { return text_; }
    void SetCaption(const AnsiString& text) { SetText(text); }
    const AnsiString& Text() const { return text_; }
    virtual void SetText(const AnsiString& text);

    TFont* Font() { return &font_; }
    TColor Color() const { return color_; }
    virtual void SetColor(TColor color);
    bool ParentFont() const { return parentFont_; }
    void SetParentFont(bool v);

    const AnsiString& Hint() const { return hint_; }
    virtual void SetHint(const AnsiString& hint);
    bool ShowHint() const { return showHint_; }
    virtual void SetShowHint(bool v);

    // Asks for a repaint later, from the message loop.
    virtual void Invalidate();
    // Repaints now.
    virtual void Repaint();

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseEvent OnMouseDown;
    TMouseMoveEvent OnMouseMove;

    // Mouse input, in control coordinates; the defaults fire the events.
    virtual void MouseDown(TMouseButton Button, TShiftState Shift, int X, int Y);
    virtual void MouseMove(TShiftState Shift, int X, int Y);
    virtual void Click();
    virtual void DblClick();

protected:
    // Hooks for derived controls.
    virtual void TextChanged() { Invalidate(); }
    virtual void FontChanged() { Invalidate(); }
    virtual void BoundsChanged() {}
    virtual void VisibleChanged();

    TWinControl* parent_ = nullptr;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    bool enabled_ = true;
    AnsiString text_;
    TFont font_;
    TColor color_ = clBtnFace;
    bool parentFont_ = true;
    AnsiString hint_;
    bool showHint_ = false;
};

// A control without a window of its own: its parent paints it, in creation
// order, over the parent's background and under the parent's windowed children.
class TGraphicControl : public TControl {
public:
    explicit TGraphicControl(TComponent* AOwner);
    ~TGraphicControl() override;
    const char* ClassName() const override { return "TGraphicControl"; }

    // While Paint runs: draws on the parent's surface, at the control's origin,
    // clipped to it. Otherwise: a measuring canvas with the control's font.
    TCanvas* Canvas();
    void Invalidate() override;
    void Repaint() override;

    // Called by the parent window with the canvas attached.
    void PaintTo(QPainter* painter);

protected:
    virtual void Paint() {}
    void BoundsChanged() override;

private:
    // The scratch image outlives the canvas that may still hold a painter on it.
    QImage scratch_;
    TCanvas canvas_;
    bool painting_ = false;
};

// A control with a Qt widget of its own. The widget is made on first use of Handle().
class TWinControl : public TControl {
public:
    explicit TWinControl(TComponent* AOwner);
    ~TWinControl() override;
    const char* ClassName() const override { return "TWinControl"; }

    // The widget; made (with the parent's first) on first call.
    QWidget* Handle();
    bool HandleAllocated() const { return widget_ != nullptr; }

    int ControlCount() const { return static_cast<int>(controls_.size()); }
    TControl* Controls(int i) const { return controls_.at(static_cast<size_t>(i)); }

    void SetBounds(int left, int top, int width, int height) override;
    void SetText(const AnsiString& text) override;
    void SetEnabled(bool enabled) override;
    void SetHint(const AnsiString& hint) override;
    void SetShowHint(bool v) override;
    void Invalidate() override;
    void Repaint() override;
    bool Showing() const override;

    int TabOrder() const { return tabOrder_; }
    void SetTabOrder(int order);
    bool TabStop() const { return tabStop_; }
    void SetTabStop(bool v);
    void SetFocus();

    // Repaints a part of the client area later.
    void InvalidateRect(const TRect& r);

    // Called by the widget; paints the background and the graphic children.
    virtual void PaintWindow(QPainter* painter, const TRect& updateRect);
    // Mouse input from the widget, in client coordinates: goes to the
    // topmost visible graphic child under the point, else to this control.
    void RouteMouse(int kind, TMouseButton button, TShiftState shift, int x, int y);

protected:
    // Makes the widget under parentWidget (nullptr for a top-level window).
    // Derived controls that wrap a native Qt widget override this.
    virtual QWidget* CreateWidget(QWidget* parentWidget);
    // Pushes the stored state (bounds, text, visibility, ...) onto a new widget.
    virtual void InitWidget();
    void VisibleChanged() override;
    // Windowed children in TabOrder; applies QWidget::setTabOrder.
    void UpdateTabOrder();

    // Whether PaintWindow fills the background with Color.
    bool paintBackground_ = true;

private:
    friend class TControl;
    void insertControl(TControl* c);
    void removeControl(TControl* c);
    void destroyWidget();

    QWidget* widget_ = nullptr;
    std::vector<TControl*> controls_;
    int tabOrder_ = -1;
    bool tabStop_ = false;
    TGraphicControl* mouseCapture_ = nullptr;
};

enum class TFormBorderStyle { bsNone, bsSizeable, bsDialog };
enum class TPosition { poDesigned, poScreenCenter };

// A top-level window.
class TCustomForm : public TWinControl {
public:
    explicit TCustomForm(TComponent* AOwner);
    ~TCustomForm() override;
    const char* ClassName() const override { return "TCustomForm"; }

    TFormBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TFormBorderStyle s);
    TPosition Position() const { return position_; }
    void SetPosition(TPosition p) { position_ = p; }

    // The client area; the outer Width/Height add the frame the window manager draws.
    int ClientWidth() const override { return clientWidth_; }
    int ClientHeight() const override { return clientHeight_; }
    void SetClientWidth(int w);
    void SetClientHeight(int h);
    void SetBounds(int left, int top, int width, int height) override;
    // The caption: the window title.
    void SetText(const AnsiString& text) override;

    // Shows the form (OnShow when it was hidden) and brings it to the front.
    void ShowForm();
    bool Showing() const override { return Visible(); }
    // Hides the form (same as Hide()).
    void Close() { Hide(); }

    TNotifyEvent OnCreate;
    TNotifyEvent OnShow;
    // Runs OnCreate; the form's constructor calls this once its layout is loaded.
    void DoCreate();

protected:
    QWidget* CreateWidget(QWidget* parentWidget) override;
    void InitWidget() override;
    void VisibleChanged() override;
    // Called when the window manager moved or resized the window.
    void SyncGeometryFromWidget();
    friend class ControlWidget;

private:
    void applyWindowFlags();
    void placeBeforeShowing();

    TFormBorderStyle borderStyle_ = TFormBorderStyle::bsSizeable;
    TPosition position_ = TPosition::poDesigned;
    int clientWidth_ = 0, clientHeight_ = 0;
    bool placedOnce_ = false;
};

class TForm : public TCustomForm {
public:
    using TCustomForm::TCustomForm;
    const char* ClassName() const override { return "TForm"; }
};

// Shows a picture.
class TImage : public TGraphicControl {
public:
    explicit TImage(TComponent* AOwner);
    ~TImage() override;
    const char* ClassName() const override { return "TImage"; }

    TPicture* Picture() { return &picture_; }
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool v);
    // The picture's bitmap canvas (made on demand); raises EInvalidOperation
    // "Can only modify an image if it contains a bitmap" for another kind of graphic.
    TCanvas* Canvas();

protected:
    void Paint() override;

private:
    void pictureChanged();
    TPicture picture_;
    bool autoSize_ = false;
};
