#include "framework/menus.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QMenu>
#include <functional>
#include <string>
#include <vector>

#include "core/application.h"
#include "core/exception.h"
#include "core/text.h"

namespace {

using testing_support::WaitUntil;

void Drain() {
    for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

TMenuItem* Item(TComponent* owner, TMenuItem* parent, const char* caption) {
    auto* item = new TMenuItem(owner);
    item->SetCaption(Sjis(caption));
    parent->Add(item);
    return item;
}

std::vector<std::string> Captions(const TMenuItem* parent) {
    std::vector<std::string> out;
    for (int i = 0; i < parent->Count(); ++i) out.push_back(parent->Items(i)->Caption());
    return out;
}

TEST(MenuItems, TreeEditsKeepItConsistentAndRefuseBadCalls) {
    TComponent owner(nullptr);
    TPopupMenu menu(&owner);
    TMenuItem* root = menu.Items();
    TMenuItem* a = Item(&owner, root, "a");
    TMenuItem* b = Item(&owner, root, "b");
    TMenuItem* sub = Item(&owner, root, "sub");
    TMenuItem* inner = Item(&owner, sub, "inner");
    EXPECT_EQ(Captions(root), (std::vector<std::string>{"a", "b", "sub"}));
    EXPECT_EQ(inner->GetParentMenu(), &menu);

    // Adding an item elsewhere moves it; adding it to its own parent moves it last.
    sub->Insert(0, a);
    EXPECT_EQ(Captions(root), (std::vector<std::string>{"b", "sub"}));
    EXPECT_EQ(Captions(sub), (std::vector<std::string>{"a", "inner"}));
    EXPECT_EQ(a->Parent(), sub);
    sub->Add(a);
    EXPECT_EQ(Captions(sub), (std::vector<std::string>{"inner", "a"}));

    // Bad calls change nothing.
    EXPECT_THROW(inner->Add(sub), EInvalidOperation);
    EXPECT_THROW(sub->Add(sub), EInvalidOperation);
    EXPECT_THROW(root->Insert(5, b), EInvalidOperation);
    EXPECT_THROW(root->Add(nullptr), EInvalidOperation);
    EXPECT_THROW(root->Items(2), EInvalidOperation);
    EXPECT_EQ(Captions(root), (std::vector<std::string>{"b", "sub"}));
    EXPECT_EQ(b->Parent(), root);

    root->Remove(b);
    EXPECT_EQ(b->Parent(), nullptr);
    EXPECT_EQ(b->GetParentMenu(), nullptr);
    EXPECT_EQ(root->IndexOf(b), -1);
    delete b;

    // Freeing a submenu frees its items, which leave their owner too.
    const int owned = owner.ComponentCount();
    delete sub;
    EXPECT_EQ(owner.ComponentCount(), owned - 3);
    EXPECT_EQ(root->Count(), 0);
}

// An item that notes its destruction.
class CountedItem : public TMenuItem {
public:
    CountedItem(TComponent* owner, std::vector<std::string>& gone, const char* name)
        : TMenuItem(owner), gone_(gone), name_(name) {}
    ~CountedItem() override { gone_.push_back(name_); }

private:
    std::vector<std::string>& gone_;
    std::string name_;
};

TEST(MenuItems, OwnerAndTreeFreeEachItemOnceInEitherOrder) {
    std::vector<std::string> gone;

    // Items made after the menu: the owner frees them first, then the menu.
    auto* form = new TComponent(nullptr);
    auto* menu = new TPopupMenu(form);
    auto* sub = new CountedItem(form, gone, "sub");
    menu->Items()->Add(sub);
    sub->Add(new CountedItem(form, gone, "inner"));
    delete form;
    EXPECT_EQ(gone, (std::vector<std::string>{"inner", "sub"}));

    // Menu made after its items: freeing the menu frees the tree, which
    // leaves the owner's list, and the owner frees nothing twice.
    gone.clear();
    form = new TComponent(nullptr);
    auto* early = new CountedItem(form, gone, "early");
    early->Add(new CountedItem(form, gone, "child"));
    menu = new TPopupMenu(form);
    menu->Items()->Add(early);
    EXPECT_EQ(form->ComponentCount(), 3);
    delete menu;
    EXPECT_EQ(gone, (std::vector<std::string>{"early", "child"}));
    EXPECT_EQ(form->ComponentCount(), 0);
    delete form;
    EXPECT_EQ(gone.size(), 2u);
}

class PopupMenuTest : public testing::Test {
protected:
    void SetUp() override {
        savedOnException_ = Application->OnException;
        Application->OnException = [this](TObject*, const Exception& e) { reported.push_back(e.Message()); };
        root = menu.Items();
        check = Item(&owner, root, "今すぐチェック");
        check->SetDefault(true);
        check->OnClick = [this](TObject*) { ran.push_back("check"); };
        Item(&owner, root, "-");
        hidden = Item(&owner, root, "hidden");
        hidden->SetVisible(false);
        disabled = Item(&owner, root, "disabled");
        disabled->SetEnabled(false);
        sub = Item(&owner, root, "sub");
        nested = Item(&owner, sub, "nested");
        nested->OnClick = [this](TObject*) { ran.push_back("nested"); };
    }
    void TearDown() override {
        menu.CloseMenu();
        Drain();
        Application->OnException = savedOnException_;
    }

    QAction* Action(const QMenu* m, const QString& text) {
        for (QAction* a : m->actions())
            if (a->text() == text)
                return a;
        return nullptr;
    }

    TComponent owner{nullptr};
    TPopupMenu menu{&owner};
    TMenuItem *root, *check, *hidden, *disabled, *sub, *nested;
    std::vector<std::string> ran;
    std::vector<std::string> reported;

private:
    std::function<void(TObject*, const Exception&)> savedOnException_;
};

TEST_F(PopupMenuTest, ShowsTheVisibleTreeAtThePoint) {
    bool popupFired = false;
    menu.OnPopup = [&](TObject*) {
        popupFired = true;
        EXPECT_EQ(menu.ShownMenu(), nullptr) << "OnPopup comes before the menu shows";
    };
    menu.Popup(40, 50);
    EXPECT_TRUE(popupFired);
    QMenu* shown = menu.ShownMenu();
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(shown->pos(), QPoint(40, 50));
    ASSERT_EQ(shown->actions().size(), 4);  // the hidden item is left out
    EXPECT_EQ(shown->actions()[0]->text(), QString::fromUtf8("今すぐチェック"));
    EXPECT_TRUE(shown->actions()[0]->font().bold());
    EXPECT_EQ(shown->defaultAction(), shown->actions()[0]);
    EXPECT_TRUE(shown->actions()[1]->isSeparator());
    EXPECT_FALSE(Action(shown, "disabled")->isEnabled());
    QMenu* submenu = Action(shown, "sub")->menu();
    ASSERT_NE(submenu, nullptr);
    EXPECT_EQ(submenu->actions().size(), 1);

    menu.CloseMenu();
    EXPECT_EQ(menu.ShownMenu(), nullptr);
}

TEST_F(PopupMenuTest, ChosenCommandRunsFromTheMessageLoopOnce) {
    menu.Popup(0, 0);
    QMenu* submenu = Action(menu.ShownMenu(), "sub")->menu();
    submenu->actions()[0]->trigger();
    EXPECT_TRUE(ran.empty()) << "not inside the menu's own event handling";
    ASSERT_TRUE(WaitUntil([&] { return !ran.empty(); }));
    Drain();
    EXPECT_EQ(ran, (std::vector<std::string>{"nested"}));
}

TEST_F(PopupMenuTest, CommandOfAnItemGoneOrMovedAwayDoesNotRun) {
    menu.Popup(0, 0);
    QAction* checkAction = menu.ShownMenu()->actions()[0];
    QAction* nestedAction = Action(menu.ShownMenu(), "sub")->menu()->actions()[0];
    checkAction->trigger();
    nestedAction->trigger();
    delete check;         // freed before its command runs
    sub->Remove(nested);  // taken out of this menu
    Drain();
    EXPECT_TRUE(ran.empty());
    delete nested;
}

TEST_F(PopupMenuTest, FailingCommandIsReportedByTheApplication) {
    check->OnClick = [](TObject*) { throw Exception("Authentication failed"); };
    menu.Popup(0, 0);
    menu.ShownMenu()->actions()[0]->trigger();
    ASSERT_TRUE(WaitUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported, (std::vector<std::string>{"Authentication failed"}));
}

TEST_F(PopupMenuTest, PopupComponentIsDroppedWhenDestroyed) {
    auto* user = new TComponent(nullptr);
    menu.SetPopupComponent(user);
    EXPECT_EQ(menu.PopupComponent(), user);
    delete user;
    EXPECT_EQ(menu.PopupComponent(), nullptr);
}

TEST(PopupMenu, DestroyedWithACommandPendingRunsNothing) {
    std::vector<std::string> ran;
    auto* menu = new TPopupMenu(nullptr);
    auto* item = new TMenuItem(menu);
    item->SetCaption("x");
    item->OnClick = [&](TObject*) { ran.push_back("x"); };
    menu->Items()->Add(item);
    menu->Popup(0, 0);
    menu->ShownMenu()->actions()[0]->trigger();
    delete menu;
    Drain();
    EXPECT_TRUE(ran.empty());
}

}  // namespace
