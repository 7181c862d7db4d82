// The containers every value of the fixed point's iterations is kept in:
// a timeline holds a value for each iteration 0 to 64 as the few
// iterations where it changes, in a list kept in place, since nearly every
// one has a point or two and a heap block each would cost more.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>

#include "sequence.hpp"
#include "vornex/core/validate/effective.hpp"

namespace vornex::core::validate::detail::seq {

inline constexpr Iteration kLastIteration = static_cast<Iteration>(kMaxAuthorityIterations);

// A short list kept in place: nearly every timeline has one or two points,
// and a heap block for each would cost more than the points themselves.
template <class T, std::size_t N>
class SmallList {
 public:
  SmallList() = default;
  SmallList(const SmallList&) = delete;
  SmallList& operator=(const SmallList&) = delete;
  SmallList(SmallList&& other) noexcept { take(other); }
  SmallList& operator=(SmallList&& other) noexcept {
    if (this != &other) {
      heap_.reset();
      take(other);
    }
    return *this;
  }

  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& back() { return data()[size_ - 1]; }
  void pop_back() { --size_; }

  T* insert(T* at, T value) {
    const std::size_t i = static_cast<std::size_t>(at - data());
    if (size_ == capacity()) grow();
    T* d = data();
    for (std::size_t j = size_; j > i; --j) d[j] = std::move(d[j - 1]);
    d[i] = std::move(value);
    ++size_;
    return d + i;
  }
  T* erase(T* at) {
    T* d = data();
    for (T* p = at; p + 1 != d + size_; ++p) *p = std::move(*(p + 1));
    --size_;
    return at;
  }

 private:
  T* data() { return heap_ ? heap_.get() : local_.data(); }
  const T* data() const { return heap_ ? heap_.get() : local_.data(); }
  std::size_t capacity() const { return heap_ ? heap_capacity_ : N; }
  void grow() {
    const std::size_t capacity = 2 * this->capacity();
    auto bigger = std::make_unique<T[]>(capacity);
    std::move(begin(), end(), bigger.get());
    heap_ = std::move(bigger);
    heap_capacity_ = capacity;
  }
  void take(SmallList& other) {
    size_ = other.size_;
    heap_capacity_ = other.heap_capacity_;
    if (other.heap_) {
      heap_ = std::move(other.heap_);
    } else {
      std::move(other.local_.begin(), other.local_.begin() + other.size_, local_.begin());
    }
    other.size_ = 0;
  }

  std::array<T, N> local_{};
  std::unique_ptr<T[]> heap_;
  std::size_t heap_capacity_ = 0;
  std::uint8_t size_ = 0;
};

// A value in every iteration 0 to 64, held as the iterations where it
// differs from the iteration before (at most one point each).
template <class V>
class Timeline {
 public:
  Timeline() = default;
  explicit Timeline(V initial) : initial_(std::move(initial)) {}

  // The last point is nearly always the one asked for; past it, a binary
  // search, so that a timeline of a point in each of 64 iterations is not
  // read whole for an early one.
  const V& at(Iteration k) const {
    if (points_.empty() || k < points_.begin()->first) return initial_;
    if (const auto& last = points_.end()[-1]; last.first <= k) return last.second;
    const auto* after = std::upper_bound(points_.begin(), points_.end(), k,
                                         [](Iteration i, const auto& p) { return i < p.first; });
    return after[-1].second;
  }

  // Sets the value at `k` (at least 1). With `restore`, later iterations
  // keep the values they had; without, they take this one up to the next
  // change. `on_point(j, created)` hears of each change point made or
  // taken away. False when the value was already that.
  template <class OnPoint>
  bool set(Iteration k, const V& value, bool restore, OnPoint&& on_point) {
    const V old = at(k);
    if (value == old) return false;
    const V before = at(static_cast<Iteration>(k - 1));
    const V old_next = k < kLastIteration ? at(static_cast<Iteration>(k + 1)) : old;
    auto pos = std::lower_bound(points_.begin(), points_.end(), k,
                                [](const auto& p, Iteration i) { return p.first < i; });
    const bool had = pos != points_.end() && pos->first == k;
    if (value == before) {
      if (had) {
        pos = points_.erase(pos);
        on_point(k, false);
      }
    } else if (had) {
      pos->second = value;
      ++pos;
    } else {
      pos = points_.insert(pos, std::pair{k, value});
      on_point(k, true);
      ++pos;
    }
    if (k == kLastIteration) return true;
    const auto next = static_cast<Iteration>(k + 1);
    if (restore) {
      if (pos != points_.end() && pos->first == next) {
        if (pos->second == value) {
          points_.erase(pos);
          on_point(next, false);
        }
      } else if (!(old_next == value)) {
        points_.insert(pos, std::pair{next, old_next});
        on_point(next, true);
      }
    } else if (pos != points_.end() && pos->second == value) {
      const Iteration j = pos->first;
      points_.erase(pos);
      on_point(j, false);
    }
    return true;
  }

  // Every iteration after `to` takes the value of the one a whole number
  // of periods (`to - from`) before it in (from, to]: the change points
  // there are laid out again, one period after another, up to the last
  // iteration. Where the value at `to` is not the one at `from` (a
  // witness, drawn at random, need not repeat), each period also opens
  // with a point back to `from`'s value. Points after `to` must not exist.
  template <class OnPoint>
  void repeat(Iteration from, Iteration to, OnPoint&& on_point) {
    const auto period = static_cast<Iteration>(to - from);
    const std::size_t held = points_.size();
    std::size_t first = held;
    while (first > 0 && points_.begin()[first - 1].first > from) --first;
    if (first == held) return;  // nothing changes after `from`
    const V opening = at(from);
    const bool opens_at_first = points_.begin()[first].first == from + 1;
    V last = at(to);
    const auto add = [&](Iteration i, const V& value) {
      if (value == last) return;
      last = value;
      points_.insert(points_.end(), std::pair{i, value});
      on_point(i, true);
    };
    for (Iteration shift = period; from + 1 + shift <= kLastIteration; shift = static_cast<Iteration>(shift + period)) {
      if (!opens_at_first) add(static_cast<Iteration>(from + 1 + shift), opening);
      for (std::size_t i = first; i < held; ++i) {
        const Iteration j = points_.begin()[i].first;
        if (j + shift > kLastIteration) return;
        add(static_cast<Iteration>(j + shift), V(points_.begin()[i].second));  // copied before the list may grow
      }
    }
  }

  // The first iteration whose value satisfies `pred`; one past the last
  // iteration if none does.
  template <class Pred>
  Iteration first_where(Pred&& pred) const {
    if (pred(initial_)) return 0;
    for (const auto& p : points_) {
      if (pred(p.second)) return p.first;
    }
    return static_cast<Iteration>(kLastIteration + 1);
  }

  // The first iteration from which no value satisfies `pred` again; none
  // if the last iteration's does.
  template <class Pred>
  std::optional<Iteration> end_where(Pred&& pred) const {
    Iteration end = 0;
    for (auto it = points_.end(); it != points_.begin();) {
      --it;
      if (pred(it->second)) return it + 1 == points_.end() ? std::nullopt : std::optional<Iteration>(end);
      end = it->first;
    }
    if (pred(initial_)) return points_.empty() ? std::nullopt : std::optional<Iteration>(end);
    return Iteration{0};
  }

  // Whether the value differs from the initial one in some iteration.
  bool has_points() const { return !points_.empty(); }
  std::size_t change_count() const { return points_.size(); }
  // Whether the value satisfies `pred` in some iteration.
  template <class Pred>
  bool ever(Pred&& pred) const {
    if (pred(initial_)) return true;
    return std::any_of(points_.begin(), points_.end(), [&](const auto& p) { return pred(p.second); });
  }

  // Every iteration after `k` takes the value at `k`. True when anything
  // after `k` differed.
  template <class OnPoint>
  bool truncate_after(Iteration k, OnPoint&& on_point) {
    bool changed = false;
    while (!points_.empty() && points_.back().first > k) {
      on_point(points_.back().first, false);
      points_.pop_back();
      changed = true;
    }
    return changed;
  }

 private:
  V initial_{};
  SmallList<std::pair<Iteration, V>, 2> points_;
};

}  // namespace vornex::core::validate::detail::seq
