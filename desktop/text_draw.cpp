#include "desktop/text_draw.h"

#include "core/cp932.h"

#include <iconv.h>

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <algorithm>
#include <cstddef>

namespace platform {
namespace {

// Default tab stops are this many average character widths apart.
constexpr int kTabStopChars = 8;
constexpr char16_t kReplacementChar = 0xFFFD;
const QString kEllipsis = QStringLiteral("...");

// One displayed character: decoded, with what line breaking and the
// underline need to know about it.
struct Cell {
    QChar ch;
    bool doubleByte = false;
    bool underline = false;
};
using Cells = std::vector<Cell>;

// Line breaks and tabs are laid out; any other control is shown as a picture.
char16_t displayed(unsigned char c) {
    if (c == '\r' || c == '\n' || c == '\t')
        return c;
    return ControlPicture(c);
}

// Decodes CP932 one character at a time, so each cell knows whether it was a
// double-byte character. Bytes that do not decode become U+FFFD. Stops after
// kMaxDrawnChars characters and marks the cut with "...".
Cells decode(std::string_view text) {
    Cells cells;
    cells.reserve(std::min<std::size_t>(text.size(), kMaxDrawnChars + static_cast<std::size_t>(kEllipsis.size())));
    iconv_t cd = iconv_open("UTF-8", "CP932");
    for (std::size_t i = 0; i < text.size();) {
        if (cells.size() == kMaxDrawnChars) {
            for (QChar dot : kEllipsis) cells.push_back(Cell{dot, false, false});
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        const std::size_t len = (IsCp932LeadByte(c) && i + 1 < text.size()) ? 2 : 1;
        Cell cell;
        cell.doubleByte = len == 2;
        cell.ch = QChar(kReplacementChar);
        if (c < 0x80) {
            cell.ch = QChar(displayed(c));
        } else if (cd != reinterpret_cast<iconv_t>(-1)) {
            char in[2] = {text[i], len == 2 ? text[i + 1] : '\0'};
            char out[8];
            char* src = in;
            char* dst = out;
            std::size_t srcLeft = len;
            std::size_t dstLeft = sizeof out;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            if (iconv(cd, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1) && srcLeft == 0) {
                const QString s = QString::fromUtf8(out, static_cast<qsizetype>(dst - out));
                if (s.size() == 1)
                    cell.ch = s.at(0);
            }
        }
        cells.push_back(cell);
        i += len;
    }
    if (cd != reinterpret_cast<iconv_t>(-1))
        iconv_close(cd);
    return cells;
}

// "&x" marks x for underlining, "&&" is a literal "&", a final lone "&" is dropped.
Cells removePrefixes(const Cells& in) {
    Cells out;
    out.reserve(in.size());
    bool markNext = false;
    for (std::size_t i = 0; i < in.size(); ++i) {
        Cell c = in[i];
        if (c.ch == u'&') {
            if (i + 1 >= in.size())
                break;
            if (in[i + 1].ch == u'&') {
                ++i;
            } else {
                markNext = true;
                continue;
            }
        }
        c.underline = markNext;
        markNext = false;
        out.push_back(c);
    }
    return out;
}

QString toString(const Cell* begin, const Cell* end) {
    QString s;
    s.reserve(end - begin);
    for (const Cell* c = begin; c != end; ++c) s.append(c->ch);
    return s;
}

class Measurer {
public:
    Measurer(const QFont& font, const QPaintDevice* device, bool expandTabs)
        : fm_(device != nullptr ? QFontMetrics(font, device) : QFontMetrics(font)), expandTabs_(expandTabs) {
        tabWidth_ = std::max(1, kTabStopChars * fm_.averageCharWidth());
    }

    const QFontMetrics& metrics() const { return fm_; }
    bool expandTabs() const { return expandTabs_; }

    // Width of a run of text starting at a line's left edge (tab stops count from there).
    int width(const QString& s) const {
        if (!expandTabs_)
            return fm_.horizontalAdvance(s);
        int x = 0;
        qsizetype segStart = 0;
        for (qsizetype i = 0; i <= s.size(); ++i) {
            if (i < s.size() && s.at(i) != u'\t')
                continue;
            x += fm_.horizontalAdvance(s.mid(segStart, i - segStart));
            if (i < s.size())
                x = (x / tabWidth_ + 1) * tabWidth_;
            segStart = i + 1;
        }
        return x;
    }
    int width(const Cell* begin, const Cell* end) const { return width(toString(begin, end)); }
    int width(const Cells& c) const { return width(c.data(), c.data() + c.size()); }

private:
    QFontMetrics fm_;
    bool expandTabs_;
    int tabWidth_ = 1;
};

bool isBlank(const Cell& c) {
    return !c.doubleByte && (c.ch == u' ' || c.ch == u'\t');
}

// A line may break before cell i when spaces meet there or when either side is
// a double-byte character (Japanese text has no spaces between words).
bool canBreakBefore(const Cells& p, std::size_t i) {
    return isBlank(p[i]) || isBlank(p[i - 1]) || p[i].doubleByte || p[i - 1].doubleByte;
}

// Greedy word wrap of one paragraph: each line takes as much as fits; the
// blanks at a break belong to neither line.
void wrapParagraph(const Cells& p, int maxWidth, const Measurer& m, std::vector<Cells>& lines) {
    if (p.empty()) {
        lines.emplace_back();
        return;
    }
    const std::size_t n = p.size();
    std::size_t start = 0;
    bool first = true;
    while (start < n) {
        if (!first) {
            while (start < n && isBlank(p[start])) ++start;
            if (start >= n)
                break;
        }
        std::size_t best = 0;
        std::size_t bestEnd = 0;
        for (std::size_t end = start + 1; end <= n; ++end) {
            if (end < n && !canBreakBefore(p, end))
                continue;
            std::size_t trimmed = end;
            if (end < n) {
                while (trimmed > start && isBlank(p[trimmed - 1])) --trimmed;
            }
            if (m.width(p.data() + start, p.data() + trimmed) > maxWidth) {
                if (best == 0) {  // the first word alone is too wide: it overflows
                    best = end;
                    bestEnd = trimmed;
                }
                break;
            }
            best = end;
            bestEnd = trimmed;
        }
        lines.emplace_back(p.begin() + static_cast<std::ptrdiff_t>(start),
                           p.begin() + static_cast<std::ptrdiff_t>(bestEnd));
        start = best;
        first = false;
    }
}

Cells ellipsisCells() {
    Cells dots;
    for (QChar c : kEllipsis) dots.push_back(Cell{c, false, false});
    return dots;
}

Cells concat(const Cells& a, const Cells& b, const Cells& c = {}) {
    Cells out(a);
    out.insert(out.end(), b.begin(), b.end());
    out.insert(out.end(), c.begin(), c.end());
    return out;
}

// Keeps as much of the start as fits in front of "...".
Cells endEllipsis(const Cells& line, int maxWidth, const Measurer& m) {
    const Cells dots = ellipsisCells();
    for (std::size_t k = line.size(); k-- > 0;) {
        Cells candidate = concat(Cells(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(k)), dots);
        if (m.width(candidate) <= maxWidth)
            return candidate;
    }
    return dots;
}

// Keeps the last path component (from the last "\" or "/") whole and as much of
// the front as fits; the characters in between give way to "...".
Cells pathEllipsis(const Cells& line, int maxWidth, const Measurer& m) {
    std::size_t split = line.size();
    for (std::size_t i = line.size(); i-- > 0;) {
        if (!line[i].doubleByte && (line[i].ch == u'\\' || line[i].ch == u'/')) {
            split = i;
            break;
        }
    }
    const Cells tail(line.begin() + static_cast<std::ptrdiff_t>(split), line.end());
    const Cells dots = ellipsisCells();
    for (std::size_t k = split; k-- > 0;) {
        Cells candidate = concat(Cells(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(k)), dots, tail);
        if (m.width(candidate) <= maxWidth)
            return candidate;
    }
    return concat(dots, tail);
}

std::vector<Cells> splitParagraphs(const Cells& text) {
    std::vector<Cells> paragraphs(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const QChar c = text[i].ch;
        if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < text.size() && text[i + 1].ch == u'\n')
                ++i;
            paragraphs.emplace_back();
        } else {
            paragraphs.back().push_back(text[i]);
        }
    }
    // A break at the very end does not open another line.
    if (paragraphs.size() > 1 && paragraphs.back().empty())
        paragraphs.pop_back();
    return paragraphs;
}

TextLayout layOut(const Measurer& m, std::string_view text, const Rect& rect, unsigned format) {
    TextLayout layout;
    layout.lineHeight = m.metrics().height();
    if (text.empty())
        return layout;

    Cells cells = decode(text);
    if ((format & DT_NOPREFIX) == 0)
        cells = removePrefixes(cells);

    const int maxWidth = rect.width();
    std::vector<Cells> lines;
    for (const Cells& p : splitParagraphs(cells)) {
        if (format & DT_WORDBREAK) {
            wrapParagraph(p, maxWidth, m, lines);
        } else {
            lines.push_back(p);
        }
    }

    for (Cells& line : lines) {
        int w = m.width(line);
        if (w > maxWidth && (format & (DT_PATH_ELLIPSIS | DT_END_ELLIPSIS))) {
            line = (format & DT_PATH_ELLIPSIS) ? pathEllipsis(line, maxWidth, m) : endEllipsis(line, maxWidth, m);
            w = m.width(line);
        }
        TextLine out;
        out.text = toString(line.data(), line.data() + line.size());
        out.width = w;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i].underline)
                out.underlined.push_back(static_cast<int>(i));
        }
        if (format & DT_RIGHT) {
            out.x = rect.right - w;
        } else if (format & DT_CENTER) {
            out.x = (rect.left + rect.right - w) / 2;
        } else {
            out.x = rect.left;
        }
        layout.width = std::max(layout.width, w);
        layout.lines.push_back(std::move(out));
    }
    layout.height = static_cast<int>(layout.lines.size()) * layout.lineHeight;
    return layout;
}

void drawLine(QPainter& painter, const Measurer& m, const TextLine& line, int baseline) {
    const QString& s = line.text;
    if (!m.expandTabs()) {
        painter.drawText(QPoint(line.x, baseline), s);
        return;
    }
    qsizetype segStart = 0;
    for (qsizetype i = 0; i <= s.size(); ++i) {
        if (i < s.size() && s.at(i) != u'\t')
            continue;
        const QString seg = s.mid(segStart, i - segStart);
        // Each segment starts where the expanded text so far ends.
        const int x = line.x + m.width(s.left(segStart));
        if (!seg.isEmpty())
            painter.drawText(QPoint(x, baseline), seg);
        segStart = i + 1;
    }
}

}  // namespace

TextMetric GetTextMetrics(const QFont& font, const QPaintDevice* device) {
    const QFontMetrics fm = device != nullptr ? QFontMetrics(font, device) : QFontMetrics(font);
    TextMetric tm;
    tm.tmAscent = fm.ascent();
    tm.tmDescent = fm.descent();
    tm.tmHeight = fm.height();
    tm.tmAveCharWidth = fm.averageCharWidth();
    tm.tmOverhang = 0;
    return tm;
}

TextLayout LayOutText(const QFont& font, const QPaintDevice* device, std::string_view text, const Rect& rect,
                      unsigned format) {
    const Measurer m(font, device, (format & DT_EXPANDTABS) != 0);
    return layOut(m, text, rect, format);
}

int DrawText(QPainter* painter, const QFont& font, const QColor& color, std::string_view text, Rect& rect,
             unsigned format) {
    const QPaintDevice* device = painter != nullptr ? painter->device() : nullptr;
    const Measurer m(font, device, (format & DT_EXPANDTABS) != 0);
    const TextLayout layout = layOut(m, text, rect, format);

    if (format & DT_CALCRECT) {
        rect.right = rect.left + layout.width;
        rect.bottom = rect.top + layout.height;
        return layout.height;
    }
    if (painter == nullptr || layout.lines.empty())
        return layout.height;

    painter->save();
    painter->setFont(font);
    painter->setPen(color);
    painter->setBrush(Qt::NoBrush);
    if ((format & DT_NOCLIP) == 0) {
        painter->setClipRect(QRect(rect.left, rect.top, std::max(0, rect.width()), std::max(0, rect.height())),
                             Qt::IntersectClip);
    }
    const QFontMetrics& fm = m.metrics();
    const int underlineThickness = std::max(1, fm.lineWidth());
    for (std::size_t i = 0; i < layout.lines.size(); ++i) {
        const TextLine& line = layout.lines[i];
        const int baseline = rect.top + static_cast<int>(i) * layout.lineHeight + fm.ascent();
        drawLine(*painter, m, line, baseline);
        for (int u : line.underlined) {
            const int x0 = line.x + m.width(line.text.left(u));
            const int x1 = line.x + m.width(line.text.left(u + 1));
            painter->fillRect(QRect(x0, baseline + fm.underlinePos(), x1 - x0, underlineThickness), color);
        }
    }
    painter->restore();
    return layout.height;
}

}  // namespace platform
