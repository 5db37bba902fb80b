#include "framework/graphics.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <array>
#include <mutex>

#include "core/exception.h"
#include "core/streams.h"
#include "framework/qtext.h"

namespace {

// The classic desktop scheme, as 0x00BBGGRR.
constexpr std::array<TColor, 25> kSysColors = {
    0xC8D0D4,  // scroll bar
    0xA56E3A,  // background
    0x6A240A,  // active caption
    0x808080,  // inactive caption
    0xC8D0D4,  // menu
    0xFFFFFF,  // window
    0x000000,  // window frame
    0x000000,  // menu text
    0x000000,  // window text
    0xFFFFFF,  // caption text
    0xC8D0D4,  // active border
    0xC8D0D4,  // inactive border
    0x808080,  // application workspace
    0x6A240A,  // highlight
    0xFFFFFF,  // highlight text
    0xC8D0D4,  // button face
    0x808080,  // button shadow
    0x808080,  // grey text
    0x000000,  // button text
    0xC8D0D4,  // inactive caption text
    0xFFFFFF,  // button highlight
    0x404040,  // 3D dark shadow
    0xC8D0D4,  // 3D light
    0x000000,  // info text
    0xE1FFFF,  // info background
};

}  // namespace

TColor GetSysColor(int index) {
    if (index < 0 || index >= static_cast<int>(kSysColors.size()))
        return 0;
    return kSysColors[static_cast<std::size_t>(index)];
}

TColor ColorToRGB(TColor color) {
    if ((color & clSystemColor) != 0 && color != CLR_INVALID)
        return GetSysColor(static_cast<int>(color & 0xFF));
    return color;
}

QColor ToQColor(TColor color) {
    const TColor c = ColorToRGB(color);
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

TColor FromQColor(const QColor& color) {
    return RGB(static_cast<std::uint8_t>(color.red()), static_cast<std::uint8_t>(color.green()),
               static_cast<std::uint8_t>(color.blue()));
}

AnsiString DefaultFontName() {
    return Sjis("ＭＳ Ｐゴシック");
}

void RegisterFontSubstitutions() {
    static std::once_flag once;
    std::call_once(once, [] {
        // The designed fonts are Windows faces; the IPA gothics are metric-compatible.
        QFont::insertSubstitution(QStringLiteral("ＭＳ Ｐゴシック"), QStringLiteral("IPAPGothic"));
        QFont::insertSubstitution(QStringLiteral("MS PGothic"), QStringLiteral("IPAPGothic"));
        QFont::insertSubstitution(QStringLiteral("ＭＳ ゴシック"), QStringLiteral("IPAGothic"));
        QFont::insertSubstitution(QStringLiteral("MS Gothic"), QStringLiteral("IPAGothic"));
    });
}

TFont::TFont() : name_(DefaultFontName()) {}

void TFont::Assign(const TPersistent* Source) {
    if (const auto* f = dynamic_cast<const TFont*>(Source)) {
        name_ = f->name_;
        height_ = f->height_;
        color_ = f->color_;
        charset_ = f->charset_;
        changed();
        return;
    }
    TPersistent::Assign(Source);
}

void TFont::changed() {
    if (OnChange)
        OnChange(this);
}

void TFont::SetName(const AnsiString& name) {
    if (name == name_)
        return;
    name_ = name;
    changed();
}

void TFont::SetHeight(int height) {
    if (height == height_)
        return;
    height_ = height;
    changed();
}

void TFont::SetColor(TColor color) {
    if (color == color_)
        return;
    color_ = color;
    changed();
}

void TFont::SetCharset(int charset) {
    if (charset == charset_)
        return;
    charset_ = charset;
    changed();
}

QFont TFont::ToQFont() const {
    RegisterFontSubstitutions();
    QFont f(ToQString(name_));
    // A negative height is the character (em) height; a positive one the whole
    // cell, of which the em is roughly five sixths for these faces.
    const int px = height_ < 0 ? -height_ : (height_ > 0 ? std::max(1, height_ * 5 / 6) : 12);
    f.setPixelSize(px);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

// ---- TCanvas ----

TCanvas::TCanvas() = default;

TCanvas::~TCanvas() {
    Detach();
}

void TCanvas::AttachImage(QImage* image) {
    Detach();
    image_ = image;
}

void TCanvas::AttachPainter(QPainter* painter) {
    Detach();
    painter_ = painter;
    ownsPainter_ = false;
}

void TCanvas::Release() {
    if (painter_ != nullptr && ownsPainter_) {
        painter_->end();
        delete painter_;
        painter_ = nullptr;
        ownsPainter_ = false;
    }
}

void TCanvas::Detach() {
    Release();
    painter_ = nullptr;
    image_ = nullptr;
}

QPainter* TCanvas::Painter() {
    if (painter_ == nullptr) {
        if (image_ == nullptr || image_->isNull())
            return nullptr;
        painter_ = new QPainter(image_);
        ownsPainter_ = true;
    }
    painter_->setFont(font_.ToQFont());
    painter_->setPen(ToQColor(font_.Color()));
    if (brush_.Style() == TBrushStyle::bsClear) {
        painter_->setBrush(Qt::NoBrush);
        painter_->setBackgroundMode(Qt::TransparentMode);
    } else {
        painter_->setBrush(ToQColor(brush_.Color()));
    }
    return painter_;
}

TColor TCanvas::Pixel(int x, int y) {
    if (image_ == nullptr || x < 0 || y < 0 || x >= image_->width() || y >= image_->height())
        return CLR_INVALID;
    Release();
    return FromQColor(image_->pixelColor(x, y));
}

void TCanvas::SetPixel(int x, int y, TColor color) {
    if (image_ == nullptr || x < 0 || y < 0 || x >= image_->width() || y >= image_->height())
        return;
    Release();
    image_->setPixelColor(x, y, ToQColor(color));
}

void TCanvas::FillRect(const TRect& r) {
    QPainter* p = Painter();
    if (p == nullptr || brush_.Style() == TBrushStyle::bsClear)
        return;
    p->fillRect(QRect(r.Left, r.Top, r.Width(), r.Height()), ToQColor(brush_.Color()));
}

int TCanvas::TextWidth(const AnsiString& text) {
    // Measured as drawn: control characters as their pictures.
    return QFontMetrics(font_.ToQFont()).horizontalAdvance(ToDisplayQString(text, DisplayLines::Multiple));
}

void TCanvas::CopyRect(const TRect& dest, TCanvas* source, const TRect& sourceRect) {
    if (source == nullptr || source->image_ == nullptr)
        return;
    // Copy first: the source may be this very canvas.
    source->Release();
    const QImage part = source->image_->copy(sourceRect.Left, sourceRect.Top, sourceRect.Width(), sourceRect.Height());
    QPainter* p = Painter();
    if (p == nullptr)
        return;
    p->save();
    p->setRenderHint(QPainter::SmoothPixmapTransform, false);
    p->setCompositionMode(QPainter::CompositionMode_Source);
    p->drawImage(QRect(dest.Left, dest.Top, dest.Width(), dest.Height()), part);
    p->restore();
}

void TCanvas::StretchDraw(const TRect& dest, TGraphic* graphic) {
    if (graphic != nullptr)
        graphic->Draw(*this, dest);
}

void TCanvas::Draw(int x, int y, TGraphic* graphic) {
    if (graphic != nullptr)
        graphic->Draw(*this, Bounds(x, y, graphic->Width(), graphic->Height()));
}

// ---- TBitmap ----

namespace {
QImage::Format qtFormat(TPixelFormat f) {
    return f == TPixelFormat::pf32bit ? QImage::Format_RGB32 : QImage::Format_BGR888;
}
}  // namespace

TBitmap::TBitmap() = default;
TBitmap::~TBitmap() = default;

void TBitmap::Assign(const TPersistent* Source) {
    if (const auto* b = dynamic_cast<const TBitmap*>(Source)) {
        if (canvas_)
            canvas_->Release();
        image_ = b->Image().copy();
        hiDpi_ = b->hiDpi_;
        format_ = b->format_;
        if (canvas_)
            canvas_->AttachImage(&image_);
        changed();
        return;
    }
    TGraphic::Assign(Source);
}

const QImage& TBitmap::Image() const {
    if (canvas_)
        canvas_->Release();
    return image_;
}

void TBitmap::SetImage(const QImage& image) {
    if (canvas_)
        canvas_->Release();
    hiDpi_ = QImage();
    image_ = image.convertToFormat(qtFormat(format_));
    if (canvas_)
        canvas_->AttachImage(&image_);
    changed();
}

void TBitmap::SetSize(int w, int h) {
    if (w == Width() && h == Height())
        return;
    if (canvas_)
        canvas_->Release();
    hiDpi_ = QImage();
    QImage next(std::max(w, 0), std::max(h, 0), qtFormat(format_));
    next.fill(Qt::white);
    if (!image_.isNull()) {
        QPainter p(&next);
        p.drawImage(0, 0, image_);
    }
    image_ = next;
    if (canvas_)
        canvas_->AttachImage(&image_);
    changed();
}

void TBitmap::SetPixelFormat(TPixelFormat f) {
    if (f == format_)
        return;
    if (canvas_)
        canvas_->Release();
    format_ = f;
    if (!image_.isNull())
        image_ = image_.convertToFormat(qtFormat(f));
    if (canvas_)
        canvas_->AttachImage(&image_);
}

std::uint8_t* TBitmap::ScanLine(int y) {
    if (y < 0 || y >= Height())
        throw EInvalidOperation("Scan line index out of range");
    if (canvas_)
        canvas_->Release();
    return image_.scanLine(y);
}

TCanvas* TBitmap::Canvas() {
    if (!canvas_) {
        canvas_ = std::make_unique<TCanvas>();
        canvas_->AttachImage(&image_);
    }
    return canvas_.get();
}

void TBitmap::Draw(TCanvas& canvas, const TRect& rect) {
    if (image_.isNull())
        return;
    if (canvas_)
        canvas_->Release();
    QPainter* p = canvas.Painter();
    if (p == nullptr)
        return;
    DrawTo(*p, QRect(rect.Left, rect.Top, rect.Width(), rect.Height()));
}

void TBitmap::DrawTo(QPainter& painter, const QRect& target) const {
    const QImage& image = Image();
    if (image.isNull())
        return;
    const QPaintDevice* device = painter.device();
    const bool sharp = !hiDpi_.isNull() && device != nullptr && device->devicePixelRatioF() >= kHiDpiFromRatio;
    painter.save();
    painter.setRenderHint(QPainter::SmoothPixmapTransform, sharp);
    painter.drawImage(target, sharp ? hiDpi_ : image);
    painter.restore();
}

bool TBitmap::SetHiDpiImage(const QImage& image) {
    if (image.isNull() || image.width() != kHiDpiScale * Width() || image.height() != kHiDpiScale * Height()) {
        hiDpi_ = QImage();
        return false;
    }
    hiDpi_ = image.convertToFormat(qtFormat(format_));
    changed();
    return true;
}

void TBitmap::LoadHiDpiFromStream(TStream& stream) {
    const std::int64_t size = stream.Size() - stream.Position();
    QByteArray bytes(static_cast<qsizetype>(std::max<std::int64_t>(size, 0)), '\0');
    stream.ReadBuffer(bytes.data(), bytes.size());
    QImage loaded;
    if (!loaded.loadFromData(bytes, "BMP"))
        throw EInvalidGraphic("Bitmap image is not valid");
    if (!SetHiDpiImage(loaded))
        throw EInvalidGraphic("High-resolution bitmap is not twice the size of the bitmap");
}

void TBitmap::LoadFromStream(TStream& stream) {
    const std::int64_t size = stream.Size() - stream.Position();
    QByteArray bytes(static_cast<qsizetype>(std::max<std::int64_t>(size, 0)), '\0');
    stream.ReadBuffer(bytes.data(), bytes.size());
    QImage loaded;
    if (!loaded.loadFromData(bytes, "BMP"))
        throw EInvalidGraphic("Bitmap image is not valid");
    if (canvas_)
        canvas_->Release();
    hiDpi_ = QImage();
    image_ = loaded.convertToFormat(qtFormat(format_));
    if (canvas_)
        canvas_->AttachImage(&image_);
    changed();
}

void TBitmap::SaveToStream(TStream& stream) const {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    Image().save(&buffer, "BMP");
    stream.WriteBuffer(bytes.constData(), bytes.size());
}

// ---- TPicture ----

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::changed() {
    if (OnChange)
        OnChange(this);
}

void TPicture::Assign(const TPersistent* Source) {
    if (Source == nullptr) {
        graphic_.reset();
        changed();
        return;
    }
    if (const auto* p = dynamic_cast<const TPicture*>(Source)) {
        if (p->Graphic() == nullptr) {
            graphic_.reset();
            changed();
            return;
        }
        Source = p->Graphic();
    }
    if (const auto* b = dynamic_cast<const TBitmap*>(Source)) {
        auto copy = std::make_unique<TBitmap>();
        copy->Assign(b);
        SetGraphic(std::move(copy));
        return;
    }
    TPersistent::Assign(Source);
}

void TPicture::SetGraphic(std::unique_ptr<TGraphic> graphic) {
    graphic_ = std::move(graphic);
    if (graphic_)
        graphic_->OnChange = [this](TObject*) { changed(); };
    changed();
}

TBitmap* TPicture::Bitmap() {
    auto* b = dynamic_cast<TBitmap*>(graphic_.get());
    if (b == nullptr) {
        SetGraphic(std::make_unique<TBitmap>());
        b = static_cast<TBitmap*>(graphic_.get());
    }
    return b;
}
