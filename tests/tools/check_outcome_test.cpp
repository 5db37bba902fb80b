// How postwren-check sorts a failure into an exit status and a JSON kind.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "framework/exception.h"
#include "net/powersock.h"
#include "tools/check_outcome.h"

namespace {

struct FailureCase {
    const char* name;
    std::shared_ptr<std::exception> failure;
    int status;
    const char* kind;
};

class FailureKinds : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureKinds, GiveTheirStatusAndKind) {
    const FailureCase& c = GetParam();
    const CheckFailure kind = ClassifyFailure(*c.failure);
    EXPECT_EQ(ExitStatusOf(kind), c.status);
    EXPECT_STREQ(KindName(kind), c.kind);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, FailureKinds,
    ::testing::Values(
        // What the POP3 client raises for an answer it will not take.
        FailureCase{"refused_logon", std::make_shared<Exception>("Authentication failed"), 1, "refused"},
        FailureCase{"err_reply", std::make_shared<Exception>("-ERR mailbox locked\r\n"), 1, "refused"},
        FailureCase{"reply_code_out_of_range", std::make_shared<Exception>("Range check error"), 1, "refused"},
        // Whatever the socket layer raises: look-up, connect, time-out, closing, endless line.
        FailureCase{"unknown_host", std::make_shared<ESockError>("Null Remote Address"), 3, "network"},
        FailureCase{"closed_port", std::make_shared<ESockError>("Connection Failed"), 3, "network"},
        FailureCase{"silent_server", std::make_shared<ESockError>("Socket readln timed out"), 3, "network"},
        FailureCase{"endless_line", std::make_shared<ESockError>("Socket readln line too long"), 3, "network"},
        FailureCase{"aborted_wait", std::make_shared<EAbortError>("Socket readln aborted"), 3, "network"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(FailureStatuses, AreDistinctAndTlsHasItsOwn) {
    EXPECT_EQ(ExitStatusOf(CheckFailure::Tls), 4);
    EXPECT_STREQ(KindName(CheckFailure::Tls), "tls");
    EXPECT_NE(kExitUsage, ExitStatusOf(CheckFailure::Refused));
    EXPECT_NE(kExitUsage, ExitStatusOf(CheckFailure::Network));
    EXPECT_NE(kExitUsage, ExitStatusOf(CheckFailure::Tls));
}

TEST(FailureJson, QuotesBackslashesAndControlsAreEscaped) {
    EXPECT_EQ(FailureJson("Connection Failed", CheckFailure::Network),
              "{\"error\": \"Connection Failed\", \"kind\": \"network\"}");
    EXPECT_EQ(JsonString("say \"no\" \\ now\r\n\x1b"), "\"say \\\"no\\\" \\\\ now\\u000d\\u000a\\u001b\"");
    // UTF-8 passes as it is.
    EXPECT_EQ(JsonString("混雑"), "\"混雑\"");
}

}  // namespace
