// Formatted text drawing and measuring with the system's DT_ format flags, on a
// Qt painter. Texts come in as CP932 bytes and are decoded here, character by
// character, so that a double-byte character is never split by line breaking,
// ellipsis or prefix processing.
#pragma once

#include <QColor>
#include <QString>
#include <cstddef>
#include <string_view>
#include <vector>

class QFont;
class QPainter;
class QPaintDevice;

namespace platform {

// A rectangle as the system's text calls take it: right and bottom are exclusive.
struct Rect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
};

inline void OffsetRect(Rect& r, int dx, int dy) {
    r.left += dx;
    r.right += dx;
    r.top += dy;
    r.bottom += dy;
}

// Format flags of DrawText.
constexpr unsigned DT_LEFT = 0x0000;
constexpr unsigned DT_CENTER = 0x0001;
constexpr unsigned DT_RIGHT = 0x0002;
constexpr unsigned DT_WORDBREAK = 0x0010;
constexpr unsigned DT_EXPANDTABS = 0x0040;
constexpr unsigned DT_NOCLIP = 0x0100;
constexpr unsigned DT_CALCRECT = 0x0400;
constexpr unsigned DT_NOPREFIX = 0x0800;
constexpr unsigned DT_PATH_ELLIPSIS = 0x4000;
constexpr unsigned DT_END_ELLIPSIS = 0x8000;

// Texts are laid out and drawn up to this many characters; a longer one is cut
// there and ends in "...". No label shows that much, and the cap keeps the
// work of one drawing bounded whatever a stored value or a server sent.
constexpr std::size_t kMaxDrawnChars = 1024;

// The visible stand-in for a control character (0x00-0x1F and DEL): its
// picture from the Unicode Control Pictures block (U+2400 + c, U+2421 for
// DEL), so that text from outside never reaches the display as a control.
// Any other character comes back unchanged.
constexpr char16_t ControlPicture(char16_t c) {
    constexpr char16_t kControlPictures = 0x2400;
    constexpr char16_t kDeletePicture = 0x2421;
    constexpr char16_t kDelete = 0x7F;
    if (c < 0x20)
        return static_cast<char16_t>(kControlPictures + c);
    return c == kDelete ? kDeletePicture : c;
}

// The font figures the text calls report (GetTextMetrics).
struct TextMetric {
    int tmHeight = 0;  // ascent + descent: the height of one line
    int tmAscent = 0;
    int tmDescent = 0;
    int tmAveCharWidth = 0;
    // Extra width some synthesised fonts add once per string. Qt's glyph
    // advances already include whatever it synthesises (emboldening widens the
    // advance itself), so this is always 0 here; callers still subtract it.
    int tmOverhang = 0;
};

// Metrics of `font` as drawn on `device` (the screen when null).
TextMetric GetTextMetrics(const QFont& font, const QPaintDevice* device = nullptr);

// One line of formatted text, ready to draw: `text` is the displayed text
// (prefix marks removed, ellipsis applied, tabs still present), `x` its left
// edge and `width` its width with tabs expanded (or not, as the flags say).
struct TextLine {
    QString text;
    int x = 0;
    int width = 0;
    std::vector<int> underlined;  // indexes into `text` of characters marked with "&"
};

struct TextLayout {
    std::vector<TextLine> lines;
    int lineHeight = 0;
    int width = 0;   // of the widest line
    int height = 0;  // lines × lineHeight
};

// Breaks `text` into lines inside `rect` as DrawText would, without drawing.
// Lines end at line feeds (CR LF, LF or CR); tabs stay; every other control
// character is drawn as its picture (ControlPicture). Only the first
// kMaxDrawnChars characters are laid out, followed by "..." when there are more. DT_WORDBREAK also breaks at spaces
// and next to double-byte characters where a line would pass rect's right edge;
// a word wider than the rectangle stays whole. DT_END_ELLIPSIS / DT_PATH_ELLIPSIS
// shorten each line that is still too wide with "...". An empty text has no lines.
TextLayout LayOutText(const QFont& font, const QPaintDevice* device, std::string_view text, const Rect& rect,
                      unsigned format);

// DrawText: draws CP932 `text` into `rect` in `font` and `color`, clipped to
// `rect` unless DT_NOCLIP, with no background. With DT_CALCRECT nothing is drawn
// (`painter` may then be null) and `rect` becomes the bounding box of the text:
// left and top kept, right = left + widest line, bottom = top + height.
// Returns the height of the text in pixels (0 for an empty text).
// GUI thread only; `painter` must be active when given.
int DrawText(QPainter* painter, const QFont& font, const QColor& color, std::string_view text, Rect& rect,
             unsigned format);

}  // namespace platform
