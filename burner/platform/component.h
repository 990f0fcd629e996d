// component.h: the little of the Delphi component model the component needs:
// an object root for event senders and a component with an owner.
#pragma once

namespace zamo {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  // Borrows `owner`: nothing here frees it or is freed by it.
  explicit TComponent(TComponent* owner) : Owner(owner) {}
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  TComponent* const Owner;
};

}  // namespace zamo
