// A secret's value in the clear (SecretValueV1, inside the process only)
// and sealed in the vault (SealedPayloadV1). The decoders impose no key,
// nonce or slot lengths: a wrong length surfaces when a payload is opened.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cord/codec.hpp"
#include "cord/encoded.hpp"
#include "cord/set.hpp"

namespace vornex::core {

// The content key wrapped for one reader.
struct RecipientSlotV1 {
  cord::Bytes recipient;         // the reader's user id bytes
  cord::Bytes encapsulated_key;  // HPKE encapsulated key
  cord::Bytes wrapped_key;       // HPKE ciphertext of the content key
  CORD_FIELDS(recipient, encapsulated_key, wrapped_key)
  bool operator==(const RecipientSlotV1&) const = default;
};

// The value encrypted once under a fresh content key, with one slot per
// reader; a payload without slots opens for nobody.
struct SealedPayloadV1 {
  cord::Bytes nonce;
  cord::Bytes ciphertext;
  std::vector<RecipientSlotV1> recipient_slots;
  CORD_FIELDS(nonce, ciphertext, recipient_slots)
  bool operator==(const SealedPayloadV1&) const = default;
};

// A sealed payload as records keep it: its encoding, opened only by whoever
// reads the value.
using StoredPayloadV1 = cord::Encoded<SealedPayloadV1>;

// The recipients of a stored payload's slots, in slot order, read in place
// from its encoding: no slot is built or copied.
class RecipientWalk {
 public:
  // Fails only on bytes that are not a payload's encoding.
  static cord::Result<RecipientWalk> over(const StoredPayloadV1& payload);

  std::uint64_t remaining() const { return remaining_; }
  // The next slot's recipient, borrowed from the payload; fails once
  // `remaining()` is zero.
  cord::Result<cord::ByteView> next();

 private:
  RecipientWalk(cord::ByteView slots, std::uint64_t count) : rest_(slots), remaining_(count) {}

  cord::ByteView rest_;
  std::uint64_t remaining_;
};

// Whether two slots of the payload name one reader.
cord::Result<bool> has_duplicate_recipient(const StoredPayloadV1& payload);
// Whether a slot of the payload names `reader`.
cord::Result<bool> has_recipient(const StoredPayloadV1& payload, cord::ByteView reader);

// One named additional field. Entries with one name and different values
// are distinct; keeping one entry per name is up to whoever builds values.
// The value is secret: every copy overwrites it with zeros when dropped or
// replaced.
struct SecretFieldEntryV1 {
  std::string name;
  cord::Bytes value;
  CORD_FIELDS(name, value)

  SecretFieldEntryV1() = default;
  SecretFieldEntryV1(std::string name_, cord::Bytes value_) : name(std::move(name_)), value(std::move(value_)) {}
  SecretFieldEntryV1(const SecretFieldEntryV1&) = default;
  SecretFieldEntryV1(SecretFieldEntryV1&&) noexcept = default;
  SecretFieldEntryV1& operator=(const SecretFieldEntryV1& other);
  SecretFieldEntryV1& operator=(SecretFieldEntryV1&& other) noexcept;
  ~SecretFieldEntryV1();

  bool operator==(const SecretFieldEntryV1&) const = default;
};

// A secret's value: the primary value and the named fields, wiped like
// the fields.
struct SecretValueV1 {
  cord::Bytes primary;
  cord::Set<SecretFieldEntryV1> fields;
  CORD_FIELDS(primary, fields)

  SecretValueV1() = default;
  SecretValueV1(cord::Bytes primary_, cord::Set<SecretFieldEntryV1> fields_)
      : primary(std::move(primary_)), fields(std::move(fields_)) {}
  SecretValueV1(const SecretValueV1&) = default;
  SecretValueV1(SecretValueV1&&) noexcept = default;
  SecretValueV1& operator=(const SecretValueV1& other);
  SecretValueV1& operator=(SecretValueV1&& other) noexcept;
  ~SecretValueV1();

  bool operator==(const SecretValueV1&) const = default;

  // A value with these bytes as its primary value and no named fields.
  static SecretValueV1 from_primary(cord::ByteView primary) {
    return SecretValueV1{cord::Bytes(primary.begin(), primary.end()), {}};
  }
};

}  // namespace vornex::core
