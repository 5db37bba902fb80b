#include "widgets/formrgn.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/file_stream.h"
#include "core/streams.h"
#include "core/text.h"
#include "framework/graphics.h"

using namespace platform;

namespace {

[[noreturn]] void fail(const char* utf8) {
    throw Exception(Sjis(utf8));
}

[[noreturn]] void failRegionData() {
    // Printed as a signed 32-bit value, so a code with the top bit set shows a sign.
    throw EFormRgnError(Sjis("GetRegionDataでエラーが発生しました。エラーコード") +
                        IntToStr(static_cast<std::int32_t>(GetLastError())));
}

// Puts the stream back at its start however the operation ends.
class RewindOnExit {
public:
    explicit RewindOnExit(TStream& s) : stream_(s) {}
    ~RewindOnExit() { stream_.SetPosition(0); }
    RewindOnExit(const RewindOnExit&) = delete;
    RewindOnExit& operator=(const RewindOnExit&) = delete;

private:
    TStream& stream_;
};

}  // namespace

namespace {

// A Wayland session, whether this process speaks Wayland or goes through its
// X server: the compositor there draws what the window paints, shape or not.
bool compositorIgnoresShape() {
    const QString platform = QGuiApplication::platformName();
    if (platform.startsWith(QLatin1String("wayland")))
        return true;
    return platform == QLatin1String("xcb") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

}  // namespace

TFormRgn::TFormRgn(TComponent* AOwner) : TImage(AOwner), FSeeThrough(compositorIgnoresShape()) {}

TFormRgn::~TFormRgn() {
    // The shape handed to the window stays with the window.
    if (FRgn != 0)
        DeleteRgn(FRgn);
}

void TFormRgn::Paint() {
    TGraphic* g = Picture()->Graphic();
    auto* bitmap = dynamic_cast<TBitmap*>(g);
    // The control's own canvas (TImage::Canvas is the picture's).
    QPainter* painter = TGraphicControl::Canvas()->Painter();
    if (!FSeeThrough || bitmap == nullptr || bitmap->Empty() || painter == nullptr ||
        (FTransparentColor & 0xFF000000u) != 0) {
        TImage::Paint();
        return;
    }
    // The key colour becomes see-through, and is written as such over
    // whatever the window painted below. The sharper copy of the skin, where
    // the screen shows it, cuts away the same pixels, doubled.
    const QRgb key = qRgb(FTransparentColor & 0xFF, (FTransparentColor >> 8) & 0xFF, (FTransparentColor >> 16) & 0xFF);
    const QPaintDevice* device = painter->device();
    const bool sharp =
        !bitmap->HiDpiImage().isNull() && device != nullptr && device->devicePixelRatioF() >= kHiDpiFromRatio;
    QImage image = (sharp ? bitmap->HiDpiImage() : bitmap->Image()).convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] | 0xFF000000u) == key)
                line[x] = 0;
    }
    painter->save();
    painter->setCompositionMode(QPainter::CompositionMode_Source);
    painter->setRenderHint(QPainter::SmoothPixmapTransform, sharp);
    painter->drawImage(QRect(0, 0, bitmap->Width(), bitmap->Height()), image);
    painter->restore();
}

void TFormRgn::setTrspColor(TColor color) {
    FTransparentColor = color;
}

void TFormRgn::AddRgn(int x1, int x2, int y) {
    // Bitmap coordinates to window coordinates: the left, right and bottom
    // frames are taken as equal, the rest of the height difference lies above
    // the client area (the caption).
    int dx = Left();
    int dy = Top();
    if (TWinControl* parent = Parent()) {
        const int h = (parent->Width() - parent->ClientWidth()) / 2;
        dx += h;
        dy += (parent->Height() - parent->ClientHeight()) - h;
    }
    const HRGN row = CreateRectRgn(x1 + dx, y + dy, x2 + dx, y + dy + 1);
    if (row == 0)
        fail("CreateRectRgnに失敗しました");
    const int result = CombineRgn(FRgn, FRgn, row, RGN_OR);
    DeleteRgn(row);
    if (result == RGN_ERROR)
        fail("CombineRgnに失敗しました");
}

void TFormRgn::CreateRgn() {
    const HRGN previous = FRgn;
    FRgn = CreateRectRgn(0, 0, 0, 0);
    if (FRgn == 0) {
        FRgn = previous;
        fail("CreateRectRgnに失敗しました");
    }
    try {
        TCanvas* canvas = Canvas();
        const TColor transparent = FTransparentColor;
        const int width = Width();
        const int height = Height();
        int runStart = 1;
        // Row 0 and column 0 never take part: runs start at column 1 at the
        // earliest, and the scan begins with row 1.
        for (int y = 1; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const TColor p = canvas->Pixel(x, y);
                const TColor n = canvas->Pixel(x + 1, y);
                if ((p == transparent || x == 0) && n != transparent) {
                    runStart = x + 1;
                } else if (p == transparent) {
                    continue;
                } else if ((n == transparent || x + 1 == width) && x != 0) {
                    AddRgn(runStart, x + 1, y);
                }
            }
        }
    } catch (...) {
        DeleteRgn(FRgn);
        FRgn = previous;
        throw;
    }
    if (previous != 0)
        DeleteRgn(previous);
}

void TFormRgn::UpdateRgn() {
    if (FRgn == 0)
        return;
    const HRGN copy = CreateRectRgn(0, 0, 0, 0);
    if (copy == 0)
        fail("CreateRectRgnに失敗しました");
    if (CombineRgn(copy, copy, FRgn, RGN_OR) == RGN_ERROR) {
        DeleteRgn(copy);
        fail("CombineRgnに失敗しました");
    }
    QWidget* window = nullptr;
    try {
        if (TWinControl* parent = Parent())
            window = parent->Handle();
    } catch (...) {
        DeleteRgn(copy);
        throw;
    }
    // Before the window first shows, so that it gets a surface with alpha.
    if (FSeeThrough && window != nullptr && !window->testAttribute(Qt::WA_TranslucentBackground))
        window->setAttribute(Qt::WA_TranslucentBackground, true);
    if (!SetWindowRgn(window, copy, true)) {
        DeleteRgn(copy);
        fail("SetWindowRGNに失敗しました");
    }
}

void TFormRgn::WriteStreamRgn(TStream& stream) {
    stream.SetPosition(0);
    if (FRgn == 0)
        throw EFormRgnError(Sjis("リージョンが存在しません"));
    const DWORD size = GetRegionData(FRgn, 0, nullptr);
    if (size == 0)
        failRegionData();
    RewindOnExit rewind(stream);
    std::vector<char> buffer(size, 0);
    if (GetRegionData(FRgn, size, buffer.data()) == 0)
        failRegionData();
    stream.WriteBuffer(buffer.data(), size);
}

void TFormRgn::SaveToStreamRgn(TStream& stream) {
    WriteStreamRgn(stream);
}

void TFormRgn::SaveToFileRgn(const AnsiString& FileName) {
    TFileStream file(FileName, fmCreate);
    WriteStreamRgn(file);
}

void TFormRgn::ReadStreamRgn(TStream& stream) {
    stream.SetPosition(0);
    RewindOnExit rewind(stream);
    const std::int64_t size = stream.Size();
    // Refused before allocating: no valid region data is this large.
    if (size > kMaxRegionDataSize)
        fail("ExtCreateRegionに失敗しました");
    std::vector<char> buffer(static_cast<std::size_t>(size), 0);
    // A stream that yields fewer bytes than its size holds no valid data.
    if (stream.Read(buffer.data(), size) != size)
        fail("ExtCreateRegionに失敗しました");
    const HRGN loaded = ExtCreateRegion(buffer.data(), static_cast<DWORD>(size));
    if (loaded == 0)
        fail("ExtCreateRegionに失敗しました");
    if (FRgn != 0)
        DeleteRgn(FRgn);
    FRgn = loaded;
}

void TFormRgn::LoadFromStreamRgn(TStream& stream, int x, int y) {
    ReadStreamRgn(stream);
    RECT box;
    if (GetRgnBox(FRgn, &box) == RGN_ERROR)
        fail("GetRgnBoxに失敗しました");
    const std::int64_t dx = std::int64_t{x} - box.left;
    const std::int64_t dy = std::int64_t{y} - box.top;
    constexpr std::int64_t kIntMin = std::numeric_limits<int>::min();
    constexpr std::int64_t kIntMax = std::numeric_limits<int>::max();
    if (dx < kIntMin || dx > kIntMax || dy < kIntMin || dy > kIntMax ||
        OffsetRgn(FRgn, static_cast<int>(dx), static_cast<int>(dy)) == RGN_ERROR) {
        fail("リージョンの移動に失敗しました");
    }
}

void TFormRgn::LoadFromFileRgn(const AnsiString& FileName, int x, int y) {
    TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
    LoadFromStreamRgn(file, x, y);
}
