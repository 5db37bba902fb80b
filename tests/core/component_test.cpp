#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/component.h"
#include "core/exception.h"
#include "core/streams.h"

namespace {

std::vector<std::string> journal;

class Recorder : public TComponent {
public:
    Recorder(TComponent* owner, std::string n) : TComponent(owner) { SetName(std::move(n)); }
    ~Recorder() override { journal.push_back("destroy " + Name()); }
    TComponent* watched = nullptr;

protected:
    void Loaded() override {
        TComponent::Loaded();
        journal.push_back("loaded " + Name());
    }
    void Notification(TComponent* c, TOperation op) override {
        if (op == TOperation::opRemove && c == watched) {
            journal.push_back(Name() + " drops " + c->Name());
            watched = nullptr;
        }
    }
};

TEST(Component, OwnerDestroysOwnedLastCreatedFirst) {
    journal.clear();
    auto* root = new Recorder(nullptr, "root");
    new Recorder(root, "a");
    auto* b = new Recorder(root, "b");
    new Recorder(b, "b1");
    EXPECT_EQ(root->ComponentCount(), 2);
    delete root;
    EXPECT_EQ(journal, (std::vector<std::string>{"destroy root", "destroy b", "destroy b1", "destroy a"}));
}

TEST(Component, LoadingBracketCallsLoadedRootFirstInCreationOrder) {
    journal.clear();
    Recorder root(nullptr, "root");
    root.BeginLoading();
    auto* a = new Recorder(&root, "a");
    new Recorder(a, "a1");
    new Recorder(&root, "b");
    EXPECT_TRUE(a->IsLoading());
    root.EndLoading();
    EXPECT_FALSE(a->IsLoading());
    EXPECT_FALSE(root.IsLoading());
    EXPECT_EQ(journal, (std::vector<std::string>{"loaded root", "loaded a", "loaded a1", "loaded b"}));
    journal.clear();
    new Recorder(&root, "late");  // created outside the bracket: never loading
    root.EndLoading();
    EXPECT_TRUE(journal.empty());
}

TEST(Component, FreeNotificationDropsReferenceEitherWay) {
    journal.clear();
    Recorder watcher(nullptr, "watcher");
    auto* menu = new Recorder(nullptr, "menu");
    watcher.watched = menu;
    menu->FreeNotification(&watcher);
    delete menu;
    EXPECT_EQ(watcher.watched, nullptr);
    EXPECT_EQ(journal, (std::vector<std::string>{"destroy menu", "watcher drops menu"}));

    // The watcher going first must not leave a dangling registration behind.
    auto* other = new Recorder(nullptr, "other");
    {
        Recorder shortLived(nullptr, "short");
        other->FreeNotification(&shortLived);
    }
    delete other;  // would touch freed memory if "short" were still registered
}

TEST(Persistent, AssignWithoutSupportNamesBothClasses) {
    Recorder a(nullptr, "a");
    TPersistent plain;
    try {
        a.Assign(&plain);
        FAIL() << "expected EConvertError";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "Cannot assign a TPersistent to a TComponent");
    }
}

TEST(MemoryStream, WritesGrowReadsStopAtEndSwapKeepsPositions) {
    TMemoryStream s;
    s.WriteBuffer("hello", 5);
    EXPECT_EQ(s.Size(), 5);
    EXPECT_EQ(s.Position(), 5);
    s.SetPosition(1);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, 8), 4);
    EXPECT_STREQ(buf, "ello");
    EXPECT_THROW(s.ReadBuffer(buf, 1), Exception);
    TMemoryStream t;
    s.Swap(t);
    EXPECT_EQ(s.Size(), 0);
    EXPECT_EQ(t.Size(), 5);
    EXPECT_EQ(t.Position(), 5);
}

}  // namespace
