// Inputs the validation pipeline works from.
#pragma once

#include "cord/codec.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::core::validate::pipeline {

// The self-signed vault root that matches the trusted root.
struct SelectedRoot {
  UserId user_id;
  cord::Bytes hpke_public_key;
  cord::Bytes signing_public_key;
  HashValue fingerprint;  // key hash of the signing key
  bool operator==(const SelectedRoot&) const = default;
};

}  // namespace vornex::core::validate::pipeline
