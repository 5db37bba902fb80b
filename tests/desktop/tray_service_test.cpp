#include "desktop/tray_service.h"
#include "tests/support/fake_tray_desktop.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/message_window.h"

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

// An icon record the way TTaskBar adds it.
NOTIFYICONDATAA Shown(HWND hWnd, UINT uID, HICON icon, const char* tip) {
    return Record(hWnd, uID, NIF_MESSAGE | NIF_ICON | NIF_TIP, icon, tip);
}

struct TrayOnFakeDesktop {
    FakeTrayDesktop* desktop;
    DesktopTray tray;
    explicit TrayOnFakeDesktop(TrayKind kind = TrayKind::XEmbed)
        : desktop(new FakeTrayDesktop), tray(std::unique_ptr<TrayDesktop>(desktop)) {
        desktop->offer = TrayOffer{kind, QStringLiteral("first")};
    }
};

QImage Square(int size, QRgb colour) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

// A tray gets the picture drawn for the size it shows, never an upscale of a
// smaller one while a larger one exists; the handle carries every size and
// the theme's name to the tray.
TEST(IconPictures, ChooseThePictureDrawnForTheSize) {
    IconPictures pictures;
    pictures.picture = Square(32, qRgb(32, 0, 0));
    pictures.sizes = {Square(48, qRgb(48, 0, 0)), Square(16, qRgb(16, 0, 0)), Square(32, qRgb(99, 0, 0)), QImage()};
    const std::vector<QImage> all = pictures.All();
    ASSERT_EQ(all.size(), 3u) << "one per size, null ones left out";
    EXPECT_EQ(all[0].width(), 16);
    EXPECT_EQ(all[1].pixel(0, 0), qRgb(99, 0, 0)) << "a picture drawn for the size stands in for the icon's own";
    EXPECT_EQ(all[2].width(), 48);

    EXPECT_EQ(pictures.ForSize(16).pixel(0, 0), qRgb(16, 0, 0));
    EXPECT_EQ(pictures.ForSize(48).pixel(0, 0), qRgb(48, 0, 0));
    const QImage between = pictures.ForSize(22);
    EXPECT_EQ(between.size(), QSize(22, 22));
    EXPECT_EQ(between.pixel(11, 11), qRgb(99, 0, 0)) << "made from the next larger, not the smaller";
    EXPECT_EQ((IconPictures{Square(32, qRgb(32, 0, 0)), {}, {}, {}}).ForSize(32).pixel(0, 0), qRgb(32, 0, 0));
    EXPECT_EQ(pictures.ForSize(96).pixel(50, 50), qRgb(48, 0, 0)) << "only the largest is scaled up";
    EXPECT_TRUE(pictures.ForSize(0).isNull());
    EXPECT_TRUE(IconPictures().ForSize(16).isNull());

    pictures.themeName = QStringLiteral("postwren");
    pictures.themePath = QStringLiteral("/opt/postwren/share/icons");
    const HICON handle = CreateIconFromPictures(pictures);
    TrayOnFakeDesktop t;
    MessageWindow window;
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, Record(window.handle(), 1, NIF_ICON, handle, "")));
    ASSERT_EQ(t.desktop->Shown().size(), 1u);
    const IconPictures& shown = t.desktop->Shown()[0]->pictures;
    EXPECT_EQ(shown.All().size(), 3u);
    EXPECT_EQ(shown.themeName, pictures.themeName);
    EXPECT_EQ(shown.themePath, pictures.themePath);
    DestroyIcon(handle);
    EXPECT_TRUE(IconPicturesOf(handle).All().empty());
}

TEST(DesktopTray, ShowsChangesAndRemovesIcons) {
    TrayOnFakeDesktop t;
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    MessageWindow window;
    const auto added = Shown(window.handle(), 1, red, "\x83\x7C\x83\x58\x83\x67 Postwren");  // ポスト Postwren
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, added));
    EXPECT_FALSE(t.tray.NotifyIcon(NIM_ADD, added));
    ASSERT_EQ(t.desktop->Shown().size(), 1u);
    const auto icon = t.desktop->Shown()[0];
    EXPECT_EQ(icon->tip, QString::fromUtf8("ポスト Postwren"));
    EXPECT_EQ(icon->picture.pixel(4, 4), qRgb(255, 0, 0));

    // The picture is copied when the icon is set: destroying the handle
    // afterwards leaves it shown; a modify changes only what it names.
    DestroyIcon(red);
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_MODIFY, Record(window.handle(), 1, NIF_TIP, 0, "changed")));
    EXPECT_EQ(icon->tip, QString("changed"));
    EXPECT_EQ(icon->picture.pixel(4, 4), qRgb(255, 0, 0));
    // A record naming no picture still gives the icon one, see-through.
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_MODIFY, Record(window.handle(), 1, NIF_ICON, 0, "")));
    ASSERT_FALSE(icon->picture.isNull());
    EXPECT_EQ(qAlpha(icon->picture.pixel(4, 4)), 0);

    EXPECT_FALSE(t.tray.NotifyIcon(NIM_MODIFY, Record(window.handle(), 2, NIF_TIP, 0, "no such icon")));
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_DELETE, added));
    EXPECT_FALSE(icon->shown) << "removed at once, not at the next loop turn";
    EXPECT_FALSE(t.tray.NotifyIcon(NIM_DELETE, added));
    EXPECT_EQ(t.desktop->made.size(), 1u);
}

TEST(DesktopTray, PostsWhatTheTrayReportsToTheIconsWindow) {
    TrayOnFakeDesktop t(TrayKind::StatusNotifier);
    Recorder r;
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, Shown(r.window.handle(), 3, 0, "")));
    ASSERT_TRUE(t.tray.SetIconMenu(r.window.handle(), 3, CommandMenu()));
    EXPECT_FALSE(t.tray.SetIconMenu(r.window.handle(), 9, CommandMenu())) << "no such icon";
    const auto icon = t.desktop->Shown().at(0);
    ASSERT_EQ(icon->menu.size(), 4u);
    EXPECT_EQ(icon->menu[0].caption, CommandMenu()[0].caption);

    icon->reports.mouse(WM_LBUTTONDOWN);
    icon->reports.mouse(NIN_SELECT);
    icon->reports.command(2);
    EXPECT_TRUE(r.received.empty()) << "posted, not sent";
    ASSERT_TRUE(WaitUntil([&] { return r.received.size() >= 3; }));
    QCoreApplication::processEvents();
    const std::vector<std::vector<std::uintptr_t>> expected{
        {kCallback, 3, WM_LBUTTONDOWN}, {kCallback, 3, NIN_SELECT}, {WM_COMMAND, 2, 0}};
    EXPECT_EQ(r.received, expected);

    // A new callback message takes effect with the next activity.
    auto moved = Record(r.window.handle(), 3, NIF_MESSAGE, 0, "");
    moved.uCallbackMessage = kCallback + 7;
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_MODIFY, moved));
    r.received.clear();
    icon->reports.mouse(WM_RBUTTONDOWN);
    ASSERT_TRUE(WaitUntil([&] { return !r.received.empty(); }));
    EXPECT_EQ(r.received[0][0], kCallback + 7);
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_DELETE, moved));
}

TEST(DesktopTray, IconsWaitForATrayReportItMissingOnceAndAppearWhenItComes) {
    TrayOnFakeDesktop t(TrayKind::None);
    int missing = 0;
    t.tray.SetTrayMissingHandler(std::chrono::milliseconds(30), [&] { ++missing; });
    Recorder r;
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    const auto d = Shown(r.window.handle(), 1, red, "waiting");
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, d));
    ASSERT_TRUE(t.tray.SetIconMenu(r.window.handle(), 1, CommandMenu()));
    EXPECT_TRUE(t.desktop->made.empty());
    EXPECT_EQ(t.tray.Kind(), TrayKind::None);
    EXPECT_FALSE(t.tray.ShowMessage(r.window.handle(), 1, "a", "b")) << "nowhere to show it yet";
    // Changes while waiting are kept for the icon to come.
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_MODIFY, Record(r.window.handle(), 1, NIF_TIP, 0, "changed")));

    ASSERT_TRUE(WaitUntil([&] { return missing == 1; }));
    // The watch goes on after the report, and the report is not repeated.
    const int looks = t.desktop->looks;
    ASSERT_TRUE(WaitUntil([&] { return t.desktop->looks > looks + 1; }));
    EXPECT_EQ(missing, 1);
    EXPECT_TRUE(t.desktop->made.empty());

    // A tray that announces itself nowhere is found by looking.
    t.desktop->offer = TrayOffer{TrayKind::XEmbed, QStringLiteral("panel")};
    ASSERT_TRUE(WaitUntil([&] { return t.desktop->Shown().size() == 1; }));
    const auto icon = t.desktop->Shown()[0];
    EXPECT_EQ(t.tray.Kind(), TrayKind::XEmbed);
    EXPECT_EQ(icon->tip, QString("changed"));
    EXPECT_EQ(icon->picture.pixel(4, 4), qRgb(255, 0, 0));
    EXPECT_EQ(icon->menu.size(), 4u) << "the menu set while waiting goes with the icon";
    EXPECT_TRUE(t.tray.ShowMessage(r.window.handle(), 1, "Postwren", "\x82\xA0"));

    // Once there, nothing is looked for any more.
    const int settled = t.desktop->looks;
    QDeadlineTimer quiet(100);
    while (!quiet.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(t.desktop->looks, settled);
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_DELETE, d));
    DestroyIcon(red);
}

// The icon goes where the session says, as often as that changes, and is
// never shown twice.
TEST(DesktopTray, IconsFollowTheSessionsTraysAndAreNeverShownTwice) {
    TrayOnFakeDesktop t(TrayKind::XEmbed);
    int missing = 0;
    t.tray.SetTrayMissingHandler(std::chrono::milliseconds(30), [&] { ++missing; });
    Recorder r;
    const HICON red = CreateIconFromImage(Solid(qRgb(255, 0, 0)));
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, Shown(r.window.handle(), 1, red, "Postwren")));
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, Shown(r.window.handle(), 2, 0, "second")));
    ASSERT_TRUE(t.tray.SetIconMenu(r.window.handle(), 1, CommandMenu()));
    ASSERT_EQ(t.desktop->Shown().size(), 2u);
    EXPECT_EQ(t.tray.Kind(), TrayKind::XEmbed);

    struct Step {
        TrayKind kind;
        const char* identity;
    };
    // A host registers late; its panel restarts; it leaves while an XEmbed
    // tray is there; that tray goes too.
    const std::vector<Step> steps{{TrayKind::StatusNotifier, "watcher"},
                                  {TrayKind::StatusNotifier, "restarted watcher"},
                                  {TrayKind::XEmbed, "tray"},
                                  {TrayKind::None, ""}};
    for (const Step& step : steps) {
        SCOPED_TRACE(step.identity);
        const std::size_t before = t.desktop->made.size();
        t.desktop->Offer(step.kind, QString::fromLatin1(step.identity));
        EXPECT_EQ(t.tray.Kind(), step.kind);
        const auto shown = t.desktop->Shown();
        if (step.kind == TrayKind::None) {
            EXPECT_TRUE(shown.empty());
            continue;
        }
        ASSERT_EQ(shown.size(), 2u);
        EXPECT_EQ(t.desktop->made.size(), before + 2) << "both icons made anew in the new tray";
        for (const auto& icon : shown) EXPECT_EQ(icon->where.identity, QString::fromLatin1(step.identity));
        const auto& first = shown[0]->tip == "Postwren" ? shown[0] : shown[1];
        EXPECT_EQ(first->picture.pixel(4, 4), qRgb(255, 0, 0));
        EXPECT_EQ(first->menu.size(), 4u) << "the menu moves with the icon";
    }
    EXPECT_EQ(t.desktop->mostShownAtOnce, 2) << "an icon was in two trays at once";

    // With the trays gone the icons wait, and the user is told again.
    ASSERT_TRUE(WaitUntil([&] { return missing == 1; }));
    t.desktop->offer = TrayOffer{TrayKind::XEmbed, QStringLiteral("back")};
    ASSERT_TRUE(WaitUntil([&] { return t.desktop->Shown().size() == 2; }));
    // The same offer said again changes nothing.
    const std::size_t made = t.desktop->made.size();
    t.desktop->Offer(TrayKind::XEmbed, QStringLiteral("back"));
    EXPECT_EQ(t.desktop->made.size(), made);
    DestroyIcon(red);
}

TEST(DesktopTray, AnIconTheTrayCannotTakeWaitsAndIsTriedAgain) {
    TrayOnFakeDesktop t(TrayKind::StatusNotifier);
    t.desktop->refuseIcons = true;
    Recorder r;
    const auto d = Shown(r.window.handle(), 1, 0, "");
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_ADD, d));
    EXPECT_EQ(t.tray.Kind(), TrayKind::None);
    EXPECT_FALSE(t.tray.ShowMessage(r.window.handle(), 1, "a", "b"));
    t.desktop->refuseIcons = false;
    ASSERT_TRUE(WaitUntil([&] { return t.desktop->Shown().size() == 1; }));
    EXPECT_EQ(t.tray.Kind(), TrayKind::StatusNotifier);
    ASSERT_TRUE(t.tray.NotifyIcon(NIM_DELETE, d));
}

}  // namespace
