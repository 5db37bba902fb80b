// The popup, the dialog and the title under bad text: stored values a
// megabyte long, full of control bytes or not CP932 at all, and a user ID of
// such bytes through a whole check. Nothing crashes or hangs, no control
// character reaches a widget or the window title, and what is drawn stays
// bounded whatever the length.
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QWidget>
#include <string>
#include <string_view>

#include "app/config_form.h"
#include "app/main_form.h"
#include "desktop/text_draw.h"
#include "framework/menus.h"
#include "framework/stdctrls.h"
#include "tests/app/app_fixture.h"
#include "tests/support/unreachable_sockets.h"
#include "widgets/shadolbl.h"

namespace app_testing {
namespace {

constexpr std::size_t kMegabyte = 1u << 20;

std::string megabyteOf(std::string_view unit) {
    std::string s;
    s.reserve(kMegabyte + unit.size());
    while (s.size() < kMegabyte) s += unit;
    return s;
}

// Every control byte but NUL, which ends a stored string.
std::string everyControl() {
    std::string unit;
    for (int c = 1; c < 0x20; ++c) unit += static_cast<char>(c);
    unit += '\x7f';
    return unit;
}

struct BadText {
    const char* name;
    std::string unit;  // repeated to a megabyte
};

// No control characters, and so nothing a terminal or window manager acts on.
bool showsNoControls(const QString& s) {
    for (QChar c : s) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

// However long the caption, the label is no larger than the characters the
// drawing lays out can make it, at four ems a character and a line each.
void expectBoundedLabel(TShadowLabel* label) {
    const int em = -label->Font()->Height();
    const int mostChars = static_cast<int>(platform::kMaxDrawnChars) + 3;
    EXPECT_GT(label->Width(), 0);
    EXPECT_LE(label->Width(), mostChars * 4 * em);
    EXPECT_LE(label->Height(), mostChars * 4 * em);
}

class BadTextInTheForms : public AppFormsTest, public ::testing::WithParamInterface<BadText> {
protected:
    UnreachableSockets network;
};

TEST_P(BadTextInTheForms, StoredValuesFillTheDialogAndThePopupWithoutControls) {
    const std::string bad = megabyteOf(GetParam().unit);
    StoreSettings(bad, bad, bad, 5, bad);
    // Every check fails at once, so the first one opens the dialog.
    services.sockets = &network;
    MakeForms(/*keepFirstIdle=*/true);
    ASSERT_TRUE(RunUntilFirstIdleDone());
    ASSERT_TRUE(DialogVisible());
    EXPECT_TRUE(errors.empty());

    // The edits hold the values byte for byte and show them without controls.
    for (TEdit* edit : {frmConfig->EdPOP3, frmConfig->EdUserID, frmConfig->EdPW, frmConfig->EdMailer}) {
        SCOPED_TRACE(edit->Name());
        EXPECT_EQ(edit->Text(), bad);
        EXPECT_TRUE(showsNoControls(static_cast<QLineEdit*>(edit->Handle())->text()));
    }
    EXPECT_FALSE(frmConfig->Handle()->grab().isNull());

    // The same value as the user ID of a greeting, and as the title.
    frmMain->ShdwLabel->SetCaption(MailGreeting(bad, 3));
    Application->SetTitle(bad);
    frmMain->ShowForm();
    ASSERT_TRUE(PopupVisible());
    const QString title = frmMain->Handle()->windowTitle();
    EXPECT_TRUE(showsNoControls(title));
    EXPECT_TRUE(title.endsWith(QStringLiteral("...")));
    EXPECT_LE(title.size(), 1024 + 3);
    expectBoundedLabel(frmMain->ShdwLabel);
    EXPECT_FALSE(frmMain->Handle()->grab().isNull());
}

INSTANTIATE_TEST_SUITE_P(
    Megabyte, BadTextInTheForms,
    ::testing::Values(BadText{"long_text", "taro"}, BadText{"control_bytes", everyControl()},
                      // Unassigned single bytes, lead bytes without a trail, and a lead byte before a line feed.
                      BadText{"not_cp932", "\x80\xA0\xFD\xFE\xFF\x81 \x9F\x7F\xE0\n"},
                      BadText{"mixed", Sjis("太郎") + "\x1b]0;pwned\x07\x1b[2J\r\nDELE 1\xFF\x81"}),
    [](const ::testing::TestParamInfo<BadText>& info) { return std::string(info.param.name); });

TEST_F(AppFormsTest, AUserIdOfBadBytesGoesThroughACheckIntoABoundedGreeting) {
    // Not CP932, eight kilobytes long: the server takes it as it is.
    std::string user;
    while (user.size() < 8192) user += "\x81 \xFF\xA0\x80\xFD";
    MakeForms();
    UseAccount(user, "secret");
    Script script = CheckScript(user, "secret", 3);
    script.front() = Send("+OK \x1b]0;pwned\x07\x1b[2J\xFF\x81 ready\r\n");
    server.AddSession(script);
    frmMain->M_ChkNowClick(frmMain->M_ChkNow);

    ASSERT_TRUE(PopupVisible());
    EXPECT_FALSE(DialogVisible());
    EXPECT_TRUE(server.Mismatches().empty());
    EXPECT_EQ(frmMain->ShdwLabel->Caption(), MailGreeting(user, 3));
    EXPECT_EQ(frmMain->Handle()->windowTitle(), QStringLiteral("3通 着信"));
    expectBoundedLabel(frmMain->ShdwLabel);
    EXPECT_FALSE(frmMain->Handle()->grab().isNull());
}

}  // namespace
}  // namespace app_testing
