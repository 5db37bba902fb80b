// The display boundary: CP932 program text to and from Qt's QString.
#pragma once

#include <QString>
#include <optional>

#include "core/text.h"

// Bytes that are not valid CP932 show as U+FFFD.
QString ToQString(const AnsiString& text);
// Characters with no CP932 form become '?'.
AnsiString FromQString(const QString& text);

// Whether a widget lays out lines of its own (a message box) or shows one
// line (an edit, a window title).
enum class DisplayLines { Single, Multiple };

// A text as a person is shown it: like ToQString, but control characters
// (text from a server or a stored value may hold any) become their pictures
// (U+2400 + c, U+2421 for DEL), so none reaches a widget or the window
// manager as a control. DisplayLines::Multiple keeps CR, LF and tab.
QString ToDisplayQString(const AnsiString& text, DisplayLines lines = DisplayLines::Single);
// What a person typed over a text shown with ToDisplayQString, as CP932: the
// pictures of control characters turn back into the characters, so a value
// keeps the bytes the person did not touch.
AnsiString FromDisplayQString(const QString& text);
// The same, or nullopt when some character has no CP932 form.
std::optional<AnsiString> TryFromDisplayQString(const QString& text);
