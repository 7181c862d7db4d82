#include "vornex/core/crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <array>
#include <memory>
#include <new>
#include <stdexcept>

namespace vornex::core {

namespace {

struct DigestContextFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

[[noreturn]] void digest_failed() {
  // Leave no stale entry behind for the next libcrypto caller on this thread.
  ERR_clear_error();
  throw std::runtime_error("domain hash failed");
}

void feed_item(EVP_MD_CTX* ctx, cord::ByteView item) {
  std::array<std::uint8_t, 8> length{};
  std::uint64_t n = item.size();
  for (auto it = length.rbegin(); it != length.rend(); ++it) {
    *it = static_cast<std::uint8_t>(n & 0xFF);
    n >>= 8;
  }
  if (EVP_DigestUpdate(ctx, length.data(), length.size()) != 1) digest_failed();
  // An empty span may have no data pointer; it adds nothing anyway.
  if (!item.empty() && EVP_DigestUpdate(ctx, item.data(), item.size()) != 1) digest_failed();
}

}  // namespace

HashValue domain_hash(cord::ByteView domain, cord::ByteView data) {
  const DigestContext ctx(EVP_MD_CTX_new());
  if (!ctx) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
  if (EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) digest_failed();
  // Streamed item by item: no copy of a possibly large input is made.
  feed_item(ctx.get(), domains::kHash);
  feed_item(ctx.get(), domain);
  feed_item(ctx.get(), data);
  cord::Bytes digest(EVP_MAX_MD_SIZE);
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx.get(), digest.data(), &size) != 1) digest_failed();
  digest.resize(size);
  return HashValue(std::move(digest));
}

CoreResult<UserId> derive_user_id(const CryptoProvider& provider, cord::ByteView signing_public_key,
                                  cord::ByteView hpke_public_key) {
  const UserIdInputV1 input{cord::Bytes(signing_public_key.begin(), signing_public_key.end()),
                            cord::Bytes(hpke_public_key.begin(), hpke_public_key.end())};
  VX_TRY_ASSIGN(HashValue hash, derive_hash(provider, domains::kUser, input));
  return UserId(std::move(hash));
}

CoreResult<HashValue> key_hash(const CryptoProvider& provider, cord::ByteView public_key) {
  return derive_hash(provider, domains::kKey, cord::Bytes(public_key.begin(), public_key.end()));
}

CoreResult<SecretId> derive_secret_id(const CryptoProvider& provider, const SecretSelectorV1& selector) {
  VX_TRY_ASSIGN(HashValue hash, derive_hash(provider, domains::kSecret, selector));
  return SecretId(std::move(hash));
}

CoreResult<GroupMemberId> derive_group_member_id(const CryptoProvider& provider, const GroupId& group_id,
                                                 const PrincipalRefV1& member) {
  const GroupMemberIdInputV1 input{group_id, member};
  VX_TRY_ASSIGN(HashValue hash, derive_hash(provider, domains::kGroupMember, input));
  return GroupMemberId(std::move(hash));
}

CoreResult<cord::Bytes> signed_record_message(const cord::Evolving<RecordBodyV1>& body) {
  VX_TRY_ASSIGN(cord::Bytes message, cord::serialize(body));
  return message;
}

}  // namespace vornex::core
