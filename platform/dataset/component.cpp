#include "platform/dataset/component.h"

#include <algorithm>

#include "platform/dataset/sys_utils.h"

namespace vx {
namespace {

void Erase(std::vector<TComponent*>& list, const TComponent* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

}  // namespace

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  Destroying();
  // Tell everyone who registered with us, and drop our registrations with them.
  while (!free_notifies_.empty()) {
    TComponent* other = free_notifies_.back();
    free_notifies_.pop_back();
    Erase(other->free_notifies_, this);
    other->Notification(this, opRemove);
  }
  // Owned components go last-added first; each removes itself from components_.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    delete child;
  }
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& name) { name_ = name; }

TComponent* TComponent::FindComponent(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : components_) {
    if (SameText(c->name_, name)) return c;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (component->owner_ == this) return;
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  if (component_state_.Contains(csDesigning)) component->SetDesigning(true);
  Notification(component, opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (component->owner_ != this) return;
  Notification(component, opRemove);
  Erase(components_, component);
  component->owner_ = nullptr;
}

void TComponent::SetDesigning(bool designing) {
  if (designing) {
    component_state_.Include(csDesigning);
  } else {
    component_state_.Exclude(csDesigning);
  }
  for (TComponent* c : components_) c->SetDesigning(designing);
}

void TComponent::BeginLoading() { component_state_.Include(csLoading).Include(csReading); }

void TComponent::EndLoading() {
  component_state_.Exclude(csLoading).Exclude(csReading);
  Loaded();
}

void TComponent::FreeNotification(TComponent* component) {
  if (component == nullptr || component == this) return;
  if (std::find(free_notifies_.begin(), free_notifies_.end(), component) == free_notifies_.end()) {
    free_notifies_.push_back(component);
  }
  if (std::find(component->free_notifies_.begin(), component->free_notifies_.end(), this) ==
      component->free_notifies_.end()) {
    component->free_notifies_.push_back(this);
  }
}

void TComponent::RemoveFreeNotification(TComponent* component) {
  if (component == nullptr) return;
  Erase(free_notifies_, component);
  Erase(component->free_notifies_, this);
}

void TComponent::Destroying() { component_state_.Include(csDestroying); }

}  // namespace vx
