// Formatted text: line breaking, prefixes, tabs, ellipses, measuring, and
// where the pixels land.
#include "desktop/text_draw.h"

#include <gtest/gtest.h>

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>

#include "core/text.h"

using namespace platform;

namespace {

QFont testFont(int px = 15) {
    QFont f(QStringLiteral("IPAPGothic"));
    f.setPixelSize(px);
    return f;
}

QString u(const char* utf8) {
    return QString::fromUtf8(utf8);
}

std::vector<QString> lineTexts(const TextLayout& layout) {
    std::vector<QString> out;
    for (const TextLine& l : layout.lines) out.push_back(l.text);
    return out;
}

TextLayout layOut(std::string_view text, int width, unsigned format) {
    return LayOutText(testFont(), nullptr, text, Rect{0, 0, width, 100}, format);
}

int advance(const QString& s) {
    return QFontMetrics(testFont()).horizontalAdvance(s);
}

// Bounding box of pixels that differ from `background`; empty (right < left) when none.
QRect inkBox(const QImage& img, QRgb background) {
    int l = img.width(), t = img.height(), r = -1, b = -1;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if (img.pixel(x, y) == background)
                continue;
            l = std::min(l, x);
            r = std::max(r, x);
            t = std::min(t, y);
            b = std::max(b, y);
        }
    }
    return QRect(QPoint(l, t), QPoint(r, b));
}

QImage render(std::string_view text, Rect rect, unsigned format, QSize size = QSize(200, 60)) {
    QImage img(size, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    DrawText(&p, testFont(), QColor(Qt::black), text, rect, format);
    p.end();
    return img;
}

}  // namespace

TEST(TextDrawLines, LineFeedsEndLinesAndATrailingOneOpensNone) {
    EXPECT_EQ(lineTexts(layOut("ab\ncd", 500, DT_NOPREFIX)), (std::vector<QString>{u("ab"), u("cd")}));
    EXPECT_EQ(lineTexts(layOut("ab\r\ncd\ref", 500, DT_NOPREFIX)), (std::vector<QString>{u("ab"), u("cd"), u("ef")}));
    EXPECT_EQ(lineTexts(layOut("ab\n", 500, DT_NOPREFIX)), (std::vector<QString>{u("ab")}));
    EXPECT_EQ(lineTexts(layOut("ab\n\ncd", 500, DT_NOPREFIX)), (std::vector<QString>{u("ab"), u(""), u("cd")}));
    EXPECT_TRUE(layOut("", 500, 0).lines.empty());
}

TEST(TextDrawLines, WordBreakBreaksAtSpacesAndDropsThem) {
    const int fits = advance(u("aaa bbb"));
    EXPECT_EQ(lineTexts(layOut("aaa bbb ccc", fits, DT_WORDBREAK)), (std::vector<QString>{u("aaa bbb"), u("ccc")}));
    // Without the flag a line is never broken.
    EXPECT_EQ(layOut("aaa bbb ccc", fits, 0).lines.size(), 1u);
    // A word wider than the rectangle stays whole on its own line.
    EXPECT_EQ(lineTexts(layOut("a verylongword b", advance(u("a ve")), DT_WORDBREAK)),
              (std::vector<QString>{u("a"), u("verylongword"), u("b")}));
}

TEST(TextDrawLines, WordBreakBreaksBetweenJapaneseCharactersWithoutSplittingThem) {
    // Six double-byte characters, room for three and a bit.
    const AnsiString text = Sjis("メールが届いて");
    const int width = advance(u("メール")) + 3;
    const TextLayout layout = layOut(text, width, DT_WORDBREAK);
    ASSERT_GE(layout.lines.size(), 2u);
    QString joined;
    for (const TextLine& l : layout.lines) {
        EXPECT_LE(l.width, width) << l.text.toStdString();
        joined += l.text;
    }
    EXPECT_EQ(joined, u("メールが届いて"));  // nothing lost, nothing garbled
    EXPECT_EQ(layout.lines[0].text, u("メール"));
}

TEST(TextDrawPrefix, AmpersandMarksTheNextCharacterUnlessTurnedOff) {
    TextLayout l = layOut("&File", 500, 0);
    ASSERT_EQ(l.lines.size(), 1u);
    EXPECT_EQ(l.lines[0].text, u("File"));
    EXPECT_EQ(l.lines[0].underlined, std::vector<int>{0});

    l = layOut("a&&b&", 500, 0);
    EXPECT_EQ(l.lines[0].text, u("a&b"));  // a doubled mark is one "&", a final lone one goes
    EXPECT_TRUE(l.lines[0].underlined.empty());

    l = layOut("&File", 500, DT_NOPREFIX);
    EXPECT_EQ(l.lines[0].text, u("&File"));
    EXPECT_TRUE(l.lines[0].underlined.empty());

    l = layOut(Sjis("設定&あ"), 500, 0);
    EXPECT_EQ(l.lines[0].text, u("設定あ"));
    EXPECT_EQ(l.lines[0].underlined, std::vector<int>{2});
}

TEST(TextDrawPrefix, MarkedCharacterIsUnderlinedOnScreen) {
    const QFontMetrics fm(testFont());
    const int underlineRow = fm.ascent() + fm.underlinePos();
    const QImage marked = render("&x", Rect{0, 0, 200, 60}, 0);
    const QImage plain = render("x", Rect{0, 0, 200, 60}, 0);
    auto rowHasInk = [&](const QImage& img) {
        for (int x = 0; x < advance(u("x")); ++x) {
            if (img.pixel(x, underlineRow) != qRgb(255, 255, 255))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(rowHasInk(marked));
    EXPECT_FALSE(rowHasInk(plain));
}

TEST(TextDrawTabs, ExpandTabsMovesToTheNextStop) {
    const QFontMetrics fm(testFont());
    const int stop = 8 * fm.averageCharWidth();
    EXPECT_EQ(layOut("a\tb", 500, DT_EXPANDTABS).lines[0].width, stop + advance(u("b")));
    const QString longer = u("abcdefghijkl");  // wider than one stop
    ASSERT_GT(advance(longer), stop);
    EXPECT_EQ(layOut("abcdefghijkl\tb", 500, DT_EXPANDTABS).lines[0].width, 2 * stop + advance(u("b")));
}

TEST(TextDrawEllipsis, EndEllipsisKeepsTheStartAndFits) {
    const AnsiString text = "The quick brown fox jumps over the lazy dog";
    const int width = 90;
    const TextLayout l = layOut(text, width, DT_END_ELLIPSIS);
    ASSERT_EQ(l.lines.size(), 1u);
    const QString shown = l.lines[0].text;
    EXPECT_TRUE(shown.endsWith(u("..."))) << shown.toStdString();
    EXPECT_LE(l.lines[0].width, width);
    EXPECT_TRUE(QString::fromLatin1(text.c_str()).startsWith(shown.chopped(3)));
    // One more character would not have fitted.
    const QString oneMore = QString::fromLatin1(text.c_str()).left(shown.size() - 3 + 1) + u("...");
    EXPECT_GT(advance(oneMore), width);
    // A text that fits is left alone.
    EXPECT_EQ(layOut("short", width, DT_END_ELLIPSIS).lines[0].text, u("short"));
}

TEST(TextDrawEllipsis, EndEllipsisNeverSplitsADoubleByteCharacter) {
    const TextLayout l = layOut(Sjis("メールが１２３通届いてます。"), 100, DT_END_ELLIPSIS);
    const QString shown = l.lines[0].text;
    EXPECT_TRUE(shown.endsWith(u("...")));
    EXPECT_FALSE(shown.contains(QChar(0xFFFD)));
    EXPECT_TRUE(u("メールが１２３通届いてます。").startsWith(shown.chopped(3)));
}

TEST(TextDrawEllipsis, PathEllipsisKeepsTheLastComponent) {
    const int width = 160;
    TextLayout l = layOut("/usr/local/share/postwren/mailers/thunderbird", width, DT_PATH_ELLIPSIS);
    QString shown = l.lines[0].text;
    EXPECT_TRUE(shown.endsWith(u(".../thunderbird"))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(u("/usr"))) << shown.toStdString();
    EXPECT_LE(l.lines[0].width, width);

    // Backslash paths too; 0x5C as the trail byte of a double-byte character
    // ("表" is 0x95 0x5C) is not a separator.
    l = layOut(Sjis("C:\\Program Files\\Mail Tools\\表計算"), 150, DT_PATH_ELLIPSIS);
    shown = l.lines[0].text;
    EXPECT_TRUE(shown.endsWith(u("...\\表計算"))) << shown.toStdString();
    EXPECT_TRUE(shown.startsWith(u("C:"))) << shown.toStdString();
}

TEST(TextDrawMeasure, CalcRectBoundsTheTextAndDrawsNothing) {
    const QFontMetrics fm(testFont());
    Rect r{10, 5, 400, 5};
    EXPECT_EQ(DrawText(nullptr, testFont(), QColor(), "ab\ncdef", r, DT_CALCRECT), 2 * fm.height());
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 5);
    EXPECT_EQ(r.right, 10 + advance(u("cdef")));
    EXPECT_EQ(r.bottom, 5 + 2 * fm.height());

    Rect empty{0, 0, 50, 50};
    EXPECT_EQ(DrawText(nullptr, testFont(), QColor(), "", empty, DT_CALCRECT), 0);
    EXPECT_EQ(empty.right, 0);
    EXPECT_EQ(empty.bottom, 0);

    QImage img(100, 40, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    Rect calc{0, 0, 100, 40};
    DrawText(&p, testFont(), Qt::black, "text", calc, DT_CALCRECT);
    p.end();
    EXPECT_TRUE(inkBox(img, qRgb(255, 255, 255)).isEmpty());
}

TEST(TextDrawPixels, AlignmentPlacesTheInk) {
    // "■" is a solid square, so its ink box is its cell less the side bearings.
    const AnsiString square = Sjis("■");
    const int w = advance(u("■"));
    const QRect left = inkBox(render(square, Rect{20, 0, 180, 30}, DT_LEFT), qRgb(255, 255, 255));
    const QRect centre = inkBox(render(square, Rect{20, 0, 180, 30}, DT_CENTER), qRgb(255, 255, 255));
    const QRect right = inkBox(render(square, Rect{20, 0, 180, 30}, DT_RIGHT), qRgb(255, 255, 255));
    EXPECT_EQ(centre.left() - left.left(), (20 + 180 - w) / 2 - 20);
    EXPECT_EQ(right.left() - left.left(), 180 - w - 20);
    EXPECT_EQ(centre.top(), left.top());
}

TEST(TextDrawPixels, ClipsToTheRectangleUnlessNoClip) {
    const AnsiString square = Sjis("■■■");
    const QRect clipped = inkBox(render(square, Rect{0, 0, 20, 8}, 0), qRgb(255, 255, 255));
    EXPECT_LE(clipped.right(), 19);
    EXPECT_LE(clipped.bottom(), 7);
    const QRect free = inkBox(render(square, Rect{0, 0, 20, 8}, DT_NOCLIP), qRgb(255, 255, 255));
    EXPECT_GT(free.right(), 19);
    EXPECT_GT(free.bottom(), 7);
}

TEST(TextDrawPixels, SecondLineStartsOneLineHeightLower) {
    const QFontMetrics fm(testFont());
    const QImage one = render(Sjis("■"), Rect{0, 0, 200, 60}, 0);
    const QImage two = render(Sjis("\n■"), Rect{0, 0, 200, 60}, 0);
    EXPECT_EQ(inkBox(two, qRgb(255, 255, 255)).top() - inkBox(one, qRgb(255, 255, 255)).top(), fm.height());
}

// ---- Text from outside: a server's reply, a stored value ----

TEST(TextDrawOutsideText, ControlCharactersShowAsPicturesWhileLineBreaksAndTabsStay) {
    const std::string text(
        "a\x1b]0;t\x07"
        "b\r\nc\td\x7f\0e\x1b[2J",
        20);
    const TextLayout layout = layOut(text, 500, DT_NOPREFIX | DT_EXPANDTABS);
    EXPECT_EQ(lineTexts(layout), (std::vector<QString>{u("a␛]0;t␇b"), u("c\td␡␀e␛[2J")}));
    // Every C0 control but CR, LF and tab, and DEL, has its own picture.
    for (int c = 0; c < 0x20; ++c) {
        if (c == '\r' || c == '\n' || c == '\t')
            continue;
        const TextLayout one = layOut(std::string(1, static_cast<char>(c)), 500, DT_NOPREFIX);
        ASSERT_EQ(one.lines.size(), 1u) << c;
        EXPECT_EQ(one.lines[0].text, QString(QChar(static_cast<char16_t>(0x2400 + c)))) << c;
    }
    // Bytes that are no CP932 character show as the replacement character.
    EXPECT_EQ(lineTexts(layOut("\x80\xA0\xFF\x81", 500, DT_NOPREFIX)),
              (std::vector<QString>{u("\uFFFD\uFFFD\uFFFD\uFFFD")}));
}

TEST(TextDrawOutsideText, APictureIsDrawnWhereTheControlWouldDrawNothing) {
    const QRect ink = inkBox(render("\x1b", Rect{0, 0, 200, 60}, 0), qRgb(255, 255, 255));
    EXPECT_FALSE(ink.isEmpty());
    EXPECT_EQ(advance(QString(QChar(0x241B))), layOut("\x1b", 500, 0).width);
}

TEST(TextDrawOutsideText, OnlyTheFirstCharactersAreLaidOutAndTheCutIsMarked) {
    const std::string full(kMaxDrawnChars, 'a');
    EXPECT_EQ(layOut(full, 1 << 24, DT_NOPREFIX).lines.at(0).text.size(), static_cast<qsizetype>(kMaxDrawnChars));
    const TextLayout cut = layOut(full + "b", 1 << 24, DT_NOPREFIX);
    EXPECT_EQ(cut.lines.at(0).text, QString(kMaxDrawnChars, u'a') + u("..."));

    // A megabyte of double-byte characters, broken into lines and shortened:
    // still no more than the cap, with the mark at the end.
    const AnsiString kanji = Sjis("日");
    std::string mega;
    while (mega.size() < (1u << 20)) mega += kanji;
    const TextLayout wrapped = layOut(mega, 200, DT_WORDBREAK | DT_END_ELLIPSIS);
    qsizetype laidOut = 0;
    for (const TextLine& line : wrapped.lines) laidOut += line.text.size();
    EXPECT_EQ(laidOut, static_cast<qsizetype>(kMaxDrawnChars + 3));
    EXPECT_TRUE(wrapped.lines.back().text.endsWith(u("...")));
    EXPECT_LE(wrapped.width, 200);

    // On one line, shortened from its end or its middle: only what fits.
    for (const unsigned ellipsis : {DT_END_ELLIPSIS, DT_PATH_ELLIPSIS}) {
        const TextLayout shortened = layOut(mega, 200, ellipsis);
        ASSERT_EQ(shortened.lines.size(), 1u);
        EXPECT_TRUE(shortened.lines[0].text.contains(u("...")));
        EXPECT_LE(shortened.width, 200);
    }

    // A megabyte of line feeds opens no more lines than the cap allows.
    Rect r{0, 0, 200, 60};
    const int height = DrawText(nullptr, testFont(), QColor(), std::string(1u << 20, '\n'), r, DT_CALCRECT);
    EXPECT_LE(height, static_cast<int>(kMaxDrawnChars + 1) * QFontMetrics(testFont()).height());
}
