// The display boundary: CP932 program text to and from Qt's QString.
#pragma once

#include <QString>

#include "framework/text.h"

// Bytes that are not valid CP932 show as U+FFFD.
QString ToQString(const AnsiString& text);
// Characters with no CP932 form become '?'.
AnsiString FromQString(const QString& text);
