// Region objects behind integer handles, their region-data byte layout, and
// window shapes. A region is a set of pixels made of axis-aligned rectangles;
// right and bottom edges are exclusive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

class QRegion;
class QWidget;

namespace platform {

using HRGN = std::uintptr_t;  // 0 is "no region"
using DWORD = std::uint32_t;

struct RECT {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;
};

// CombineRgn modes.
constexpr int RGN_AND = 1;
constexpr int RGN_OR = 2;
constexpr int RGN_XOR = 3;
constexpr int RGN_DIFF = 4;
constexpr int RGN_COPY = 5;

// Results of the region operations that describe the region they leave.
constexpr int RGN_ERROR = 0;  // the operation failed
constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;
constexpr int COMPLEXREGION = 3;

// Region data: a 32-byte header (dwSize, iType, nCount, nRgnSize, then the
// bounding rectangle), followed by nCount rectangles of four 32-bit integers
// (left, top, right, bottom). Every field is little-endian.
constexpr DWORD RDH_RECTANGLES = 1;
constexpr DWORD kRegionDataHeaderSize = 32;
constexpr DWORD kRegionDataRectSize = 16;
// Region data larger than this is refused as damaged rather than allocated.
constexpr DWORD kMaxRegionDataSize = kRegionDataHeaderSize + kRegionDataRectSize * (1u << 20);
// Coordinates are limited to 28-bit signed values, so widths and offsets
// can never overflow a 32-bit integer.
constexpr std::int32_t kMaxRegionCoordinate = (1 << 27) - 1;
constexpr std::int32_t kMinRegionCoordinate = -kMaxRegionCoordinate;

// Last-error codes set by failing region operations.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

// The calling thread's last-error code, as left by the last failing operation.
DWORD GetLastError();
void SetLastError(DWORD code);

// The functions on region handles may be called from any thread (the handle
// table is locked); those taking a window are for the GUI thread only.
// Handles are never reused within a process, so a stale handle finds nothing.

// A new rectangular region (empty when the rectangle is). Swapped edges are put
// in order. Returns 0 when a coordinate is out of range or the region cannot be made.
HRGN CreateRectRgn(int left, int top, int right, int bottom);

// Sets dest to src1 <mode> src2 (src2 is ignored for RGN_COPY); dest may be one
// of the sources. Returns the complexity of the result, or RGN_ERROR (dest
// unchanged) for an unknown handle or mode.
int CombineRgn(HRGN dest, HRGN src1, HRGN src2, int mode);

// Moves the region. RGN_ERROR (region unchanged) when it would leave the coordinate range.
int OffsetRgn(HRGN rgn, int dx, int dy);

// The bounding rectangle (all zero for an empty region) and the complexity, or RGN_ERROR.
int GetRgnBox(HRGN rgn, RECT* box);

// Region data. With data null: the number of bytes needed. Otherwise fills
// `data` and returns `size`; the rectangles are banded from top to bottom,
// left to right in a band, joined wherever they touch, so the same pixels
// always give the same bytes. 0 when `size` is too small
// (ERROR_INSUFFICIENT_BUFFER) or the handle is unknown (ERROR_INVALID_HANDLE).
DWORD GetRegionData(HRGN rgn, DWORD size, void* data);

// A new region from `size` bytes of region data. Bytes after the rectangles
// are ignored; the bounding rectangle and nRgnSize fields are not trusted.
// Returns 0 (ERROR_INVALID_PARAMETER) when the header is wrong, the rectangles
// do not fit in `size`, `size` exceeds kMaxRegionDataSize, or a rectangle is
// empty, inverted or out of range.
HRGN ExtCreateRegion(const void* data, DWORD size);

// Releases a region. Returns false for 0 or an unknown handle (harmless).
bool DeleteRgn(HRGN rgn);

// Gives a top-level window the shape of `rgn`, in coordinates of its outer
// top-left corner. On success the window owns the region and the handle is
// gone; on failure the caller still owns it. rgn 0 removes the shape. An empty
// region leaves nothing of the window visible. `redraw` repaints at once.
// Returns false when the window is null, the handle unknown, or the window refuses.
bool SetWindowRgn(QWidget* window, HRGN rgn, bool redraw);

// The shape last given to `window` by SetWindowRgn, in window coordinates;
// nullopt when it has none.
std::optional<QRegion> GetWindowRegion(const QWidget* window);

// The pixels of a region, or nullopt for an unknown handle.
std::optional<QRegion> RegionPixels(HRGN rgn);
// How many region handles are alive (leak checks in tests).
int LiveRegionCount();

// Test seam: the region operations a fault can be injected into.
enum class RegionOp { CreateRect, Combine, Offset, GetBox, GetData, ExtCreate, SetWindow };
// While set, each of those operations asks `hook` first; true makes that one
// call fail as the platform would (ERROR_NOT_ENOUGH_MEMORY). Pass {} to clear.
// Set it only while no other thread uses regions.
void SetRegionFaultHook(std::function<bool(RegionOp)> hook);

}  // namespace platform
