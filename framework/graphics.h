// Colours, fonts, brushes, canvases and bitmaps of the component framework.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <QFont>
#include <QImage>

#include "core/component.h"
#include "core/events.h"
#include "core/exception.h"
#include "core/text.h"

class QPainter;
class QPaintDevice;
class TStream;

// 0x00BBGGRR for a plain colour; 0x80000000 + index for a system colour.
using TColor = std::uint32_t;

constexpr TColor CLR_INVALID = 0xFFFFFFFF;
constexpr TColor clSystemColor = 0x80000000;
constexpr TColor clBlack = 0x000000, clMaroon = 0x000080, clGreen = 0x008000, clOlive = 0x008080, clNavy = 0x800000,
                 clPurple = 0x800080, clTeal = 0x808000, clGray = 0x808080, clSilver = 0xC0C0C0, clRed = 0x0000FF,
                 clLime = 0x00FF00, clYellow = 0x00FFFF, clBlue = 0xFF0000, clFuchsia = 0xFF00FF, clAqua = 0xFFFF00,
                 clWhite = 0xFFFFFF;
constexpr TColor clScrollBar = clSystemColor | 0, clBackground = clSystemColor | 1, clActiveCaption = clSystemColor | 2,
                 clInactiveCaption = clSystemColor | 3, clMenu = clSystemColor | 4, clWindow = clSystemColor | 5,
                 clWindowFrame = clSystemColor | 6, clMenuText = clSystemColor | 7, clWindowText = clSystemColor | 8,
                 clCaptionText = clSystemColor | 9, clActiveBorder = clSystemColor | 10,
                 clInactiveBorder = clSystemColor | 11, clAppWorkSpace = clSystemColor | 12,
                 clHighlight = clSystemColor | 13, clHighlightText = clSystemColor | 14, clBtnFace = clSystemColor | 15,
                 clBtnShadow = clSystemColor | 16, clGrayText = clSystemColor | 17, clBtnText = clSystemColor | 18,
                 clInactiveCaptionText = clSystemColor | 19, clBtnHighlight = clSystemColor | 20,
                 cl3DDkShadow = clSystemColor | 21, cl3DLight = clSystemColor | 22, clInfoText = clSystemColor | 23,
                 clInfoBk = clSystemColor | 24;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clDefault = 0x20000000;

// The system colour table entry for an index (0x00BBGGRR); black for an unknown index.
TColor GetSysColor(int index);
// Resolves a system colour through the table; plain colours pass unchanged.
TColor ColorToRGB(TColor color);
constexpr TColor RGB(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}
QColor ToQColor(TColor color);
TColor FromQColor(const QColor& color);

constexpr int DEFAULT_CHARSET = 1;
constexpr int SHIFTJIS_CHARSET = 128;

// The designed Japanese UI font.
AnsiString DefaultFontName();

class TFont : public TPersistent {
public:
    TFont();
    const char* ClassName() const override { return "TFont"; }
    void Assign(const TPersistent* Source) override;

    const AnsiString& Name() const { return name_; }
    void SetName(const AnsiString& name);
    // Negative: character height in pixels; positive: cell height in pixels.
    int Height() const { return height_; }
    void SetHeight(int height);
    TColor Color() const { return color_; }
    void SetColor(TColor color);
    int Charset() const { return charset_; }
    void SetCharset(int charset);

    TNotifyEvent OnChange;

    // The Qt font for drawing. Font names that have no installed face are
    // substituted (see RegisterFontSubstitutions).
    QFont ToQFont() const;

private:
    void changed();

    AnsiString name_;
    int height_ = -12;
    TColor color_ = clWindowText;
    int charset_ = DEFAULT_CHARSET;
};

// Maps the designed Windows font names onto the installed Japanese gothic
// faces. Runs once; ToQFont calls it.
void RegisterFontSubstitutions();

enum class TBrushStyle { bsSolid, bsClear };

class TBrush : public TPersistent {
public:
    const char* ClassName() const override { return "TBrush"; }
    TColor Color() const { return color_; }
    void SetColor(TColor c) { color_ = c; }
    TBrushStyle Style() const { return style_; }
    void SetStyle(TBrushStyle s) { style_ = s; }

private:
    TColor color_ = clWhite;
    TBrushStyle style_ = TBrushStyle::bsSolid;
};

struct TPoint {
    int X = 0, Y = 0;
    bool operator==(const TPoint&) const = default;
};

struct TRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TRect&) const = default;
};
inline TRect Rect(int l, int t, int r, int b) {
    return TRect{l, t, r, b};
}
inline TRect Bounds(int l, int t, int w, int h) {
    return TRect{l, t, l + w, t + h};
}
// Moves a rectangle by (dx, dy).
inline void OffsetRect(TRect& r, int dx, int dy) {
    r.Left += dx;
    r.Right += dx;
    r.Top += dy;
    r.Bottom += dy;
}

constexpr std::uint32_t SRCCOPY = 0x00CC0020;

class TGraphic;

// A drawing surface: a bitmap's image, or a window while it paints.
// GUI thread only. Font and brush are applied at each drawing call.
class TCanvas : public TPersistent {
public:
    TCanvas();
    ~TCanvas() override;
    const char* ClassName() const override { return "TCanvas"; }

    // Draws on an image (a bitmap's). The canvas does not own it.
    void AttachImage(QImage* image);
    // Draws through a painter that someone else began (a window's paint).
    void AttachPainter(QPainter* painter);
    void Detach();
    // Ends a painter begun on an attached image, so its pixels can be read directly.
    void Release();

    TFont* Font() { return &font_; }
    TBrush* Brush() { return &brush_; }
    std::uint32_t CopyMode = SRCCOPY;

    // The colour of a pixel, or CLR_INVALID outside the surface (and on a window).
    TColor Pixel(int x, int y);
    void SetPixel(int x, int y, TColor color);
    void FillRect(const TRect& r);
    int TextWidth(const AnsiString& text);
    // Copies (stretching) a rectangle of another canvas onto dest.
    void CopyRect(const TRect& dest, TCanvas* source, const TRect& sourceRect);
    void StretchDraw(const TRect& dest, TGraphic* graphic);
    void Draw(int x, int y, TGraphic* graphic);

    // The painter, begun on demand, with the font and brush applied;
    // nullptr when the canvas has no surface. For platform drawing code.
    QPainter* Painter();
    // The image behind the canvas, or nullptr when it draws on a window.
    QImage* Image() const { return image_; }

private:
    QImage* image_ = nullptr;
    QPainter* painter_ = nullptr;
    bool ownsPainter_ = false;
    TFont font_;
    TBrush brush_;
};

class TGraphic : public TPersistent {
public:
    const char* ClassName() const override { return "TGraphic"; }
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual bool Empty() const { return Width() == 0 || Height() == 0; }
    // Draws the graphic into rect of the canvas.
    virtual void Draw(TCanvas& canvas, const TRect& rect) = 0;
    virtual void LoadFromStream(TStream& stream) = 0;
    virtual void SaveToStream(TStream& stream) const = 0;
    TNotifyEvent OnChange;

protected:
    void changed() {
        if (OnChange)
            OnChange(this);
    }
};

enum class TPixelFormat { pf24bit, pf32bit };

// A bitmap. With pf24bit the pixels are 3 bytes in blue, green, red order
// and ScanLine gives a row's bytes.
class TBitmap : public TGraphic {
public:
    TBitmap();
    ~TBitmap() override;
    const char* ClassName() const override { return "TBitmap"; }
    void Assign(const TPersistent* Source) override;

    int Width() const override { return image_.width(); }
    int Height() const override { return image_.height(); }
    void SetWidth(int w) { SetSize(w, Height()); }
    void SetHeight(int h) { SetSize(Width(), h); }
    void SetSize(int w, int h);
    TPixelFormat PixelFormat() const { return format_; }
    void SetPixelFormat(TPixelFormat f);
    // Row y's bytes (3 per pixel for pf24bit). Raises EInvalidOperation outside the bitmap.
    std::uint8_t* ScanLine(int y);
    TCanvas* Canvas();
    void Draw(TCanvas& canvas, const TRect& rect) override;
    // Reads a BMP file image; raises EInvalidGraphic when the bytes are not one.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream& stream) const override;

    const QImage& Image() const;
    void SetImage(const QImage& image);

    // A sharper copy of the picture, drawn at twice its width and height,
    // that Draw shows in its place on screens of 1.5 device pixels a pixel
    // and more. Pixels, the canvas, scan lines and saving see only the
    // bitmap. Replacing or resizing the bitmap drops the copy; drawing on its
    // canvas does not, so the caller keeps the two alike.
    const QImage& HiDpiImage() const { return hiDpi_; }
    // False, keeping nothing, unless the image is twice the bitmap's size.
    bool SetHiDpiImage(const QImage& image);
    // The copy from a BMP file image; EInvalidGraphic when the bytes are none
    // or not twice the bitmap's size.
    void LoadHiDpiFromStream(TStream& stream);
    // Draws the bitmap into target (logical pixels), from the sharper copy
    // where the painter's device has 1.5 device pixels a pixel or more.
    void DrawTo(QPainter& painter, const QRect& target) const;

private:
    QImage image_;
    QImage hiDpi_;
    TPixelFormat format_ = TPixelFormat::pf24bit;
    std::unique_ptr<TCanvas> canvas_;
};

// From how many device pixels a pixel the sharper copy of a bitmap is shown.
constexpr double kHiDpiFromRatio = 1.5;
// How much larger the sharper copy is.
constexpr int kHiDpiScale = 2;

class EInvalidGraphic : public Exception {
public:
    using Exception::Exception;
};

// Holds one graphic (a bitmap, an icon, ...).
class TPicture : public TPersistent {
public:
    TPicture();
    ~TPicture() override;
    const char* ClassName() const override { return "TPicture"; }
    void Assign(const TPersistent* Source) override;

    TGraphic* Graphic() const { return graphic_.get(); }
    // Takes ownership.
    void SetGraphic(std::unique_ptr<TGraphic> graphic);
    // The bitmap; replaces any other graphic by an empty bitmap first.
    TBitmap* Bitmap();
    int Width() const { return graphic_ ? graphic_->Width() : 0; }
    int Height() const { return graphic_ ? graphic_->Height() : 0; }
    TNotifyEvent OnChange;

private:
    void changed();
    std::unique_ptr<TGraphic> graphic_;
};
