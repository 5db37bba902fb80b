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
    if (report.kind == FailureKind::SignIn)
        return Sjis("サインインが必要です");
    return Sjis("メールを確認できませんでした: ") + report.text;
}

AnsiString CheckFailedNoticeBody(const FailureReport& report) {
    if (report.kind != FailureKind::SignIn)
        return report.advice;
    AnsiString body = Sjis("設定で OK を押すと、サインインの画面が開きます。\n") + report.text;
    if (!report.advice.empty())
        body += " " + report.advice;
    return body;
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
