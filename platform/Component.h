// Component ownership and free notification, as the audio components and the
// storage base expect: an owner destroys what it owns, a component is marked
// as being destroyed from the start of its destruction, and components can ask
// to be told when another one goes away.
#pragma once

#include <string>
#include <vector>

namespace orvant {

enum class TOperation { opInsert, opRemove };

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return fOwner; }
    const std::vector<TComponent*>& Components() const { return fComponents; }
    const std::string& Name() const { return fName; }
    void SetName(const std::string& name) { fName = name; }

    // True from the start of destruction. Derived destructors call
    // Destroying() first so that the state holds while their own clean-up
    // runs (C++ cannot set it earlier from the base).
    bool IsDestroying() const { return fDestroying; }
    void Destroying() { fDestroying = true; }

    // Ask to be told (Notification with opRemove) when c is destroyed.
    void FreeNotification(TComponent* c);
    void RemoveFreeNotification(TComponent* c);

    // Destroys every owned component now (the destructor does it otherwise).
    void DestroyComponents();

protected:
    virtual void Notification(TComponent* component, TOperation operation);

private:
    void InsertComponent(TComponent* c);
    void RemoveComponent(TComponent* c);

    TComponent* fOwner = nullptr;
    std::vector<TComponent*> fComponents;
    std::vector<TComponent*> fFreeNotifies;  // both directions, like the original
    std::string fName;
    bool fDestroying = false;
};

}  // namespace orvant
