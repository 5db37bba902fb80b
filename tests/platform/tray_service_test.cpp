#include "platform/tray_service.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <QSystemTrayIcon>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/message_window.h"

using namespace platform;

namespace {

using testing_support::WaitUntil;

constexpr UINT kCallback = WM_USER + 100;

NOTIFYICONDATAA Record(HWND hWnd, UINT uID, UINT flags, HICON icon, const char* tip) {
    NOTIFYICONDATAA d;
    d.cbSize = NOTIFYICONDATAA_V1_SIZE;
    d.hWnd = hWnd;
    d.uID = uID;
    d.uFlags = flags;
    d.uCallbackMessage = kCallback;
    d.hIcon = icon;
    std::strncpy(d.szTip, tip, kNotifyTipSize - 1);
    return d;
}

QImage Solid(QRgb colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QList<QSystemTrayIcon*> ShownIcons() {
    return QCoreApplication::instance()->findChildren<QSystemTrayIcon*>(Qt::FindDirectChildrenOnly);
}

// The tests' desktop has whatever tray `kind` says.
struct TestDesktop {
    TrayKind kind = TrayKind::XEmbed;
    int looks = 0;
    std::function<TrayKind()> Detect() {
        return [this] {
            ++looks;
            return kind;
        };
    }
};

// Posted messages of one window, as (message, wParam, lParam).
struct Recorder {
    std::vector<std::vector<std::uintptr_t>> received;
    MessageWindow window{[this](UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        received.push_back({msg, wParam, static_cast<std::uintptr_t>(lParam)});
        return 0;
    }};
};

std::vector<TrayMenuEntry> CommandMenu() {
    return {{"\x8D\xA1\x82\xB7\x82\xAE\x83\x60\x83\x46\x83\x62\x83\x4E", 1, true, true},  // 今すぐチェック
            {"\x90\xDD\x92\xE8", 2, false, true},                                         // 設定
            {"-", 3, false, true},
            {"\x8F\x49\x97\xB9", 4, false, false}};  // 終了, disabled here
}

TEST(NotifyIconTable, AddModifyDeleteRules) {
    NotifyIconTable table;
    const auto full = Record(7, 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0x10, "first");
    EXPECT_FALSE(table.Apply(NIM_MODIFY, full)) << "modify before add";
    EXPECT_FALSE(table.Apply(NIM_DELETE, full)) << "delete before add";
    EXPECT_TRUE(table.Apply(NIM_ADD, full));
    EXPECT_FALSE(table.Apply(NIM_ADD, full)) << "second add of the same icon";
    EXPECT_TRUE(table.Apply(NIM_ADD, Record(7, 2, NIF_TIP, 0, "other id"))) << "another id of the same window";
    EXPECT_FALSE(table.Apply(3, full)) << "unknown operation";

    // A modify changes only the members its flags name.
    EXPECT_TRUE(table.Apply(NIM_MODIFY, Record(7, 1, NIF_TIP, 0x99, "second")));
    const NOTIFYICONDATAA* shown = table.Find(7, 1);
    ASSERT_NE(shown, nullptr);
    EXPECT_STREQ(shown->szTip, "second");
    EXPECT_EQ(shown->hIcon, 0x10u);
    EXPECT_EQ(shown->uCallbackMessage, kCallback);

    EXPECT_TRUE(table.Apply(NIM_DELETE, full));
    EXPECT_EQ(table.Find(7, 1), nullptr);
    EXPECT_FALSE(table.Apply(NIM_DELETE, full));
    EXPECT_NE(table.Find(7, 2), nullptr);
}

TEST(NotifyIconTable, TipFieldWithoutItsNulNeverOverruns) {
    NotifyIconTable table;
    auto d = Record(1, 1, NIF_TIP, 0, "");
    std::memset(d.szTip, 'x', kNotifyTipSize);  // no NUL anywhere
    EXPECT_EQ(NotifyTipUtf8(d), std::string(kNotifyTipSize, 'x'));
    ASSERT_TRUE(table.Apply(NIM_ADD, d));
    EXPECT_EQ(std::strlen(table.Find(1, 1)->szTip), kNotifyTipSize - 1);
}

TEST(NotifyTip, DecodesCp932AndMarksBadBytes) {
    auto d = Record(1, 1, NIF_TIP, 0, "\x83\x7C\x83\x58\x83\x67 ok");  // ポスト ok
    EXPECT_EQ(NotifyTipUtf8(d), "ポスト ok");
    // A stray trail-less lead byte at the end, and a byte CP932 does not use.
    d = Record(1, 1, NIF_TIP, 0, "a\xA0z\x82");
    EXPECT_EQ(NotifyTipUtf8(d), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(IconHandles, NameTheirPictureUntilDestroyed) {
    EXPECT_EQ(CreateIconFromImage(QImage()), 0u);
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    const HICON blue = CreateIconFromImage(Solid(qRgb(0, 0, 255)));
    ASSERT_NE(red, 0u);
    ASSERT_NE(red, blue);
    EXPECT_EQ(IconImage(red).pixel(3, 3), qRgb(255, 0, 0));
    EXPECT_TRUE(DestroyIcon(red));
    EXPECT_TRUE(IconImage(red).isNull());
    EXPECT_FALSE(DestroyIcon(red));
    EXPECT_EQ(IconImage(blue).pixel(3, 3), qRgb(0, 0, 255));
    const HICON again = CreateIconFromImage(Solid(qRgb(0, 255, 0)));
    EXPECT_NE(again, red) << "handles are never reused";
    DestroyIcon(blue);
    DestroyIcon(again);
}

TEST(DesktopTray, ShowsChangesAndRemovesQtTrayIcons) {
    TestDesktop desktop;
    DesktopTray tray(desktop.Detect());
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    MessageWindow window;
    const auto added = Record(window.handle(), 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, red,
                              "\x83\x7C\x83\x58\x83\x67 Postwren");  // ポスト Postwren
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, added));
    EXPECT_FALSE(tray.NotifyIcon(NIM_ADD, added));
    ASSERT_EQ(ShownIcons().size(), 1u);
    QSystemTrayIcon* icon = ShownIcons()[0];
    EXPECT_EQ(icon->toolTip(), QString::fromUtf8("ポスト Postwren"));
    EXPECT_EQ(icon->icon().pixmap(16, 16).toImage().pixel(4, 4), qRgb(255, 0, 0));

    // The picture is copied when the icon is set: destroying the handle
    // afterwards leaves it shown.
    DestroyIcon(red);
    ASSERT_TRUE(tray.NotifyIcon(NIM_MODIFY, Record(window.handle(), 1, NIF_TIP, 0, "changed")));
    EXPECT_EQ(icon->toolTip(), QString("changed"));
    EXPECT_EQ(icon->icon().pixmap(16, 16).toImage().pixel(4, 4), qRgb(255, 0, 0));

    EXPECT_FALSE(tray.NotifyIcon(NIM_MODIFY, Record(window.handle(), 2, NIF_TIP, 0, "no such icon")));
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, added));
    EXPECT_TRUE(ShownIcons().empty()) << "removed at once, not at the next loop turn";
    EXPECT_FALSE(tray.NotifyIcon(NIM_DELETE, added));
}

TEST(DesktopTray, ReportsClicksToTheWindowAsItsCallbackMessage) {
    TestDesktop desktop;
    DesktopTray tray(desktop.Detect());
    std::vector<std::vector<std::uintptr_t>> received;
    MessageWindow window([&](UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
        received.push_back({msg, wParam, static_cast<std::uintptr_t>(lParam)});
        return 0;
    });
    const HICON picture = CreateIconFromImage(Solid(qRgb(0, 0, 0)));
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, Record(window.handle(), 3, NIF_MESSAGE | NIF_ICON | NIF_TIP, picture, "")));
    ASSERT_EQ(ShownIcons().size(), 1u);
    QSystemTrayIcon* icon = ShownIcons()[0];

    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::DoubleClick);
    emit icon->activated(QSystemTrayIcon::Context);
    emit icon->activated(QSystemTrayIcon::MiddleClick);  // not reported
    EXPECT_TRUE(received.empty()) << "posted, not sent";
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 3; }));
    QCoreApplication::processEvents();
    const std::vector<std::vector<std::uintptr_t>> expected{
        {kCallback, 3, WM_LBUTTONDOWN}, {kCallback, 3, WM_LBUTTONDBLCLK}, {kCallback, 3, WM_RBUTTONDOWN}};
    EXPECT_EQ(received, expected);

    // A new callback message takes effect with the next activity.
    auto moved = Record(window.handle(), 3, NIF_MESSAGE, 0, "");
    moved.uCallbackMessage = kCallback + 7;
    ASSERT_TRUE(tray.NotifyIcon(NIM_MODIFY, moved));
    received.clear();
    emit icon->activated(QSystemTrayIcon::Context);
    ASSERT_TRUE(WaitUntil([&] { return !received.empty(); }));
    EXPECT_EQ(received[0][0], kCallback + 7);

    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, moved));
    DestroyIcon(picture);
}

TEST(DesktopTray, IconWithoutAPictureStillGetsASlot) {
    TestDesktop desktop;
    DesktopTray tray(desktop.Detect());
    MessageWindow window;
    const auto d = Record(window.handle(), 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0, "no picture");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, d));
    ASSERT_EQ(ShownIcons().size(), 1u);
    EXPECT_FALSE(ShownIcons()[0]->icon().isNull());
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, d));
}

TEST(DesktopTray, OnXEmbedTheMenuStaysWithTheCallerAndClicksAreMouseMessages) {
    TestDesktop desktop;
    DesktopTray tray(desktop.Detect());
    Recorder r;
    const auto d = Record(r.window.handle(), 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0, "");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, d));
    EXPECT_EQ(tray.Kind(), TrayKind::XEmbed);
    EXPECT_FALSE(tray.SetIconMenu(r.window.handle(), 9, CommandMenu())) << "no such icon";
    ASSERT_TRUE(tray.SetIconMenu(r.window.handle(), 1, CommandMenu()));
    ASSERT_EQ(ShownIcons().size(), 1u);
    QSystemTrayIcon* icon = ShownIcons()[0];
    EXPECT_EQ(icon->contextMenu(), nullptr) << "the toolkit would pop it up next to the caller's own";

    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::Context);
    ASSERT_TRUE(WaitUntil([&] { return r.received.size() >= 2; }));
    QCoreApplication::processEvents();
    const std::vector<std::vector<std::uintptr_t>> expected{{kCallback, 1, WM_LBUTTONDOWN},
                                                            {kCallback, 1, WM_RBUTTONDOWN}};
    EXPECT_EQ(r.received, expected) << "a single click is no activation on XEmbed";
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, d));
}

TEST(DesktopTray, OnAStatusNotifierHostTheMenuIsExportedAndAClickActivates) {
    TestDesktop desktop;
    desktop.kind = TrayKind::StatusNotifier;
    DesktopTray tray(desktop.Detect());
    Recorder r;
    const auto d = Record(r.window.handle(), 2, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0, "");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, d));
    EXPECT_EQ(tray.Kind(), TrayKind::StatusNotifier);
    ASSERT_TRUE(tray.SetIconMenu(r.window.handle(), 2, CommandMenu()));
    ASSERT_EQ(ShownIcons().size(), 1u);
    QSystemTrayIcon* icon = ShownIcons()[0];
    QMenu* menu = icon->contextMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_EQ(actions.size(), 4);
    EXPECT_EQ(actions[0]->text(), QString::fromUtf8("今すぐチェック"));
    EXPECT_EQ(menu->defaultAction(), actions[0]);
    EXPECT_TRUE(actions[0]->font().bold());
    EXPECT_EQ(actions[1]->text(), QString::fromUtf8("設定"));
    EXPECT_TRUE(actions[2]->isSeparator());
    EXPECT_EQ(actions[3]->text(), QString::fromUtf8("終了"));
    EXPECT_FALSE(actions[3]->isEnabled());

    // A chosen entry comes back as its command; Activate as a click and an
    // activation; a context request gets no second menu.
    actions[1]->trigger();
    emit icon->activated(QSystemTrayIcon::Trigger);
    emit icon->activated(QSystemTrayIcon::Context);
    ASSERT_TRUE(WaitUntil([&] { return r.received.size() >= 3; }));
    QCoreApplication::processEvents();
    const std::vector<std::vector<std::uintptr_t>> expected{
        {WM_COMMAND, 2, 0}, {kCallback, 2, WM_LBUTTONDOWN}, {kCallback, 2, NIN_SELECT}};
    EXPECT_EQ(r.received, expected);

    // An empty list takes the menu away; right presses are reported again.
    ASSERT_TRUE(tray.SetIconMenu(r.window.handle(), 2, {}));
    EXPECT_EQ(icon->contextMenu(), nullptr);
    r.received.clear();
    emit icon->activated(QSystemTrayIcon::Context);
    ASSERT_TRUE(WaitUntil([&] { return !r.received.empty(); }));
    EXPECT_EQ(r.received[0][2], WM_RBUTTONDOWN);
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, d));
}

TEST(DesktopTray, IconsWaitForATrayReportItMissingOnceAndAppearWhenItComes) {
    TestDesktop desktop;
    desktop.kind = TrayKind::None;
    DesktopTray tray(desktop.Detect());
    int missing = 0;
    tray.SetTrayMissingHandler(std::chrono::milliseconds(30), [&] { ++missing; });
    Recorder r;
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    const auto d = Record(r.window.handle(), 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, red, "waiting");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, d));
    ASSERT_TRUE(tray.SetIconMenu(r.window.handle(), 1, CommandMenu()));
    EXPECT_TRUE(ShownIcons().empty());
    EXPECT_EQ(tray.Kind(), TrayKind::None);
    EXPECT_FALSE(tray.ShowMessage(r.window.handle(), 1, "a", "b")) << "nowhere to show it yet";
    // Changes while waiting are kept for the icon to come.
    ASSERT_TRUE(tray.NotifyIcon(NIM_MODIFY, Record(r.window.handle(), 1, NIF_TIP, 0, "changed")));

    ASSERT_TRUE(WaitUntil([&] { return missing == 1; }));
    // The watch goes on after the report, and the report is not repeated.
    const int looks = desktop.looks;
    ASSERT_TRUE(WaitUntil([&] { return desktop.looks > looks + 1; }));
    EXPECT_EQ(missing, 1);
    EXPECT_TRUE(ShownIcons().empty());

    desktop.kind = TrayKind::StatusNotifier;
    ASSERT_TRUE(WaitUntil([&] { return ShownIcons().size() == 1; }));
    QSystemTrayIcon* icon = ShownIcons()[0];
    EXPECT_EQ(tray.Kind(), TrayKind::StatusNotifier);
    EXPECT_EQ(icon->toolTip(), QString("changed"));
    EXPECT_EQ(icon->icon().pixmap(16, 16).toImage().pixel(4, 4), qRgb(255, 0, 0));
    ASSERT_NE(icon->contextMenu(), nullptr) << "the menu set while waiting goes with the icon";
    EXPECT_EQ(icon->contextMenu()->actions().size(), 4);
    EXPECT_TRUE(tray.ShowMessage(r.window.handle(), 1, "Postwren", "\x82\xA0"));

    // Once there, nothing is looked for any more.
    const int settled = desktop.looks;
    QDeadlineTimer quiet(100);
    while (!quiet.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(desktop.looks, settled);
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, d));
    DestroyIcon(red);
}

TEST(DesktopTray, TheKindIsDecidedWithTheFirstIconAsTheToolkitDoes) {
    TestDesktop desktop;
    DesktopTray tray(desktop.Detect());
    Recorder r;
    const auto first = Record(r.window.handle(), 1, NIF_MESSAGE, 0, "");
    const auto second = Record(r.window.handle(), 2, NIF_MESSAGE, 0, "");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, first));
    desktop.kind = TrayKind::StatusNotifier;
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, second));
    EXPECT_EQ(tray.Kind(), TrayKind::XEmbed);
    ASSERT_TRUE(tray.SetIconMenu(r.window.handle(), 2, CommandMenu()));
    for (QSystemTrayIcon* icon : ShownIcons()) EXPECT_EQ(icon->contextMenu(), nullptr);
    tray.NotifyIcon(NIM_DELETE, first);
    tray.NotifyIcon(NIM_DELETE, second);
}

}  // namespace
