#include "vornex/core/validate/structure.hpp"

#include <algorithm>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "vornex/core/handles.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

ValidationIssue invalid(std::string message) { return issue::InvalidStructure{std::move(message)}; }

// Texts order as unsigned bytes, a proper prefix first, which is what
// std::string's comparison does.
template <class T, class Key>
bool strictly_ascending(const std::vector<T>& items, Key key) {
  std::size_t i = 1;
  for (; i < items.size(); ++i) {
    if (!(key(items[i - 1]) < key(items[i]))) break;
  }
  count_work(i);
  return i >= items.size();
}

template <class Id>
bool same_id(const Id& stored, const HashValue& derived) {
  return stored.hash() == derived;
}

// Compares a stored id with a derivation; a derivation error decides.
template <class Id, class Derived>
Finding check_derived(const Id& stored, const CoreResult<Derived>& derived, const char* message) {
  if (!derived) return to_issue(derived.error());
  if constexpr (std::is_same_v<Derived, HashValue>) {
    if (!same_id(stored, *derived)) return invalid(message);
  } else {
    if (!same_id(stored, derived->hash())) return invalid(message);
  }
  return std::nullopt;
}

Finding check_handle(const std::string& handle, const auto& stored_id, const auto& derived, const char* message) {
  if (!is_valid_handle(handle)) return invalid(message);
  return check_derived(stored_id, derived, message);
}

}  // namespace

ValidationIssue to_issue(CoreError error) { return invalid(error.message()); }

RecordKey record_key_for(const RecordBodyV1& body, const UserId& entry_point_user) {
  return std::visit(
      [&](const auto& b) -> RecordKey {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, VaultRootRecordV1>) {
          return record_key::VaultRoot{};
        } else if constexpr (std::is_same_v<B, EntryPointRecordV1>) {
          return record_key::EntryPoint{entry_point_user};
        } else if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, UserDeletedRecordV1>) {
          return record_key::User{b.user_id};
        } else if constexpr (std::is_same_v<B, UserHandleRecordV1>) {
          return record_key::UserHandle{b.handle_id};
        } else if constexpr (std::is_same_v<B, GroupRecordV1> || std::is_same_v<B, GroupDeletedRecordV1>) {
          return record_key::Group{b.group_id};
        } else if constexpr (std::is_same_v<B, GroupMemberRecordV1> ||
                             std::is_same_v<B, GroupMemberDeletedRecordV1>) {
          return record_key::GroupMember{b.group_member_id};
        } else if constexpr (std::is_same_v<B, GrantRecordV1> || std::is_same_v<B, GrantDeletedRecordV1>) {
          return record_key::Grant{b.grant_id};
        } else if constexpr (std::is_same_v<B, SecretRecordV1> || std::is_same_v<B, SecretDeletedRecordV1>) {
          return record_key::Secret{b.secret_id};
        } else {
          static_assert(std::is_same_v<B, VaultHandleRecordV1>);
          return record_key::VaultHandle{b.handle_id};
        }
      },
      body);
}

Finding validate_secret_selector(const SecretSelectorV1& selector) {
  if (!strictly_ascending(selector.labels, [](const SecretLabelV1& l) -> const std::string& { return l.key; })) {
    return invalid("secret selector labels must be sorted and unique");
  }
  return std::nullopt;
}

Finding validate_keyspace_selector(const KeyspaceSelectorV1& selector) {
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&selector.tuple); prefix && prefix->segments.empty()) {
    return invalid("empty tuple prefix must be encoded as any");
  }
  if (!strictly_ascending(selector.labels,
                          [](const KeyspaceLabelMatcherV1& m) -> const std::string& { return m.key; })) {
    return invalid("keyspace selector labels must be sorted and unique");
  }
  for (const KeyspaceLabelMatcherV1& m : selector.labels) {
    const auto* in = std::get_if<label_matcher::In>(&m.matcher);
    if (in == nullptr) continue;
    if (in->values.empty()) return invalid("label in matcher must not be empty");
    if (!strictly_ascending(in->values, [](const std::string& v) -> const std::string& { return v; })) {
      return invalid("label in matcher must be sorted and unique");
    }
  }
  return std::nullopt;
}

Finding validate_permission(const GrantPermissionV1& permission) {
  return std::visit(
      [](const auto& p) -> Finding {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, grant_permission::Root>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
          if (auto found = validate_keyspace_selector(p.selector)) return found;
          if (p.grantable.empty()) return invalid("manage grant must grant at least one class");
          if (!strictly_ascending(p.grantable, [](const KeyspaceGrantClassV1& c) { return c.index(); })) {
            return invalid("manage grant classes must be sorted and unique");
          }
          return std::nullopt;
        } else {
          return validate_keyspace_selector(p.selector);
        }
      },
      permission);
}

Finding structurally_valid_user(const UserRecordV1& user, const CryptoProvider& crypto) {
  return check_derived(user.user_id, derive_user_id(crypto, user.signing_public_key, user.hpke_public_key),
                       "invalid user record");
}

Finding structurally_validate_record(const VaultRecordV1& envelope, const RecordBodyV1& body,
                                     const pipeline::SelectedRoot& root, const CryptoProvider& crypto) {
  // First, so a record above the ceiling costs no hashing.
  if (!std::holds_alternative<VaultRootRecordV1>(body) && record_counter(body) > kCounterCeiling) {
    return invalid("counter exceeds the supported ceiling");
  }
  return std::visit(
      [&](const auto& b) -> Finding {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, VaultRootRecordV1>) {
          return check_derived(b.user_id, derive_user_id(crypto, envelope.signing_public_key, b.hpke_public_key),
                               "invalid root record");
        } else if constexpr (std::is_same_v<B, EntryPointRecordV1>) {
          if (b.root_user_id != root.user_id) return invalid("invalid entry point record");
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, UserRecordV1>) {
          return structurally_valid_user(b, crypto);
        } else if constexpr (std::is_same_v<B, UserHandleRecordV1>) {
          return check_handle(b.handle, b.handle_id, derive_user_handle_id(crypto, b.handle), "invalid user handle");
        } else if constexpr (std::is_same_v<B, GroupRecordV1>) {
          auto derived = derive_hash(crypto, domains::kGroup, b.seed);
          if (!derived) return to_issue(derived.error());
          if (!same_id(b.group_id, *derived) || !is_valid_handle(b.handle)) return invalid("invalid group record");
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, GroupDeletedRecordV1>) {
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
          return check_derived(b.group_member_id, derive_group_member_id(crypto, b.group_id, b.member),
                               "invalid group membership");
        } else if constexpr (std::is_same_v<B, GroupMemberDeletedRecordV1>) {
          return check_derived(b.group_member_id, derive_group_member_id(crypto, b.group_id, b.member),
                               "invalid group membership deletion");
        } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
          auto derived = derive_hash(crypto, domains::kGrant, b.seed);
          if (!derived) return to_issue(derived.error());
          // The permission's own message comes before a wrong id.
          if (auto found = validate_permission(b.permission)) return found;
          if (!same_id(b.grant_id, *derived)) return invalid("invalid grant");
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, GrantDeletedRecordV1>) {
          return validate_permission(b.permission);
        } else if constexpr (std::is_same_v<B, UserDeletedRecordV1>) {
          if (b.user_id == root.user_id) return invalid("invalid user deletion");
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, SecretRecordV1>) {
          if (auto found = validate_secret_selector(b.selector)) return found;
          if (auto found = check_derived(b.secret_id, derive_secret_id(crypto, b.selector), "invalid secret value")) {
            return found;
          }
          // Read in place from the payload's encoding, which is never built.
          const auto duplicate = has_duplicate_recipient(b.payload);
          if (!duplicate) return to_issue(CoreError(duplicate.error()));
          if (*duplicate) return invalid("duplicate recipient slot");
          return std::nullopt;
        } else if constexpr (std::is_same_v<B, SecretDeletedRecordV1>) {
          if (auto found = validate_secret_selector(b.selector)) return found;
          return check_derived(b.secret_id, derive_secret_id(crypto, b.selector), "invalid secret deletion");
        } else {
          static_assert(std::is_same_v<B, VaultHandleRecordV1>);
          return check_handle(b.handle, b.handle_id, derive_vault_handle_id(crypto, b.handle),
                              "invalid vault handle record");
        }
      },
      body);
}

}  // namespace vornex::core::validate
