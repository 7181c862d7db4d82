// The authority of signers in one authority map, with an index built for
// each set the first time it is asked about. Validation asks per record,
// so a member with thousands of entries must not be scanned per record.
#pragma once

#include <map>
#include <memory>

#include "vornex/core/authz_index.hpp"
#include "vornex/core/validate/state.hpp"

namespace vornex::core::validate::detail {

class AuthorityLookup {
 public:
  // `authorities` must outlive the lookup and stay unchanged.
  explicit AuthorityLookup(const Authorities& authorities) : authorities_(authorities) {}

  const AuthoritySet& of(const UserId& user) const { return authority_in(authorities_, user); }
  bool is_root(const UserId& user) const { return of(user).is_root; }
  bool can_write(const UserId& user, const SecretSelectorV1& secret) const { return index(user).can_write(secret); }
  bool can_create_permission(const UserId& user, const GrantPermissionV1& permission) const {
    return index(user).can_create_permission(permission);
  }

 private:
  const AuthorityIndex& index(const UserId& user) const {
    const AuthoritySet& set = of(user);
    auto& slot = indexes_[&set];
    if (!slot) slot = std::make_unique<AuthorityIndex>(set);
    return *slot;
  }

  const Authorities& authorities_;
  mutable std::map<const AuthoritySet*, std::unique_ptr<AuthorityIndex>> indexes_;
};

}  // namespace vornex::core::validate::detail
