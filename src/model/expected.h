#pragma once

#include <cassert>
#include <utility>
#include <variant>

namespace vidorel {

// The result of an operation that can fail: either a value or the error
// that stopped it. T and E must be different types.
template <typename T, typename E> class [[nodiscard]] Expected {
public:
  Expected(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
  Expected(E error) : storage_(std::in_place_index<1>, std::move(error)) {}

  bool hasValue() const { return storage_.index() == 0; }
  explicit operator bool() const { return hasValue(); }

  T& value() {
    assert(hasValue());
    return std::get<0>(storage_);
  }
  const T& value() const {
    assert(hasValue());
    return std::get<0>(storage_);
  }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  const E& error() const {
    assert(!hasValue());
    return std::get<1>(storage_);
  }

private:
  std::variant<T, E> storage_;
};

} // namespace vidorel
