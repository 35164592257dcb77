// The minimal component: an owner and a loading flag.
#pragma once

#include "platform/platform.h"

namespace vix {

class TComponent {
 public:
  explicit TComponent(TComponent* owner) : owner_(owner) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  // True while the component is being loaded from a stored form.
  bool Loading() const { return loading_; }
  void SetLoading(bool value) { loading_ = value; }

 private:
  TComponent* owner_;
  bool loading_ = false;
};

}  // namespace vix
