// Text as a person is shown it: control characters as pictures, and back.
#include "framework/qtext.h"

#include <gtest/gtest.h>

#include <string>

namespace {

QString u(const char* utf8) {
    return QString::fromUtf8(utf8);
}

std::string allAscii() {
    std::string s;
    for (int c = 0; c < 0x80; ++c) s += static_cast<char>(c);
    return s;
}

TEST(DisplayText, OnOneLineEveryControlCharacterIsItsPictureAndNothingElseChanges) {
    const QString shown = ToDisplayQString(allAscii());
    ASSERT_EQ(shown.size(), 0x80);
    for (int c = 0; c < 0x80; ++c) {
        const auto expected = static_cast<char16_t>(c < 0x20 ? 0x2400 + c : c == 0x7F ? 0x2421 : c);
        EXPECT_EQ(shown.at(c).unicode(), expected) << c;
    }
    // What a terminal would act on arrives as plain characters.
    EXPECT_EQ(ToDisplayQString("-ERR \x1b]0;pwned\x07\x1b[2J"), u("-ERR ␛]0;pwned␇␛[2J"));
    EXPECT_EQ(ToDisplayQString(Sjis("太郎\r\nDELE 1")), u("太郎␍␊DELE 1"));
    // Bytes that are no CP932 character are the replacement character, as before.
    EXPECT_EQ(ToDisplayQString("\x80\xA0\xFF"), ToQString("\x80\xA0\xFF"));
}

TEST(DisplayText, ManyLinesKeepLineBreaksAndTabs) {
    EXPECT_EQ(ToDisplayQString("a\r\nb\tc\nd\x1b", DisplayLines::Multiple), u("a\r\nb\tc\nd␛"));
    EXPECT_EQ(ToDisplayQString(Sjis("メールが\n届いてます。"), DisplayLines::Multiple), u("メールが\n届いてます。"));
}

TEST(DisplayText, WhatIsShownTurnsBackIntoTheSameBytes) {
    const std::string mixed = allAscii() + Sjis("日本語の利用者①") + std::string("\0\x1b", 2);
    EXPECT_EQ(FromDisplayQString(ToDisplayQString(mixed)), mixed);
    EXPECT_EQ(FromDisplayQString(ToDisplayQString(mixed, DisplayLines::Multiple)), mixed);
    // A typed character next to the pictures leaves the controls as they were.
    EXPECT_EQ(FromDisplayQString(ToDisplayQString("taro\r\n") + u("x")), "taro\r\nx");
    // Characters with no CP932 form still become '?'.
    EXPECT_EQ(FromDisplayQString(u("a😀")), "a?");
}

}  // namespace
