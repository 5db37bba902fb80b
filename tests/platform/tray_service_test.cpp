#include "platform/tray_service.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QSystemTrayIcon>
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
    const std::unique_ptr<TrayService> desktop = MakeDesktopTray();
    TrayService& tray = *desktop;
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
    const std::unique_ptr<TrayService> desktop = MakeDesktopTray();
    TrayService& tray = *desktop;
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
    const std::unique_ptr<TrayService> desktop = MakeDesktopTray();
    TrayService& tray = *desktop;
    MessageWindow window;
    const auto d = Record(window.handle(), 1, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0, "no picture");
    ASSERT_TRUE(tray.NotifyIcon(NIM_ADD, d));
    ASSERT_EQ(ShownIcons().size(), 1u);
    EXPECT_FALSE(ShownIcons()[0]->icon().isNull());
    ASSERT_TRUE(tray.NotifyIcon(NIM_DELETE, d));
}

}  // namespace
