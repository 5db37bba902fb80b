#include "framework/imagelist.h"

#include <gtest/gtest.h>

#include <QPainter>

#include "core/exception.h"
#include "core/streams.h"

namespace {

QImage Quarters(int size) {
    // Top-left red, top-right green, bottom-left blue, bottom-right white.
    QImage image(size, size, QImage::Format_RGB32);
    const int h = size / 2;
    QPainter p(&image);
    p.fillRect(0, 0, h, h, QColor(255, 0, 0));
    p.fillRect(h, 0, size - h, h, QColor(0, 255, 0));
    p.fillRect(0, h, h, size - h, QColor(0, 0, 255));
    p.fillRect(h, h, size - h, size - h, QColor(255, 255, 255));
    p.end();
    return image;
}

TEST(Icon, HandleFollowsThePicture) {
    TIcon icon;
    EXPECT_EQ(icon.Handle(), 0u) << "an empty icon has no handle";
    icon.SetImage(Quarters(16));
    const platform::HICON first = icon.Handle();
    ASSERT_NE(first, 0u);
    EXPECT_EQ(icon.Handle(), first);
    EXPECT_EQ(platform::IconImage(first).pixel(2, 2), qRgb(255, 0, 0));

    icon.SetImage(Quarters(32));
    EXPECT_TRUE(platform::IconImage(first).isNull()) << "the old handle is released";
    const platform::HICON second = icon.Handle();
    EXPECT_NE(second, first);
    EXPECT_EQ(platform::IconImage(second).width(), 32);

    platform::HICON copied;
    {
        TIcon copy;
        copy.Assign(&icon);
        copied = copy.Handle();
        EXPECT_NE(copied, second);
        EXPECT_EQ(platform::IconImage(copied).pixel(20, 20), qRgb(255, 255, 255));
    }
    EXPECT_TRUE(platform::IconImage(copied).isNull()) << "a destroyed icon releases its handle";
    EXPECT_FALSE(platform::IconImage(second).isNull());
}

TEST(Icon, StreamRoundTripAndBadBytes) {
    TIcon icon;
    QImage picture = Quarters(32).convertToFormat(QImage::Format_ARGB32);
    picture.setPixel(0, 0, qRgba(0, 0, 0, 0));  // a see-through corner
    icon.SetImage(picture);
    TMemoryStream stream;
    icon.SaveToStream(stream);
    ASSERT_GT(stream.Size(), 0);

    stream.SetPosition(0);
    TIcon loaded;
    loaded.LoadFromStream(stream);
    ASSERT_EQ(loaded.Width(), 32);
    EXPECT_EQ(loaded.Image().pixel(20, 4), qRgb(0, 255, 0));
    EXPECT_EQ(qAlpha(loaded.Image().pixel(0, 0)), 0);

    TMemoryStream junk;
    junk.WriteBuffer("not an icon", 11);
    junk.SetPosition(0);
    EXPECT_THROW(loaded.LoadFromStream(junk), EInvalidGraphic);
    EXPECT_EQ(loaded.Width(), 32) << "a failed load keeps the picture";

    TIcon empty;
    TMemoryStream out;
    EXPECT_THROW(empty.SaveToStream(out), EInvalidGraphic);
}

TEST(ImageList, EntriesTakeTheListSizeAndTheirTransparency) {
    TImageList list(nullptr);
    TBitmap bitmap;
    bitmap.SetImage(Quarters(32));

    // Masked by colour: the blue quarter becomes see-through; scaled to 16 x 16.
    ASSERT_EQ(list.AddMasked(&bitmap, 0xFF0000 /* blue */), 0);
    TIcon icon;
    list.GetIcon(0, &icon);
    ASSERT_EQ(icon.Width(), 16);
    EXPECT_EQ(icon.Image().pixel(3, 3), qRgb(255, 0, 0));
    EXPECT_EQ(qAlpha(icon.Image().pixel(3, 12)), 0);
    EXPECT_EQ(icon.Image().pixel(12, 12), qRgb(255, 255, 255));

    // Masked by a mask bitmap: its white pixels are see-through.
    TBitmap mask;
    QImage m(32, 32, QImage::Format_RGB32);
    m.fill(Qt::black);
    QPainter(&m).fillRect(16, 0, 16, 16, Qt::white);
    mask.SetImage(m);
    ASSERT_EQ(list.Add(&bitmap, &mask), 1);
    list.GetIcon(1, &icon);
    EXPECT_EQ(qAlpha(icon.Image().pixel(12, 3)), 0);
    EXPECT_EQ(icon.Image().pixel(3, 12), qRgb(0, 0, 255));

    TBitmap flat;
    list.GetBitmap(1, &flat);
    EXPECT_EQ(flat.Width(), 16);
    EXPECT_EQ(flat.Image().pixel(12, 3), qRgb(0, 0, 0)) << "see-through flattens onto black";

    TBitmap none;
    EXPECT_EQ(list.Add(&none), -1);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_THROW(list.GetIcon(2, &icon), EInvalidOperation);
    EXPECT_THROW(list.GetIcon(-1, &icon), EInvalidOperation);
    EXPECT_THROW(list.Delete(2), EInvalidOperation);

    int changes = 0;
    list.OnChange = [&](TObject*) { ++changes; };
    list.Delete(0);
    EXPECT_EQ(list.Count(), 1);
    list.SetSize(32, 32);
    EXPECT_EQ(list.Count(), 0) << "a new size empties the list";
    EXPECT_EQ(changes, 2);
}

TEST(ApplicationIcon, IsADrawnPictureUntilReplaced) {
    TIcon* icon = ApplicationIcon();
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon, ApplicationIcon());
    EXPECT_EQ(icon->Width(), 32);
    EXPECT_EQ(icon->Height(), 32);
    EXPECT_NE(icon->Handle(), 0u);
    // Not one flat colour: something is drawn on it.
    EXPECT_NE(icon->Image().pixel(10, 20), icon->Image().pixel(3, 20));
}

}  // namespace
