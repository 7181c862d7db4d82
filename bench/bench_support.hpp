// What the benchmarks share: setup that must not fail, one provider, and
// signing.
#pragma once

#include <expected>
#include <stdexcept>
#include <utility>

#include "vornex/core/records.hpp"
#include "vornex/crypto/identity.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/crypto/signed_records.hpp"

namespace vornex::bench {

// Setup either works or the benchmark means nothing.
template <class T, class E>
T must(std::expected<T, E> result) {
  if (!result) throw std::runtime_error("benchmark setup failed");
  return std::move(*result);
}

inline const crypto::Crypto& provider() {
  static const crypto::Crypto c;
  return c;
}

inline core::VaultRecordV1 sign(const crypto::Identity& signer, core::RecordBodyV1 body) {
  return must(crypto::signed_payload(provider(), signer, std::move(body)));
}

}  // namespace vornex::bench
