#include "framework/menus.h"

#include <QAction>
#include <QMenu>
#include <QObject>
#include <algorithm>
#include <cstdio>
#include <string>

#include "core/application.h"
#include "core/exception.h"
#include "framework/qtext.h"

// ---------------------------------------------------------------------------
// TMenuItem

TMenuItem::TMenuItem(TComponent* AOwner) : TComponent(AOwner) {}

TMenuItem::~TMenuItem() {
    while (!items_.empty()) delete items_.back();  // each child leaves items_ itself
    if (TPopupMenu* menu = GetParentMenu())
        menu->itemGone(this);
    if (parent_ != nullptr)
        parent_->Remove(this);
}

TMenuItem* TMenuItem::Items(int index) const {
    if (index < 0 || index >= Count())
        throw EInvalidOperation("Menu index out of range");
    return items_[static_cast<size_t>(index)];
}

int TMenuItem::IndexOf(const TMenuItem* item) const {
    auto it = std::find(items_.begin(), items_.end(), item);
    return it == items_.end() ? -1 : static_cast<int>(it - items_.begin());
}

void TMenuItem::Add(TMenuItem* item) {
    Insert(item != nullptr && item->parent_ == this ? Count() - 1 : Count(), item);
}

void TMenuItem::Insert(int index, TMenuItem* item) {
    if (item == nullptr)
        throw EInvalidOperation("Menu item is nil");
    for (const TMenuItem* p = this; p != nullptr; p = p->parent_)
        if (p == item)
            throw EInvalidOperation("Menu inserted into itself");
    // Checked before the item leaves its old place, so a bad call changes nothing.
    const int countAfterRemoval = Count() - (item->parent_ == this ? 1 : 0);
    if (index < 0 || index > countAfterRemoval)
        throw EInvalidOperation("Menu index out of range");
    if (item->parent_ != nullptr)
        item->parent_->Remove(item);
    items_.insert(items_.begin() + index, item);
    item->parent_ = this;
}

void TMenuItem::Remove(TMenuItem* item) {
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end())
        return;
    items_.erase(it);
    item->parent_ = nullptr;
}

TPopupMenu* TMenuItem::GetParentMenu() const {
    const TMenuItem* root = this;
    while (root->parent_ != nullptr) root = root->parent_;
    return root->menu_;
}

void TMenuItem::Click() {
    if (enabled_ && OnClick)
        OnClick(this);
}

// ---------------------------------------------------------------------------
// TPopupMenu

TPopupMenu::TPopupMenu(TComponent* AOwner)
    : TComponent(AOwner), items_(new TMenuItem(this)), dispatcher_(std::make_unique<QObject>()) {
    items_->menu_ = this;
}

TPopupMenu::~TPopupMenu() {
    shown_.reset();
    dispatcher_.reset();  // drops commands chosen but not yet run
    commands_.clear();
    items_->menu_ = nullptr;
    // The root item (and with it the tree) goes with the owned components.
}

void TPopupMenu::SetPopupComponent(TComponent* c) {
    if (c == popupComponent_)
        return;
    if (popupComponent_ != nullptr)
        RemoveFreeNotification(popupComponent_);
    popupComponent_ = c;
    if (c != nullptr)
        FreeNotification(c);
}

void TPopupMenu::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == TOperation::opRemove && AComponent == popupComponent_)
        popupComponent_ = nullptr;
}

void TPopupMenu::build(QMenu* menu, const TMenuItem* parent) {
    for (const TMenuItem* item : parent->items_) {
        if (!item->Visible())
            continue;
        if (item->IsLine()) {
            menu->addSeparator();
            continue;
        }
        QAction* action;
        if (!item->items_.empty()) {
            QMenu* sub = menu->addMenu(ToQString(item->Caption()));
            build(sub, item);
            action = sub->menuAction();
        } else {
            action = menu->addAction(ToQString(item->Caption()));
            const int command = nextCommand_++;
            commands_[command] = const_cast<TMenuItem*>(item);
            // Queued: the command runs once the menu has closed, from the
            // message loop, like a command message after a tracked popup.
            QObject::connect(
                action, &QAction::triggered, dispatcher_.get(), [this, command] { runCommand(command); },
                Qt::QueuedConnection);
        }
        action->setEnabled(item->Enabled());
        if (item->Default()) {
            QFont bold = action->font();
            bold.setBold(true);
            action->setFont(bold);
            if (menu->defaultAction() == nullptr)
                menu->setDefaultAction(action);
        }
    }
}

void TPopupMenu::Popup(int X, int Y) {
    CloseMenu();
    if (OnPopup)
        OnPopup(this);
    commands_.clear();
    shown_ = std::make_unique<QMenu>();
    build(shown_.get(), items_);
    shown_->popup(QPoint(X, Y));
}

QMenu* TPopupMenu::ShownMenu() const {
    return shown_ && shown_->isVisible() ? shown_.get() : nullptr;
}

void TPopupMenu::CloseMenu() {
    if (shown_)
        shown_->hide();
}

void TPopupMenu::itemGone(const TMenuItem* item) {
    for (auto it = commands_.begin(); it != commands_.end();) {
        if (it->second == item)
            it = commands_.erase(it);
        else
            ++it;
    }
}

void TPopupMenu::runCommand(int command) {
    auto it = commands_.find(command);
    if (it == commands_.end())
        return;
    TMenuItem* item = it->second;
    // An item taken out of this menu's tree since the popup no longer belongs to it.
    if (item->GetParentMenu() != this)
        return;
    try {
        item->Click();
    } catch (...) {
        ReportHandlerException(item);
    }
}
