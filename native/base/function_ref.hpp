// A non-owning reference to something callable, for callbacks that live at
// least as long as the call that receives them.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

namespace orvane {

template <class Signature>
class FunctionRef;

template <class R, class... Args>
class FunctionRef<R(Args...)> {
 public:
  // Only named callables: a temporary would be gone before the first call.
  template <class F>
    requires(!std::is_same_v<std::remove_cv_t<F>, FunctionRef> &&
             std::is_invocable_r_v<R, F&, Args...>)
  FunctionRef(F& f) noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<F*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace orvane
