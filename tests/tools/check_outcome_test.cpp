// How a failure is sorted into its kind, and what follows from the kind: the
// exit status, the JSON kind, whether the program opens its dialog, and the
// text a person reads.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "core/exception.h"
#include "core/registry.h"
#include "net/check_failure.h"
#include "net/powersock.h"
#include "net/server_address.h"
#include "tools/check_outcome.h"

namespace {

struct FailureCase {
    const char* name;
    std::shared_ptr<std::exception> failure;
    int status;
    const char* kind;
    bool opensDialog;
    const char* text;
};

class FailureKinds : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureKinds, GiveTheirStatusKindDialogAndText) {
    const FailureCase& c = GetParam();
    const FailureReport report = DescribeFailure(*c.failure);
    EXPECT_EQ(ExitStatusOf(report.kind), c.status);
    EXPECT_STREQ(KindName(report.kind), c.kind);
    EXPECT_EQ(OpensSettingsDialog(report.kind), c.opensDialog);
    EXPECT_EQ(report.text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, FailureKinds,
    ::testing::Values(
        FailureCase{"refused_logon",
                    std::make_shared<ECheckFailure>("Authentication failed", FailureKind::Refused,
                                                    "-ERR [AUTH] Authentication failed.\r\n"),
                    1, "refused", true, "Authentication failed (server: -ERR [AUTH] Authentication failed.)"},
        FailureCase{"busy_mailbox",
                    std::make_shared<ECheckFailure>("Authentication failed", FailureKind::Temporary,
                                                    "-ERR [IN-USE] Mailbox is locked\r\n"),
                    5, "temporary", false, "Authentication failed (server: -ERR [IN-USE] Mailbox is locked)"},
        // A refused greeting or STAT is its reply line: said once.
        FailureCase{
            "err_reply",
            std::make_shared<ECheckFailure>("-ERR mailbox locked\r\n", FailureKind::Refused, "-ERR mailbox locked\r\n"),
            1, "refused", true, "-ERR mailbox locked"},
        FailureCase{"reply_code_out_of_range",
                    std::make_shared<ECheckFailure>("Range check error", FailureKind::Refused), 1, "refused", true,
                    "Range check error"},
        // Only a server refuses: whatever else fails is on this side.
        FailureCase{"not_the_engines", std::make_shared<std::runtime_error>("out of memory"), 2, "usage", true,
                    "out of memory"},
        FailureCase{"plain_exception", std::make_shared<Exception>("No Timer"), 2, "usage", true, "No Timer"},
        FailureCase{"missing_credentials", std::make_shared<ECheckFailure>("Authentication failed", FailureKind::Usage),
                    2, "usage", true, "Authentication failed"},
        FailureCase{"unreadable_stored_value", std::make_shared<ERegistryException>("'Cycle' cannot be read"), 2,
                    "usage", true, "'Cycle' cannot be read"},
        FailureCase{"unknown_host", std::make_shared<ESockError>("Null Remote Address"), 3, "network", true,
                    "Null Remote Address"},
        FailureCase{"silent_server", std::make_shared<ESockError>(SockFailure::ReadTimedOut), 3, "network", true,
                    "Socket readln timed out"},
        FailureCase{"aborted_wait", std::make_shared<EAbortError>("Socket readln aborted"), 3, "network", true,
                    "Socket readln aborted"},
        FailureCase{"tls_alert",
                    std::make_shared<ESockError>(SockFailure::TlsFailed,
                                                 "TLS connection broken: tlsv13 alert certificate required"),
                    4, "tls", true, "TLS connection broken: tlsv13 alert certificate required"},
        FailureCase{"stls_refused",
                    std::make_shared<ECheckFailure>("Server refused STLS", FailureKind::Tls, "-ERR not now\r\n"), 4,
                    "tls", true, "Server refused STLS (server: -ERR not now)"},
        FailureCase{"bad_address", std::make_shared<EServerAddressError>("Bad port in server address: x:0"), 2, "usage",
                    true, "Bad port in server address: x:0"},
        FailureCase{"signin_revoked",
                    std::make_shared<ECheckFailure>("Sign-in required", FailureKind::SignIn, "invalid_grant"), 6,
                    "signin", true, "Sign-in required (server: invalid_grant)"},
        FailureCase{"line_break",
                    std::make_shared<ECheckFailure>("Host name contains a line break", FailureKind::Usage), 2, "usage",
                    true, "Host name contains a line break"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST(FailureReport, EscapesTheServersControlsAndCarriesTheAdvice) {
    ECheckFailure failure("Authentication failed", FailureKind::Refused, "-ERR \x1b]0;owned\x07 no TLS\r\n");
    failure.SetAdvice("Advice: write pop3+starttls://host");
    const FailureReport report = DescribeFailure(failure);
    EXPECT_EQ(report.message, "Authentication failed");
    EXPECT_EQ(report.server, "-ERR \\x1B]0;owned\\x07 no TLS");
    EXPECT_EQ(report.text, "Authentication failed (server: -ERR \\x1B]0;owned\\x07 no TLS)");
    EXPECT_EQ(report.advice, "Advice: write pop3+starttls://host");
    EXPECT_EQ(FailureJson(report),
              "{\"error\": \"Authentication failed\", \"kind\": \"refused\", \"server\": \"-ERR \\\\x1B]0;owned\\\\x07 "
              "no TLS\", \"advice\": \"Advice: write pop3+starttls://host\"}");
}

TEST(FailureJson, QuotesBackslashesAndControlsAreEscaped) {
    EXPECT_EQ(FailureJson(DescribeFailure(ESockError("Connection Failed"))),
              "{\"error\": \"Connection Failed\", \"kind\": \"network\"}");
    EXPECT_EQ(JsonString("say \"no\" \\ now\r\n\x1b"), "\"say \\\"no\\\" \\\\ now\\u000d\\u000a\\u001b\"");
    // UTF-8 passes as it is; the report's CP932 becomes UTF-8.
    EXPECT_EQ(JsonString("混雑"), "\"混雑\"");
    EXPECT_EQ(FailureJson(
                  DescribeFailure(ECheckFailure(Sjis("-ERR 混雑\r\n"), FailureKind::Temporary, Sjis("-ERR 混雑\r\n")))),
              "{\"error\": \"-ERR 混雑\", \"kind\": \"temporary\", \"server\": \"-ERR 混雑\"}");
}

}  // namespace

namespace {

// A server's text as long as a line may be: every part of the report keeps
// at most 512 bytes of it, cut where no character or "\xNN" is split, and
// says it was cut.
struct LongReplyCase {
    const char* name;
    std::string reply;
    std::string endsWith;  // the kept text's last bytes, before the cut mark
};

std::string Repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

class LongReply : public ::testing::TestWithParam<LongReplyCase> {};

TEST_P(LongReply, IsCutTo512BytesAndMarked) {
    const std::string& reply = GetParam().reply;
    const std::string cut = GetParam().endsWith + Sjis("…");
    // As the server's part of a refused log-on, with advice naming a long host.
    ECheckFailure logon("Authentication failed", FailureKind::Refused, reply);
    logon.SetAdvice("Advice: write the server as " + reply);
    const FailureReport refused = DescribeFailure(logon);
    EXPECT_LE(refused.server.size(), 512u);
    EXPECT_GE(refused.server.size(), 512u - 4);
    EXPECT_TRUE(refused.server.ends_with(cut)) << refused.server.substr(refused.server.size() - 16);
    EXPECT_LE(refused.advice.size(), 512u);
    EXPECT_EQ(refused.text, "Authentication failed (server: " + refused.server + ")");
    // As a greeting refusal, where the reply is the message itself.
    const FailureReport greeting = DescribeFailure(ECheckFailure(reply, FailureKind::Refused, reply));
    EXPECT_EQ(greeting.message, refused.server);
    EXPECT_EQ(greeting.text, greeting.message);
    EXPECT_LT(FailureJson(refused).size(), 4096u);
    EXPECT_LT(FailureJson(greeting).size(), 4096u);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, LongReply,
    ::testing::Values(LongReplyCase{"one_megabyte", "-ERR " + std::string(1 << 20, 'x') + "\r\n", "xxxx"},
                      // 5 + 126 * 4 = 509 bytes of escapes fit beside the mark; a 127th would not.
                      LongReplyCase{"escapes", "-ERR " + std::string(1 << 20, '\x1b') + "\r\n", "\\x1B\\x1B"},
                      // "-ERR" and 253 double-byte characters fill the 510 bytes beside the mark.
                      LongReplyCase{"double_byte", "-ERR" + Repeated(Sjis("混"), 300), Sjis("混")}),
    [](const ::testing::TestParamInfo<LongReplyCase>& info) { return std::string(info.param.name); });

TEST(FailureReport, AReplyWithinTheBoundIsShownWhole) {
    const std::string reply = "-ERR " + std::string(507, 'y');  // 512 bytes
    EXPECT_EQ(DescribeFailure(ECheckFailure("Authentication failed", FailureKind::Refused, reply)).server, reply);
}

}  // namespace
