#include "widgets/shadolbl.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "core/text.h"
#include "desktop/text_draw.h"

using platform::DT_CALCRECT;
using platform::DT_END_ELLIPSIS;
using platform::DT_PATH_ELLIPSIS;

namespace {

// Bytes of the character starting at text[i]: a lead byte takes its trail
// byte with it, unless it is the last byte.
std::size_t charLength(std::string_view text, std::size_t i) {
    return (IsLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
}

int countChars(std::string_view text) {
    int n = 0;
    for (std::size_t i = 0; i < text.size(); i += charLength(text, i)) ++n;
    return n;
}

// Where a byte count cuts the text, moved one byte on when it would land
// inside a double-byte character.
std::size_t splitOnCharBoundary(std::string_view text, std::size_t bytes) {
    std::size_t i = 0;
    while (i < bytes) {
        const std::size_t len = charLength(text, i);
        if (i + len > bytes)
            return i + len;
        i += len;
    }
    return i;
}

struct Channels {
    int r, g, b;
};

Channels channels(TColor color) {
    std::uint8_t r, g, b;
    GetRGB(color, r, g, b);
    return Channels{r, g, b};
}

// Step `k` of a run of `steps` from A, with D = end − start. A run of one step
// has no end to go to and stays at the start.
Channels gradientStep(const Channels& A, const Channels& D, int k, int steps) {
    const double t = steps > 1 ? static_cast<double>(k) / static_cast<double>(steps - 1) : 0.0;
    return Channels{GradientChannel(A.r, D.r, t), GradientChannel(A.g, D.g, t), GradientChannel(A.b, D.b, t)};
}

constexpr std::size_t bytesPerPixel(TPixelFormat format) {
    return format == TPixelFormat::pf32bit ? 4 : 3;
}

void putPixel(std::uint8_t* p, const Channels& c) {
    p[0] = static_cast<std::uint8_t>(c.b);
    p[1] = static_cast<std::uint8_t>(c.g);
    p[2] = static_cast<std::uint8_t>(c.r);
}

// Rows a horizontal gradient strip needs per 20 rows of the target.
constexpr int kStripDivisor = 20;

}  // namespace

// ---- gradients ----

void GetRGB(TColor Color, std::uint8_t& R, std::uint8_t& G, std::uint8_t& B) {
    const TColor c = ColorToRGB(Color);
    R = static_cast<std::uint8_t>(c & 0xFF);
    G = static_cast<std::uint8_t>((c >> 8) & 0xFF);
    B = static_cast<std::uint8_t>((c >> 16) & 0xFF);
}

int GradientChannel(int A, int D, double t) {
    if (D == 0 || !(t > 0.0))
        return A;  // also a NaN t from a run of one step
    // t is a double m / 2^s with m < 2^53; A + D·m / 2^s is then a fraction
    // with a power-of-two denominator, so it can be truncated exactly in
    // integers. Doing it in doubles would round 84.999... up to 85.
    int exponent = 0;
    const double mantissa = std::frexp(t, &exponent);
    const auto m = static_cast<std::int64_t>(std::ldexp(mantissa, 53));
    const int s = 53 - exponent;
    if (s > 100) {
        // |D·t| < 1 here: the sum is A, or just below it when D < 0.
        return (D < 0 && A > 0) ? A - 1 : A;
    }
    const __int128 num = (static_cast<__int128>(A) << s) + static_cast<__int128>(D) * m;
    // The sum lies between the two end colours, so it is never negative and
    // truncation is a shift.
    return static_cast<int>(num >> s);
}

void GradBitmap(TBitmap* Bitmap, TColor StartColor, TColor EndColor, bool Vertical) {
    if (Bitmap == nullptr)
        return;
    const Channels A = channels(StartColor);
    const Channels B = channels(EndColor);
    const Channels D{B.r - A.r, B.g - A.g, B.b - A.b};
    const int H = Bitmap->Height();
    const int W = Bitmap->Width();
    if (H < 1 || W < 1)
        return;
    const std::size_t bpp = bytesPerPixel(Bitmap->PixelFormat());

    if (Vertical) {
        for (int y = 0; y < H; ++y) putPixel(Bitmap->ScanLine(y), gradientStep(A, D, y, H));
        if (W >= 2) {
            TCanvas* canvas = Bitmap->Canvas();
            canvas->CopyRect(Rect(0, 0, W, H), canvas, Rect(0, 0, 1, H));
        }
        return;
    }
    std::vector<std::uint8_t> row(bpp * static_cast<std::size_t>(W));
    std::memcpy(row.data(), Bitmap->ScanLine(0), row.size());
    for (int x = 0; x < W; ++x) putPixel(row.data() + bpp * static_cast<std::size_t>(x), gradientStep(A, D, x, W));
    for (int y = 0; y < H; ++y) std::memcpy(Bitmap->ScanLine(y), row.data(), row.size());
}

void GradStripSize(const TRect& Rect, bool Vertical, int& Width, int& Height) {
    if (Vertical) {
        Width = 1;
        Height = Rect.Height();
    } else {
        Width = Rect.Width();
        Height = Rect.Height() / kStripDivisor + 1;
    }
}

void GradRect(TCanvas* Canvas, const TRect& Rect, TColor StartColor, TColor EndColor, bool Vertical) {
    if (Canvas == nullptr)
        return;
    int w = 0, h = 0;
    GradStripSize(Rect, Vertical, w, h);
    TBitmap strip;
    strip.SetPixelFormat(TPixelFormat::pf24bit);
    strip.SetSize(w, h);
    GradBitmap(&strip, StartColor, EndColor, Vertical);
    Canvas->CopyMode = SRCCOPY;
    Canvas->StretchDraw(Rect, &strip);
}

// ---- TShadow ----

TShadow::TShadow() = default;

void TShadow::changed() {
    if (OnChange)
        OnChange(this);
}

void TShadow::Assign(const TPersistent* Source) {
    if (const auto* s = dynamic_cast<const TShadow*>(Source)) {
        FVisible = s->FVisible;
        FColor = s->FColor;
        FOffsetLeft = s->FOffsetLeft;
        FOffsetTop = s->FOffsetTop;
        changed();
        return;
    }
    TPersistent::Assign(Source);
}

void TShadow::SetShadowVisible(bool Value) {
    if (Value == FVisible)
        return;
    FVisible = Value;
    changed();
}

void TShadow::SetShadowColor(TColor Value) {
    if (Value == FColor)
        return;
    FColor = Value;
    changed();
}

void TShadow::SetShadowLeft(int Value) {
    if (Value == FOffsetLeft)
        return;
    FOffsetLeft = Value;
    changed();
}

void TShadow::SetShadowTop(int Value) {
    if (Value == FOffsetTop)
        return;
    FOffsetTop = Value;
    changed();
}

// ---- TShadowLabel ----

TShadowLabel::TShadowLabel(TComponent* AOwner) : TLabel(AOwner) {
    FFlickerless = true;
    FGradationColor = clBlue;
    FHighlight = std::make_unique<TShadow>();
    // Not connected yet, so these do not repaint.
    FHighlight->SetShadowColor(clWhite);
    FHighlight->SetShadowLeft(-1);
    FHighlight->SetShadowTop(-1);
    FTextGradationColor = clMaroon;
    FTextMidColor = clNavy;
    FHighlight->OnChange = [this](TObject* Sender) { ShadowChanged(Sender); };
    FShadow = std::make_unique<TShadow>();
    FShadow->OnChange = [this](TObject* Sender) { ShadowChanged(Sender); };
}

TShadowLabel::~TShadowLabel() {
    FHighlight.reset();
    FShadow.reset();
}

void TShadowLabel::ShadowChanged(TObject* /*Sender*/) {
    Invalidate();
}

void TShadowLabel::SetEllipsis(TEllipsis Value) {
    if (Value == FEllipsis)
        return;
    FEllipsis = Value;
    Invalidate();
}

void TShadowLabel::SetGradateVert(bool Value) {
    if (Value == FGradateVert)
        return;
    FGradateVert = Value;
    Invalidate();
}

void TShadowLabel::SetGradation(bool Value) {
    if (Value == FGradation)
        return;
    FGradation = Value;
    Invalidate();
}

void TShadowLabel::SetGradationColor(TColor Value) {
    if (Value == FGradationColor)
        return;
    FGradationColor = Value;
    Invalidate();
}

void TShadowLabel::SetHighlight(const TShadow* Value) {
    if (Value == nullptr)
        return;
    FHighlight->Assign(Value);
    Invalidate();
}

void TShadowLabel::SetShadow(const TShadow* Value) {
    if (Value == nullptr)
        return;
    FShadow->Assign(Value);
    Invalidate();
}

void TShadowLabel::SetTextGradation(TTextGradation Value) {
    if (Value == FTextGradation)
        return;
    FTextGradation = Value;
    Invalidate();
}

void TShadowLabel::SetTextGradationColor(TColor Value) {
    if (Value == FTextGradationColor)
        return;
    FTextGradationColor = Value;
    if (FTextGradation != TTextGradation::tgNone)
        Invalidate();
}

void TShadowLabel::SetTextMidColor(TColor Value) {
    if (Value == FTextMidColor)
        return;
    FTextMidColor = Value;
    if (FTextGradation == TTextGradation::tg3Colors)
        Invalidate();
}

void TShadowLabel::drawPiece(TCanvas& canvas, std::string_view text, TColor A, TColor B, const TRect& R, int& x,
                             unsigned flags) {
    const Channels a = channels(A);
    const Channels b = channels(B);
    const Channels D{b.r - a.r, b.g - a.g, b.b - a.b};
    const int M = countChars(text);
    const AnsiString piece(text);
    if (M == 1) {
        // A lone character keeps the alignment: its box reaches the right edge.
        canvas.Font()->SetColor(A);
        TRect box = Rect(x, R.Top, R.Right, R.Bottom);
        DrawCanvasText(canvas, piece, box, flags);
        x += canvas.TextWidth(piece);
        return;
    }
    const int overhang = CanvasTextOverhang(canvas);
    std::size_t i = 0;
    for (int k = 0; k < M; ++k) {
        const Channels c = gradientStep(a, D, k, M);
        canvas.Font()->SetColor(
            RGB(static_cast<std::uint8_t>(c.r), static_cast<std::uint8_t>(c.g), static_cast<std::uint8_t>(c.b)));
        const std::size_t len = charLength(text, i);
        const AnsiString ch(text.substr(i, len));
        i += len;
        const int w = canvas.TextWidth(ch) - overhang;
        TRect box = Rect(x, R.Top, x + w, R.Bottom);
        DrawCanvasText(canvas, ch, box, flags);
        x += w;
    }
}

void TShadowLabel::drawGradatedText(TCanvas& canvas, const AnsiString& text, const TRect& R, unsigned flags) {
    const TColor F = Font()->Color();
    int x = R.Left;
    if (FTextGradation == TTextGradation::tg2Colors || countChars(text) == 2) {
        drawPiece(canvas, text, F, FTextGradationColor, R, x, flags);
        return;
    }
    // Three colours: the front half runs to the middle colour, the back half
    // from it to the end colour. The halves meet on a character boundary.
    const std::size_t s = splitOnCharBoundary(text, text.size() / 2);
    const std::string_view all(text);
    const std::string_view rest = all.substr(s);
    drawPiece(canvas, all.substr(0, s), F, FTextMidColor, R, x, flags);
    if (countChars(rest) == 1) {
        drawPiece(canvas, rest, FTextGradationColor, FTextGradationColor, R, x, flags);
    } else {
        drawPiece(canvas, rest, FTextMidColor, FTextGradationColor, R, x, flags);
    }
}

void TShadowLabel::Paint() {
    const AnsiString text = LabelText();
    unsigned flags = TextFlags();
    if (FEllipsis == TEllipsis::elEnd)
        flags |= DT_END_ELLIPSIS;
    if (FEllipsis == TEllipsis::elPath)
        flags |= DT_PATH_ELLIPSIS;

    TCanvas* own = Canvas();
    const bool offscreen = FFlickerless && !Transparent();
    std::unique_ptr<TBitmap> buffer;
    TCanvas* surface = own;
    if (offscreen) {
        buffer = std::make_unique<TBitmap>();
        buffer->SetPixelFormat(TPixelFormat::pf24bit);
        buffer->SetSize(ClientWidth(), ClientHeight());
        surface = buffer->Canvas();
    }

    TRect R = ClientRect();
    if (!Transparent()) {
        if (!FGradation) {
            surface->Brush()->SetStyle(TBrushStyle::bsSolid);
            surface->Brush()->SetColor(Color());
            surface->FillRect(R);
        } else if (FFlickerless) {
            GradBitmap(buffer.get(), FGradationColor, Color(), FGradateVert);
        } else {
            GradRect(own, R, FGradationColor, Color(), FGradateVert);
        }
    }
    surface->Font()->Assign(Font());
    surface->Brush()->SetStyle(TBrushStyle::bsClear);

    DrawCanvasText(*surface, text, R, flags | DT_CALCRECT);
    const int h = R.Height();
    R = ClientRect();
    if (Layout() == TTextLayout::tlCenter)
        OffsetRect(R, 0, (Height() - h) / 2);
    if (Layout() == TTextLayout::tlBottom)
        OffsetRect(R, 0, Height() - h);

    TRect HR = R;
    OffsetRect(HR, FHighlight->OffsetLeft(), FHighlight->OffsetTop());
    TRect SR = R;
    OffsetRect(SR, FShadow->OffsetLeft(), FShadow->OffsetTop());

    TColor shadowColor = FShadow->Color();
    TColor highlightColor = FHighlight->Color();
    TColor textColor = Font()->Color();
    if (!Enabled()) {
        shadowColor = clGray;
        highlightColor = clBtnHighlight;
        textColor = clBtnShadow;
    }
    if (FShadow->Visible()) {
        surface->Font()->SetColor(shadowColor);
        DrawCanvasText(*surface, text, SR, flags);
    }
    if (FHighlight->Visible()) {
        surface->Font()->SetColor(highlightColor);
        DrawCanvasText(*surface, text, HR, flags);
    }
    if (FTextGradation != TTextGradation::tgNone && countChars(text) > 1) {
        drawGradatedText(*surface, text, R, flags);
    } else {
        surface->Font()->SetColor(textColor);
        DrawCanvasText(*surface, text, R, flags);
    }

    if (offscreen)
        own->CopyRect(ClientRect(), surface, ClientRect());
}
