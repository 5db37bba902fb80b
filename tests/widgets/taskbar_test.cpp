#include "widgets/taskbar.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/application.h"
#include "core/exception.h"
#include "core/text.h"
#include "framework/imagelist.h"
#include "framework/menus.h"
#include "tests/support/fake_tray_service.h"

using namespace platform;

namespace {

using testing_support::WaitUntil;

// Handles every message queued now and whatever those queue in turn, so a
// test can tell that something did not happen.
void Drain() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

QImage Solid(QRgb colour) {
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

class TaskBarTest : public testing::Test {
protected:
    void SetUp() override {
        saved_.mainForm = Application->MainForm;
        saved_.showMainForm = Application->ShowMainForm;
        saved_.onMinimize = Application->OnMinimize;
        saved_.onRestore = Application->OnRestore;
        saved_.onException = Application->OnException;
        Application->MainForm = nullptr;
        Application->ShowMainForm = true;
        Application->ShowAppWindow(true);
        Application->OnException = [this](TObject*, const Exception& e) { reported.push_back(e.Message()); };
    }
    void TearDown() override {
        delete owner;  // takes the components (and their icons) first
        owner = nullptr;
        Drain();
        Application->Restore();
        Application->MainForm = saved_.mainForm;
        Application->ShowMainForm = saved_.showMainForm;
        Application->OnMinimize = saved_.onMinimize;
        Application->OnRestore = saved_.onRestore;
        Application->OnException = saved_.onException;
        Application->ShowAppWindow(true);
    }

    // A tray icon with the given settings, loaded like a designed component.
    TTaskBar* MakeLoaded(const std::function<void(TTaskBar*)>& design) {
        owner->BeginLoading();
        auto* bar = new TTaskBar(owner, tray);
        design(bar);
        owner->EndLoading();
        return bar;
    }

    // The main window's menu: 今すぐチェック (default), 設定, -, 終了.
    TPopupMenu* MakeMenu(std::vector<std::string>& ran) {
        auto* menu = new TPopupMenu(owner);
        for (const char* caption : {"今すぐチェック", "設定", "-", "終了"}) {
            auto* item = new TMenuItem(owner);
            item->SetCaption(Sjis(caption));
            item->OnClick = [&ran, caption](TObject*) { ran.push_back(caption); };
            menu->Items()->Add(item);
        }
        menu->Items()->Items(0)->SetDefault(true);
        return menu;
    }

    static TMenuItem* AddItem(TMenuItem* parent, const char* caption, std::vector<std::string>* ran = nullptr) {
        auto* item = new TMenuItem(parent);
        item->SetCaption(caption);
        if (ran != nullptr)
            item->OnClick = [ran, caption](TObject*) { ran->push_back(caption); };
        parent->Add(item);
        return item;
    }

    // The desktop reports a double click: press, then double click.
    void DoubleClick(TTaskBar* bar) {
        ASSERT_TRUE(tray.Activate(bar->WindowHandle(), bar->IconData().uID, WM_LBUTTONDOWN));
        ASSERT_TRUE(tray.Activate(bar->WindowHandle(), bar->IconData().uID, WM_LBUTTONDBLCLK));
        Drain();
    }

    FakeTrayService tray;
    TComponent* owner = new TComponent(nullptr);
    std::vector<std::string> reported;

private:
    struct {
        TForm* mainForm;
        bool showMainForm;
        TNotifyEvent onMinimize, onRestore;
        std::function<void(TObject*, const Exception&)> onException;
    } saved_;
};

TEST_F(TaskBarTest, AddsOnceDeletesOnceAndReAddsWithTheCurrentCount) {
    auto* first = new TTaskBar(owner, tray);
    auto* second = new TTaskBar(owner, tray);
    ASSERT_EQ(TTaskBar::TaskBarCount(), 2);
    second->SetTip("Postwren");

    second->Add();
    second->Add();
    ASSERT_EQ(tray.CountOf(NIM_ADD), 1);
    const NOTIFYICONDATAA& added = tray.Last(NIM_ADD)->data;
    EXPECT_EQ(added.cbSize, 88u);
    EXPECT_EQ(added.hWnd, second->WindowHandle());
    EXPECT_EQ(added.uID, 2u);
    EXPECT_EQ(added.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_EQ(added.uCallbackMessage, 0x464u);
    EXPECT_EQ(added.hIcon, ApplicationIcon()->Handle());
    EXPECT_STREQ(added.szTip, "Postwren");
    EXPECT_EQ(tray.area.Icons().size(), 1u);

    second->Delete();
    second->Delete();
    EXPECT_EQ(tray.CountOf(NIM_DELETE), 1);
    EXPECT_TRUE(tray.area.Icons().empty());

    delete first;
    ASSERT_EQ(TTaskBar::TaskBarCount(), 1);
    second->Add();
    EXPECT_EQ(tray.Last(NIM_ADD)->data.uID, 1u);
    EXPECT_NE(tray.area.Find(second->WindowHandle(), 1), nullptr);

    // Destroying the component takes its icon away.
    delete second;
    EXPECT_EQ(TTaskBar::TaskBarCount(), 0);
    EXPECT_EQ(tray.CountOf(NIM_DELETE), 2);
    EXPECT_TRUE(tray.area.Icons().empty());
}

TEST_F(TaskBarTest, ActiveFollowsTheCallsNotTheTraysAnswer) {
    auto* bar = new TTaskBar(owner, tray);
    tray.refuseAll = true;
    bar->Add();
    EXPECT_TRUE(bar->Active());
    EXPECT_FALSE(tray.calls.back().succeeded);
    bar->Add();
    EXPECT_EQ(tray.CountOf(NIM_ADD), 1);
    bar->Delete();
    EXPECT_FALSE(bar->Active());
    EXPECT_EQ(tray.CountOf(NIM_DELETE), 1);
}

TEST_F(TaskBarTest, LoadingAddsTheIconAndKeepsTheMainFormFromShowingAtStart) {
    // What the main window designs: the icon comes up while it loads, before
    // it is the application's main form.
    auto* bar = MakeLoaded([](TTaskBar* b) {
        b->SetHideMainForm(true);
        b->SetDisableShowForm(true);
        b->SetTip("Postwren");
    });
    EXPECT_TRUE(bar->AutoLoad());
    EXPECT_TRUE(bar->Active());
    EXPECT_EQ(tray.CountOf(NIM_ADD), 1);
    EXPECT_STREQ(tray.area.Find(bar->WindowHandle(), bar->IconData().uID)->szTip, "Postwren");
    EXPECT_FALSE(Application->ShowMainForm);
    EXPECT_TRUE(Application->AppWindowVisible());  // HideTaskBar is off

    // Without AutoLoad nothing is added.
    MakeLoaded([](TTaskBar*) {});
    EXPECT_EQ(tray.CountOf(NIM_ADD), 1);
}

TEST_F(TaskBarTest, AddingWithAMainFormHidesItAndTheTaskBarEntry) {
    TForm form(nullptr);
    form.Show();
    Application->MainForm = &form;
    MakeLoaded([](TTaskBar* b) {
        b->SetHideMainForm(true);
        b->SetHideTaskBar(true);
    });
    EXPECT_FALSE(form.Visible());
    EXPECT_TRUE(Application->ShowMainForm);
    EXPECT_FALSE(Application->AppWindowVisible());
    Application->MainForm = nullptr;
}

TEST_F(TaskBarTest, MinimiseAndRestoreHandlersFollowHideTaskBarAndOutliveNothing) {
    auto* bar = MakeLoaded([](TTaskBar* b) { b->SetHideTaskBar(true); });
    Application->Minimize();
    EXPECT_FALSE(Application->AppWindowVisible());
    Application->Restore();
    EXPECT_TRUE(Application->AppWindowVisible());

    bar->SetHideTaskBar(false);
    Application->Minimize();
    EXPECT_TRUE(Application->AppWindowVisible());
    Application->Restore();

    // The handlers stay installed on the application after the component is
    // gone; they must not reach the dead object.
    bar->SetHideTaskBar(true);
    delete bar;
    Application->Minimize();
    EXPECT_TRUE(Application->AppWindowVisible());
    Application->Restore();
}

TEST_F(TaskBarTest, TipChangesReachTheTrayOnlyThroughTheDeferredRefresh) {
    auto* bar = new TTaskBar(owner, tray);
    bar->SetTip("before");
    Drain();
    EXPECT_TRUE(tray.calls.empty());  // nothing posted while not shown

    bar->Add();
    EXPECT_STREQ(tray.Last(NIM_ADD)->data.szTip, "before");

    bar->SetTip("after");
    EXPECT_EQ(tray.CountOf(NIM_MODIFY), 0);
    EXPECT_STREQ(tray.area.Find(bar->WindowHandle(), 1)->szTip, "before");
    ASSERT_TRUE(WaitUntil([&] { return tray.CountOf(NIM_MODIFY) == 1; }));
    const NOTIFYICONDATAA& modified = tray.Last(NIM_MODIFY)->data;
    EXPECT_STREQ(modified.szTip, "after");
    EXPECT_EQ(modified.uID, 1u);
    EXPECT_EQ(modified.uFlags, NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_STREQ(tray.area.Find(bar->WindowHandle(), 1)->szTip, "after");

    // Each setter call posts its own refresh.
    bar->SetTip("one");
    bar->SetTip("two");
    Drain();
    EXPECT_EQ(tray.CountOf(NIM_MODIFY), 3);
    EXPECT_STREQ(tray.area.Find(bar->WindowHandle(), 1)->szTip, "two");

    // A refresh still queued when the icon goes away does nothing.
    bar->SetTip("late");
    bar->Delete();
    Drain();
    EXPECT_EQ(tray.CountOf(NIM_MODIFY), 3);
}

struct TipCase {
    const char* name;
    std::string utf8;   // the Text, written in UTF-8
    size_t bytesShown;  // CP932 bytes the tray receives
};

void PrintTo(const TipCase& c, std::ostream* os) {
    *os << c.name;
}

class TipTruncation : public testing::TestWithParam<TipCase> {};

TEST_P(TipTruncation, CutsAtSixtyThreeBytesBetweenCharacters) {
    FakeTrayService tray;
    TTaskBar bar(nullptr, tray);
    const AnsiString text = Sjis(GetParam().utf8);
    bar.SetTip(text);
    bar.Add();
    const char* tip = tray.Last(NIM_ADD)->data.szTip;
    const size_t length = strnlen(tip, kNotifyTipSize);
    ASSERT_LT(length, kNotifyTipSize) << "the tip field must end in a NUL";
    EXPECT_EQ(length, GetParam().bytesShown);
    EXPECT_EQ(std::string(tip, length), text.substr(0, length));
    EXPECT_TRUE(TryCp932ToUtf8(std::string(tip, length)).has_value()) << "a character was split";
    EXPECT_EQ(bar.Text(), text) << "the property keeps the whole text";
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

INSTANTIATE_TEST_SUITE_P(Texts, TipTruncation,
                         testing::Values(TipCase{"Short", "Postwren", 8}, TipCase{"Empty", "", 0},
                                         TipCase{"ExactlyFull", Repeat("a", 63), 63},
                                         TipCase{"OneOver", Repeat("a", 64), 63},
                                         // 2-byte characters: the 63rd byte would be a lead byte.
                                         TipCase{"KanaEven", Repeat("あ", 40), 62},
                                         TipCase{"KanaOdd", "a" + Repeat("あ", 40), 63},
                                         // 亜 is 0x88 0x9F: its trail byte looks like a lead byte.
                                         TipCase{"TrailInLeadRange", Repeat("亜", 40), 62},
                                         TipCase{"TrailInLeadRangeOdd", "b" + Repeat("亜", 40), 63},
                                         // 表 is 0x95 0x5C: its trail byte is a backslash.
                                         TipCase{"BackslashTrail", Repeat("x", 62) + "表", 62},
                                         // Half-width katakana are single bytes above 0x7F.
                                         TipCase{"HalfWidthKana", Repeat("ｱ", 70), 63}),
                         [](const testing::TestParamInfo<TipCase>& info) { return info.param.name; });

TEST_F(TaskBarTest, SetterCouplings) {
    auto* bar = new TTaskBar(owner, tray);
    bar->SetHideMainForm(true);
    EXPECT_TRUE(bar->AutoLoad());
    bar->SetHideMainForm(false);
    EXPECT_TRUE(bar->AutoLoad());  // turning it off leaves AutoLoad alone
    bar->SetHideMainForm(true);
    bar->SetAutoLoad(false);
    EXPECT_FALSE(bar->HideMainForm());
    bar->SetAutoLoad(true);
    EXPECT_FALSE(bar->HideMainForm());

    bar->SetImageIndex(-5);
    EXPECT_EQ(bar->ImageIndex(), -1);
    bar->SetImageIndex(3);
    EXPECT_EQ(bar->ImageIndex(), 3);
}

TEST_F(TaskBarTest, IconComesFromTheImageListOnlyForAnEntryItHas) {
    auto* images = new TImageList(owner);
    TIcon red, blue;
    red.SetImage(Solid(qRgb(255, 0, 0)));
    blue.SetImage(Solid(qRgb(0, 0, 255)));
    images->AddIcon(&red);
    images->AddIcon(&blue);

    auto* bar = new TTaskBar(owner, tray);
    bar->SetImages(images);
    bar->SetImageIndex(1);
    Drain();
    EXPECT_TRUE(tray.calls.empty());  // a refresh while not shown does nothing
    bar->Add();
    EXPECT_EQ(tray.Last(NIM_ADD)->icon.pixel(8, 8), qRgb(0, 0, 255));

    // An index equal to the entry count shows the application icon.
    bar->SetImageIndex(2);
    ASSERT_TRUE(WaitUntil([&] { return tray.CountOf(NIM_MODIFY) == 1; }));
    EXPECT_EQ(tray.Last(NIM_MODIFY)->data.hIcon, ApplicationIcon()->Handle());

    bar->SetImageIndex(0);
    ASSERT_TRUE(WaitUntil([&] { return tray.CountOf(NIM_MODIFY) == 2; }));
    EXPECT_EQ(tray.Last(NIM_MODIFY)->icon.pixel(8, 8), qRgb(255, 0, 0));

    // Setting a list posts a refresh even before anything was changed in it.
    auto* other = new TImageList(owner);
    other->AddIcon(&blue);
    bar->SetImages(other);
    ASSERT_TRUE(WaitUntil([&] { return tray.CountOf(NIM_MODIFY) == 3; }));
    EXPECT_EQ(tray.Last(NIM_MODIFY)->icon.pixel(8, 8), qRgb(0, 0, 255));

    // A destroyed list is forgotten, never read.
    delete other;
    EXPECT_EQ(bar->Images(), nullptr);
    bar->Modify();
    EXPECT_EQ(tray.Last(NIM_MODIFY)->data.hIcon, ApplicationIcon()->Handle());
}

TEST_F(TaskBarTest, ComponentMadeInCodeCanShowAnImageListEntry) {
    TImageList images(nullptr);
    TIcon green;
    green.SetImage(Solid(qRgb(0, 255, 0)));
    images.AddIcon(&green);
    TTaskBar bar(nullptr, tray);  // never loaded: no icon object from Loaded
    bar.SetImages(&images);
    bar.SetImageIndex(0);
    bar.Add();
    EXPECT_EQ(tray.Last(NIM_ADD)->icon.pixel(8, 8), qRgb(0, 255, 0));
    bar.Delete();
}

TEST_F(TaskBarTest, MouseActivityIsHandledFromTheQueueWithTheCursorOfTheCallback) {
    auto* bar = new TTaskBar(owner, tray);
    std::vector<std::string> events;
    bar->OnMouseDown = [&](TObject* sender, TMouseButton button, TShiftState shift, int x, int y) {
        EXPECT_EQ(sender, bar);
        EXPECT_EQ(shift, 0u);
        events.push_back(std::string(button == TMouseButton::mbLeft ? "down left " : "down right ") +
                         std::to_string(x) + "," + std::to_string(y));
    };
    bar->OnClick = [&](TObject*) { events.push_back("click"); };
    bar->OnDblClick = [&](TObject*) { events.push_back("dblclick"); };
    bar->Add();

    // The cursor is read when the callback arrives; positions left of or
    // above the primary screen come through signed.
    tray.cursor = POINT{-20, 700};
    SendMessage(bar->WindowHandle(), WM_TASKBARNOTIFY, 1, WM_LBUTTONDOWN);
    EXPECT_TRUE(events.empty());  // handled later, from the queue
    tray.cursor = POINT{1000, 1000};
    Drain();
    ASSERT_EQ(events, (std::vector<std::string>{"down left -20,700", "click"}));

    events.clear();
    tray.cursor = POINT{5, 6};
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_LBUTTONDOWN));
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_LBUTTONDBLCLK));
    Drain();
    EXPECT_EQ(events, (std::vector<std::string>{"down left 5,6", "click", "down left 5,6", "dblclick"}));

    // Other mouse messages, releases included, are dropped.
    events.clear();
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_LBUTTONUP));
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_MOUSEMOVE));
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_RBUTTONUP));
    Drain();
    EXPECT_TRUE(events.empty());
}

TEST_F(TaskBarTest, RightPressPopsTheMenuUpAtTheCursorUnlessAutoPopupIsOff) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    auto* bar = new TTaskBar(owner, tray);
    bar->SetPopupMenu(menu);
    int rightPresses = 0;
    bar->OnMouseDown = [&](TObject*, TMouseButton b, TShiftState, int, int) {
        rightPresses += b == TMouseButton::mbRight ? 1 : 0;
    };
    bar->Add();

    menu->SetAutoPopup(false);
    tray.cursor = POINT{100, 120};
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_RBUTTONDOWN));
    Drain();
    EXPECT_EQ(rightPresses, 1);
    EXPECT_EQ(menu->ShownMenu(), nullptr);

    menu->SetAutoPopup(true);
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_RBUTTONDOWN));
    ASSERT_TRUE(WaitUntil([&] { return menu->ShownMenu() != nullptr; }));
    EXPECT_EQ(rightPresses, 2);
    EXPECT_EQ(menu->PopupComponent(), bar);
    QMenu* shown = menu->ShownMenu();
    EXPECT_EQ(shown->pos(), QPoint(100, 120));
    ASSERT_EQ(shown->actions().size(), 4);
    EXPECT_EQ(shown->actions()[0]->text(), QString::fromUtf8("今すぐチェック"));
    EXPECT_TRUE(shown->actions()[0]->font().bold());
    EXPECT_TRUE(shown->actions()[2]->isSeparator());
    EXPECT_TRUE(ran.empty());

    // Choosing an entry runs its command once the menu has closed.
    shown->actions()[1]->trigger();
    EXPECT_TRUE(ran.empty());
    ASSERT_TRUE(WaitUntil([&] { return ran.size() == 1; }));
    EXPECT_EQ(ran[0], "設定");
    menu->CloseMenu();
}

TEST_F(TaskBarTest, ADestroyedMenuIsForgotten) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    auto* bar = new TTaskBar(owner, tray);
    bar->SetPopupMenu(menu);
    bar->Add();
    delete menu;
    EXPECT_EQ(bar->PopupMenu(), nullptr);
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_RBUTTONDOWN));
    DoubleClick(bar);
    EXPECT_TRUE(ran.empty());
    EXPECT_TRUE(reported.empty());
}

TEST_F(TaskBarTest, DoubleClickRunsTheMenusDefaultItemWithoutShowingTheMainForm) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    TForm form(nullptr);
    Application->MainForm = &form;
    auto* bar = MakeLoaded([&](TTaskBar* b) {
        b->SetHideMainForm(true);
        b->SetDisableShowForm(true);
        b->SetPopupMenu(menu);
    });
    form.Hide();
    DoubleClick(bar);
    EXPECT_EQ(ran, (std::vector<std::string>{"今すぐチェック"}));
    EXPECT_FALSE(form.Visible());
    Application->MainForm = nullptr;
}

TEST_F(TaskBarTest, DefaultItemIsTheFirstInDepthFirstOrder) {
    std::vector<std::string> ran;
    auto* menu = new TPopupMenu(owner);
    TMenuItem* root = menu->Items();
    AddItem(root, "plain", &ran);
    TMenuItem* sub = AddItem(root, "sub");
    TMenuItem* deeper = AddItem(sub, "deeper");
    AddItem(deeper, "nested default", &ran)->SetDefault(true);
    AddItem(sub, "later in sub", &ran)->SetDefault(true);
    AddItem(root, "top-level default after", &ran)->SetDefault(true);

    auto* bar = new TTaskBar(owner, tray);
    bar->SetDisableShowForm(true);
    bar->SetPopupMenu(menu);
    bar->Add();
    DoubleClick(bar);
    EXPECT_EQ(ran, (std::vector<std::string>{"nested default"}));

    // A submenu flagged Default is itself the command.
    ran.clear();
    sub->SetDefault(true);
    DoubleClick(bar);
    EXPECT_TRUE(ran.empty());  // a submenu item has no handler of its own
    EXPECT_TRUE(reported.empty());
}

TEST_F(TaskBarTest, DoubleClickRestoresTheMainFormUnlessDisableShowForm) {
    TForm form(nullptr);
    Application->MainForm = &form;
    auto* bar = new TTaskBar(owner, tray);  // no menu: no command to run
    bar->Add();

    bar->SetDisableShowForm(true);
    Application->Minimize();
    DoubleClick(bar);
    EXPECT_FALSE(form.Visible());
    EXPECT_TRUE(Application->Minimized());

    bar->SetDisableShowForm(false);
    DoubleClick(bar);
    EXPECT_TRUE(form.Visible());
    EXPECT_FALSE(Application->Minimized());
    form.Hide();
    Application->MainForm = nullptr;
}

TEST_F(TaskBarTest, FailingDefaultCommandStillShowsTheFormAndReachesTheMessageLoop) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    menu->Items()->Items(0)->OnClick = [](TObject*) { throw Exception("Connection Failed"); };
    TForm form(nullptr);
    Application->MainForm = &form;
    auto* bar = new TTaskBar(owner, tray);
    bar->SetPopupMenu(menu);
    bar->Add();

    DoubleClick(bar);
    EXPECT_TRUE(form.Visible());
    EXPECT_EQ(reported, (std::vector<std::string>{"Connection Failed"}));

    // With DisableShowForm the failure is reported all the same.
    form.Hide();
    bar->SetDisableShowForm(true);
    DoubleClick(bar);
    EXPECT_FALSE(form.Visible());
    EXPECT_EQ(reported.size(), 2u);
    Application->MainForm = nullptr;
}

TEST_F(TaskBarTest, MenuDestroyedWhilePendingMessagesRunIsNotUsed) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    auto* bar = new TTaskBar(owner, tray);
    bar->SetDisableShowForm(true);
    bar->SetPopupMenu(menu);
    bar->Add();

    // A message already queued when the double click is handled destroys the
    // menu; it runs while the double click lets pending messages through.
    MessageWindow killer([&](UINT, WPARAM, LPARAM) -> LRESULT {
        delete menu;
        return 0;
    });
    ASSERT_TRUE(PostMessage(killer.handle(), WM_USER, 0, 0));
    SendMessage(bar->WindowHandle(), WM_LBUTTONDBLCLK, 0, 0);
    EXPECT_EQ(bar->PopupMenu(), nullptr);
    EXPECT_TRUE(ran.empty());
}

}  // namespace

namespace {

TEST_F(TaskBarTest, TraysThatShowMenusGetTheTopLevelItemsAndRunTheChosenOnes) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    menu->Items()->Items(1)->SetEnabled(false);
    auto* hidden = AddItem(menu->Items(), "hidden", &ran);
    hidden->SetVisible(false);
    auto* bar = MakeLoaded([&](TTaskBar* b) {
        b->SetAutoLoad(true);
        b->SetPopupMenu(menu);
    });
    const auto key = std::make_pair(bar->WindowHandle(), bar->IconData().uID);
    ASSERT_EQ(tray.menus.count(key), 1u) << "handed over when the icon was added";
    const std::vector<TrayMenuEntry>& entries = tray.menus[key];
    ASSERT_EQ(entries.size(), 4u) << "invisible items stay out";
    EXPECT_EQ(entries[0].caption, Sjis("今すぐチェック"));
    EXPECT_TRUE(entries[0].isDefault);
    EXPECT_FALSE(entries[1].isDefault);
    EXPECT_FALSE(entries[1].enabled);
    EXPECT_EQ(entries[2].caption, "-");
    EXPECT_EQ(entries[3].caption, Sjis("終了"));

    ASSERT_TRUE(tray.ChooseMenuEntry(key.first, key.second, entries[3].command));
    ASSERT_TRUE(tray.ChooseMenuEntry(key.first, key.second, entries[0].command));
    ASSERT_TRUE(tray.ChooseMenuEntry(key.first, key.second, entries[1].command));  // disabled: no run
    Drain();
    EXPECT_EQ(ran, (std::vector<std::string>{"終了", "今すぐチェック"}));

    // An item taken out of the menu after the hand-over is not run; the
    // tray gets the menu again when asked, and an empty one without a menu.
    TMenuItem* exitItem = menu->Items()->Items(3);
    const UINT exitCommand = entries[3].command;
    menu->Items()->Remove(exitItem);
    ran.clear();
    ASSERT_TRUE(tray.ChooseMenuEntry(key.first, key.second, exitCommand));
    Drain();
    EXPECT_TRUE(ran.empty());
    delete exitItem;
    bar->ExportMenu();
    EXPECT_EQ(tray.menus[key].size(), 3u);
    delete menu;
    EXPECT_TRUE(tray.menus[key].empty());
    EXPECT_TRUE(reported.empty());
}

TEST_F(TaskBarTest, AnActivationRunsTheDefaultItemAndABalloonNeedsAShownIcon) {
    std::vector<std::string> ran;
    TPopupMenu* menu = MakeMenu(ran);
    auto* bar = new TTaskBar(owner, tray);
    bar->SetPopupMenu(menu);
    bar->SetDisableShowForm(true);
    int clicks = 0;
    bar->OnClick = [&](TObject*) { ++clicks; };
    EXPECT_FALSE(bar->ShowBalloon("Postwren", "x")) << "not in the tray";
    bar->Add();

    // What a one-click tray sends: a press, then the activation.
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_LBUTTONDOWN));
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, NIN_SELECT));
    Drain();
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(ran, (std::vector<std::string>{"今すぐチェック"}));
    // A press alone (XEmbed's single click) stays inert.
    ASSERT_TRUE(tray.Activate(bar->WindowHandle(), 1, WM_LBUTTONDOWN));
    Drain();
    EXPECT_EQ(ran.size(), 1u);

    const AnsiString greeting = Sjis("太郎さん\nメールが 3通届いてます。");
    ASSERT_TRUE(bar->ShowBalloon("Postwren", greeting));
    ASSERT_EQ(tray.messages.size(), 1u);
    EXPECT_EQ(tray.messages[0].uID, bar->IconData().uID);
    EXPECT_EQ(tray.messages[0].title, "Postwren");
    EXPECT_EQ(tray.messages[0].text, greeting);
    bar->Delete();
    EXPECT_FALSE(bar->ShowBalloon("Postwren", greeting));
}

}  // namespace
