// The shadow label: a caption with a drop shadow, a highlight, colour
// gradation across its characters and an optional gradient background; and
// the gradient helpers it paints with.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "framework/graphics.h"
#include "framework/label.h"

// One offset copy of a label's text (its shadow or its highlight).
// OnChange fires after any real change, and once after Assign.
class TShadow : public TPersistent {
public:
    TShadow();
    const char* ClassName() const override { return "TShadow"; }
    // Copies Visible, Color and the offsets of another TShadow (not OnChange);
    // any other source raises EConvertError.
    void Assign(const TPersistent* Source) override;

    bool Visible() const { return FVisible; }
    TColor Color() const { return FColor; }
    int OffsetLeft() const { return FOffsetLeft; }
    int OffsetTop() const { return FOffsetTop; }
    void SetShadowVisible(bool Value);
    void SetShadowColor(TColor Value);
    void SetShadowLeft(int Value);
    void SetShadowTop(int Value);

    TNotifyEvent OnChange;

private:
    void changed();

    bool FVisible = true;
    TColor FColor = clSilver;
    int FOffsetLeft = 1;
    int FOffsetTop = 1;
};

enum class TEllipsis { elNone, elEnd, elPath };
enum class TTextGradation { tgNone, tg2Colors, tg3Colors };

// A label drawn as background, shadow, highlight, then text, bottom to top.
// Setters repaint only on a real change (see each one). GUI thread only.
class TShadowLabel : public TLabel {
public:
    explicit TShadowLabel(TComponent* AOwner);
    ~TShadowLabel() override;
    const char* ClassName() const override { return "TShadowLabel"; }

    TEllipsis Ellipsis() const { return FEllipsis; }
    void SetEllipsis(TEllipsis Value);
    // Draw an opaque label off screen and copy it in one step. Never repaints.
    bool Flickerless() const { return FFlickerless; }
    void SetFlickerless(bool Value) { FFlickerless = Value; }
    bool GradateVert() const { return FGradateVert; }
    void SetGradateVert(bool Value);
    bool Gradation() const { return FGradation; }
    void SetGradation(bool Value);
    // Start (top or left) of the background gradient; its end is Color.
    TColor GradationColor() const { return FGradationColor; }
    void SetGradationColor(TColor Value);
    // The label's own objects; never null.
    TShadow* Highlight() const { return FHighlight.get(); }
    TShadow* Shadow() const { return FShadow.get(); }
    // Copy Value's settings into the label's own object and repaint; null is ignored.
    // The label does not take Value over.
    void SetHighlight(const TShadow* Value);
    void SetShadow(const TShadow* Value);
    TTextGradation TextGradation() const { return FTextGradation; }
    void SetTextGradation(TTextGradation Value);
    // End colour of the text gradation; repaints only while a gradation is on.
    TColor TextGradationColor() const { return FTextGradationColor; }
    void SetTextGradationColor(TColor Value);
    // Middle colour of a three-colour gradation; repaints only under tg3Colors.
    TColor TextMidColor() const { return FTextMidColor; }
    void SetTextMidColor(TColor Value);

    // Handler of both TShadow objects' OnChange: repaints the label.
    void ShadowChanged(TObject* Sender);

protected:
    void Paint() override;

private:
    // Draws Text (CP932) over the rectangle's line from the running x, each
    // character in its own colour from A to B; advances x.
    void drawPiece(TCanvas& canvas, std::string_view text, TColor A, TColor B, const TRect& R, int& x, unsigned flags);
    void drawGradatedText(TCanvas& canvas, const AnsiString& text, const TRect& R, unsigned flags);

    TEllipsis FEllipsis = TEllipsis::elNone;
    bool FFlickerless = true;
    bool FGradateVert = false;
    bool FGradation = false;
    TColor FGradationColor = clBlue;
    std::unique_ptr<TShadow> FHighlight;
    std::unique_ptr<TShadow> FShadow;
    TTextGradation FTextGradation = TTextGradation::tgNone;
    TColor FTextGradationColor = clMaroon;
    TColor FTextMidColor = clNavy;
};

// Resolves Color (system colours through the colour table) into its channels.
void GetRGB(TColor Color, std::uint8_t& R, std::uint8_t& G, std::uint8_t& B);

// Fills Bitmap with a linear gradient from StartColor (top row, or left column)
// to EndColor (bottom row, or right column). A run of one row (vertical) or one
// column (horizontal) takes StartColor. An empty bitmap is left alone.
void GradBitmap(TBitmap* Bitmap, TColor StartColor, TColor EndColor, bool Vertical);

// Fills Rect of Canvas with the same gradient, computed on a small bitmap (one
// column, or a strip of height / 20 + 1 rows) and stretched over the rectangle.
// Leaves the canvas's CopyMode at SRCCOPY.
void GradRect(TCanvas* Canvas, const TRect& Rect, TColor StartColor, TColor EndColor, bool Vertical);

// The size of the bitmap GradRect computes for Rect: 1 × height when
// vertical, width × (height / 20 + 1) otherwise.
void GradStripSize(const TRect& Rect, bool Vertical, int& Width, int& Height);

// The colour channel `A + D * t` evaluated exactly, then truncated: the
// gradients' arithmetic (0 to 255 at t = 1/3 gives 84, not 85).
int GradientChannel(int A, int D, double t);
