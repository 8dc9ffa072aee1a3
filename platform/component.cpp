#include "platform/component.h"

#include <cstddef>

namespace Vizu2000 {

TComponent::TComponent(TComponent* owner) {
  if (owner) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Children detach themselves from us while being destroyed, so free from a
  // moved-out copy and never iterate the live list.
  std::vector<TComponent*> owned;
  owned.swap(components_);
  for (auto it = owned.rbegin(); it != owned.rend(); ++it) {
    (*it)->owner_ = nullptr;
    delete *it;
  }
  if (owner_) owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* component) {
  if (component->owner_ == this) return;
  if (component->owner_) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
}

void TComponent::RemoveComponent(TComponent* component) {
  // From both ends at once: components usually go in reverse order of
  // creation, or oldest first, and a message with many thousand parts must
  // not free them in quadratic time.
  size_t low = 0, high = components_.size();
  while (low < high) {
    size_t found = components_.size();
    if (components_[--high] == component)
      found = high;
    else if (low < high && components_[low] == component)
      found = low;
    if (found != components_.size()) {
      components_.erase(components_.begin() + static_cast<std::ptrdiff_t>(found));
      component->owner_ = nullptr;
      return;
    }
    ++low;
  }
}

}  // namespace Vizu2000
