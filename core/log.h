// Where the program's log lines go: one service, one line format. The
// resident program writes "<local time with UTC offset> postwren: <text>";
// postwren-check writes its own plain lines. Everything that reaches
// standard error goes through WriteStandardError below.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace platform {

class Clock;

// The program's log. Line may be called from the GUI thread only.
class Log {
public:
    virtual ~Log() = default;
    // One line, UTF-8, without time stamp, program name or line end.
    virtual void Line(std::string_view utf8) = 0;
};

// The one writer to standard error: `line` and a line end, flushed at once.
// For the log's sinks, and for the report of a start that failed before any
// log exists.
void WriteStandardError(std::string_view line);

// "<local time with UTC offset> <program>: <text>", e.g.
// "2026-12-08T11:49:39+0900 postwren: timed check skipped: the system is offline".
std::string TimestampedLine(std::chrono::system_clock::time_point when, std::string_view program,
                            std::string_view utf8Text);

// The resident program's log: timestamped lines on standard error, the time
// from the clock's wall time. The clock must outlive it.
class StandardErrorLog final : public Log {
public:
    StandardErrorLog(const Clock& clock, std::string program);
    void Line(std::string_view utf8) override;

private:
    const Clock& clock_;
    std::string program_;
};

// A command-line tool's log: "<prefix><text>" on standard error, no time
// stamp (a prefix of "" writes the text alone).
class PlainLog final : public Log {
public:
    explicit PlainLog(std::string prefix) : prefix_(std::move(prefix)) {}
    void Line(std::string_view utf8) override;

private:
    std::string prefix_;
};

}  // namespace platform
