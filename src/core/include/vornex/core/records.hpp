// The signed record envelope, the fourteen record kinds and the vault
// store. A body sits in an evolving wrapper, so a kind this build does not
// know is kept as its exact bytes and its signature stays valid.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "cord/codec.hpp"
#include "cord/evolving.hpp"
#include "cord/set.hpp"
#include "vornex/core/hash.hpp"
#include "vornex/core/boxed.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/payload.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/selector.hpp"

namespace vornex::core {

// Every kind but the vault root ends with its counter, the record's logical
// clock within its slot.

struct VaultRootRecordV1 {
  UserId user_id;  // the root user
  cord::Bytes hpke_public_key;
  CORD_FIELDS(user_id, hpke_public_key)
  bool operator==(const VaultRootRecordV1&) const = default;
};

// The signer's user id is not stored: it follows from the envelope's
// signing key and this HPKE key.
struct EntryPointRecordV1 {
  UserId root_user_id;
  cord::Bytes hpke_public_key;
  std::uint64_t counter = 0;
  CORD_FIELDS(root_user_id, hpke_public_key, counter)
  bool operator==(const EntryPointRecordV1&) const = default;
};

struct UserRecordV1 {
  UserId user_id;
  cord::Bytes signing_public_key;
  cord::Bytes hpke_public_key;
  std::uint64_t counter = 0;
  CORD_FIELDS(user_id, signing_public_key, hpke_public_key, counter)
  bool operator==(const UserRecordV1&) const = default;
};

struct UserHandleRecordV1 {
  UserHandleId handle_id;
  std::string handle;
  UserId user_id;  // the user the handle names
  std::uint64_t counter = 0;
  CORD_FIELDS(handle_id, handle, user_id, counter)
  bool operator==(const UserHandleRecordV1&) const = default;
};

struct GroupRecordV1 {
  GroupId group_id;
  IdSeed seed;
  std::string handle;
  std::uint64_t counter = 0;
  CORD_FIELDS(group_id, seed, handle, counter)
  bool operator==(const GroupRecordV1&) const = default;
};

struct GroupDeletedRecordV1 {
  GroupId group_id;
  std::uint64_t counter = 0;
  CORD_FIELDS(group_id, counter)
  bool operator==(const GroupDeletedRecordV1&) const = default;
};

struct GroupMemberRecordV1 {
  GroupMemberId group_member_id;
  GroupId group_id;
  PrincipalRefV1 member;
  std::uint64_t counter = 0;
  CORD_FIELDS(group_member_id, group_id, member, counter)
  bool operator==(const GroupMemberRecordV1&) const = default;
};

// The same fields as the membership it ends; only the kind index differs.
struct GroupMemberDeletedRecordV1 {
  GroupMemberId group_member_id;
  GroupId group_id;
  PrincipalRefV1 member;
  std::uint64_t counter = 0;
  CORD_FIELDS(group_member_id, group_id, member, counter)
  bool operator==(const GroupMemberDeletedRecordV1&) const = default;
};

struct GrantRecordV1 {
  GrantId grant_id;
  IdSeed seed;
  PrincipalRefV1 grantee;
  // Boxed: the largest field of any record, held inline it would make
  // every record of a vault as large as a grant.
  Boxed<GrantPermissionV1> permission;
  std::uint64_t counter = 0;
  CORD_FIELDS(grant_id, seed, grantee, permission, counter)
  bool operator==(const GrantRecordV1&) const = default;
};

// Carries the withdrawn grant's permission, on which the deleter's
// authority is judged.
struct GrantDeletedRecordV1 {
  GrantId grant_id;
  GrantPermissionV1 permission;
  std::uint64_t counter = 0;
  CORD_FIELDS(grant_id, permission, counter)
  bool operator==(const GrantDeletedRecordV1&) const = default;
};

struct UserDeletedRecordV1 {
  UserId user_id;
  std::optional<std::string> detail;  // free text, carried unchanged
  std::uint64_t counter = 0;
  CORD_FIELDS(user_id, detail, counter)
  bool operator==(const UserDeletedRecordV1&) const = default;
};

struct SecretRecordV1 {
  SecretId secret_id;
  SecretSelectorV1 selector;
  StoredPayloadV1 payload;  // kept encoded: only reading the value opens it
  std::uint64_t counter = 0;
  CORD_FIELDS(secret_id, selector, payload, counter)
  bool operator==(const SecretRecordV1&) const = default;
};

struct SecretDeletedRecordV1 {
  SecretId secret_id;
  SecretSelectorV1 selector;
  std::uint64_t counter = 0;
  CORD_FIELDS(secret_id, selector, counter)
  bool operator==(const SecretDeletedRecordV1&) const = default;
};

struct VaultHandleRecordV1 {
  VaultHandleId handle_id;
  std::string handle;
  std::uint64_t counter = 0;
  CORD_FIELDS(handle_id, handle, counter)
  bool operator==(const VaultHandleRecordV1&) const = default;
};

// Alternative order is the kind index on the wire; never reorder.
using RecordBodyV1 =
    std::variant<VaultRootRecordV1,           // 0
                 EntryPointRecordV1,          // 1
                 UserRecordV1,                // 2
                 UserHandleRecordV1,          // 3
                 GroupRecordV1,               // 4
                 GroupDeletedRecordV1,        // 5
                 GroupMemberRecordV1,         // 6
                 GroupMemberDeletedRecordV1,  // 7
                 GrantRecordV1,               // 8
                 GrantDeletedRecordV1,        // 9
                 UserDeletedRecordV1,         // 10
                 SecretRecordV1,              // 11
                 SecretDeletedRecordV1,       // 12
                 VaultHandleRecordV1>;        // 13

// The body's counter; the vault root has none and compares as 0.
std::uint64_t record_counter(const RecordBodyV1& body);

// The signed record envelope. Equality covers all three fields, so a known
// body never equals an unknown one and two signatures make two records.
struct VaultRecordV1 {
  cord::Evolving<RecordBodyV1> body;
  cord::Bytes signing_public_key;  // Ed25519
  cord::Bytes signature;           // Ed25519, over the wrapped body
  CORD_FIELDS(body, signing_public_key, signature)
  bool operator==(const VaultRecordV1&) const = default;
};

// The content of the vault file, behind its magic prefix: one version so
// far, holding the envelopes sorted by their encodings.
namespace vault_store {
struct V1 {
  cord::Set<VaultRecordV1> records;
  CORD_TRANSPARENT(records)
  bool operator==(const V1&) const = default;
};
}  // namespace vault_store

using VaultStore = std::variant<vault_store::V1>;

}  // namespace vornex::core

template <>
struct std::hash<vornex::core::VaultRecordV1> : vornex::core::StructuralHash<vornex::core::VaultRecordV1> {};
