// Test setup that cannot go on without a value: a failure throws, so the
// test fails at once with the error's text.
#pragma once

#include <expected>
#include <stdexcept>
#include <utility>

namespace vornex::test {

template <class T, class E>
T must(std::expected<T, E> result) {
  if (!result) throw std::runtime_error("test setup failed: " + result.error().message());
  return std::move(*result);
}

template <class E>
void must(std::expected<void, E> result) {
  if (!result) throw std::runtime_error("test setup failed: " + result.error().message());
}

}  // namespace vornex::test
