#include "core/component.h"

#include <algorithm>

#include "core/exception.h"

void TPersistent::Assign(const TPersistent* Source) {
    if (Source != nullptr) {
        Source->AssignTo(this);
        return;
    }
    throw EConvertError(std::string("Cannot assign a nil to a ") + ClassName());
}

void TPersistent::AssignTo(TPersistent* Dest) const {
    throw EConvertError(std::string("Cannot assign a ") + ClassName() + " to a " + Dest->ClassName());
}

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner) {
    if (owner_ != nullptr) {
        if (owner_->IsLoading())
            state_ |= csLoading;
        owner_->insertComponent(this);
    }
}

TComponent::~TComponent() {
    state_ |= csDestroying;
    // Tell everyone who asked; they drop their references to us.
    while (!freeNotifies_.empty()) {
        TComponent* other = freeNotifies_.back();
        freeNotifies_.pop_back();
        auto& theirs = other->freeNotifies_;
        theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
        other->Notification(this, TOperation::opRemove);
    }
    DestroyComponents();
    if (owner_ != nullptr)
        owner_->removeComponent(this);
}

void TComponent::DestroyComponents() {
    while (!components_.empty()) {
        TComponent* last = components_.back();
        delete last;  // removes itself from components_
    }
}

void TComponent::insertComponent(TComponent* c) {
    components_.push_back(c);
    Notification(c, TOperation::opInsert);
}

void TComponent::removeComponent(TComponent* c) {
    components_.erase(std::remove(components_.begin(), components_.end(), c), components_.end());
    c->owner_ = nullptr;
    Notification(c, TOperation::opRemove);
}

void TComponent::FreeNotification(TComponent* Other) {
    if (Other == nullptr || Other == this)
        return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), Other) == freeNotifies_.end())
        freeNotifies_.push_back(Other);
    if (std::find(Other->freeNotifies_.begin(), Other->freeNotifies_.end(), this) == Other->freeNotifies_.end())
        Other->freeNotifies_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* Other) {
    if (Other == nullptr)
        return;
    freeNotifies_.erase(std::remove(freeNotifies_.begin(), freeNotifies_.end(), Other), freeNotifies_.end());
    auto& theirs = Other->freeNotifies_;
    theirs.erase(std::remove(theirs.begin(), theirs.end(), this), theirs.end());
}

void TComponent::BeginLoading() {
    state_ |= csLoading;
}

void TComponent::collectLoading(std::vector<TComponent*>& out) {
    for (TComponent* c : components_) {
        if (c->IsLoading())
            out.push_back(c);
        c->collectLoading(out);
    }
}

void TComponent::EndLoading() {
    std::vector<TComponent*> loading;
    if (IsLoading())
        loading.push_back(this);
    collectLoading(loading);
    for (TComponent* c : loading) c->Loaded();
}

void TComponent::Loaded() {
    state_ &= ~static_cast<unsigned>(csLoading);
}

void TComponent::Notification(TComponent*, TOperation) {}
