// Fuzz target for the region-data reader: whatever bytes it is given, it must
// either refuse them or make a region that survives a write and a read
// unchanged and covers the same pixels as the union of the rectangles in the
// data; and it must never crash, overrun or leak a handle. Regions are
// compared by their pixels: the same pixels can be listed as different
// rectangles (a union taken in another order bands them otherwise).
#include <QRegion>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "desktop/region.h"

using namespace platform;

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "region fuzz: %s\n", what);
        std::abort();
    }
}

// Whether two regions cover exactly the same pixels.
bool samePixels(const QRegion& a, const QRegion& b) {
    return a.xored(b).isEmpty();
}

std::int32_t field(const std::uint8_t* p) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                                     (static_cast<std::uint32_t>(p[2]) << 16) |
                                     (static_cast<std::uint32_t>(p[3]) << 24));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > kMaxRegionDataSize)
        return 0;
    const HRGN r = ExtCreateRegion(size == 0 ? nullptr : data, static_cast<DWORD>(size));
    if (r == 0) {
        check(GetLastError() == ERROR_INVALID_PARAMETER, "refusal without ERROR_INVALID_PARAMETER");
        check(LiveRegionCount() == 0, "a refused input left a handle");
        return 0;
    }
    const QRegion got = *RegionPixels(r);

    // The region is exactly the union of the rectangles the data lists.
    QRegion expected;
    const std::uint32_t count = static_cast<std::uint32_t>(field(data + 8));
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint8_t* p = data + kRegionDataHeaderSize + std::size_t{i} * kRegionDataRectSize;
        expected += QRect(field(p), field(p + 4), field(p + 8) - field(p), field(p + 12) - field(p + 4));
    }
    check(samePixels(got, expected), "region differs from the union of its rectangles");

    // Written and read back, it is the same region, and writes the same bytes again.
    const DWORD n = GetRegionData(r, 0, nullptr);
    check(n >= kRegionDataHeaderSize && (n - kRegionDataHeaderSize) % kRegionDataRectSize == 0, "odd data size");
    std::vector<std::uint8_t> once(n), twice(n);
    check(GetRegionData(r, n, once.data()) == n, "data query failed");
    const HRGN again = ExtCreateRegion(once.data(), n);
    check(again != 0, "own data refused");
    check(samePixels(*RegionPixels(again), got), "round trip changed the region");
    check(GetRegionData(again, n, twice.data()) == n && once == twice, "round trip changed the bytes");

    // The bounding box in the header is the region's, and the region can move to the origin.
    RECT box;
    check(GetRgnBox(r, &box) != RGN_ERROR, "no bounding box");
    check(field(once.data() + 16) == box.left && field(once.data() + 20) == box.top &&
              field(once.data() + 24) == box.right && field(once.data() + 28) == box.bottom,
          "header bound differs from the box");
    // A region wider or higher than the coordinate range cannot sit at the
    // origin; the move must then fail and leave it where it was.
    const bool fits = std::int64_t{box.right} - box.left <= kMaxRegionCoordinate &&
                      std::int64_t{box.bottom} - box.top <= kMaxRegionCoordinate;
    const bool moved = OffsetRgn(r, -box.left, -box.top) != RGN_ERROR;
    check(moved == fits, "move to the origin succeeded or failed wrongly");
    if (!moved)
        check(samePixels(*RegionPixels(r), got), "a failed move changed the region");
    if (moved && !got.isEmpty()) {
        check(RegionPixels(r)->boundingRect().topLeft() == QPoint(0, 0), "moved to the wrong place");
    }

    DeleteRgn(r);
    DeleteRgn(again);
    check(LiveRegionCount() == 0, "handle leaked");
    return 0;
}
