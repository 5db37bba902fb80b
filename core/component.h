// Component base classes: TObject, TPersistent and TComponent with owner
// semantics, free notification, component state and the loading protocol.
#pragma once

#include <string>
#include <vector>

#include "core/events.h"

class TObject {
public:
    virtual ~TObject() = default;
    // The class name as the framework shows it in messages ("TFont").
    virtual const char* ClassName() const { return "TObject"; }
};

// A value object that can copy another of a compatible kind.
class TPersistent : public TObject {
public:
    const char* ClassName() const override { return "TPersistent"; }
    // Copies Source; raises EConvertError "Cannot assign a <Source> to a <this>"
    // when neither side knows how.
    virtual void Assign(const TPersistent* Source);

protected:
    // Lets the source copy itself into Dest; the base raises EConvertError.
    virtual void AssignTo(TPersistent* Dest) const;
};

enum TComponentStateFlag : unsigned {
    csLoading = 1,
    csDesigning = 2,  // never set in the running program
    csDestroying = 4,
};

enum class TOperation { opInsert, opRemove };

// A component is destroyed by its owner (last created first), is told when its
// designed properties have been loaded, and can ask other components to tell it
// when they are destroyed.
class TComponent : public TPersistent {
public:
    explicit TComponent(TComponent* AOwner);
    ~TComponent() override;
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    const char* ClassName() const override { return "TComponent"; }

    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }
    unsigned ComponentState() const { return state_; }
    bool IsLoading() const { return (state_ & csLoading) != 0; }
    bool IsDesigning() const { return (state_ & csDesigning) != 0; }
    bool IsDestroying() const { return (state_ & csDestroying) != 0; }

    int ComponentCount() const { return static_cast<int>(components_.size()); }
    TComponent* Components(int index) const { return components_.at(static_cast<size_t>(index)); }

    // `this` will call Other->Notification(this, opRemove) when it is destroyed,
    // and forgets Other when Other is destroyed first.
    void FreeNotification(TComponent* Other);
    void RemoveFreeNotification(TComponent* Other);

    // Loading protocol. BeginLoading marks this component as loading; components
    // created with a loading owner are loading too. EndLoading then calls Loaded()
    // on this component and on every loading component it owns (at any depth),
    // in creation order, the root first.
    void BeginLoading();
    void EndLoading();

protected:
    // Called once the designed property values have been assigned. Overrides
    // must call the base, which clears csLoading.
    virtual void Loaded();
    // Told when a component this one registered with (or owns) goes away.
    virtual void Notification(TComponent* AComponent, TOperation Operation);

    // Destroys the owned components now, last created first. Derived classes
    // whose members the owned components still use call this in their destructor.
    void DestroyComponents();

private:
    void insertComponent(TComponent* c);
    void removeComponent(TComponent* c);
    void collectLoading(std::vector<TComponent*>& out);

    TComponent* owner_;
    std::string name_;
    unsigned state_ = 0;
    std::vector<TComponent*> components_;
    std::vector<TComponent*> freeNotifies_;
};
