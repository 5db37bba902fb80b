// Draws the popup's greeting as the main window shows it: the shadow label,
// transparent, over the skin, and writes it as a PNG (plus a 4× enlargement
// for looking at). Fails when the Japanese UI font has no glyphs for the text.
//
//   label_picture [OUTPUT.png]      (default: artifacts/label.png)
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <cstdio>
#include <cstdlib>

#include "core/streams.h"
#include "framework/graphics.h"
#include "framework/qtext.h"
#include "resources/resources.h"
#include "widgets/shadolbl.h"

namespace {

constexpr int kSkinWidth = 205;
constexpr int kSkinHeight = 66;
constexpr int kLabelLeft = 16;
constexpr int kLabelTop = 22;
constexpr int kEnlarge = 4;

QImage skin() {
    QImage canvas(kSkinWidth, kSkinHeight, QImage::Format_RGB32);
    canvas.fill(QColor(0x3A, 0x3D, 0x44));  // a dark panel when there is no skin
    if (const auto bytes = resources::Load("skin.bmp")) {
        TMemoryStream s;
        s.WriteBuffer(bytes->data(), static_cast<std::int64_t>(bytes->size()));
        s.SetPosition(0);
        TBitmap bmp;
        bmp.LoadFromStream(s);
        QPainter p(&canvas);
        p.drawImage(0, 0, bmp.Image());
    } else {
        std::fprintf(stderr, "label_picture: no skin.bmp built in; drawing on a plain panel\n");
    }
    return canvas;
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("artifacts/label.png");

    TShadowLabel label(nullptr);
    label.SetLeft(kLabelLeft);
    label.SetTop(kLabelTop);
    label.SetParentFont(false);
    label.Font()->SetName(DefaultFontName());
    label.Font()->SetCharset(SHIFTJIS_CHARSET);
    label.Font()->SetHeight(-15);
    label.Font()->SetColor(0xD8D8D8);
    label.SetTransparent(true);
    label.Highlight()->SetShadowVisible(false);
    label.Shadow()->SetShadowColor(clBlack);
    const AnsiString caption = "taro" + Sjis("さん\n") + Sjis("メールが ") + "12" + Sjis("通") + Sjis("届いてます。");
    label.SetCaption(caption);

    // Real glyphs, not boxes: the face behind the designed name must cover the text.
    const QFont font = label.Font()->ToQFont();
    const QFontMetrics fm(font);
    const QString text = ToQString(caption);
    for (const QChar c : text) {
        if (c == u'\n' || c == u' ')
            continue;
        if (!fm.inFont(c)) {
            std::fprintf(stderr, "label_picture: font \"%s\" has no glyph for U+%04X\n",
                         QFontInfo(font).family().toUtf8().constData(), c.unicode());
            return 1;
        }
    }

    QImage picture = skin();
    {
        QPainter p(&picture);
        label.PaintTo(&p);
    }
    QDir().mkpath(QFileInfo(out).absolutePath());
    const QString big = QFileInfo(out).absolutePath() + "/" + QFileInfo(out).completeBaseName() + "-x4.png";
    if (!picture.save(out, "PNG") ||
        !picture.scaled(picture.size() * kEnlarge, Qt::IgnoreAspectRatio, Qt::FastTransformation).save(big, "PNG")) {
        std::fprintf(stderr, "label_picture: cannot write %s\n", out.toUtf8().constData());
        return 1;
    }
    std::printf("label_picture: %s (%dx%d, label %dx%d at %d,%d, font %s), %s\n", out.toUtf8().constData(),
                picture.width(), picture.height(), label.Width(), label.Height(), label.Left(), label.Top(),
                QFontInfo(font).family().toUtf8().constData(), big.toUtf8().constData());
    return 0;
}
