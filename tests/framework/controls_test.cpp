#include <gtest/gtest.h>

#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <QWidget>
#include <string>
#include <vector>

#include "core/streams.h"
#include "framework/controls.h"
#include "framework/graphics.h"

namespace {

TEST(Colors, SystemColorsResolveThroughTheTablePlainOnesPass) {
    EXPECT_EQ(ColorToRGB(clBtnShadow), 0x808080u);
    EXPECT_EQ(ColorToRGB(clBtnHighlight), 0xFFFFFFu);
    EXPECT_EQ(ColorToRGB(clWindowText), 0x000000u);
    EXPECT_EQ(ColorToRGB(0x00123456), 0x00123456u);
    const QColor q = ToQColor(RGB(1, 2, 3));
    EXPECT_EQ((std::vector<int>{q.red(), q.green(), q.blue()}), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(FromQColor(q), RGB(1, 2, 3));
}

TEST(Bitmap, ScanLineIsBlueGreenRedAndCanvasAgrees) {
    TBitmap b;
    b.SetSize(3, 2);
    std::uint8_t* row = b.ScanLine(1);
    row[3] = 0x10;  // blue of pixel (1, 1)
    row[4] = 0x20;
    row[5] = 0x30;
    EXPECT_EQ(b.Canvas()->Pixel(1, 1), RGB(0x30, 0x20, 0x10));
    EXPECT_EQ(b.Canvas()->Pixel(3, 0), CLR_INVALID);
    EXPECT_EQ(b.Canvas()->Pixel(-1, 0), CLR_INVALID);
    b.Canvas()->Brush()->SetColor(clRed);
    b.Canvas()->FillRect(Rect(0, 0, 1, 1));
    EXPECT_EQ(b.ScanLine(0)[2], 0xFF);  // red byte, read after the painter ended
    EXPECT_EQ(b.ScanLine(0)[0], 0x00);
    EXPECT_THROW(b.ScanLine(2), EInvalidOperation);
}

TEST(Bitmap, StreamRoundTripKeepsExactPixels) {
    TBitmap a;
    a.SetSize(5, 4);
    a.Canvas()->SetPixel(4, 3, RGB(255, 0, 0));
    a.Canvas()->SetPixel(0, 0, RGB(7, 8, 9));
    TMemoryStream s;
    a.SaveToStream(s);
    s.SetPosition(0);
    TBitmap b;
    b.LoadFromStream(s);
    EXPECT_EQ(b.Width(), 5);
    EXPECT_EQ(b.Canvas()->Pixel(4, 3), RGB(255, 0, 0));
    EXPECT_EQ(b.Canvas()->Pixel(0, 0), RGB(7, 8, 9));
    TMemoryStream junk;
    junk.WriteBuffer("not a bitmap", 12);
    junk.SetPosition(0);
    EXPECT_THROW(b.LoadFromStream(junk), EInvalidGraphic);
    EXPECT_EQ(b.Width(), 5);  // a failed load keeps the old picture
}

// The sharper copy is what a HiDPI screen shows; everything that reads the
// bitmap still sees the bitmap, and a new picture leaves no stale copy.
TEST(Bitmap, HiDpiCopyIsDrawnOnlyFromOneAndAHalfDevicePixelsAPixel) {
    TBitmap b;
    b.SetSize(2, 2);
    b.Canvas()->Brush()->SetColor(RGB(10, 20, 30));
    b.Canvas()->FillRect(Rect(0, 0, 2, 2));
    QImage sharp(4, 4, QImage::Format_RGB32);
    sharp.fill(qRgb(200, 0, 0));
    sharp.setPixel(1, 0, qRgb(0, 200, 0));  // a detail finer than one pixel
    EXPECT_FALSE(b.SetHiDpiImage(sharp.copy(0, 0, 3, 4))) << "only twice the size is taken";
    EXPECT_TRUE(b.HiDpiImage().isNull());
    ASSERT_TRUE(b.SetHiDpiImage(sharp));

    const auto drawnAt = [&](qreal ratio) {
        QImage screen(qRound(2 * ratio), qRound(2 * ratio), QImage::Format_RGB32);
        screen.setDevicePixelRatio(ratio);
        screen.fill(Qt::white);
        QPainter p(&screen);
        b.DrawTo(p, QRect(0, 0, 2, 2));
        p.end();
        return screen;
    };
    const QImage twice = drawnAt(2.0);
    EXPECT_EQ(twice.pixel(0, 0), qRgb(200, 0, 0));
    EXPECT_EQ(twice.pixel(1, 0), qRgb(0, 200, 0));
    EXPECT_EQ(drawnAt(1.25).pixel(0, 0), qRgb(10, 20, 30)) << "below 1.5 the bitmap itself";
    EXPECT_EQ(drawnAt(1.5).pixel(2, 2), qRgb(200, 0, 0));
    EXPECT_EQ(b.Canvas()->Pixel(0, 0), RGB(10, 20, 30)) << "pixels are the bitmap's";

    TBitmap copy;
    copy.Assign(&b);
    EXPECT_EQ(copy.HiDpiImage().size(), QSize(4, 4));
    b.SetSize(3, 3);
    EXPECT_TRUE(b.HiDpiImage().isNull()) << "a resized bitmap keeps no copy of another size";
    copy.SetImage(QImage(2, 2, QImage::Format_RGB32));
    EXPECT_TRUE(copy.HiDpiImage().isNull()) << "a new picture drops the old one's copy";

    TMemoryStream junk;
    junk.WriteBuffer("not a bitmap", 12);
    junk.SetPosition(0);
    EXPECT_THROW(copy.LoadHiDpiFromStream(junk), EInvalidGraphic);
}

class Swatch : public TGraphicControl {
public:
    Swatch(TComponent* owner, TColor c, std::vector<std::string>* log, std::string name)
        : TGraphicControl(owner), color(c), log(log) {
        SetName(std::move(name));
    }
    TColor color;
    std::vector<std::string>* log;

protected:
    void Paint() override {
        Canvas()->Brush()->SetColor(color);
        Canvas()->FillRect(ClientRect());
    }
    void MouseDown(TMouseButton, TShiftState, int X, int Y) override {
        log->push_back(Name() + " down " + std::to_string(X) + "," + std::to_string(Y));
    }
    void Click() override { log->push_back(Name() + " click"); }
};

TEST(Controls, GraphicChildrenPaintInCreationOrderAndTakeTheMouse) {
    std::vector<std::string> log;
    TForm form(nullptr);
    form.SetClientWidth(20);
    form.SetClientHeight(10);
    form.SetColor(clBlack);
    auto* below = new Swatch(&form, clRed, &log, "below");
    below->SetParent(&form);
    below->SetBounds(0, 0, 10, 10);
    auto* above = new Swatch(&form, clBlue, &log, "above");
    above->SetParent(&form);
    above->SetBounds(5, 0, 10, 10);

    QImage img(20, 10, QImage::Format_RGB32);
    {
        QPainter p(&img);
        form.PaintWindow(&p, Rect(0, 0, 20, 10));
    }
    EXPECT_EQ(FromQColor(img.pixelColor(2, 5)), clRed);
    EXPECT_EQ(FromQColor(img.pixelColor(7, 5)), clBlue);  // the later control lies on top
    EXPECT_EQ(FromQColor(img.pixelColor(17, 5)), clBlack);

    form.RouteMouse(0, TMouseButton::mbLeft, ssLeft, 7, 3);
    form.RouteMouse(1, TMouseButton::mbLeft, 0, 7, 3);
    form.RouteMouse(0, TMouseButton::mbLeft, ssLeft, 2, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"above down 2,3", "above click", "below down 2,3"}));
}

TEST(Controls, FormShowsHidesAndFiresOnShowOnlyWhenItWasHidden) {
    TForm form(nullptr);
    form.SetClientWidth(50);
    form.SetClientHeight(40);
    form.SetBorderStyle(TFormBorderStyle::bsNone);
    int shown = 0;
    form.OnShow = [&](TObject*) { ++shown; };
    EXPECT_FALSE(form.Visible());
    form.ShowForm();
    form.ShowForm();
    EXPECT_EQ(shown, 1);
    EXPECT_TRUE(form.Handle()->isVisible());
    EXPECT_EQ(form.Handle()->size(), QSize(50, 40));
    form.Hide();
    EXPECT_FALSE(form.Handle()->isVisible());
    form.ShowForm();
    EXPECT_EQ(shown, 2);
    form.SetCaption(Sjis("設定"));  // after the window exists
    EXPECT_EQ(form.Handle()->windowTitle(), QString::fromUtf8("設定"));
}

TEST(Controls, ImageAutoSizesToItsPictureAndRefusesANonBitmapCanvas) {
    TForm form(nullptr);
    auto* image = new TImage(&form);
    image->SetParent(&form);
    image->SetAutoSize(true);
    image->Picture()->Bitmap()->SetSize(205, 66);
    EXPECT_EQ(image->Width(), 205);
    EXPECT_EQ(image->Height(), 66);
    EXPECT_NE(image->Canvas(), nullptr);

    class Other : public TGraphic {
    public:
        int Width() const override { return 1; }
        int Height() const override { return 1; }
        void Draw(TCanvas&, const TRect&) override {}
        void LoadFromStream(TStream&) override {}
        void SaveToStream(TStream&) const override {}
    };
    image->Picture()->SetGraphic(std::make_unique<Other>());
    EXPECT_THROW(image->Canvas(), EInvalidOperation);
}

TEST(Fonts, DesignedJapaneseFaceResolvesToAnInstalledGothic) {
    TFont f;
    f.SetName(DefaultFontName());
    f.SetHeight(-15);
    const QFont q = f.ToQFont();
    EXPECT_EQ(q.pixelSize(), 15);
    const QString family = QFontInfo(q).family();
    EXPECT_TRUE(family.contains("IPA")) << family.toStdString();
}

}  // namespace
