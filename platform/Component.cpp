#include "platform/Component.h"

#include <algorithm>

namespace orvant {

namespace {
void EraseOne(std::vector<TComponent*>& v, TComponent* c) {
    auto it = std::find(v.begin(), v.end(), c);
    if (it != v.end()) v.erase(it);
}
}  // namespace

TComponent::TComponent(TComponent* owner) {
    if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
    fDestroying = true;
    // Tell everyone who asked; they drop their references to us.
    while (!fFreeNotifies.empty()) {
        TComponent* other = fFreeNotifies.back();
        fFreeNotifies.pop_back();
        EraseOne(other->fFreeNotifies, this);
        other->Notification(this, TOperation::opRemove);
    }
    DestroyComponents();
    if (fOwner) fOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* c) {
    fComponents.push_back(c);
    c->fOwner = this;
    Notification(c, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* c) {
    EraseOne(fComponents, c);
    c->fOwner = nullptr;
    Notification(c, TOperation::opRemove);
}

void TComponent::DestroyComponents() {
    while (!fComponents.empty()) {
        TComponent* c = fComponents.back();
        RemoveComponent(c);
        delete c;
    }
}

void TComponent::FreeNotification(TComponent* c) {
    if (!c || c == this) return;
    if (std::find(fFreeNotifies.begin(), fFreeNotifies.end(), c) == fFreeNotifies.end()) {
        fFreeNotifies.push_back(c);
        c->fFreeNotifies.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent* c) {
    if (!c) return;
    EraseOne(fFreeNotifies, c);
    EraseOne(c->fFreeNotifies, this);
}

void TComponent::Notification(TComponent*, TOperation) {}

}  // namespace orvant
