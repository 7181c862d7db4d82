// Identifiers and record keys. Every identifier is a byte string (32 bytes
// when derived, any length when decoded) wrapped in a type of its own, so a
// group id can never stand where a user id is expected.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "cord/codec.hpp"
#include "vornex/core/hash.hpp"

namespace vornex::core {

// A domain-hash output: record hashes, key fingerprints and the inside of
// every identifier. Ordered bytewise, unsigned, a proper prefix first. The
// 32 bytes of a derived value are held in place; a decoded value may have
// any length, and a longer one goes to the heap.
class HashValue {
 public:
  HashValue() = default;
  explicit HashValue(const cord::Bytes& bytes) : bytes_(cord::ByteView(bytes)) {}
  explicit HashValue(cord::ByteView bytes) : bytes_(bytes) {}

  cord::ByteView bytes() const { return bytes_.view(); }
  cord::Bytes to_vec() const { return cord::Bytes(bytes_.begin(), bytes_.end()); }

  auto operator<=>(const HashValue&) const = default;
  // A one-field tuple struct on the wire: one nesting level of its own.
  CORD_FIELDS(bytes_)

 private:
  cord::InlineBytes bytes_;
};

// An identifier of one kind; the tag gives the kind its own type and the
// name its debug text shows.
template <class Tag>
class Identifier {
 public:
  Identifier() = default;
  explicit Identifier(HashValue hash) : hash_(std::move(hash)) {}

  const HashValue& hash() const { return hash_; }
  cord::ByteView bytes() const { return hash_.bytes(); }
  cord::Bytes to_vec() const { return hash_.to_vec(); }

  auto operator<=>(const Identifier&) const = default;
  // Encodes exactly as its HashValue, but decodes one level deeper.
  CORD_FIELDS(hash_)

 private:
  HashValue hash_;
};

namespace id_tag {
struct User { static constexpr std::string_view name = "UserId"; };
struct UserHandle { static constexpr std::string_view name = "UserHandleId"; };
struct Group { static constexpr std::string_view name = "GroupId"; };
struct GroupMember { static constexpr std::string_view name = "GroupMemberId"; };
struct Grant { static constexpr std::string_view name = "GrantId"; };
struct Secret { static constexpr std::string_view name = "SecretId"; };
struct VaultHandle { static constexpr std::string_view name = "VaultHandleId"; };
}  // namespace id_tag

using UserId = Identifier<id_tag::User>;
using UserHandleId = Identifier<id_tag::UserHandle>;
using GroupId = Identifier<id_tag::Group>;
using GroupMemberId = Identifier<id_tag::GroupMember>;
using GrantId = Identifier<id_tag::Grant>;
using SecretId = Identifier<id_tag::Secret>;
using VaultHandleId = Identifier<id_tag::VaultHandle>;

// The random seed a group or grant id is computed from. A plain byte
// string, not a hash output.
class IdSeed {
 public:
  IdSeed() = default;
  explicit IdSeed(cord::Bytes bytes) : bytes_(std::move(bytes)) {}

  const cord::Bytes& bytes() const { return bytes_; }

  auto operator<=>(const IdSeed&) const = default;
  CORD_FIELDS(bytes_)

 private:
  cord::Bytes bytes_;
};

// The slot a record occupies. Each variant names its debug text and field;
// a deletion shares the slot of what it deletes.
namespace record_key {

struct VaultRoot {
  static constexpr std::string_view name = "VaultRoot";
  CORD_UNIT
  auto operator<=>(const VaultRoot&) const = default;
};

#define VORNEX_RECORD_KEY_VARIANT(Variant, IdType, member)         \
  struct Variant {                                                 \
    static constexpr std::string_view name = #Variant;             \
    static constexpr std::string_view field = #member;             \
    IdType member;                                                 \
    const IdType& id() const { return member; }                    \
    CORD_FIELDS(member)                                            \
    auto operator<=>(const Variant&) const = default;              \
  };

VORNEX_RECORD_KEY_VARIANT(EntryPoint, UserId, user_id)
VORNEX_RECORD_KEY_VARIANT(User, UserId, user_id)
VORNEX_RECORD_KEY_VARIANT(UserHandle, UserHandleId, handle_id)
VORNEX_RECORD_KEY_VARIANT(Group, GroupId, group_id)
VORNEX_RECORD_KEY_VARIANT(GroupMember, GroupMemberId, group_member_id)
VORNEX_RECORD_KEY_VARIANT(Grant, GrantId, grant_id)
VORNEX_RECORD_KEY_VARIANT(Secret, SecretId, secret_id)
VORNEX_RECORD_KEY_VARIANT(VaultHandle, VaultHandleId, handle_id)

#undef VORNEX_RECORD_KEY_VARIANT

}  // namespace record_key

// Alternative order is the wire index and the first sort key.
using RecordKey = std::variant<record_key::VaultRoot, record_key::EntryPoint, record_key::User,
                               record_key::UserHandle, record_key::Group, record_key::GroupMember,
                               record_key::Grant, record_key::Secret, record_key::VaultHandle>;

// The value hashed into a UserId.
struct UserIdInputV1 {
  cord::Bytes signing_public_key;
  cord::Bytes hpke_public_key;
  CORD_FIELDS(signing_public_key, hpke_public_key)
  bool operator==(const UserIdInputV1&) const = default;
};

// Debug texts, as error messages of other components print them:
// HashValue([12, 0, 255]), UserId(HashValue([...])), VaultRoot,
// EntryPoint { user_id: UserId(HashValue([...])) }.
std::string debug_string(const HashValue& value);
std::string debug_string(const RecordKey& key);

// The first eight bytes of a byte string as a big-endian number (zeros past
// its end): ordering by it, then by the whole string, orders as the bytes
// do, and most comparisons never leave the number.
inline std::uint64_t byte_prefix(cord::ByteView bytes) {
  std::uint64_t prefix = 0;
  for (std::size_t i = 0; i < 8; ++i) prefix = (prefix << 8) | (i < bytes.size() ? bytes[i] : 0);
  return prefix;
}

// The same for a record key: its variant in the top byte, then the first
// seven bytes of its id.
std::uint64_t key_prefix(const RecordKey& key);

namespace detail {
std::string debug_identifier(std::string_view type_name, const HashValue& hash);
}  // namespace detail

template <class Tag>
std::string debug_string(const Identifier<Tag>& id) {
  return detail::debug_identifier(Tag::name, id.hash());
}

}  // namespace vornex::core

template <>
struct std::hash<vornex::core::HashValue> : vornex::core::StructuralHash<vornex::core::HashValue> {};
template <class Tag>
struct std::hash<vornex::core::Identifier<Tag>> : vornex::core::StructuralHash<vornex::core::Identifier<Tag>> {};
template <>
struct std::hash<vornex::core::IdSeed> : vornex::core::StructuralHash<vornex::core::IdSeed> {};
