// Menus: a tree of menu items, and a popup menu that shows its tree at a
// screen point.
#pragma once

#include <map>
#include <memory>
#include <vector>

#include "core/component.h"
#include "core/events.h"
#include "core/text.h"

class QMenu;
class QObject;
class TPopupMenu;

// A menu entry: a command, a separator (caption "-") or a submenu (an item
// with items). An item frees the items under it; it may have any owner too.
// GUI thread only.
class TMenuItem : public TComponent {
public:
    explicit TMenuItem(TComponent* AOwner);
    // Frees the items under it and leaves its parent.
    ~TMenuItem() override;
    const char* ClassName() const override { return "TMenuItem"; }

    const AnsiString& Caption() const { return caption_; }
    void SetCaption(const AnsiString& caption) { caption_ = caption; }
    // A separator line.
    bool IsLine() const { return caption_ == "-"; }
    // The menu's default command; drawn in bold.
    bool Default() const { return default_; }
    void SetDefault(bool v) { default_ = v; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v) { enabled_ = v; }
    bool Visible() const { return visible_; }
    void SetVisible(bool v) { visible_ = v; }

    // The item tree.
    TMenuItem* Parent() const { return parent_; }
    int Count() const { return static_cast<int>(items_.size()); }
    // Raises EInvalidOperation for a bad index.
    TMenuItem* Items(int index) const;
    int IndexOf(const TMenuItem* item) const;
    // Appends or inserts item, taking it from its old parent first. Raises
    // EInvalidOperation for a null item, the item itself or one of its
    // parents, or an index outside 0..Count().
    void Add(TMenuItem* item);
    void Insert(int index, TMenuItem* item);
    // Takes item out of the tree without freeing it; nothing when it is not a child.
    void Remove(TMenuItem* item);
    // The popup menu whose tree holds this item, or null.
    TPopupMenu* GetParentMenu() const;

    // The click action: fires OnClick when the item is enabled. Exceptions
    // of the handler propagate to the caller.
    virtual void Click();
    TNotifyEvent OnClick;

private:
    friend class TPopupMenu;
    AnsiString caption_;
    bool default_ = false;
    bool enabled_ = true;
    bool visible_ = true;
    TMenuItem* parent_ = nullptr;
    std::vector<TMenuItem*> items_;
    TPopupMenu* menu_ = nullptr;  // set on the root item of a popup menu only
};

// A menu that pops up at a screen point. Popup() returns at once; the chosen
// item's click action then runs from the message loop, and an exception it
// raises is reported by the application object. GUI thread only.
class TPopupMenu : public TComponent {
public:
    explicit TPopupMenu(TComponent* AOwner);
    ~TPopupMenu() override;
    const char* ClassName() const override { return "TPopupMenu"; }

    // The root of the item tree; owned by the menu.
    TMenuItem* Items() const { return items_; }

    // Whether right clicks on the menu's users pop it up.
    bool AutoPopup() const { return autoPopup_; }
    void SetAutoPopup(bool v) { autoPopup_ = v; }

    // The component that popped the menu up last; dropped when it is destroyed.
    TComponent* PopupComponent() const { return popupComponent_; }
    void SetPopupComponent(TComponent* c);

    // Fires OnPopup, then shows the visible items at (X, Y) in screen
    // coordinates. A menu still open from an earlier call closes first.
    virtual void Popup(int X, int Y);
    TNotifyEvent OnPopup;

    // The menu on screen, or null when none is open (for tests and tools).
    QMenu* ShownMenu() const;
    // Closes the menu on screen, if any, without choosing an item.
    void CloseMenu();

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class TMenuItem;
    void build(QMenu* menu, const TMenuItem* parent);
    void itemGone(const TMenuItem* item);
    void runCommand(int command);

    TMenuItem* items_;
    bool autoPopup_ = true;
    TComponent* popupComponent_ = nullptr;
    std::unique_ptr<QMenu> shown_;
    // Dispatches chosen commands one message-loop turn later; dies with the menu.
    std::unique_ptr<QObject> dispatcher_;
    // The items of the open menu by command number.
    std::map<int, TMenuItem*> commands_;
    int nextCommand_ = 1;
};
