#include "desktop/region.h"

#include <QRegion>
#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {
namespace {

// Dynamic property of a shaped window: the shape it was given, in window coordinates.
constexpr const char* kWindowRegionProperty = "postwrenWindowRegion";

thread_local DWORD lastError = ERROR_SUCCESS;

std::mutex tableMutex;
std::map<HRGN, QRegion>& table() {
    static std::map<HRGN, QRegion> regions;
    return regions;
}
HRGN nextHandle = 0x2000;

std::function<bool(RegionOp)>& faultHook() {
    static std::function<bool(RegionOp)> hook;
    return hook;
}

// True when the test seam wants this call to fail; sets the last error then.
bool injectedFault(RegionOp op) {
    const auto& hook = faultHook();
    if (hook && hook(op)) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return true;
    }
    return false;
}

bool inRange(std::int64_t v) {
    return v >= kMinRegionCoordinate && v <= kMaxRegionCoordinate;
}

int complexity(const QRegion& r) {
    if (r.isEmpty())
        return NULLREGION;
    return r.rectCount() == 1 ? SIMPLEREGION : COMPLEXREGION;
}

// Caller holds tableMutex.
QRegion* find(HRGN rgn) {
    auto it = table().find(rgn);
    return it == table().end() ? nullptr : &it->second;
}

// Caller holds tableMutex.
HRGN insert(QRegion region) {
    const HRGN h = nextHandle++;
    table().emplace(h, std::move(region));
    return h;
}

void putLE32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

std::uint32_t getLE32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::int32_t getLE32Signed(const unsigned char* p) {
    return static_cast<std::int32_t>(getLE32(p));
}

// Unites rectangles pairwise, so n rectangles in any order cost O(n log n)
// band merges rather than the O(n^2) of adding them one by one.
QRegion uniteAll(const std::vector<QRect>& rects, std::size_t lo, std::size_t hi) {
    if (hi - lo == 1)
        return QRegion(rects[lo]);
    const std::size_t mid = lo + (hi - lo) / 2;
    return uniteAll(rects, lo, mid).united(uniteAll(rects, mid, hi));
}

// The region's rectangles in the one form its pixels allow, which is what
// the region data holds, so that the same pixels always write the same bytes
// (the toolkit's own list depends on the order of the unions that made it):
// bands from top to bottom, each band's rectangles from left to right with
// gaps between them, and no band directly above one with the same spans.
// The rectangles are swept band by band: the toolkit's never overlap, so
// each is looked at in its own bands only.
std::vector<QRect> canonicalRects(const QRegion& region) {
    struct Span {
        int left, right;
        bool operator==(const Span&) const = default;
    };
    std::vector<QRect> rects(region.begin(), region.end());
    std::sort(rects.begin(), rects.end(), [](const QRect& a, const QRect& b) { return a.y() < b.y(); });
    std::vector<int> edges;
    edges.reserve(rects.size() * 2);
    for (const QRect& r : rects) {
        edges.push_back(r.y());
        edges.push_back(r.y() + r.height());
    }
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());

    std::vector<QRect> out;
    std::vector<const QRect*> active;
    std::vector<Span> spans, bandSpans;
    int bandTop = 0, bandBottom = 0;
    auto flush = [&] {
        for (const Span& s : bandSpans) out.emplace_back(s.left, bandTop, s.right - s.left, bandBottom - bandTop);
        bandSpans.clear();
    };
    std::size_t next = 0;
    for (std::size_t e = 0; e + 1 < edges.size(); ++e) {
        const int top = edges[e], bottom = edges[e + 1];
        active.erase(
            std::remove_if(active.begin(), active.end(), [top](const QRect* r) { return r->y() + r->height() <= top; }),
            active.end());
        for (; next < rects.size() && rects[next].y() == top; ++next) active.push_back(&rects[next]);
        spans.clear();
        for (const QRect* r : active) spans.push_back({r->x(), r->x() + r->width()});
        std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.left < b.left; });
        std::size_t kept = 0;
        for (const Span& s : spans) {
            if (kept > 0 && s.left <= spans[kept - 1].right)
                spans[kept - 1].right = std::max(spans[kept - 1].right, s.right);
            else
                spans[kept++] = s;
        }
        spans.resize(kept);
        if (!bandSpans.empty() && bandBottom == top && spans == bandSpans) {
            bandBottom = bottom;
            continue;
        }
        flush();
        bandSpans = spans;
        bandTop = top;
        bandBottom = bottom;
    }
    flush();
    return out;
}

}  // namespace

DWORD GetLastError() {
    return lastError;
}
void SetLastError(DWORD code) {
    lastError = code;
}

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
    if (injectedFault(RegionOp::CreateRect))
        return 0;
    if (!inRange(left) || !inRange(top) || !inRange(right) || !inRange(bottom)) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (left > right)
        std::swap(left, right);
    if (top > bottom)
        std::swap(top, bottom);
    QRegion r;
    if (left < right && top < bottom)
        r = QRegion(left, top, right - left, bottom - top);
    std::lock_guard lock(tableMutex);
    return insert(std::move(r));
}

int CombineRgn(HRGN dest, HRGN src1, HRGN src2, int mode) {
    if (injectedFault(RegionOp::Combine))
        return RGN_ERROR;
    std::lock_guard lock(tableMutex);
    QRegion* d = find(dest);
    const QRegion* a = find(src1);
    const QRegion* b = mode == RGN_COPY ? a : find(src2);
    if (d == nullptr || a == nullptr || b == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return RGN_ERROR;
    }
    QRegion result;
    switch (mode) {
        case RGN_AND:
            result = a->intersected(*b);
            break;
        case RGN_OR:
            result = a->united(*b);
            break;
        case RGN_XOR:
            result = a->xored(*b);
            break;
        case RGN_DIFF:
            result = a->subtracted(*b);
            break;
        case RGN_COPY:
            result = *a;
            break;
        default:
            lastError = ERROR_INVALID_PARAMETER;
            return RGN_ERROR;
    }
    *d = std::move(result);
    return complexity(*d);
}

int OffsetRgn(HRGN rgn, int dx, int dy) {
    if (injectedFault(RegionOp::Offset))
        return RGN_ERROR;
    std::lock_guard lock(tableMutex);
    QRegion* r = find(rgn);
    if (r == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return RGN_ERROR;
    }
    if (!r->isEmpty()) {
        const QRect box = r->boundingRect();
        const std::int64_t left = std::int64_t{box.x()} + dx;
        const std::int64_t top = std::int64_t{box.y()} + dy;
        const std::int64_t right = std::int64_t{box.x()} + box.width() + dx;
        const std::int64_t bottom = std::int64_t{box.y()} + box.height() + dy;
        if (!inRange(left) || !inRange(top) || !inRange(right) || !inRange(bottom)) {
            lastError = ERROR_INVALID_PARAMETER;
            return RGN_ERROR;
        }
        r->translate(dx, dy);
    }
    return complexity(*r);
}

int GetRgnBox(HRGN rgn, RECT* box) {
    if (injectedFault(RegionOp::GetBox))
        return RGN_ERROR;
    std::lock_guard lock(tableMutex);
    const QRegion* r = find(rgn);
    if (r == nullptr || box == nullptr) {
        lastError = r == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return RGN_ERROR;
    }
    *box = RECT{};
    if (!r->isEmpty()) {
        const QRect b = r->boundingRect();
        *box = RECT{b.x(), b.y(), b.x() + b.width(), b.y() + b.height()};
    }
    return complexity(*r);
}

DWORD GetRegionData(HRGN rgn, DWORD size, void* data) {
    if (injectedFault(RegionOp::GetData))
        return 0;
    std::lock_guard lock(tableMutex);
    const QRegion* r = find(rgn);
    if (r == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    const std::vector<QRect> rects = canonicalRects(*r);
    const auto count = static_cast<std::uint64_t>(rects.size());
    const std::uint64_t bytes = kRegionDataHeaderSize + count * kRegionDataRectSize;
    if (bytes > UINT32_MAX) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    const auto needed = static_cast<DWORD>(bytes);
    if (data == nullptr)
        return needed;
    if (size < needed) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    auto* out = static_cast<unsigned char*>(data);
    RECT bound;
    if (!r->isEmpty()) {
        const QRect b = r->boundingRect();
        bound = RECT{b.x(), b.y(), b.x() + b.width(), b.y() + b.height()};
    }
    putLE32(out + 0, kRegionDataHeaderSize);
    putLE32(out + 4, RDH_RECTANGLES);
    putLE32(out + 8, static_cast<std::uint32_t>(count));
    putLE32(out + 12, needed - kRegionDataHeaderSize);
    putLE32(out + 16, static_cast<std::uint32_t>(bound.left));
    putLE32(out + 20, static_cast<std::uint32_t>(bound.top));
    putLE32(out + 24, static_cast<std::uint32_t>(bound.right));
    putLE32(out + 28, static_cast<std::uint32_t>(bound.bottom));
    unsigned char* p = out + kRegionDataHeaderSize;
    for (const QRect& rc : rects) {
        putLE32(p + 0, static_cast<std::uint32_t>(rc.x()));
        putLE32(p + 4, static_cast<std::uint32_t>(rc.y()));
        putLE32(p + 8, static_cast<std::uint32_t>(rc.x() + rc.width()));
        putLE32(p + 12, static_cast<std::uint32_t>(rc.y() + rc.height()));
        p += kRegionDataRectSize;
    }
    return size;
}

HRGN ExtCreateRegion(const void* data, DWORD size) {
    if (injectedFault(RegionOp::ExtCreate))
        return 0;
    const auto* in = static_cast<const unsigned char*>(data);
    // Everything is checked against the byte count before anything is
    // allocated, so damaged data can neither overrun the buffer nor ask for
    // a huge allocation.
    if (in == nullptr || size < kRegionDataHeaderSize || size > kMaxRegionDataSize ||
        getLE32(in + 0) != kRegionDataHeaderSize || getLE32(in + 4) != RDH_RECTANGLES) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    const std::uint64_t count = getLE32(in + 8);
    if (kRegionDataHeaderSize + count * kRegionDataRectSize > size) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    std::vector<QRect> rects;
    rects.reserve(static_cast<std::size_t>(count));
    const unsigned char* p = in + kRegionDataHeaderSize;
    for (std::uint64_t i = 0; i < count; ++i, p += kRegionDataRectSize) {
        const std::int32_t left = getLE32Signed(p + 0);
        const std::int32_t top = getLE32Signed(p + 4);
        const std::int32_t right = getLE32Signed(p + 8);
        const std::int32_t bottom = getLE32Signed(p + 12);
        if (!inRange(left) || !inRange(top) || !inRange(right) || !inRange(bottom) || left >= right || top >= bottom) {
            lastError = ERROR_INVALID_PARAMETER;
            return 0;
        }
        rects.emplace_back(left, top, right - left, bottom - top);
    }
    QRegion region = rects.empty() ? QRegion() : uniteAll(rects, 0, rects.size());
    std::lock_guard lock(tableMutex);
    return insert(std::move(region));
}

bool DeleteRgn(HRGN rgn) {
    std::lock_guard lock(tableMutex);
    return table().erase(rgn) != 0;
}

bool SetWindowRgn(QWidget* window, HRGN rgn, bool redraw) {
    if (window == nullptr) {
        lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    if (injectedFault(RegionOp::SetWindow))
        return false;
    std::optional<QRegion> shape;
    {
        std::lock_guard lock(tableMutex);
        if (rgn != 0) {
            auto it = table().find(rgn);
            if (it == table().end()) {
                lastError = ERROR_INVALID_HANDLE;
                return false;
            }
            // The window takes the region over: the handle ends here.
            shape = std::move(it->second);
            table().erase(it);
        }
    }
    if (!shape) {
        window->clearMask();
        window->setProperty(kWindowRegionProperty, QVariant());
    } else {
        // The shape counts from the outer corner of the window, the mask from
        // the client area; they differ by the window manager's frame.
        QPoint frame;
        if (window->isWindow())
            frame = window->geometry().topLeft() - window->frameGeometry().topLeft();
        QRegion mask = shape->translated(-frame);
        // WORKAROUND: an empty mask means "no mask" to the toolkit, so an empty
        // shape is given as one pixel outside the window, which hides all of it.
        if (mask.isEmpty())
            mask = QRegion(-1, -1, 1, 1);
        window->setMask(mask);
        window->setProperty(kWindowRegionProperty, QVariant::fromValue(*shape));
    }
    if (redraw)
        window->update();
    return true;
}

std::optional<QRegion> GetWindowRegion(const QWidget* window) {
    if (window == nullptr)
        return std::nullopt;
    const QVariant v = window->property(kWindowRegionProperty);
    if (!v.isValid())
        return std::nullopt;
    return v.value<QRegion>();
}

std::optional<QRegion> RegionPixels(HRGN rgn) {
    std::lock_guard lock(tableMutex);
    const QRegion* r = find(rgn);
    if (r == nullptr)
        return std::nullopt;
    return *r;
}

int LiveRegionCount() {
    std::lock_guard lock(tableMutex);
    return static_cast<int>(table().size());
}

void SetRegionFaultHook(std::function<bool(RegionOp)> hook) {
    faultHook() = std::move(hook);
}

}  // namespace platform
