// What the user is told about checks: the interval the dialog offers, the
// failure notice and log line, and the rule of one notice per run of failures.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "app/check_feedback.h"
#include "core/exception.h"
#include "net/check_failure.h"

namespace {

struct IntervalCase {
    std::optional<std::int32_t> stored;
    std::int16_t shown;
};

class DialogInterval : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(DialogInterval, IsTheProposalOrTheStoredValueInRange) {
    EXPECT_EQ(DialogCycleMinutes(GetParam().stored), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(Stored, DialogInterval,
                         ::testing::Values(IntervalCase{std::nullopt, 10}, IntervalCase{0, 1}, IntervalCase{-32768, 1},
                                           IntervalCase{1, 1}, IntervalCase{37, 37}, IntervalCase{100, 100},
                                           IntervalCase{101, 100}, IntervalCase{4464, 100},
                                           IntervalCase{2147483647, 100}),
                         [](const ::testing::TestParamInfo<IntervalCase>& info) {
                             const auto& stored = info.param.stored;
                             if (!stored)
                                 return std::string("none_stored");
                             return *stored < 0 ? "minus" + std::to_string(-static_cast<std::int64_t>(*stored))
                                                : std::to_string(*stored);
                         });

TEST(FailureStreak, TellsTheFirstFailureOfEachRun) {
    FailureStreak streak;
    EXPECT_FALSE(streak.Failing());
    EXPECT_TRUE(streak.Failed());
    EXPECT_FALSE(streak.Failed());
    EXPECT_FALSE(streak.Failed());
    EXPECT_TRUE(streak.Failing());
    streak.Ended();  // a check that worked, or confirmed settings
    EXPECT_FALSE(streak.Failing());
    EXPECT_TRUE(streak.Failed());
    EXPECT_FALSE(streak.Failed());
}

TEST(CheckFailedNotice, PutsTheReportAfterTheSentenceWithControlsEscaped) {
    EXPECT_EQ(CheckFailedNotice(DescribeFailure(Exception("Authentication failed"))),
              Sjis("メールを確認できませんでした: Authentication failed"));
    EXPECT_EQ(CheckFailedNotice(DescribeFailure(ECheckFailure("Authentication failed", FailureKind::Temporary,
                                                              "-ERR [IN-USE] \x1b]0;x\x07 busy\r\n"))),
              Sjis("メールを確認できませんでした: Authentication failed (server: -ERR [IN-USE] \\x1B]0;x\\x07 busy)"));
    EXPECT_EQ(CheckFailedNotice(DescribeFailure(Exception(Sjis("-ERR 混雑")))),
              Sjis("メールを確認できませんでした: -ERR 混雑"));
}

TEST(CheckFailedNotice, ASignInFailureSaysSoAndItsBodyHowToSignInAgain) {
    const FailureReport revoked =
        DescribeFailure(ECheckFailure("Sign-in required", FailureKind::SignIn, "invalid_grant: revoked"));
    EXPECT_EQ(CheckFailedNotice(revoked), Sjis("サインインが必要です"));
    const AnsiString body = CheckFailedNoticeBody(revoked);
    EXPECT_EQ(body.rfind(Sjis("設定で OK を押すと"), 0), 0u) << body;
    EXPECT_NE(body.find("\nSign-in required (server: invalid_grant: revoked)"), AnsiString::npos) << body;
    // Every other kind keeps its summary and its advice as the body.
    FailureReport refused = DescribeFailure(ECheckFailure("Authentication failed", FailureKind::Refused));
    refused.advice = "check the password";
    EXPECT_EQ(CheckFailedNotice(refused), Sjis("メールを確認できませんでした: Authentication failed"));
    EXPECT_EQ(CheckFailedNoticeBody(refused), "check the password");
}

class LocalTimeZone : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* tz = std::getenv("TZ"))
            saved_ = tz;
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void Use(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST_F(LocalTimeZone, TheLogLineCarriesLocalTimeWithItsOffsetAndTheUtf8Message) {
    // 2026-12-08 11:49:39 UTC
    const auto when = std::chrono::system_clock::from_time_t(1796730579);
    Use("UTC0");
    EXPECT_EQ(CheckFailedLogLine(when, DescribeFailure(Exception("Authentication failed"))),
              "2026-12-08T11:49:39+0000 postwren: check failed: Authentication failed");
    Use("JST-9");
    EXPECT_EQ(CheckFailedLogLine(when, DescribeFailure(Exception(Sjis("-ERR 混雑\x1b[2J\r\n")))),
              "2026-12-08T20:49:39+0900 postwren: check failed: -ERR 混雑\\x1B[2J");
    // Advice, where there is any, ends the same line.
    ECheckFailure refused("Authentication failed", FailureKind::Refused, "-ERR TLS required\r\n");
    refused.SetAdvice("Advice: write pop3+starttls://host");
    EXPECT_EQ(CheckFailedLogLine(when, DescribeFailure(refused)),
              "2026-12-08T20:49:39+0900 postwren: check failed: Authentication failed (server: -ERR TLS required) "
              "Advice: write pop3+starttls://host");
}

}  // namespace
