// The shadow label rendered off screen: stacking, offsets, character colours,
// gradient backgrounds, layout, ellipsis, and which setters repaint.
#include "widgets/shadolbl.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <map>
#include <memory>

#include "core/exception.h"
#include "desktop/text_draw.h"
#include "framework/qtext.h"

namespace {

constexpr TColor kPanel = RGB(40, 44, 52);  // what the parent shows around a transparent label

QRgb rgbOf(TColor c) {
    const TColor v = ColorToRGB(c);
    return qRgb(v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF);
}

// A label with a known font, no shadow or highlight, and a fixed size.
std::unique_ptr<TShadowLabel> makeLabel(const AnsiString& caption, int width, int height, int fontPx = 32) {
    auto label = std::make_unique<TShadowLabel>(nullptr);
    label->SetAutoSize(false);
    label->Font()->SetHeight(-fontPx);
    label->Font()->SetColor(clBlack);
    label->SetColor(clWhite);
    label->Shadow()->SetShadowVisible(false);
    label->Highlight()->SetShadowVisible(false);
    label->SetBounds(0, 0, width, height);
    label->SetCaption(caption);
    return label;
}

QImage render(TShadowLabel& label) {
    QImage img(label.Width(), label.Height(), QImage::Format_RGB32);
    img.fill(rgbOf(kPanel));
    QPainter p(&img);
    label.PaintTo(&p);
    p.end();
    return img;
}

// The colour most pixels of a box have, among those unlike `background`:
// the fully covered pixels of the glyphs, whatever the antialiasing does at
// their edges. 0 (with a failure) when the box has no ink.
QRgb inkColour(const QImage& img, int x0, int x1, QRgb background) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = std::max(0, x0); x < std::min(img.width(), x1); ++x) {
            const QRgb c = img.pixel(x, y) | 0xFF000000;
            if (c != (background | 0xFF000000))
                ++counts[c];
        }
    }
    QRgb best = 0;
    int n = 0;
    for (auto [c, k] : counts) {
        if (k > n) {
            best = c;
            n = k;
        }
    }
    EXPECT_GT(n, 0) << "no ink between x " << x0 << " and " << x1;
    return best;
}

QRect boxOf(const QImage& img, QRgb colour) {
    int l = img.width(), t = img.height(), r = -1, b = -1;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            if ((img.pixel(x, y) & 0xFFFFFF) != (colour & 0xFFFFFF))
                continue;
            l = std::min(l, x);
            r = std::max(r, x);
            t = std::min(t, y);
            b = std::max(b, y);
        }
    }
    return QRect(QPoint(l, t), QPoint(r, b));
}

// Which pixels carry ink, whatever their colour.
std::vector<bool> inkMask(const QImage& img, QRgb background) {
    std::vector<bool> mask;
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x)
            mask.push_back((img.pixel(x, y) | 0xFF000000) != (background | 0xFF000000));
    }
    return mask;
}

// Left edges of each character's box as the label lays them out from x = 0.
std::vector<int> charEdges(TShadowLabel& label, const std::vector<AnsiString>& chars) {
    const QFontMetrics fm(label.Font()->ToQFont());
    std::vector<int> edges{0};
    for (const AnsiString& c : chars) edges.push_back(edges.back() + fm.horizontalAdvance(ToQString(c)));
    return edges;
}

std::vector<QRgb> charColours(TShadowLabel& label, const std::vector<AnsiString>& chars) {
    const QImage img = render(label);
    const std::vector<int> edges = charEdges(label, chars);
    std::vector<QRgb> out;
    for (std::size_t i = 0; i < chars.size(); ++i)
        out.push_back(inkColour(img, edges[i], edges[i + 1], rgbOf(label.Color())));
    return out;
}

}  // namespace

// ---- TShadow ----

TEST(Shadow, AssignCopiesValuesNotTheHandlerAndNotifiesOnce) {
    TShadow source;
    source.SetShadowVisible(false);
    source.SetShadowColor(clBlue);
    source.SetShadowLeft(5);
    source.SetShadowTop(-2);
    bool sourceFired = false;
    source.OnChange = [&](TObject*) { sourceFired = true; };

    TShadow target;
    int changes = 0;
    target.OnChange = [&](TObject*) { ++changes; };
    target.Assign(&source);
    EXPECT_EQ(changes, 1);
    EXPECT_FALSE(sourceFired);
    EXPECT_FALSE(target.Visible());
    EXPECT_EQ(target.Color(), clBlue);
    EXPECT_EQ(target.OffsetLeft(), 5);
    EXPECT_EQ(target.OffsetTop(), -2);
    target.SetShadowLeft(6);  // still the target's own handler
    EXPECT_EQ(changes, 2);
    EXPECT_FALSE(sourceFired);

    TFont font;
    EXPECT_THROW(target.Assign(&font), EConvertError);
    EXPECT_EQ(target.OffsetLeft(), 6);
}

// ---- construction and repainting ----

class CountingLabel : public TShadowLabel {
public:
    using TShadowLabel::TShadowLabel;
    void Invalidate() override { ++invalidations; }
    int invalidations = 0;
};

TEST(ShadowLabelProperties, WhichSettersRepaint) {
    using T = TTextGradation;
    struct Case {
        const char* what;
        T gradation;  // set before counting
        std::function<void(CountingLabel&)> act;
        int expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"Ellipsis",                      T::tgNone,    [](auto& l) { l.SetEllipsis(TEllipsis::elEnd); }, 1},
        {"Ellipsis same",                 T::tgNone,    [](auto& l) { l.SetEllipsis(TEllipsis::elNone); }, 0},
        {"GradateVert",                   T::tgNone,    [](auto& l) { l.SetGradateVert(true); }, 1},
        {"GradateVert same",              T::tgNone,    [](auto& l) { l.SetGradateVert(false); }, 0},
        {"Gradation",                     T::tgNone,    [](auto& l) { l.SetGradation(true); }, 1},
        {"GradationColor",                T::tgNone,    [](auto& l) { l.SetGradationColor(clRed); }, 1},
        {"GradationColor same",           T::tgNone,    [](auto& l) { l.SetGradationColor(clBlue); }, 0},
        {"TextGradation",                 T::tgNone,    [](auto& l) { l.SetTextGradation(T::tg2Colors); }, 1},
        {"TextGradation same",            T::tg2Colors, [](auto& l) { l.SetTextGradation(T::tg2Colors); }, 0},
        {"Flickerless never",             T::tgNone,    [](auto& l) { l.SetFlickerless(false); }, 0},
        {"TextGradationColor, tgNone",    T::tgNone,    [](auto& l) { l.SetTextGradationColor(clRed); }, 0},
        {"TextGradationColor, tg2Colors", T::tg2Colors, [](auto& l) { l.SetTextGradationColor(clRed); }, 1},
        {"TextGradationColor same",       T::tg3Colors, [](auto& l) { l.SetTextGradationColor(clMaroon); }, 0},
        {"TextMidColor, tg2Colors",       T::tg2Colors, [](auto& l) { l.SetTextMidColor(clRed); }, 0},
        {"TextMidColor, tg3Colors",       T::tg3Colors, [](auto& l) { l.SetTextMidColor(clRed); }, 1},
        {"TextMidColor same",             T::tg3Colors, [](auto& l) { l.SetTextMidColor(clNavy); }, 0},
        {"Shadow sub-property",           T::tgNone,    [](auto& l) { l.Shadow()->SetShadowLeft(4); }, 1},
        {"Highlight sub-property",        T::tgNone,    [](auto& l) { l.Highlight()->SetShadowColor(clRed); }, 1},
        {"Shadow sub-property same",      T::tgNone,    [](auto& l) { l.Shadow()->SetShadowTop(1); }, 0},
        {"Shadow none",                   T::tgNone,    [](auto& l) { l.SetShadow(nullptr); }, 0},
        {"Highlight none",                T::tgNone,    [](auto& l) { l.SetHighlight(nullptr); }, 0},
        {"Caption",                       T::tgNone,    [](auto& l) { l.SetCaption("x"); }, 1},
        {"Caption same",                  T::tgNone,    [](auto& l) { l.SetCaption(""); }, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        CountingLabel l(nullptr);
        l.SetTextGradation(c.gradation);
        l.invalidations = 0;
        c.act(l);
        EXPECT_EQ(l.invalidations, c.expected) << c.what;
    }
}

TEST(ShadowLabelProperties, SettingShadowCopiesAndAlwaysRepaints) {
    CountingLabel l(nullptr);
    TShadow given;  // equal to the label's own shadow: still a repaint
    l.SetShadow(&given);
    EXPECT_GE(l.invalidations, 1);

    given.SetShadowColor(clBlack);
    given.SetShadowLeft(2);
    l.invalidations = 0;
    l.SetShadow(&given);
    EXPECT_GE(l.invalidations, 1);
    EXPECT_NE(l.Shadow(), &given);  // copied, not taken over
    EXPECT_EQ(l.Shadow()->Color(), clBlack);
    EXPECT_EQ(l.Shadow()->OffsetLeft(), 2);
    given.SetShadowLeft(7);
    EXPECT_EQ(l.Shadow()->OffsetLeft(), 2);

    l.invalidations = 0;
    l.SetHighlight(&given);
    EXPECT_GE(l.invalidations, 1);
    EXPECT_EQ(l.Highlight()->OffsetLeft(), 7);
}

// ---- painting ----

TEST(ShadowLabelPaint, StacksBackgroundShadowHighlightTextAtTheirOffsets) {
    const AnsiString square = Sjis("■");
    for (bool flickerless : {true, false}) {
        SCOPED_TRACE(flickerless ? "off-screen" : "direct");
        auto label = makeLabel(square, 60, 50);
        label->SetFlickerless(flickerless);
        label->Font()->SetColor(clRed);
        const QRect text = boxOf(render(*label), qRgb(255, 0, 0));
        ASSERT_GT(text.width(), 10);

        label->Shadow()->SetShadowVisible(true);
        label->Shadow()->SetShadowColor(clBlue);
        label->Shadow()->SetShadowLeft(3);
        label->Shadow()->SetShadowTop(4);
        label->Highlight()->SetShadowVisible(true);
        label->Highlight()->SetShadowColor(clLime);
        label->Highlight()->SetShadowLeft(5);
        label->Highlight()->SetShadowTop(6);
        const QImage img = render(*label);

        EXPECT_EQ(boxOf(img, qRgb(255, 0, 0)), text);  // the text is whole: on top
        // Each copy sits at its offset; where they meet outside the text the
        // highlight covers the shadow.
        EXPECT_EQ(boxOf(img, qRgb(0, 255, 0)), text.translated(5, 6));
        EXPECT_EQ(boxOf(img, qRgb(0, 0, 255)).topLeft(), text.topLeft() + QPoint(3, 4));
        EXPECT_EQ(img.pixel(text.left() + 3, text.bottom() + 2) & 0xFFFFFF, 0x0000FFu);  // below the text's edge
        EXPECT_EQ(img.pixel(text.bottomRight() + QPoint(3, 4)) & 0xFFFFFF, 0x00FF00u);
        // The opaque background everywhere else.
        EXPECT_EQ(img.pixel(label->Width() - 1, 0) & 0xFFFFFF, 0xFFFFFFu);
    }
}

TEST(ShadowLabelPaint, TransparentLabelPaintsNoBackground) {
    auto label = makeLabel(Sjis("■"), 60, 50);
    label->SetTransparent(true);
    label->SetGradation(true);  // no background for a transparent label, gradient or not
    label->Shadow()->SetShadowVisible(true);
    label->Shadow()->SetShadowColor(clBlack);
    label->Shadow()->SetShadowLeft(3);
    label->Shadow()->SetShadowTop(3);
    label->Font()->SetColor(RGB(0xD8, 0xD8, 0xD8));
    const QImage img = render(*label);
    EXPECT_EQ(img.pixel(label->Width() - 1, label->Height() - 1), rgbOf(kPanel));
    EXPECT_EQ(img.pixel(0, 0), rgbOf(kPanel));
    const QRect text = boxOf(img, qRgb(0xD8, 0xD8, 0xD8));
    ASSERT_GT(text.width(), 10);
    EXPECT_EQ(img.pixel(text.bottomRight() + QPoint(2, 2)) & 0xFFFFFF, 0u);
}

TEST(ShadowLabelPaint, TwoColourGradationTruncatesItsSteps) {
    auto label = makeLabel("HHHH", 200, 50);
    label->SetTextGradation(TTextGradation::tg2Colors);
    label->Font()->SetColor(RGB(0, 10, 255));
    label->SetTextGradationColor(RGB(255, 10, 0));
    // 0 to 255 over four characters: 0, 84, 169, 255 (85 and 170 would be rounding).
    EXPECT_EQ(charColours(*label, {"H", "H", "H", "H"}),
              (std::vector<QRgb>{qRgb(0, 10, 255), qRgb(84, 10, 170), qRgb(169, 10, 85), qRgb(255, 10, 0)}));
}

TEST(ShadowLabelPaint, ThreeColourGradationOnSingleByteText) {
    const TColor F = RGB(200, 0, 0), Mi = RGB(0, 200, 0), G = RGB(0, 0, 200);
    struct Case {
        AnsiString caption;
        std::vector<QRgb> colours;
    };
    const std::vector<Case> cases = {
        {"HH", {rgbOf(F), rgbOf(G)}},
        {"HHH", {rgbOf(F), rgbOf(Mi), rgbOf(G)}},
        {"HHHH", {rgbOf(F), rgbOf(Mi), rgbOf(Mi), rgbOf(G)}},
        {"HHHHH", {rgbOf(F), rgbOf(Mi), rgbOf(Mi), qRgb(0, 100, 100), rgbOf(G)}},
    };
    for (const Case& c : cases) {
        auto label = makeLabel(c.caption, 250, 50);
        label->SetTextGradation(TTextGradation::tg3Colors);
        label->Font()->SetColor(F);
        label->SetTextMidColor(Mi);
        label->SetTextGradationColor(G);
        EXPECT_EQ(charColours(*label, std::vector<AnsiString>(c.caption.size(), "H")), c.colours) << c.caption;
    }
}

TEST(ShadowLabelPaint, GradationCountsDoubleByteCharactersAsOne) {
    const TColor F = RGB(200, 0, 0), Mi = RGB(0, 200, 0), G = RGB(0, 0, 200);
    auto setUp = [&](const AnsiString& caption) {
        auto label = makeLabel(caption, 250, 50);
        label->SetTextGradation(TTextGradation::tg3Colors);
        label->Font()->SetColor(F);
        label->SetTextMidColor(Mi);
        label->SetTextGradationColor(G);
        return label;
    };
    // One single-byte and one double-byte character: two characters, two colours.
    auto two = setUp("H" + Sjis("■"));
    EXPECT_EQ(charColours(*two, {"H", Sjis("■")}), (std::vector<QRgb>{rgbOf(F), rgbOf(G)}));

    // "■■H■" is 7 bytes; the halves meet after the second square, not inside it.
    auto mixed = setUp(Sjis("■■H■"));
    EXPECT_EQ(charColours(*mixed, {Sjis("■"), Sjis("■"), "H", Sjis("■")}),
              (std::vector<QRgb>{rgbOf(F), rgbOf(Mi), rgbOf(Mi), rgbOf(G)}));

    // "●" is 0x81 0x9C: its trail byte looks like a lead byte. Cutting "●■H"
    // (5 bytes) at byte 2 must not move the cut into "■".
    auto trail = setUp(Sjis("●■H"));
    EXPECT_EQ(charColours(*trail, {Sjis("●"), Sjis("■"), "H"}), (std::vector<QRgb>{rgbOf(F), rgbOf(Mi), rgbOf(G)}));
    // And the glyphs are the ones a plain label draws: no character was cut.
    auto plain = setUp(Sjis("●■H"));
    plain->SetTextGradation(TTextGradation::tgNone);
    const std::vector<bool> gradatedInk = inkMask(render(*trail), qRgb(255, 255, 255));
    const std::vector<bool> plainInk = inkMask(render(*plain), qRgb(255, 255, 255));
    ASSERT_EQ(gradatedInk.size(), plainInk.size());
    int differing = 0;
    for (std::size_t i = 0; i < plainInk.size(); ++i) differing += gradatedInk[i] != plainInk[i];
    EXPECT_EQ(differing, 0);
}

TEST(ShadowLabelPaint, OneCharacterIsNeverGradated) {
    auto label = makeLabel("H", 60, 50);
    label->SetTextGradation(TTextGradation::tg3Colors);
    label->Font()->SetColor(RGB(10, 20, 30));
    label->SetTextGradationColor(clRed);
    EXPECT_EQ(charColours(*label, {"H"}), (std::vector<QRgb>{qRgb(10, 20, 30)}));
}

TEST(ShadowLabelPaint, DisabledColoursButGradatedTextKeepsItsGradient) {
    auto label = makeLabel(Sjis("■"), 60, 50);
    label->SetColor(clBlack);
    label->Font()->SetColor(clRed);
    label->Shadow()->SetShadowVisible(true);
    label->Shadow()->SetShadowColor(clBlue);
    label->Shadow()->SetShadowLeft(4);
    label->Shadow()->SetShadowTop(4);
    label->Highlight()->SetShadowVisible(true);
    label->Highlight()->SetShadowColor(clLime);
    label->Highlight()->SetShadowLeft(-4);
    label->Highlight()->SetShadowTop(-4);
    const QRect text = boxOf(render(*label), qRgb(255, 0, 0));
    label->SetEnabled(false);
    const QImage img = render(*label);
    EXPECT_EQ(img.pixel(text.center()), rgbOf(clBtnShadow));
    EXPECT_EQ(img.pixel(text.bottomRight() + QPoint(2, 2)), rgbOf(clGray));
    EXPECT_EQ(img.pixel(text.topLeft() - QPoint(2, 2)), rgbOf(clBtnHighlight));

    auto gradated = makeLabel("HH", 100, 50);
    gradated->SetTextGradation(TTextGradation::tg2Colors);
    gradated->Font()->SetColor(clRed);
    gradated->SetTextGradationColor(clBlue);
    gradated->SetEnabled(false);
    EXPECT_EQ(charColours(*gradated, {"H", "H"}), (std::vector<QRgb>{qRgb(255, 0, 0), qRgb(0, 0, 255)}));
}

TEST(ShadowLabelPaint, GradatedTextStartsAtTheLeftWhileItsShadowFollowsAlignment) {
    auto label = makeLabel("HH", 200, 50);
    label->SetAlignment(TAlignment::taRightJustify);
    label->SetTextGradation(TTextGradation::tg2Colors);
    label->Font()->SetColor(clRed);
    label->SetTextGradationColor(clRed);
    label->Shadow()->SetShadowVisible(true);
    label->Shadow()->SetShadowColor(clBlue);
    const QImage img = render(*label);
    const int w = QFontMetrics(label->Font()->ToQFont()).horizontalAdvance(QStringLiteral("HH"));
    EXPECT_LT(boxOf(img, qRgb(255, 0, 0)).right(), w);
    EXPECT_GT(boxOf(img, qRgb(0, 0, 255)).left(), 200 - w);
}

TEST(ShadowLabelPaint, CentredLayoutOfATallTextMovesItUp) {
    // Three lines with the square in the middle one, so nothing is cut off.
    auto label = makeLabel(Sjis(" \n■\n "), 60, 10, 15);
    label->Font()->SetColor(clRed);
    const int h = 3 * QFontMetrics(label->Font()->ToQFont()).height();
    label->SetHeight(h - 3);
    const QRect top = boxOf(render(*label), qRgb(255, 0, 0));
    ASSERT_GT(top.height(), 5);
    label->SetLayout(TTextLayout::tlCenter);
    EXPECT_EQ(boxOf(render(*label), qRgb(255, 0, 0)), top.translated(0, -1));  // (-3) / 2 is -1
    label->SetLayout(TTextLayout::tlBottom);
    EXPECT_EQ(boxOf(render(*label), qRgb(255, 0, 0)), top.translated(0, -3));
    label->SetHeight(h + 20);
    label->SetLayout(TTextLayout::tlCenter);
    EXPECT_EQ(boxOf(render(*label), qRgb(255, 0, 0)), top.translated(0, 10));
}

TEST(ShadowLabelPaint, EmptyCaptionIsOneSpaceAndALoneAmpersandIsAnUnderlinedSpace) {
    auto sized = std::make_unique<TShadowLabel>(nullptr);
    sized->Font()->SetHeight(-15);
    sized->SetCaption("x");
    sized->SetCaption("");
    const QFontMetrics fm(sized->Font()->ToQFont());
    EXPECT_EQ(sized->Height(), fm.height());
    EXPECT_EQ(sized->Width(), fm.horizontalAdvance(QStringLiteral(" ")));

    // "&" alone would show nothing; as "& " it underlines the space.
    auto amp = makeLabel("&", 60, 40, 15);
    const QRect underline = boxOf(render(*amp), qRgb(0, 0, 0));
    EXPECT_EQ(underline.left(), 0);
    EXPECT_EQ(underline.width(), fm.horizontalAdvance(QStringLiteral(" ")));
    EXPECT_LE(underline.height(), 2);
    amp->SetShowAccelChar(false);
    const QImage shown = render(*amp);
    int inkRows = 0;  // the ampersand itself now, antialiased: count rows with any ink
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (shown.pixel(x, y) != qRgb(255, 255, 255)) {
                ++inkRows;
                break;
            }
        }
    }
    EXPECT_GT(inkRows, 5);
}

TEST(ShadowLabelPaint, EllipsisShortensALongCaptionOrPath) {
    struct Case {
        TEllipsis style;
        unsigned flag;
        AnsiString caption;
    };
    const std::vector<Case> cases = {
        {TEllipsis::elEnd, platform::DT_END_ELLIPSIS, Sjis("メールが 1234通届いてます。")},
        {TEllipsis::elPath, platform::DT_PATH_ELLIPSIS, "/usr/lib/thunderbird/thunderbird-bin"},
    };
    for (const Case& c : cases) {
        auto label = makeLabel(c.caption, 120, 24, 15);
        label->SetEllipsis(c.style);
        const QImage shortened = render(*label);
        const platform::TextLayout expected =
            platform::LayOutText(label->Font()->ToQFont(), nullptr, c.caption, platform::Rect{0, 0, 120, 24},
                                 c.flag | platform::DT_NOPREFIX);
        ASSERT_EQ(expected.lines.size(), 1u);
        ASSERT_TRUE(expected.lines[0].text.contains(QStringLiteral("...")));
        auto plain = makeLabel(FromQString(expected.lines[0].text), 120, 24, 15);
        EXPECT_EQ(shortened, render(*plain)) << c.caption;
        auto uncut = makeLabel(c.caption, 120, 24, 15);
        EXPECT_NE(shortened, render(*uncut));
    }
}

TEST(ShadowLabelPaint, AMegabyteCaptionCostsNoMoreThanItsFirstCharactersAndAMark) {
    const AnsiString kanji = Sjis("日");
    AnsiString mega;
    while (mega.size() < (1u << 20)) mega += kanji;
    AnsiString first;  // what the drawing lays out, and one character more
    for (std::size_t i = 0; i <= platform::kMaxDrawnChars; ++i) first += kanji;
    const AnsiString marked = first.substr(0, first.size() - kanji.size()) + "...";

    // Sized to its text, the megabyte measures as the marked cut does.
    auto sizeOf = [](const AnsiString& caption) {
        auto label = makeLabel(caption, 10, 10, 15);
        label->SetAutoSize(true);
        return QSize(label->Width(), label->Height());
    };
    EXPECT_EQ(sizeOf(mega), sizeOf(marked));

    // Drawn with its shadow on a label wide enough for the mark, it shows
    // exactly the marked cut.
    const int wide = sizeOf(marked).width() + 20;
    auto big = makeLabel(mega, wide, 40, 15);
    auto cut = makeLabel(marked, wide, 40, 15);
    auto longer = makeLabel(first, wide, 40, 15);
    for (auto* label : {big.get(), cut.get(), longer.get()}) {
        label->Shadow()->SetShadowVisible(true);
        label->Shadow()->SetShadowColor(clRed);
    }
    EXPECT_EQ(render(*big), render(*cut));

    // Gradated text is drawn a character at a time: only as far as the cut too.
    for (auto* label : {big.get(), longer.get()}) label->SetTextGradation(TTextGradation::tg3Colors);
    EXPECT_EQ(render(*big), render(*longer));
}

// ---- gradients ----

namespace {
QRgb bitmapPixel(TBitmap& b, int x, int y) {
    const std::uint8_t* p = b.ScanLine(y) + 3 * x;
    return qRgb(p[2], p[1], p[0]);
}
}  // namespace

TEST(GradBitmap, VerticalRunsTopToBottomWithTruncatedSteps) {
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(5, 4);
    GradBitmap(&b, RGB(0, 255, 7), RGB(255, 0, 7), true);
    // Rising: 0, 84, 169, 255; falling: 255, 170, 85, 0 (t is a little under 1/3 and 2/3).
    const std::vector<int> reds = {0, 84, 169, 255};
    const std::vector<int> greens = {255, 170, 85, 0};
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 5; ++x) EXPECT_EQ(bitmapPixel(b, x, y), qRgb(reds[y], greens[y], 7)) << x << "," << y;
    }
}

TEST(GradBitmap, HorizontalRunsLeftToRight) {
    TBitmap b;
    b.SetPixelFormat(TPixelFormat::pf24bit);
    b.SetSize(4, 3);
    GradBitmap(&b, clBlack, RGB(0, 0, 255), false);
    for (int y = 0; y < 3; ++y) {
        EXPECT_EQ(bitmapPixel(b, 0, y), qRgb(0, 0, 0));
        EXPECT_EQ(bitmapPixel(b, 1, y), qRgb(0, 0, 84));
        EXPECT_EQ(bitmapPixel(b, 2, y), qRgb(0, 0, 169));
        EXPECT_EQ(bitmapPixel(b, 3, y), qRgb(0, 0, 255));
    }
}

TEST(GradBitmap, OneStepRunTakesTheStartColourAndEmptyBitmapsAreLeftAlone) {
    TBitmap row;
    row.SetSize(6, 1);
    GradBitmap(&row, RGB(1, 2, 3), RGB(200, 200, 200), true);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(bitmapPixel(row, x, 0), qRgb(1, 2, 3));

    TBitmap column;
    column.SetSize(1, 6);
    GradBitmap(&column, RGB(1, 2, 3), RGB(200, 200, 200), false);
    for (int y = 0; y < 6; ++y) EXPECT_EQ(bitmapPixel(column, 0, y), qRgb(1, 2, 3));

    TBitmap empty;
    GradBitmap(&empty, clRed, clBlue, true);
    GradBitmap(&empty, clRed, clBlue, false);
    EXPECT_EQ(empty.Width(), 0);
}

TEST(GradRect, StripSizes) {
    struct Case {
        TRect rect;
        bool vertical;
        int width, height;
    };
    const std::vector<Case> cases = {
        {Rect(0, 0, 100, 45), false, 100, 3}, {Rect(0, 0, 100, 19), false, 100, 1},
        {Rect(0, 0, 100, 20), false, 100, 2}, {Rect(5, 5, 105, 50), true, 1, 45},
        {Rect(0, 0, 1, 1), true, 1, 1},
    };
    for (const Case& c : cases) {
        int w = 0, h = 0;
        GradStripSize(c.rect, c.vertical, w, h);
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
    }
}

TEST(GradRect, FillsTheRectangleEndToEndAndLeavesSrcCopy) {
    for (bool vertical : {true, false}) {
        QImage img(60, 45, QImage::Format_BGR888);
        img.fill(Qt::white);
        TCanvas canvas;
        canvas.AttachImage(&img);
        canvas.CopyMode = 0;
        GradRect(&canvas, Rect(10, 0, 50, 45), RGB(0, 0, 0), RGB(0, 255, 0), vertical);
        EXPECT_EQ(canvas.CopyMode, SRCCOPY);
        canvas.Release();
        EXPECT_EQ(img.pixel(9, 10), qRgb(255, 255, 255));  // outside stays
        EXPECT_EQ(img.pixel(50, 10), qRgb(255, 255, 255));
        if (vertical) {
            for (int x = 10; x < 50; ++x) {
                EXPECT_EQ(img.pixel(x, 0), qRgb(0, 0, 0));
                EXPECT_EQ(img.pixel(x, 44), qRgb(0, 255, 0));
            }
        } else {
            for (int y = 0; y < 45; ++y) {
                EXPECT_EQ(img.pixel(10, y), qRgb(0, 0, 0));
                EXPECT_EQ(img.pixel(49, y), qRgb(0, 255, 0));
            }
        }
        canvas.Detach();
    }
    // A rectangle one pixel high, vertical: one step, the start colour, no failure.
    QImage img(10, 10, QImage::Format_BGR888);
    img.fill(Qt::white);
    TCanvas canvas;
    canvas.AttachImage(&img);
    GradRect(&canvas, Rect(0, 3, 10, 4), RGB(9, 8, 7), clWhite, true);
    canvas.Release();
    EXPECT_EQ(img.pixel(5, 3), qRgb(9, 8, 7));
    canvas.Detach();
}

TEST(ShadowLabelPaint, GradientBackgroundEndsExactlyAtItsColours) {
    for (bool flickerless : {true, false}) {
        for (bool vertical : {true, false}) {
            SCOPED_TRACE(std::string(flickerless ? "off-screen " : "direct ") + (vertical ? "vertical" : "horizontal"));
            auto label = makeLabel(" ", 70, 45, 15);
            label->SetFlickerless(flickerless);
            label->SetGradation(true);
            label->SetGradateVert(vertical);
            label->SetGradationColor(RGB(10, 20, 30));
            label->SetColor(RGB(250, 200, 100));
            const QImage img = render(*label);
            if (vertical) {
                for (int x = 0; x < 70; ++x) {
                    EXPECT_EQ(img.pixel(x, 0) & 0xFFFFFF, qRgb(10, 20, 30) & 0xFFFFFF);
                    EXPECT_EQ(img.pixel(x, 44) & 0xFFFFFF, qRgb(250, 200, 100) & 0xFFFFFF);
                    EXPECT_EQ(img.pixel(x, 22), img.pixel(0, 22));
                }
            } else {
                for (int y = 0; y < 45; ++y) {
                    EXPECT_EQ(img.pixel(0, y) & 0xFFFFFF, qRgb(10, 20, 30) & 0xFFFFFF);
                    EXPECT_EQ(img.pixel(69, y) & 0xFFFFFF, qRgb(250, 200, 100) & 0xFFFFFF);
                    EXPECT_EQ(img.pixel(35, y), img.pixel(35, 0));
                }
            }
        }
    }
}
