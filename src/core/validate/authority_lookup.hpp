// The questions admission asks of signers' authority in one authority map.
// The map answers them over each signer and the groups above it, from an
// index of each own set built the first time it is asked about: a member
// with thousands of entries must not be scanned per record.
#pragma once

#include "vornex/core/validate/state.hpp"

namespace vornex::core::validate::detail {

class AuthorityLookup {
 public:
  // `authorities` must outlive the lookup and stay unchanged.
  explicit AuthorityLookup(const Authorities& authorities) : authorities_(authorities) {}

  bool is_root(const UserId& user) const { return authorities_.is_root(user); }
  bool can_write(const UserId& user, const SecretSelectorV1& secret) const {
    return authorities_.can_write(user, secret);
  }
  bool can_create_permission(const UserId& user, const GrantPermissionV1& permission) const {
    return authorities_.can_create_permission(user, permission);
  }

 private:
  const Authorities& authorities_;
};

}  // namespace vornex::core::validate::detail
