#include "framework/qtext.h"

QString ToQString(const AnsiString& text) {
    return QString::fromStdString(Cp932ToUtf8(text));
}

AnsiString FromQString(const QString& text) {
    return Utf8ToCp932(text.toStdString());
}
