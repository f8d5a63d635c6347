// A value, or the error that kept it from being made: what every stage that
// can fail hands back, so that the facts of a failure travel to the one
// place that words them.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace karva {

// The error of an Expected, as it is being returned: `return Unexpected(e);`.
template <typename E>
struct Unexpected {
  E error;
  explicit Unexpected(E e) : error(std::move(e)) {}
};

template <typename T, typename E>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <typename F, typename = std::enable_if_t<std::is_constructible_v<E, F>>>
  Expected(Unexpected<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

  bool has_value() const { return state_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & {
    assert(has_value());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(has_value());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(has_value());
    return std::get<0>(std::move(state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const& {
    assert(!has_value());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!has_value());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

}  // namespace karva
