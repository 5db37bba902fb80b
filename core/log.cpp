#include "core/log.h"

#include <cstdio>
#include <ctime>
#include <utility>

#include "core/clock.h"

namespace platform {

void WriteStandardError(std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

std::string TimestampedLine(std::chrono::system_clock::time_point when, std::string_view program,
                            std::string_view utf8Text) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string line(stamp, n);
    line += ' ';
    line += program;
    line += ": ";
    line += utf8Text;
    return line;
}

StandardErrorLog::StandardErrorLog(const Clock& clock, std::string program)
    : clock_(clock), program_(std::move(program)) {}

void StandardErrorLog::Line(std::string_view utf8) {
    WriteStandardError(TimestampedLine(clock_.WallNow(), program_, utf8));
}

void PlainLog::Line(std::string_view utf8) {
    std::string line = prefix_;
    line += utf8;
    WriteStandardError(line);
}

}  // namespace platform
