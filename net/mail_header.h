// Reading a message's header as a person wants to see it: who wrote and
// about what. The header is a server's untrusted text: every result is UTF-8,
// decoded, with control characters escaped and a bounded length.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The fields of one header that a listing shows. UTF-8 text, each at most
// MaxHeaderFieldChars characters, control characters and bytes that are no
// character written as "\xNN"; empty when the header lacks the field.
struct MessageHeaders {
    std::string from;  // the display name, or the address when there is none
    std::string address;
    std::string subject;
    std::string date;  // as the header gives it
};

// The longest field kept, in characters (an escape counts as its four).
constexpr std::size_t MaxHeaderFieldChars = 200;

// The fields of a header given as its lines (line ends may still be on them;
// folded lines are joined here). Lines without a field name are skipped; the
// first of each field counts. Never fails.
MessageHeaders ReadMessageHeaders(const std::vector<std::string>& lines);

// A header value as text: 8-bit bytes read as UTF-8, ISO-2022-JP or CP932
// (whichever they are), runs of folding white space as one space, and RFC
// 2047 encoded words decoded, adjacent ones joined. Words in a charset not
// known here stay as they are. Bytes that no charset explains are kept; the
// result is not escaped (see CleanHeaderField).
std::string DecodeHeaderText(std::string_view raw);

// Text made safe to show: control characters (C0, DEL and C1) and bytes that
// are no UTF-8 as "\xNN", cut to MaxHeaderFieldChars characters without
// splitting a character or an escape.
std::string CleanHeaderField(std::string_view text);
