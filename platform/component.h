#pragma once
// A named object with an owner. An owner destroys what it owns, so a part
// that has been detached from its tree is still freed with its message.
#include <string>
#include <vector>

namespace Vizu2000 {

class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }

  int ComponentCount() const { return static_cast<int>(components_.size()); }
  TComponent* Component(int index) const { return components_[index]; }

  // Moves ownership; the component is no longer freed by its old owner.
  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);

 private:
  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
};

}  // namespace Vizu2000
