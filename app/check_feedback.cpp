#include "app/check_feedback.h"

#include <algorithm>
#include <ctime>

#include "core/log.h"

std::int16_t DialogCycleMinutes(std::optional<std::int32_t> stored) {
    if (!stored)
        return kProposedCycleMinutes;
    return static_cast<std::int16_t>(std::clamp<std::int32_t>(*stored, kCycleMinutesMin, kCycleMinutesMax));
}

AnsiString CheckFailedNotice(const FailureReport& report) {
    return Sjis("メールを確認できませんでした: ") + report.text;
}

std::string CheckFailedLogText(const FailureReport& report) {
    AnsiString text = report.text;
    if (!report.advice.empty())
        text += " " + report.advice;
    return "check failed: " + Cp932ToUtf8(text);
}

std::string CheckFailedLogLine(std::chrono::system_clock::time_point when, const FailureReport& report) {
    return platform::TimestampedLine(when, "postwren", CheckFailedLogText(report));
}
