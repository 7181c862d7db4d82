// A value kept in a heap block of its own, for a large field of a rarely
// used alternative of a record variant: every record pays for the largest
// alternative, so one large field would grow them all. Exactly the value's
// wire form, structural hash and order (a transparent wrapper); a
// moved-from box reads as T{}.
//
// Copies share the block until one is written through: validation copies
// the records it selects into its report, and a hostile grant's permission
// can be most of a vault's bytes, so a deep copy there would cost as much
// again. Writing through a box whose block is shared first makes it one of
// its own, so no copy ever sees another's writes.
#pragma once

#include <atomic>
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
  Boxed(U&& value) : value_(std::make_shared<T>(std::forward<U>(value))) {}  // NOLINT(google-explicit-constructor)
  Boxed(const Boxed&) = default;
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed&) = default;
  Boxed& operator=(Boxed&&) noexcept = default;

  const T& get() const { return value_ ? *value_ : *kEmpty; }
  // For writing: the block made this box's own first.
  T& get() {
    if (!value_) {
      value_ = std::make_shared<T>();
    } else if (value_.use_count() != 1) {
      value_ = std::make_shared<T>(*value_);
    } else {
      // The last other owner's reads happened before it let go.
      std::atomic_thread_fence(std::memory_order_acquire);
    }
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

  std::shared_ptr<T> value_;  // null: T{}; shared by copies until written
};

}  // namespace vornex::core
