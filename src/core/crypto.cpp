#include "vornex/core/crypto.hpp"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>

#include "vornex/core/libcrypto_gate.hpp"

namespace vornex::core {

namespace {

// Freed when its thread ends, which may be a daemon thread ended while the
// process exits: through the gate like every other call.
struct DigestContextFree {
  void operator()(EVP_MD_CTX* ctx) const {
    const LibcryptoCall call;
    EVP_MD_CTX_free(ctx);
  }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextFree>;

[[noreturn]] void digest_failed() {
  // Leave no stale entry behind for the next libcrypto caller on this thread.
  ERR_clear_error();
  throw std::runtime_error("domain hash failed");
}

constexpr std::size_t kLengthBytes = 8;
// The items of a small hash input, gathered for the digest in one piece:
// each update call costs about as much as a short item's own hashing.
constexpr std::size_t kGatheredBytes = 256;

std::uint8_t* put_length(std::uint8_t* out, std::uint64_t n) {
  for (std::size_t i = kLengthBytes; i > 0; --i) {
    out[i - 1] = static_cast<std::uint8_t>(n & 0xFF);
    n >>= 8;
  }
  return out + kLengthBytes;
}

void feed_item(EVP_MD_CTX* ctx, cord::ByteView item) {
  std::array<std::uint8_t, kLengthBytes> length{};
  put_length(length.data(), item.size());
  if (EVP_DigestUpdate(ctx, length.data(), length.size()) != 1) digest_failed();
  // An empty span may have no data pointer; it adds nothing anyway.
  if (!item.empty() && EVP_DigestUpdate(ctx, item.data(), item.size()) != 1) digest_failed();
}

// The length-prefixed items up to `data`'s length prefix, and `data` itself
// when it fits too, in `out`; how many bytes were gathered, or 0 when even
// the prefix does not fit.
std::size_t gather(std::array<std::uint8_t, kGatheredBytes>& out, cord::ByteView domain, cord::ByteView data,
                   bool& with_data) {
  const std::size_t prefix = 3 * kLengthBytes + domains::kHash.size() + domain.size();
  with_data = false;
  if (prefix > out.size()) return 0;
  std::uint8_t* at = put_length(out.data(), domains::kHash.size());
  at = std::copy(domains::kHash.begin(), domains::kHash.end(), at);
  at = put_length(at, domain.size());
  if (!domain.empty()) at = std::copy(domain.begin(), domain.end(), at);
  at = put_length(at, data.size());
  if (!data.empty() && data.size() <= out.size() - prefix) {
    at = std::copy(data.begin(), data.end(), at);
    with_data = true;
  }
  return static_cast<std::size_t>(at - out.data());
}

// Every record is hashed on every open and every write. The algorithm is
// fetched once and each thread reuses one context: the per-call implicit
// fetch and allocation would double the cost of hashing a small record.
// Only a successful fetch is kept; after a failed one (memory exhausted,
// say) the next call tries again instead of failing for the rest of the
// process. The kept digest is never freed: freeing it at exit could come
// after libcrypto's own exit-time cleanup.
constinit std::atomic<EVP_MD*> kept_sha256{nullptr};

const EVP_MD* sha256() {
  if (const EVP_MD* md = kept_sha256.load(std::memory_order_acquire)) return md;
  EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  if (fetched == nullptr) digest_failed();
  EVP_MD* expected = nullptr;
  if (kept_sha256.compare_exchange_strong(expected, fetched, std::memory_order_acq_rel,
                                          std::memory_order_acquire)) {
    return fetched;
  }
  // Another thread kept its own first; use that one.
  EVP_MD_free(fetched);
  return expected;
}

// Likewise a context is kept only once allocated: a thread whose first
// allocation failed tries again on its next call.
EVP_MD_CTX* thread_context() {
  thread_local DigestContext ctx;
  if (!ctx) ctx.reset(EVP_MD_CTX_new());
  if (!ctx) {
    ERR_clear_error();
    throw std::bad_alloc();
  }
  return ctx.get();
}

}  // namespace

HashValue domain_hash(cord::ByteView domain, cord::ByteView data) {
  const LibcryptoCall call;
  EVP_MD_CTX* ctx = thread_context();
  if (EVP_DigestInit_ex2(ctx, sha256(), nullptr) != 1) digest_failed();
  // Small items are gathered; a large input is streamed, never copied.
  std::array<std::uint8_t, kGatheredBytes> gathered;
  bool with_data = false;
  if (const std::size_t size = gather(gathered, domain, data, with_data); size != 0) {
    if (EVP_DigestUpdate(ctx, gathered.data(), size) != 1) digest_failed();
    if (!with_data && !data.empty() && EVP_DigestUpdate(ctx, data.data(), data.size()) != 1) digest_failed();
  } else {
    feed_item(ctx, domains::kHash);
    feed_item(ctx, domain);
    feed_item(ctx, data);
  }
  // Finished on the stack, so the value kept holds exactly its own bytes:
  // a vault keeps one per record.
  std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(ctx, digest.data(), &size) != 1) digest_failed();
  return HashValue(cord::ByteView(digest.data(), size));
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
