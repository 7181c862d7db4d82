// The join-commit journal: an older form of write-ahead record, left beside
// the ratchet file by an enrollment, holding the after-images of the vault
// and of its ratchet. This system never writes one; it applies one found at
// opening when no transaction file is pending, and refuses writes while
// one exists.
//
// Layout: "vornex-join-commit" 00, then the Cord encoding of
// JoinCommitJournal (a u32 variant index, always 0, then the journal).
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <variant>

#include "cord/codec.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/ops/error.hpp"
#include "vornex/store/lock.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::ops {

inline constexpr std::array<std::uint8_t, 19> kJoinCommitMagic = {
    'v', 'o', 'r', 'n', 'e', 'x', '-', 'j', 'o', 'i', 'n', '-', 'c', 'o', 'm', 'm', 'i', 't', 0};
inline constexpr std::uint64_t kJoinCommitLimit = 269'484'032;
inline constexpr std::string_view kJoinCommitHashDomain = "vornex.join-commit.v1";

struct JoinCommitJournalV1 {
  core::HashValue root_fingerprint;
  core::HashValue vault_before_hash;    // of the vault file before the enrollment
  core::HashValue ratchet_before_hash;  // of the ratchet file before the enrollment
  cord::Bytes vault_image;
  cord::Bytes ratchet_image;
  CORD_FIELDS(root_fingerprint, vault_before_hash, ratchet_before_hash, vault_image, ratchet_image)
  bool operator==(const JoinCommitJournalV1&) const = default;
};

using JoinCommitJournal = std::variant<JoinCommitJournalV1>;

core::HashValue join_commit_hash(const core::CryptoProvider& crypto, cord::ByteView bytes);

// Whether a journal exists for the root; its content is not looked at.
OpsResult<bool> join_commit_present(const store::WorkspacePaths& paths, const core::HashValue& root);

// Applies a journal left for the root: true when one was applied (or was
// applied by another process meanwhile), false when there is none. Takes
// and releases its own locks.
OpsResult<bool> recover_join_commit(const store::WorkspacePaths& paths, const core::HashValue& root,
                                    const core::CryptoProvider& crypto, const store::LockPolicy& policy = {});

// The caller holds the exclusive root-state lock, then the workspace lock.
OpsStatus complete_join_commit(const store::WorkspacePaths& paths, const JoinCommitJournalV1& journal,
                               const core::CryptoProvider& crypto);

}  // namespace vornex::ops
