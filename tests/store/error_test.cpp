// Display texts of the store's errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "vornex/store/error.hpp"

namespace {

using namespace vornex::store;
using vornex::core::CoreError;
using vornex::core::HashValue;

TEST(StoreErrorDisplay, EveryVariantInOrder) {
  const Path p("/w/.vornex/vault.cord");
  const Path lossy("/w/\xff\xfe/x\xe2\x82");  // two bad bytes, then a truncated sequence
  const cord::CordError width(cord::ErrorKind::WidthOverflow);
  const std::vector<std::pair<StoreError, std::string>> cases = {
      {StoreError::io(lossy, IoError::from_errno(ENOENT)),
       "I/O error at /w/\uFFFD\uFFFD/x\uFFFD: No such file or directory (os error 2)"},
      {StoreError::vault_missing(p), "vault file is missing at /w/.vornex/vault.cord"},
      {StoreError::vault_invalid(p, CoreError::validation("file is 9 bytes, above the supported maximum of 8")),
       "vault file /w/.vornex/vault.cord is invalid: validation failed: file is 9 bytes, above the supported "
       "maximum of 8"},
      {StoreError::cord(width), "Cord error: Value overflow for encoding width"},
      {StoreError::core(width), "core error: cord error: Value overflow for encoding width"},
      {StoreError::workspace_not_found("/a"), "workspace not found from /a"},
      {StoreError::ambiguous_workspace("/a/b", "/a/b/.vornex", "/a/.vornex"),
       "ambiguous Vornex workspace from /a/b: found nested workspace at /a/b/.vornex and parent workspace at "
       "/a/.vornex; pass an explicit vault path"},
      {StoreError::invalid_workspace_root("/a"), "invalid workspace root /a: missing .vornex directory"},
      {StoreError::lock_held("/s/0a/state.lock"), "workspace lock is already held at /s/0a/state.lock"},
      {StoreError::ratchet_invalid("P", cord::CordError::validation("not a vornex state file (missing magic prefix)")),
       "ratchet file P is invalid: Cord could not validate: not a vornex state file (missing magic prefix)"},
      {StoreError::transaction_invalid("T", "bad root"), "transaction file T is invalid: bad root"},
      {StoreError::pending_transaction("T"), "a pending transaction at T blocks rollback-state writes"},
      {StoreError::trust_root_mismatch(HashValue({1}), HashValue({2})),
       "trust root mismatch: file has HashValue([1]), requested HashValue([2])"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].first.kind()), i);
    EXPECT_EQ(cases[i].first.message(), cases[i].second);
  }
  EXPECT_EQ(StoreError::io(p, IoError::invalid_input("not a regular file")).message(),
            "I/O error at /w/.vornex/vault.cord: not a regular file");
}

}  // namespace
