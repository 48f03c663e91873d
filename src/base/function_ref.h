// A callable passed down without a copy: what the thread pool, the chunk
// pipeline and the report take where a std::function would allocate for any
// lambda of more than two captures, an allocation that could fail outside
// the run's own accounting. The callable must outlive every call.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

template <typename Signature>
class FunctionRef;

template <typename Result, typename... Args>
class FunctionRef<Result(Args...)> {
 public:
  template <typename Callable>
    requires(!std::is_same_v<std::remove_cvref_t<Callable>, FunctionRef> &&
             !std::is_function_v<std::remove_reference_t<Callable>> &&
             std::is_invocable_r_v<Result, Callable&, Args...>)
  FunctionRef(Callable&& callable)  // NOLINT(google-explicit-constructor): passed like a std::function
      : target_{.object = const_cast<void*>(static_cast<const void*>(std::addressof(callable)))},
        call_([](Target target, Args... args) -> Result {
          return (*static_cast<std::remove_reference_t<Callable>*>(target.object))(std::forward<Args>(args)...);
        }) {}

  FunctionRef(Result (*function)(Args...))  // NOLINT(google-explicit-constructor)
      : target_{.function = function},
        call_([](Target target, Args... args) -> Result { return target.function(std::forward<Args>(args)...); }) {}

  Result operator()(Args... args) const { return call_(target_, std::forward<Args>(args)...); }

 private:
  union Target {
    void* object;
    Result (*function)(Args...);
  };
  Target target_;
  Result (*call_)(Target, Args...);
};
