// 8-bit text helpers. Inside the program every text is a byte string in code
// page 932 (Shift-JIS with the NEC and IBM extensions).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/cp932.h"

using AnsiString = std::string;

// True for a CP932 lead byte (0x81-0x9F, 0xE0-0xFC).
constexpr bool IsLeadByte(unsigned char c) {
    return platform::IsCp932LeadByte(c);
}

// Converts UTF-8 to CP932. nullopt when some character has no CP932 form or
// the input is not valid UTF-8.
std::optional<AnsiString> TryUtf8ToCp932(std::string_view utf8);
// Converts CP932 to UTF-8. nullopt when the bytes are not valid CP932.
std::optional<std::string> TryCp932ToUtf8(std::string_view cp932);

// Lenient forms: characters that do not convert become '?' (to CP932) or
// U+FFFD (to UTF-8); nothing is dropped silently beyond that.
AnsiString Utf8ToCp932(std::string_view utf8);
std::string Cp932ToUtf8(std::string_view cp932);

// A UI literal written in UTF-8 in the source, as CP932 text.
inline AnsiString Sjis(std::string_view utf8) {
    return Utf8ToCp932(utf8);
}

// Text to a 32-bit integer: decimal with an optional sign, or hexadecimal
// after "$", "x", "X", "0x" or "0X" (a sign may come first). Empty text, any
// other character, or a value outside 32 bits gives Default.
std::int32_t StrToIntDef(std::string_view s, std::int32_t Default);
AnsiString IntToStr(std::int64_t value);

// Cuts s to at most maxBytes bytes without splitting a double-byte character.
AnsiString TruncateCp932(std::string_view s, std::size_t maxBytes);

// Text that came from outside (a server's reply, a stored value) made safe for
// a terminal, a log line or a notification: control bytes (0x00-0x1F, 0x7F)
// and bytes that are no CP932 character become "\xNN"; CP932 characters,
// the backslash included, stay as they are. One trailing line end (CR LF or
// LF) is dropped first, since callers end their own lines.
AnsiString EscapeControls(std::string_view cp932);

// The value of a hex digit (either case), or -1 for any other character.
int HexDigitValue(char c);
