// The write-ahead commit. The vault file and the root's ratchet file change
// together: the after-images of both go durably into "transaction.cord"
// first (the commit point), then the ratchet is replaced, then the vault,
// then the transaction file is removed. Whoever finds a transaction file
// rolls it forward: each file is recognised by its hash as still before,
// already after, or changed by someone else (which stops recovery).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cord/wire.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/ratchet.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/held_file.hpp"
#include "vornex/store/transaction.hpp"

namespace vornex::ops {

inline constexpr std::string_view kTransactionHashDomain = "vornex.transaction-file.v1";
// Every file read while committing or recovering is bounded by this.
inline constexpr std::uint64_t kCurrentFileLimit = 268'435'456;
inline constexpr std::string_view kVaultMutationLabel = "vault mutation";
inline constexpr std::string_view kAnotherPlatformPath = "<another platform path>";

// What a session keeps about a transaction file it found.
struct PendingTransaction {
  cord::Bytes id;
  std::optional<Path> vault_path;  // absent for a path of another platform
  bool this_workspace = false;
  bool operator==(const PendingTransaction&) const = default;
};

// What recovery at opening did.
enum class Recovery : std::uint8_t {
  NothingPending,  // no transaction file and no journal
  Completed,       // a transaction or journal was rolled forward (or gone meanwhile)
  OtherWorkspace,  // the transaction belongs to another workspace and was left
};

// The trust state a session should hold, and the transaction it saw.
struct StrongestRatchet {
  core::Ratchet ratchet;
  std::optional<PendingTransaction> pending;
};

core::HashValue transaction_hash(const core::CryptoProvider& crypto, cord::ByteView bytes);
std::string transaction_id_hex(cord::ByteView id);

// The file's bytes, or none when it does not exist; read without following
// a final link and within `bound`.
OpsResult<std::optional<cord::Bytes>> read_current_file(const Path& path, std::uint64_t bound = kCurrentFileLimit);

// Whether the file is at its after state; a file at neither state is a
// recovery mismatch.
OpsResult<bool> classify_file(const core::CryptoProvider& crypto, const std::optional<cord::Bytes>& current,
                              const store::FilePreconditionV1& before, cord::ByteView after);

// The decoded ratchet after-image of a transaction whose images belong to
// its root.
OpsResult<core::Ratchet> validate_transaction(const store::TransactionV1& transaction,
                                              const core::CryptoProvider& crypto, const store::WorkspacePaths& paths);

// The caller holds the exclusive root-state lock, then the workspace lock.
// `vault_before` and `ratchet_before` are the files' bytes as the caller
// read them: the commit refuses when either has changed since.
OpsStatus commit_after_images_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                     const core::CryptoProvider& crypto, std::string_view label,
                                     cord::ByteView vault_before, cord::ByteView ratchet_before,
                                     cord::Bytes next_vault, cord::Bytes next_ratchet);
// The write path's commit. Besides holding the same locks, the caller
// vouches for its inputs: `vault_before` and `ratchet_before` are the
// files' bytes as it read them under these locks, held ever since, and the
// after-images are the encodings of a vault naming `root` and of a ratchet
// of `root` that it has validated. So the files are not read again to be
// compared or classified and no image is decoded; each file written (the
// transaction, and the ratchet and vault where they change) is read back
// once and compared byte for byte. The images stay the caller's. Errors
// are those of commit_after_images_locked. With `vault_held` and
// `ratchet_held`, a file written and read back equal stays open there (see
// store::HeldFile); one not written leaves its holder as it was.
OpsStatus commit_vouched_images_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                       const core::CryptoProvider& crypto, std::string_view label,
                                       cord::ByteView vault_before, cord::ByteView ratchet_before,
                                       cord::ByteView next_vault, cord::ByteView next_ratchet,
                                       store::HeldFile* vault_held = nullptr,
                                       store::HeldFile* ratchet_held = nullptr);
OpsStatus complete_transaction_locked(const store::WorkspacePaths& paths, const store::TransactionV1& transaction,
                                      const core::CryptoProvider& crypto);

// Takes and releases its own locks.
OpsResult<Recovery> recover_for_root(const store::WorkspacePaths& paths, const core::HashValue& root,
                                     const core::CryptoProvider& crypto, const store::LockPolicy& policy = {});

// The ratchet file merged with a pending transaction's after-image. The
// caller holds at least the shared root-state lock.
OpsResult<StrongestRatchet> read_strongest_ratchet_locked(const store::WorkspacePaths& paths,
                                                          const core::HashValue& root,
                                                          const core::CryptoProvider& crypto);

// Larger counters win, first origins stay; unknown records the first does
// not hold are appended. Ratchets of two roots do not merge.
OpsStatus merge_ratchet(core::Ratchet& into, const core::Ratchet& other);

// Writes are refused while a transaction or a join-commit journal exists.
OpsStatus ensure_no_pending_transaction_locked(const store::WorkspacePaths& paths, const core::HashValue& root,
                                               const core::CryptoProvider& crypto);

OpsError pending_error(const store::TransactionV1& transaction);
OpsError pending_barrier_error(const PendingTransaction& pending);

// A seam for the crash tests: a hook called at each point of a commit,
// which a test child uses to end itself there. Unset in the product.
namespace testing {
enum class CommitPoint : std::uint8_t { TransactionWritten, RatchetWritten, VaultWritten, BeforeRemoval };
using CommitHook = void (*)(CommitPoint);
void set_commit_hook(CommitHook hook);
}  // namespace testing

}  // namespace vornex::ops
