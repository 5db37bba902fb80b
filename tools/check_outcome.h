// How postwren-check reports a failed check to scripts: the JSON form of a
// failure. Its kind and exit status are the engine's (net/check_failure.h).
#pragma once

#include <string>
#include <string_view>

#include <vector>

#include "net/check_failure.h"
#include "net/mailbox_listing.h"

// `{"error": "<message>", "kind": "<kind>"}`, with `"server": "<reply>"` when the
// server's reply caused the failure and `"advice": "<line>"` when there is
// advice. The report's CP932 texts are written as UTF-8.
std::string FailureJson(const FailureReport& report);
// A UTF-8 text as a JSON string literal, quotes included: '"' and '\' are
// escaped and control characters written as \u00XX.
std::string JsonString(std::string_view utf8);

// `{"count": N}`, and with `withMessages` `"messages": [...]` after it: each
// message's number, uid, from, address, subject, date and size, newest
// first, null where the server did not say (a uid without UIDL, the fields
// of a refused TOP, a size the TOP reply did not give).
std::string CountJson(int count, bool withMessages, const std::vector<MessageSummary>& messages);
// One line for a status bar's custom module (waybar's return-type json):
// `{"text": "<count>", "tooltip": "...", "class": "mail" | "empty"}`, the
// tooltip naming the messages listed ("from — subject", one a line).
std::string WaybarLine(int count, const std::vector<MessageSummary>& messages);
// The same for a failed check: no count, the report as the tooltip, and the
// failure's kind as the class.
std::string WaybarFailure(const FailureReport& report);
