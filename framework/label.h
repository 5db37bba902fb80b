// Text labels: a window-less control that draws its caption on the parent's
// surface, and the canvas text call the labels draw with.
#pragma once

#include "framework/controls.h"
#include "framework/graphics.h"

enum class TTextLayout { tlTop, tlCenter, tlBottom };

// Draws `text` (CP932) into `rect` of the canvas in the canvas's font and font
// colour, with the DT_ format flags of desktop/text_draw.h; with DT_CALCRECT it
// only measures and makes `rect` the text's bounding box. Returns the text's
// height in pixels. Does nothing (returns 0) on a canvas without a surface,
// unless only measuring.
int DrawCanvasText(TCanvas& canvas, const AnsiString& text, TRect& rect, unsigned format);
// The overhang of the canvas's font (see platform::TextMetric).
int CanvasTextOverhang(TCanvas& canvas);

// A label: caption, alignment, vertical layout, word wrap, "&" accelerator
// marks, an optional opaque background and sizing to its text. GUI thread only.
class TCustomLabel : public TGraphicControl {
public:
    explicit TCustomLabel(TComponent* AOwner);
    ~TCustomLabel() override;
    const char* ClassName() const override { return "TCustomLabel"; }

    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment value);
    TTextLayout Layout() const { return layout_; }
    void SetLayout(TTextLayout value);
    bool WordWrap() const { return wordWrap_; }
    void SetWordWrap(bool value);
    // "&x" underlines x instead of showing the "&".
    bool ShowAccelChar() const { return showAccelChar_; }
    void SetShowAccelChar(bool value);
    // A transparent label paints no background, so its parent shows between the letters.
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value);
    // Keeps the control exactly as large as its text (and, with WordWrap, as
    // wide as it is). A right-aligned label keeps its right edge.
    bool AutoSize() const { return autoSize_; }
    void SetAutoSize(bool value);

protected:
    void Paint() override;
    void Loaded() override;
    void TextChanged() override;
    void FontChanged() override;

    // The caption as drawn: an empty caption, or a lone "&" while
    // ShowAccelChar is on, gets one space so it still has a line's height.
    // A caption longer than the text drawing lays out is cut to a little
    // more than that (which the drawing then ends in "..."), so that painting
    // costs the same for a caption of a megabyte as for one of a kilobyte.
    AnsiString LabelText() const;
    // DT_EXPANDTABS, the alignment, DT_WORDBREAK and DT_NOPREFIX as the properties say.
    unsigned TextFlags() const;
    // Resizes to the text when AutoSize is on (not while loading).
    void AdjustBounds();

private:
    TAlignment alignment_ = TAlignment::taLeftJustify;
    TTextLayout layout_ = TTextLayout::tlTop;
    bool wordWrap_ = false;
    bool showAccelChar_ = true;
    bool transparent_ = false;
    bool autoSize_ = true;
};

class TLabel : public TCustomLabel {
public:
    using TCustomLabel::TCustomLabel;
    const char* ClassName() const override { return "TLabel"; }
};
