#include "app/check_feedback.h"

#include <algorithm>
#include <ctime>

std::int16_t DialogCycleMinutes(std::optional<std::int32_t> stored) {
    if (!stored)
        return kProposedCycleMinutes;
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(*stored, kCycleMinutesMin, kCycleMinutesMax));
}

AnsiString CheckFailedNotice(const FailureReport& report) {
    return Sjis("メールを確認できませんでした: ") + report.text;
}

std::string CheckFailedLogLine(std::chrono::system_clock::time_point when, const FailureReport& report) {
    AnsiString text = report.text;
    if (!report.advice.empty())
        text += " " + report.advice;
    return ProgramLogLine(when, "check failed: " + Cp932ToUtf8(text));
}

std::string ProgramLogLine(std::chrono::system_clock::time_point when, const std::string& utf8Text) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S%z", &local);
    return std::string(stamp, n) + " postwren: " + utf8Text;
}
