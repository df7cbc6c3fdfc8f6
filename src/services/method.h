#pragma once

#include <functional>
#include <type_traits>
#include <utility>

namespace kavtel {

// A callback of the system: an object bound to one of its operations, or
// nothing. Calling an empty callback does nothing (and yields a
// value-initialised result), so raisers need no test of their own; `bool`
// tells whether one is bound.
//
//   TMethod<void(TObject*)> onDone = TMethod<void(TObject*)>::bind(this, &Owner::Done);
//   onDone(sender);
//
// Any callable may be stored (tests bind lambdas); `bind` is the usual way.
template <typename Signature>
class TMethod;

template <typename R, typename... Args>
class TMethod<R(Args...)> {
 public:
  TMethod() = default;
  TMethod(std::nullptr_t) {}  // NOLINT: an empty callback reads naturally as nullptr

  template <typename F,
            typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TMethod> &&
                                        std::is_invocable_r_v<R, F&, Args...>>>
  TMethod(F&& fn) : fn_(std::forward<F>(fn)) {}  // NOLINT: implicit on purpose

  // Binds a member function to its object.
  template <typename C, typename M>
  static TMethod bind(C* object, M method) {
    return TMethod([object, method](Args... args) -> R {
      return (object->*method)(std::forward<Args>(args)...);
    });
  }

  explicit operator bool() const { return static_cast<bool>(fn_); }

  R operator()(Args... args) const {
    if (!fn_) {
      if constexpr (std::is_void_v<R>) {
        return;
      } else {
        return R{};
      }
    }
    return fn_(std::forward<Args>(args)...);
  }

 private:
  std::function<R(Args...)> fn_;
};

}  // namespace kavtel
