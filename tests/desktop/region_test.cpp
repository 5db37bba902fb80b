// Region handles, their byte layout, and window shapes.
#include "desktop/region.h"

#include <gtest/gtest.h>

#include <QRegion>
#include <QWidget>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace platform;

namespace {

// Region data built field by field, to feed the reader.
std::string regionData(std::uint32_t count, const std::vector<RECT>& rects, std::uint32_t headerSize = 32,
                       std::uint32_t type = 1) {
    std::string out;
    auto put = [&out](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    put(headerSize);
    put(type);
    put(count);
    put(static_cast<std::uint32_t>(rects.size() * 16));
    for (int i = 0; i < 4; ++i) put(0);  // the bounding rectangle is not trusted anyway
    for (const RECT& r : rects) {
        put(static_cast<std::uint32_t>(r.left));
        put(static_cast<std::uint32_t>(r.top));
        put(static_cast<std::uint32_t>(r.right));
        put(static_cast<std::uint32_t>(r.bottom));
    }
    return out;
}

std::uint32_t le32(const std::string& b, size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
    return v;
}

std::string dataOf(HRGN h) {
    const DWORD size = GetRegionData(h, 0, nullptr);
    std::string b(size, '\0');
    EXPECT_EQ(GetRegionData(h, size, b.data()), size);
    return b;
}

// Releases the handles a test makes, so a failed assertion does not leak them.
class Regions {
public:
    ~Regions() {
        for (HRGN h : handles_) DeleteRgn(h);
    }
    HRGN keep(HRGN h) {
        if (h != 0)
            handles_.push_back(h);
        return h;
    }

private:
    std::vector<HRGN> handles_;
};

TEST(RegionTest, RectanglesUnionsAndBoxes) {
    Regions keep;
    const HRGN empty = keep.keep(CreateRectRgn(0, 0, 0, 0));
    ASSERT_NE(empty, 0u);
    RECT box{9, 9, 9, 9};
    EXPECT_EQ(GetRgnBox(empty, &box), NULLREGION);
    EXPECT_EQ(box.left | box.top | box.right | box.bottom, 0);

    const HRGN a = keep.keep(CreateRectRgn(10, 5, 2, 1));  // edges given the wrong way round
    EXPECT_EQ(GetRgnBox(a, &box), SIMPLEREGION);
    EXPECT_EQ(box.left, 2);
    EXPECT_EQ(box.top, 1);
    EXPECT_EQ(box.right, 10);
    EXPECT_EQ(box.bottom, 5);

    const HRGN b = keep.keep(CreateRectRgn(20, 3, 25, 4));
    EXPECT_EQ(CombineRgn(empty, empty, a, RGN_OR), SIMPLEREGION);
    EXPECT_EQ(CombineRgn(empty, empty, b, RGN_OR), COMPLEXREGION);
    EXPECT_EQ(*RegionPixels(empty), QRegion(2, 1, 8, 4) + QRegion(20, 3, 5, 1));
    EXPECT_EQ(GetRgnBox(empty, &box), COMPLEXREGION);
    EXPECT_EQ(box.right, 25);

    EXPECT_EQ(CombineRgn(a, empty, b, RGN_DIFF), SIMPLEREGION);
    EXPECT_EQ(*RegionPixels(a), QRegion(2, 1, 8, 4));
    EXPECT_EQ(CombineRgn(a, b, 0, RGN_COPY), SIMPLEREGION);
    EXPECT_EQ(*RegionPixels(a), QRegion(20, 3, 5, 1));

    EXPECT_EQ(OffsetRgn(a, -20, 7), SIMPLEREGION);
    EXPECT_EQ(*RegionPixels(a), QRegion(0, 10, 5, 1));
}

TEST(RegionTest, FailuresLeaveTheirTargetAlone) {
    Regions keep;
    const HRGN a = keep.keep(CreateRectRgn(0, 0, 4, 4));
    const HRGN gone = CreateRectRgn(0, 0, 1, 1);
    EXPECT_TRUE(DeleteRgn(gone));
    EXPECT_FALSE(DeleteRgn(gone));
    EXPECT_FALSE(DeleteRgn(0));

    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CombineRgn(a, a, gone, RGN_OR), RGN_ERROR);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CombineRgn(a, a, a, 99), RGN_ERROR);
    EXPECT_EQ(CombineRgn(0, a, a, RGN_OR), RGN_ERROR);
    EXPECT_EQ(*RegionPixels(a), QRegion(0, 0, 4, 4));

    // Coordinates are bounded so sizes and offsets cannot overflow.
    EXPECT_EQ(CreateRectRgn(0, 0, kMaxRegionCoordinate + 1, 1), 0u);
    EXPECT_EQ(CreateRectRgn(kMinRegionCoordinate - 1, 0, 0, 1), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(OffsetRgn(a, kMaxRegionCoordinate, 0), RGN_ERROR);
    EXPECT_EQ(OffsetRgn(a, 0, std::numeric_limits<int>::min()), RGN_ERROR);
    EXPECT_EQ(*RegionPixels(a), QRegion(0, 0, 4, 4));
    RECT box;
    EXPECT_EQ(GetRgnBox(gone, &box), RGN_ERROR);
    EXPECT_EQ(OffsetRgn(gone, 1, 1), RGN_ERROR);
    EXPECT_EQ(GetRegionData(gone, 0, nullptr), 0u);
}

TEST(RegionTest, DataLayoutIsHeaderThenBandedRectangles) {
    Regions keep;
    const HRGN r = keep.keep(CreateRectRgn(0, 0, 0, 0));
    const HRGN part = keep.keep(CreateRectRgn(1, 1, 3, 2));
    CombineRgn(r, r, part, RGN_OR);
    const HRGN part2 = keep.keep(CreateRectRgn(-5, 4, 10, 6));
    CombineRgn(r, r, part2, RGN_OR);

    const std::string b = dataOf(r);
    ASSERT_EQ(b.size(), 32u + 2 * 16);
    EXPECT_EQ(le32(b, 0), 32u);                             // dwSize
    EXPECT_EQ(le32(b, 4), 1u);                              // iType
    EXPECT_EQ(le32(b, 8), 2u);                              // nCount
    EXPECT_EQ(le32(b, 12), 32u);                            // nRgnSize
    EXPECT_EQ(static_cast<std::int32_t>(le32(b, 16)), -5);  // rcBound
    EXPECT_EQ(le32(b, 20), 1u);
    EXPECT_EQ(le32(b, 24), 10u);
    EXPECT_EQ(le32(b, 28), 6u);
    EXPECT_EQ(le32(b, 32), 1u);  // first rectangle: the upper band
    EXPECT_EQ(le32(b, 36), 1u);
    EXPECT_EQ(le32(b, 40), 3u);
    EXPECT_EQ(le32(b, 44), 2u);
    EXPECT_EQ(static_cast<std::int32_t>(le32(b, 48)), -5);
    EXPECT_EQ(le32(b, 60), 6u);

    const HRGN back = keep.keep(ExtCreateRegion(b.data(), static_cast<DWORD>(b.size())));
    ASSERT_NE(back, 0u);
    EXPECT_EQ(*RegionPixels(back), *RegionPixels(r));

    std::string small(b.size() - 1, '\0');
    EXPECT_EQ(GetRegionData(r, static_cast<DWORD>(small.size()), small.data()), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

    const HRGN empty = keep.keep(CreateRectRgn(0, 0, 0, 0));
    EXPECT_EQ(dataOf(empty), regionData(0, {}));
    const std::string e = dataOf(empty);
    EXPECT_EQ(*RegionPixels(keep.keep(ExtCreateRegion(e.data(), 32))), QRegion());
}

TEST(RegionTest, ReaderUnitesRectanglesInAnyOrder) {
    Regions keep;
    // Overlapping, unsorted and touching rectangles make one region.
    const std::string b = regionData(4, {{5, 5, 9, 9}, {0, 0, 4, 4}, {2, 2, 7, 7}, {9, 5, 12, 9}});
    const HRGN r = keep.keep(ExtCreateRegion(b.data(), static_cast<DWORD>(b.size())));
    ASSERT_NE(r, 0u);
    EXPECT_EQ(*RegionPixels(r), QRegion(5, 5, 4, 4) + QRegion(0, 0, 4, 4) + QRegion(2, 2, 5, 5) + QRegion(9, 5, 3, 4));
    // Bytes after the last rectangle are not part of the data.
    const std::string longer = b + std::string(40, '\x7f');
    const HRGN r2 = keep.keep(ExtCreateRegion(longer.data(), static_cast<DWORD>(longer.size())));
    ASSERT_NE(r2, 0u);
    EXPECT_EQ(*RegionPixels(r2), *RegionPixels(r));

    // Many rectangles in reverse order still load quickly and exactly.
    std::vector<RECT> many;
    QRegion expected;
    for (int i = 2000; i > 0; --i) {
        many.push_back({i * 3, i % 7, i * 3 + 2, i % 7 + 1 + i % 3});
        expected += QRect(i * 3, i % 7, 2, 1 + i % 3);
    }
    const std::string m = regionData(static_cast<std::uint32_t>(many.size()), many);
    const HRGN r3 = keep.keep(ExtCreateRegion(m.data(), static_cast<DWORD>(m.size())));
    ASSERT_NE(r3, 0u);
    EXPECT_EQ(*RegionPixels(r3), expected);
}

// The data is decided by the pixels alone: unions taken in another order, or
// rectangles cut otherwise, write the same bytes, and the data read back
// writes itself again.
TEST(RegionTest, TheSamePixelsWriteTheSameData) {
    Regions keep;
    auto rectsOf = [](const std::string& b) { return b.substr(kRegionDataHeaderSize); };
    const std::string banded = regionData(3, {{1, 3, 3, 4}, {1, 4, 3, 6}, {4, 4, 8, 6}});
    for (const std::vector<RECT>& cut : std::vector<std::vector<RECT>>{
             {{4, 5, 8, 6}, {1, 3, 3, 6}, {4, 4, 8, 5}},
             {{1, 3, 3, 4}, {1, 4, 3, 5}, {4, 4, 8, 5}, {1, 5, 3, 6}, {4, 5, 8, 6}},
             {{4, 4, 6, 6}, {1, 3, 2, 6}, {6, 4, 8, 6}, {2, 3, 3, 6}},
         }) {
        const std::string in = regionData(static_cast<std::uint32_t>(cut.size()), cut);
        const HRGN r = keep.keep(ExtCreateRegion(in.data(), static_cast<DWORD>(in.size())));
        ASSERT_NE(r, 0u);
        const std::string once = dataOf(r);
        EXPECT_EQ(rectsOf(once), rectsOf(banded)) << cut.size() << " rectangles";
        const HRGN again = keep.keep(ExtCreateRegion(once.data(), static_cast<DWORD>(once.size())));
        ASSERT_NE(again, 0u);
        EXPECT_EQ(dataOf(again), once);
    }
    // Built up one rectangle at a time, as a window's shape is, in two orders.
    const HRGN down = keep.keep(CreateRectRgn(0, 0, 0, 0));
    const HRGN up = keep.keep(CreateRectRgn(0, 0, 0, 0));
    for (int row = 0; row < 6; ++row) {
        const HRGN a = keep.keep(CreateRectRgn(row % 2, row, 4, row + 1));
        const HRGN b = keep.keep(CreateRectRgn(5 - row % 2, 5 - row, 9, 6 - row));
        CombineRgn(down, down, a, RGN_OR);
        CombineRgn(down, down, b, RGN_OR);
        CombineRgn(up, up, b, RGN_OR);
        CombineRgn(up, up, a, RGN_OR);
    }
    EXPECT_EQ(dataOf(down), dataOf(up));
}

struct DamagedData {
    const char* name;
    std::string bytes;
};

class DamagedRegionData : public ::testing::TestWithParam<DamagedData> {};

TEST_P(DamagedRegionData, IsRefusedWithoutARegion) {
    const int live = LiveRegionCount();
    const std::string& b = GetParam().bytes;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(ExtCreateRegion(b.empty() ? nullptr : b.data(), static_cast<DWORD>(b.size())), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(LiveRegionCount(), live);
}

const RECT kOne{0, 0, 1, 1};

INSTANTIATE_TEST_SUITE_P(
    Cases, DamagedRegionData,
    ::testing::Values(DamagedData{"Empty", ""}, DamagedData{"ShortHeader", regionData(0, {}).substr(0, 31)},
                      DamagedData{"WrongHeaderSize", regionData(1, {kOne}, 40)},
                      DamagedData{"WrongType", regionData(1, {kOne}, 32, 2)},
                      DamagedData{"CountBeyondTheBytes", regionData(2, {kOne})},
                      DamagedData{"HugeCount", regionData(0xFFFFFFFFu, {kOne})},
                      DamagedData{"CountWrapsToFit", regionData(0x10000000u + 1, {kOne})},
                      DamagedData{"CutInsideARectangle", regionData(1, {kOne}).substr(0, 47)},
                      DamagedData{"EmptyRectangle", regionData(1, {{3, 3, 3, 5}})},
                      DamagedData{"InvertedRectangle", regionData(1, {{3, 5, 4, 2}})},
                      DamagedData{"CoordinateOutOfRange", regionData(1, {{0, 0, kMaxRegionCoordinate + 1, 1}})},
                      DamagedData{"LowestInt", regionData(1, {{std::numeric_limits<int>::min(), 0, 0, 1}})},
                      DamagedData{"BadSecondRectangle", regionData(2, {kOne, {7, 7, 7, 7}})}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegionTest, TooMuchDataIsRefusedBeforeLookingAtIt) {
    std::string big(kMaxRegionDataSize + 16, '\0');
    const std::string header = regionData(static_cast<std::uint32_t>((big.size() - 32) / 16), {});
    std::memcpy(big.data(), header.data(), 32);
    EXPECT_EQ(ExtCreateRegion(big.data(), static_cast<DWORD>(big.size())), 0u);
}

TEST(RegionTest, FaultsOnCueFailLikeThePlatform) {
    Regions keep;
    const HRGN a = keep.keep(CreateRectRgn(0, 0, 2, 2));
    const std::string data = dataOf(a);
    for (RegionOp op : {RegionOp::CreateRect, RegionOp::Combine, RegionOp::Offset, RegionOp::GetBox, RegionOp::GetData,
                        RegionOp::ExtCreate}) {
        SetRegionFaultHook([op](RegionOp o) { return o == op; });
        SetLastError(ERROR_SUCCESS);
        RECT box;
        switch (op) {
            case RegionOp::CreateRect:
                EXPECT_EQ(CreateRectRgn(0, 0, 1, 1), 0u);
                break;
            case RegionOp::Combine:
                EXPECT_EQ(CombineRgn(a, a, a, RGN_OR), RGN_ERROR);
                break;
            case RegionOp::Offset:
                EXPECT_EQ(OffsetRgn(a, 1, 1), RGN_ERROR);
                break;
            case RegionOp::GetBox:
                EXPECT_EQ(GetRgnBox(a, &box), RGN_ERROR);
                break;
            case RegionOp::GetData:
                EXPECT_EQ(GetRegionData(a, 0, nullptr), 0u);
                break;
            default:
                EXPECT_EQ(ExtCreateRegion(data.data(), static_cast<DWORD>(data.size())), 0u);
                break;
        }
        EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
        if (op != RegionOp::GetBox) {
            EXPECT_NE(GetRgnBox(a, &box), RGN_ERROR) << "only the chosen operation fails";
        }
    }
    SetRegionFaultHook({});
    EXPECT_EQ(*RegionPixels(a), QRegion(0, 0, 2, 2));
}

TEST(RegionTest, WindowTakesOverTheRegionOnlyOnSuccess) {
    QWidget window;
    window.resize(50, 40);
    EXPECT_FALSE(GetWindowRegion(&window).has_value());

    const HRGN shape = CreateRectRgn(5, 5, 20, 10);
    SetRegionFaultHook([](RegionOp o) { return o == RegionOp::SetWindow; });
    EXPECT_FALSE(SetWindowRgn(&window, shape, true));
    SetRegionFaultHook({});
    EXPECT_TRUE(RegionPixels(shape).has_value()) << "a refused region stays with the caller";
    EXPECT_FALSE(GetWindowRegion(&window).has_value());
    EXPECT_FALSE(SetWindowRgn(nullptr, shape, true));

    const int live = LiveRegionCount();
    ASSERT_TRUE(SetWindowRgn(&window, shape, true));
    EXPECT_EQ(LiveRegionCount(), live - 1);
    EXPECT_FALSE(RegionPixels(shape).has_value()) << "the window owns the region now";
    EXPECT_EQ(*GetWindowRegion(&window), QRegion(5, 5, 15, 5));
    EXPECT_EQ(window.mask(), QRegion(5, 5, 15, 5));
    EXPECT_FALSE(SetWindowRgn(&window, shape, true)) << "a handed-over handle is gone";

    ASSERT_TRUE(SetWindowRgn(&window, 0, false));
    EXPECT_FALSE(GetWindowRegion(&window).has_value());
    EXPECT_TRUE(window.mask().isEmpty());
}

}  // namespace
