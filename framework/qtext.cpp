#include "framework/qtext.h"

#include "desktop/text_draw.h"

namespace {

constexpr char16_t kFirstPicture = platform::ControlPicture(0x00);
constexpr char16_t kLastC0Picture = platform::ControlPicture(0x1F);
constexpr char16_t kDeletePicture = platform::ControlPicture(0x7F);
constexpr char16_t kDelete = 0x7F;

}  // namespace

QString ToQString(const AnsiString& text) {
    return QString::fromStdString(Cp932ToUtf8(text));
}

AnsiString FromQString(const QString& text) {
    return Utf8ToCp932(text.toStdString());
}

QString ToDisplayQString(const AnsiString& text, DisplayLines lines) {
    QString shown = ToQString(text);
    for (QChar& c : shown) {
        const char16_t u = c.unicode();
        if (lines == DisplayLines::Multiple && (u == u'\r' || u == u'\n' || u == u'\t'))
            continue;
        c = QChar(platform::ControlPicture(u));
    }
    return shown;
}

namespace {

// The pictures of control characters turned back into the characters.
QString WithoutPictures(const QString& text) {
    QString typed = text;
    for (QChar& c : typed) {
        const char16_t u = c.unicode();
        if (u >= kFirstPicture && u <= kLastC0Picture)
            c = QChar(static_cast<char16_t>(u - kFirstPicture));
        else if (u == kDeletePicture)
            c = QChar(kDelete);
    }
    return typed;
}

}  // namespace

AnsiString FromDisplayQString(const QString& text) {
    return FromQString(WithoutPictures(text));
}

std::optional<AnsiString> TryFromDisplayQString(const QString& text) {
    return TryUtf8ToCp932(WithoutPictures(text).toStdString());
}
