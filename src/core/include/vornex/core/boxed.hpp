// A value kept in a heap block of its own, for a large field of a rarely
// used alternative of a record variant: every record pays for the largest
// alternative, so one large field would grow them all. Exactly the value's
// wire form, structural hash and order (a transparent wrapper); copies are
// deep, and a moved-from box reads as T{}.
#pragma once

#include <compare>
#include <memory>
#include <type_traits>
#include <utility>

namespace vornex::core {

template <class T>
class Boxed {
 public:
  Boxed() = default;
  // Implicit, from whatever makes a T: a boxed field is built as the plain one was.
  template <class U>
    requires(!std::is_same_v<std::remove_cvref_t<U>, Boxed> && std::is_constructible_v<T, U &&>)
  Boxed(U&& value) : value_(std::make_unique<T>(std::forward<U>(value))) {}  // NOLINT(google-explicit-constructor)
  Boxed(const Boxed& other) : value_(other.value_ ? std::make_unique<T>(*other.value_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& other) {
    if (this != &other) value_ = other.value_ ? std::make_unique<T>(*other.value_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;

  const T& get() const { return value_ ? *value_ : *kEmpty; }
  T& get() {
    if (!value_) value_ = std::make_unique<T>();
    return *value_;
  }
  operator const T&() const { return get(); }  // NOLINT(google-explicit-constructor)
  const T& operator*() const { return get(); }
  const T* operator->() const { return &get(); }

  auto& cord_inner() { return get(); }
  const auto& cord_inner() const { return get(); }

  friend bool operator==(const Boxed& a, const Boxed& b) { return a.get() == b.get(); }

 private:
  // Never destroyed: threads still inside a call at exit may read it.
  // Made as the library loads, not on first use, so that no fork can
  // catch it half made.
  static inline const T* const kEmpty = new T{};

  std::unique_ptr<T> value_;  // null: T{}
};

}  // namespace vornex::core
