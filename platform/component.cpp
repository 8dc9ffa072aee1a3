#include "platform/component.h"

#include <algorithm>
#include <iterator>

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
  // From the end: components usually go in reverse order of creation, and a
  // message with many thousand parts must not free them in quadratic time.
  auto it = std::find(components_.rbegin(), components_.rend(), component);
  if (it == components_.rend()) return;
  components_.erase(std::next(it).base());
  component->owner_ = nullptr;
}

}  // namespace Vizu2000
