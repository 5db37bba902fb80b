#include "framework/imagelist.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageReader>
#include <QPainter>
#include <string>

#include "core/exception.h"
#include "core/streams.h"

namespace {

constexpr QImage::Format kIconFormat = QImage::Format_ARGB32;

// Pixels of a bitmap that stand for "see-through" in a mask.
constexpr QRgb kMaskTransparent = 0xFFFFFFFF;

// Side of the drawn stand-in for the application icon.
constexpr int kApplicationIconSize = 32;

// The application icon until the program sets its own: a white envelope on a
// dark rounded square, legible at tray size.
QImage drawDefaultApplicationIcon() {
    QImage image(kApplicationIconSize, kApplicationIconSize, kIconFormat);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x3A, 0x3F, 0x47));
    p.drawRoundedRect(QRectF(1, 1, 30, 30), 5, 5);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6, 9, 20, 14));
    p.setPen(QPen(QColor(0x3A, 0x3F, 0x47), 1.6));
    p.drawPolyline(QPolygonF({QPointF(6, 9), QPointF(16, 17.5), QPointF(26, 9)}));
    return image;
}

}  // namespace

// ---------------------------------------------------------------------------
// TIcon

TIcon::TIcon() = default;

TIcon::~TIcon() {
    releaseHandle();
}

void TIcon::releaseHandle() {
    if (handle_ != 0)
        platform::DestroyIcon(handle_);
    handle_ = 0;
}

void TIcon::SetImage(const QImage& image) {
    releaseHandle();
    image_ = image.isNull() ? QImage() : image.convertToFormat(kIconFormat);
    otherSizes_.clear();
    themeName_.clear();
    themePath_.clear();
    changed();
}

void TIcon::SetOtherSizes(const std::vector<QImage>& pictures) {
    releaseHandle();
    otherSizes_.clear();
    for (const QImage& picture : pictures)
        if (!picture.isNull())
            otherSizes_.push_back(picture.convertToFormat(kIconFormat));
    changed();
}

void TIcon::SetThemeIcon(const QString& name, const QString& themePath) {
    releaseHandle();
    themeName_ = name;
    themePath_ = themePath;
    changed();
}

void TIcon::Assign(const TPersistent* Source) {
    if (const auto* icon = dynamic_cast<const TIcon*>(Source)) {
        if (icon != this) {
            SetImage(icon->image_);
            SetOtherSizes(icon->otherSizes_);
            SetThemeIcon(icon->themeName_, icon->themePath_);
        }
        return;
    }
    if (const auto* bitmap = dynamic_cast<const TBitmap*>(Source)) {
        SetImage(bitmap->Image());
        return;
    }
    TGraphic::Assign(Source);
}

platform::HICON TIcon::Handle() {
    if (handle_ == 0 && !image_.isNull())
        handle_ = platform::CreateIconFromPictures({image_, otherSizes_, themeName_, themePath_});
    return handle_;
}

void TIcon::Draw(TCanvas& canvas, const TRect& rect) {
    if (image_.isNull())
        return;
    if (QPainter* p = canvas.Painter())
        p->drawImage(QRect(rect.Left, rect.Top, rect.Width(), rect.Height()), image_);
}

void TIcon::LoadFromStream(TStream& stream) {
    const std::int64_t left = stream.Size() - stream.Position();
    QByteArray bytes(static_cast<qsizetype>(left > 0 ? left : 0), '\0');
    if (!bytes.isEmpty())
        stream.ReadBuffer(bytes.data(), bytes.size());
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // An .ico file holds several sizes; take the largest.
    QImage best;
    do {
        QImage next = reader.read();
        if (next.isNull())
            break;
        if (best.isNull() || next.width() * next.height() > best.width() * best.height())
            best = next;
    } while (reader.jumpToNextImage());
    if (best.isNull())
        throw EInvalidGraphic("Icon image is not valid");
    SetImage(best);
}

void TIcon::SaveToStream(TStream& stream) const {
    if (image_.isNull())
        throw EInvalidGraphic("Icon image is empty");
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    if (!image_.save(&buffer, "ICO"))
        throw EInvalidGraphic("Icon image cannot be written");
    stream.WriteBuffer(bytes.constData(), bytes.size());
}

TIcon* ApplicationIcon() {
    static TIcon icon;
    static const bool drawn = (icon.SetImage(drawDefaultApplicationIcon()), true);
    (void)drawn;
    return &icon;
}

// ---------------------------------------------------------------------------
// TImageList

TImageList::TImageList(TComponent* AOwner) : TComponent(AOwner) {}

TImageList::~TImageList() = default;

void TImageList::SetSize(int width, int height) {
    if (width < 1)
        width = 1;
    if (height < 1)
        height = 1;
    if (width == width_ && height == height_)
        return;
    width_ = width;
    height_ = height;
    images_.clear();
    changed();
}

int TImageList::append(QImage image) {
    if (image.isNull())
        return -1;
    image = image.convertToFormat(kIconFormat);
    if (image.width() != width_ || image.height() != height_)
        image = image.scaled(width_, height_, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    images_.push_back(std::move(image));
    changed();
    return Count() - 1;
}

int TImageList::Add(const TBitmap* image, const TBitmap* mask) {
    if (image == nullptr || image->Empty())
        return -1;
    QImage picture = image->Image().convertToFormat(kIconFormat);
    if (mask != nullptr && !mask->Empty()) {
        const QImage m = mask->Image().convertToFormat(kIconFormat);
        for (int y = 0; y < picture.height() && y < m.height(); ++y) {
            auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
            const auto* maskRow = reinterpret_cast<const QRgb*>(m.constScanLine(y));
            for (int x = 0; x < picture.width() && x < m.width(); ++x)
                if (maskRow[x] == kMaskTransparent)
                    row[x] = qRgba(0, 0, 0, 0);
        }
    }
    return append(std::move(picture));
}

int TImageList::AddMasked(const TBitmap* image, TColor transparent) {
    if (image == nullptr || image->Empty())
        return -1;
    QImage picture = image->Image().convertToFormat(kIconFormat);
    const QRgb key = ToQColor(transparent).rgb();
    for (int y = 0; y < picture.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(picture.scanLine(y));
        for (int x = 0; x < picture.width(); ++x)
            if (row[x] == key)
                row[x] = qRgba(0, 0, 0, 0);
    }
    return append(std::move(picture));
}

int TImageList::AddIcon(const TIcon* icon) {
    if (icon == nullptr || icon->Empty())
        return -1;
    return append(icon->Image());
}

void TImageList::checkIndex(int index) const {
    if (index < 0 || index >= Count())
        throw EInvalidOperation("List index out of bounds (" + std::to_string(index) + ")");
}

void TImageList::Delete(int index) {
    checkIndex(index);
    images_.erase(images_.begin() + index);
    changed();
}

void TImageList::GetIcon(int index, TIcon* icon) const {
    checkIndex(index);
    if (icon != nullptr)
        icon->SetImage(images_[static_cast<size_t>(index)]);
}

void TImageList::GetBitmap(int index, TBitmap* bitmap) const {
    checkIndex(index);
    if (bitmap == nullptr)
        return;
    QImage flat(width_, height_, QImage::Format_RGB32);
    flat.fill(Qt::black);
    QPainter p(&flat);
    p.drawImage(0, 0, images_[static_cast<size_t>(index)]);
    p.end();
    bitmap->SetImage(flat);
}

void TImageList::changed() {
    if (OnChange)
        OnChange(this);
}
