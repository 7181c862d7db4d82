#include "vornex/core/payload.hpp"

#include "vornex/core/secret.hpp"

namespace vornex::core {

namespace {

// Overwrites the bytes in place; what replaces them then reuses or frees a
// buffer that holds nothing any more.
void wipe(cord::Bytes& bytes) noexcept { secure_wipe(bytes.data(), bytes.size()); }

}  // namespace

SecretFieldEntryV1& SecretFieldEntryV1::operator=(const SecretFieldEntryV1& other) {
  if (this != &other) {
    wipe(value);
    name = other.name;
    value = other.value;
  }
  return *this;
}

SecretFieldEntryV1& SecretFieldEntryV1::operator=(SecretFieldEntryV1&& other) noexcept {
  if (this != &other) {
    wipe(value);
    name = std::move(other.name);
    value = std::move(other.value);
  }
  return *this;
}

SecretFieldEntryV1::~SecretFieldEntryV1() { wipe(value); }

SecretValueV1& SecretValueV1::operator=(const SecretValueV1& other) {
  if (this != &other) {
    wipe(primary);
    primary = other.primary;
    fields = other.fields;  // each replaced entry wipes itself
  }
  return *this;
}

SecretValueV1& SecretValueV1::operator=(SecretValueV1&& other) noexcept {
  if (this != &other) {
    wipe(primary);
    primary = std::move(other.primary);
    fields = std::move(other.fields);
  }
  return *this;
}

SecretValueV1::~SecretValueV1() { wipe(primary); }

}  // namespace vornex::core
