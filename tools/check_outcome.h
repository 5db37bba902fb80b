// How postwren-check reports a failed check to scripts: the kind of failure,
// its exit status and its JSON form. The message itself stays the engine's.
#pragma once

#include <exception>
#include <string>
#include <string_view>

// Exit statuses of postwren-check.
inline constexpr int kExitCount = 0;    // the count was printed
inline constexpr int kExitRefused = 1;  // the server said no
inline constexpr int kExitUsage = 2;    // the command line (or what it names) is wrong
inline constexpr int kExitNetwork = 3;  // the server could not be reached or stopped answering
inline constexpr int kExitTls = 4;      // the secure connection could not be set up

enum class CheckFailure {
    // An -ERR at any step, a greeting that is not +OK, a refused log-on, or
    // any other answer the engine will not take.
    Refused,
    // Name look-up, connect, time-out, a closed connection, a line without end:
    // everything the socket layer raises.
    Network,
    // The TLS layer's failures.
    Tls,
};

// The kind of a failure the check raised, by the class of the exception: the
// socket layer's errors are Network, every other failure is Refused. The TLS
// layer's exception class is tested first, before the socket layer's it may
// derive from.
CheckFailure ClassifyFailure(const std::exception& failure);

int ExitStatusOf(CheckFailure failure);
// "refused", "network" or "tls".
const char* KindName(CheckFailure failure);

// `{"error": "<message>", "kind": "<kind>"}` for a UTF-8 message.
std::string FailureJson(std::string_view utf8Message, CheckFailure failure);
// A UTF-8 text as a JSON string literal, quotes included: '"' and '\' are
// escaped and control characters written as \u00XX.
std::string JsonString(std::string_view utf8);
