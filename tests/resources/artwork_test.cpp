// The artwork built into the program: found by name, in the sizes and colour
// depths the windows are designed for.
#include <gtest/gtest.h>

#include <QImage>
#include <cstdint>
#include <string>
#include <vector>

#include "resources/resources.h"

namespace {

std::uint32_t le(const std::string& b, size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b.at(at + static_cast<size_t>(i)));
    return v;
}

struct Bitmap {
    const char* name;
    int width;
    int height;
};

class BuiltInBitmaps : public ::testing::TestWithParam<Bitmap> {};

TEST_P(BuiltInBitmaps, Are24BitBmpsOfTheDesignedSize) {
    const auto bytes = resources::Load(GetParam().name);
    ASSERT_TRUE(bytes.has_value());
    ASSERT_GE(bytes->size(), 54u);
    EXPECT_EQ(bytes->substr(0, 2), "BM");
    EXPECT_EQ(le(*bytes, 18, 4), static_cast<std::uint32_t>(GetParam().width));
    EXPECT_EQ(le(*bytes, 22, 4), static_cast<std::uint32_t>(GetParam().height));
    EXPECT_EQ(le(*bytes, 28, 2), 24u);  // bits per pixel
    QImage img;
    ASSERT_TRUE(
        img.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()), "BMP"));
    EXPECT_EQ(img.size(), QSize(GetParam().width, GetParam().height));
}

INSTANTIATE_TEST_SUITE_P(Artwork, BuiltInBitmaps,
                         ::testing::Values(Bitmap{"skin.bmp", 205, 66}, Bitmap{"mailer.bmp", 10, 10},
                                           Bitmap{"close.bmp", 10, 10}, Bitmap{"skin@2x.bmp", 410, 132},
                                           Bitmap{"mailer@2x.bmp", 20, 20}, Bitmap{"close@2x.bmp", 20, 20}),
                         [](const auto& info) {
                             std::string n = info.param.name;
                             n = n.substr(0, n.find('.'));
                             const auto at = n.find('@');
                             return at == std::string::npos ? n : n.substr(0, at) + "_2x";
                         });

QImage Loaded(const char* name) {
    const auto bytes = resources::Load(name);
    QImage img;
    if (bytes)
        img.loadFromData(reinterpret_cast<const uchar*>(bytes->data()), static_cast<int>(bytes->size()), "BMP");
    return img;
}

// The window's shape comes from skin.bmp; the sharper face must cut away
// exactly the same pixels, doubled, or the screen would show red edges or
// holes at two device pixels a pixel.
TEST(BuiltInArtwork, TheSharperSkinCutsAwayExactlyTheSkinsPixelsDoubled) {
    const QImage skin = Loaded("skin.bmp");
    const QImage sharp = Loaded("skin@2x.bmp");
    ASSERT_EQ(sharp.size(), skin.size() * 2);
    const QRgb cut = qRgb(255, 0, 0);
    int differing = 0;
    for (int y = 0; y < sharp.height(); ++y)
        for (int x = 0; x < sharp.width(); ++x)
            if ((sharp.pixel(x, y) == cut) != (skin.pixel(x / 2, y / 2) == cut))
                ++differing;
    EXPECT_EQ(differing, 0);
}

TEST(BuiltInArtwork, IconIs32By32With256Colours) {
    const auto ico = resources::Load("postwren.ico");
    ASSERT_TRUE(ico.has_value());
    ASSERT_GE(ico->size(), 22u + 40u + 1024u);
    EXPECT_EQ(le(*ico, 2, 2), 1u);  // an icon
    EXPECT_EQ(le(*ico, 4, 2), 1u);  // one image
    EXPECT_EQ(static_cast<unsigned char>(ico->at(6)), 32);
    EXPECT_EQ(static_cast<unsigned char>(ico->at(7)), 32);
    EXPECT_EQ(le(*ico, 12, 2), 8u);  // bits per pixel
    const size_t image = le(*ico, 18, 4);
    EXPECT_EQ(le(*ico, image + 14, 2), 8u);
    EXPECT_EQ(le(*ico, image + 32, 4), 256u);  // colours in the table
    QImage img;
    ASSERT_TRUE(img.loadFromData(reinterpret_cast<const uchar*>(ico->data()), static_cast<int>(ico->size()), "ICO"));
    EXPECT_EQ(img.size(), QSize(32, 32));
    // Transparent outside the tile's rounded corner, opaque in the middle.
    EXPECT_EQ(qAlpha(img.pixel(0, 0)), 0);
    EXPECT_EQ(qAlpha(img.pixel(16, 16)), 255);
}

TEST(BuiltInArtwork, DesktopIconsAtSeveralSizesAndNothingForUnknownNames) {
    // The theme's sizes, and 22 at 1.5 and 2 device pixels a pixel.
    EXPECT_EQ(resources::IconSizes(), (std::vector<int>{16, 22, 24, 32, 33, 36, 44, 48, 64, 72, 96, 128, 256}));
    for (int size : resources::IconSizes()) {
        const auto png = resources::Load("postwren-" + std::to_string(size) + ".png");
        ASSERT_TRUE(png.has_value()) << size;
        QImage img;
        ASSERT_TRUE(
            img.loadFromData(reinterpret_cast<const uchar*>(png->data()), static_cast<int>(png->size()), "PNG"));
        EXPECT_EQ(img.size(), QSize(size, size));
        EXPECT_TRUE(img.hasAlphaChannel());
    }
    EXPECT_FALSE(resources::Load("").has_value());
    EXPECT_FALSE(resources::Load("missing.bmp").has_value());
    EXPECT_FALSE(resources::Load("../CMakeLists.txt").has_value());
}

}  // namespace
