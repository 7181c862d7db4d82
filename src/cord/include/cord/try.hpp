// Early return on error for std::expected results, in every component.
// The error converts to the caller's error type when that type accepts it.
#pragma once

#include <expected>
#include <utility>

#define VX_CONCAT_INNER(a, b) a##b
#define VX_CONCAT(a, b) VX_CONCAT_INNER(a, b)

// VX_TRY(expr): evaluates a result; on error returns it from the caller.
#define VX_TRY(expr)                                                 \
  do {                                                               \
    if (auto vx_try_result_ = (expr); !vx_try_result_) {             \
      return std::unexpected(std::move(vx_try_result_).error());     \
    }                                                                \
  } while (false)

// VX_TRY_ASSIGN(lhs, expr): as VX_TRY, then moves the value into lhs
// (a declaration such as `auto x` or an existing variable).
#define VX_TRY_ASSIGN(lhs, expr) VX_TRY_ASSIGN_IMPL(VX_CONCAT(vx_try_value_, __LINE__), lhs, expr)
#define VX_TRY_ASSIGN_IMPL(tmp, lhs, expr)                \
  auto tmp = (expr);                                      \
  if (!tmp) return std::unexpected(std::move(tmp).error()); \
  lhs = std::move(*tmp)
