#include "framework/label.h"

#include <QPainter>

#include "desktop/text_draw.h"
#include "framework/qtext.h"

namespace {

platform::Rect toPlatform(const TRect& r) {
    return platform::Rect{r.Left, r.Top, r.Right, r.Bottom};
}

TRect fromPlatform(const platform::Rect& r) {
    return Rect(r.left, r.top, r.right, r.bottom);
}

}  // namespace

int DrawCanvasText(TCanvas& canvas, const AnsiString& text, TRect& rect, unsigned format) {
    const QFont font = canvas.Font()->ToQFont();
    platform::Rect r = toPlatform(rect);
    int height = 0;
    if (format & platform::DT_CALCRECT) {
        // Measuring needs no surface. Our fonts are sized in pixels, so the
        // screen's metrics are those of any surface the text is drawn on.
        height = platform::DrawText(nullptr, font, QColor(), text, r, format);
    } else {
        QPainter* p = canvas.Painter();
        if (p == nullptr)
            return 0;
        height = platform::DrawText(p, font, ToQColor(canvas.Font()->Color()), text, r, format);
    }
    rect = fromPlatform(r);
    return height;
}

int CanvasTextOverhang(TCanvas& canvas) {
    return platform::GetTextMetrics(canvas.Font()->ToQFont()).tmOverhang;
}

TCustomLabel::TCustomLabel(TComponent* AOwner) : TGraphicControl(AOwner) {
    SetBounds(Left(), Top(), 65, 17);
}

TCustomLabel::~TCustomLabel() = default;

AnsiString TCustomLabel::LabelText() const {
    // Two bytes a character at most: kMaxDrawnChars + 1 characters still fit,
    // so the drawing sees that there is more and marks the cut.
    constexpr std::size_t kMaxLabelBytes = 2 * (platform::kMaxDrawnChars + 1);
    AnsiString text = Caption().size() > kMaxLabelBytes ? TruncateCp932(Caption(), kMaxLabelBytes) : Caption();
    if (text.empty() || (showAccelChar_ && text == "&"))
        text += ' ';
    return text;
}

unsigned TCustomLabel::TextFlags() const {
    unsigned flags = platform::DT_EXPANDTABS;
    switch (alignment_) {
        case TAlignment::taLeftJustify:
            flags |= platform::DT_LEFT;
            break;
        case TAlignment::taRightJustify:
            flags |= platform::DT_RIGHT;
            break;
        case TAlignment::taCenter:
            flags |= platform::DT_CENTER;
            break;
    }
    if (wordWrap_)
        flags |= platform::DT_WORDBREAK;
    if (!showAccelChar_)
        flags |= platform::DT_NOPREFIX;
    return flags;
}

void TCustomLabel::Paint() {
    TCanvas* canvas = Canvas();
    if (!transparent_) {
        canvas->Brush()->SetStyle(TBrushStyle::bsSolid);
        canvas->Brush()->SetColor(Color());
        canvas->FillRect(ClientRect());
    }
    canvas->Brush()->SetStyle(TBrushStyle::bsClear);

    const AnsiString text = LabelText();
    const unsigned flags = TextFlags();
    TRect r = ClientRect();
    if (layout_ != TTextLayout::tlTop) {
        TRect measured = r;
        const int h = DrawCanvasText(*canvas, text, measured, flags | platform::DT_CALCRECT);
        OffsetRect(r, 0, layout_ == TTextLayout::tlCenter ? (Height() - h) / 2 : Height() - h);
    }
    if (Enabled()) {
        canvas->Font()->SetColor(Font()->Color());
        DrawCanvasText(*canvas, text, r, flags);
        return;
    }
    // Disabled: an embossed look, a light copy under a dark one.
    TRect light = r;
    OffsetRect(light, 1, 1);
    canvas->Font()->SetColor(clBtnHighlight);
    DrawCanvasText(*canvas, text, light, flags);
    canvas->Font()->SetColor(clBtnShadow);
    DrawCanvasText(*canvas, text, r, flags);
}

void TCustomLabel::AdjustBounds() {
    if (!autoSize_ || IsLoading())
        return;
    TRect r = ClientRect();
    DrawCanvasText(*Canvas(), LabelText(), r, TextFlags() | platform::DT_CALCRECT);
    int left = Left();
    if (alignment_ == TAlignment::taRightJustify)
        left += Width() - r.Right;
    SetBounds(left, Top(), r.Right, r.Bottom);
}

void TCustomLabel::Loaded() {
    TGraphicControl::Loaded();
    AdjustBounds();
}

void TCustomLabel::TextChanged() {
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::FontChanged() {
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetAlignment(TAlignment value) {
    if (value == alignment_)
        return;
    alignment_ = value;
    Invalidate();
}

void TCustomLabel::SetLayout(TTextLayout value) {
    if (value == layout_)
        return;
    layout_ = value;
    Invalidate();
}

void TCustomLabel::SetWordWrap(bool value) {
    if (value == wordWrap_)
        return;
    wordWrap_ = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetShowAccelChar(bool value) {
    if (value == showAccelChar_)
        return;
    showAccelChar_ = value;
    AdjustBounds();
    Invalidate();
}

void TCustomLabel::SetTransparent(bool value) {
    if (value == transparent_)
        return;
    transparent_ = value;
    Invalidate();
}

void TCustomLabel::SetAutoSize(bool value) {
    if (value == autoSize_)
        return;
    autoSize_ = value;
    AdjustBounds();
}
