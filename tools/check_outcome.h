// How postwren-check reports a failed check to scripts: the JSON form of a
// failure. Its kind and exit status are the engine's (net/check_failure.h).
#pragma once

#include <string>
#include <string_view>

#include "net/check_failure.h"

// `{"error": "<message>", "kind": "<kind>"}`, with `"server": "<reply>"` when the
// server's reply caused the failure and `"advice": "<line>"` when there is
// advice. The report's CP932 texts are written as UTF-8.
std::string FailureJson(const FailureReport& report);
// A UTF-8 text as a JSON string literal, quotes included: '"' and '\' are
// escaped and control characters written as \u00XX.
std::string JsonString(std::string_view utf8);
