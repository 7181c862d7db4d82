#include "vornex/keychain/migrate.hpp"

#include <algorithm>
#include <set>
#include <optional>
#include <vector>

#include "vornex/keychain/files.hpp"
#include "vornex/store/fs.hpp"

namespace vornex::keychain {

namespace {

constexpr std::string_view kUnknownRecords = "combined keychain has unknown records with no safe split destination";
constexpr std::string_view kOtherRoot = "combined keychain contains an identity for another root";
constexpr std::string_view kSeveralCurrentUsers = "combined keychain contains multiple current-user selectors";
constexpr std::string_view kCombinedIdentityConflict = "split identity conflicts with the combined keychain";
constexpr std::string_view kCombinedCurrentUserConflict =
    "split current-user selector conflicts with the combined keychain";
constexpr std::string_view kIdentityVerification = "split identity migration verification failed";
constexpr std::string_view kCurrentUserVerification = "split current-user migration verification failed";
constexpr std::string_view kLegacyIdentityConflict = "split identity conflicts with the legacy user keychain";
constexpr std::string_view kLegacyRewriteVerification = "legacy keychain rewrite verification failed";

KeychainError invalid(const Path& path, std::string_view reason) {
  return KeychainError::file_invalid(path, std::string(reason));
}

KeychainStatus remove_durably(const Path& path) {
  if (auto removed = store::remove_file_durable(path); !removed) return std::unexpected(KeychainError(removed.error()));
  return {};
}

// Which identities still need their file. Every existing file is compared
// before anything is written, so a conflict (a file holding a different
// record, reported with `reason`) never leaves a split half done.
KeychainResult<std::vector<const SealedIdentityV1*>> identities_to_write(
    const Path& base, cord::ByteView root, const std::vector<const SealedIdentityV1*>& identities,
    std::string_view reason) {
  std::vector<const SealedIdentityV1*> missing;
  for (const SealedIdentityV1* identity : identities) {
    const Path path = identity_path(base, root, identity->user);
    auto existing = read_identity_at(path, root, identity->user);
    if (!existing) return std::unexpected(std::move(existing).error());
    if (!*existing) {
      missing.push_back(identity);
    } else if (!(**existing == *identity)) {
      return std::unexpected(invalid(path, reason));
    }
  }
  return missing;
}

// Two different identities of one user could not both be split: the second
// would meet the first's file (or, where neither file exists yet, overwrite
// it, and the older file would then be removed with the only copy). Refused
// before any write. Equal records are one element of a set, so a second
// record of a user is always a different identity.
KeychainStatus ensure_one_per_user(const Path& base, cord::ByteView root,
                                   const std::vector<const SealedIdentityV1*>& identities, std::string_view reason) {
  std::set<cord::Bytes> users;
  for (const SealedIdentityV1* identity : identities) {
    if (!users.emplace(identity->user.begin(), identity->user.end()).second) {
      return std::unexpected(invalid(identity_path(base, root, identity->user), reason));
    }
  }
  return {};
}

// Every identity taken from an older file reads back equal from its own
// file; only then may the older file go.
KeychainStatus ensure_in_place(const Path& base, cord::ByteView root,
                               const std::vector<const SealedIdentityV1*>& identities) {
  for (const SealedIdentityV1* identity : identities) {
    const Path path = identity_path(base, root, identity->user);
    auto back = read_identity_at(path, root, identity->user);
    if (!back) return std::unexpected(std::move(back).error());
    if (!*back || !(**back == *identity)) return std::unexpected(invalid(path, kIdentityVerification));
  }
  return {};
}

KeychainStatus write_identities(const Path& base, cord::ByteView root,
                                const std::vector<const SealedIdentityV1*>& identities,
                                const store::ProcessFacts& facts) {
  for (const SealedIdentityV1* identity : identities) {
    auto written =
        write_identity_exact(identity_path(base, root, identity->user), root, identity->user, *identity, facts);
    if (!written) return written;
  }
  return {};
}

}  // namespace

KeychainStatus migrate_root_combined_locked(const Path& base, cord::ByteView root, const store::ProcessFacts& facts) {
  const Path combined = keychain_path(base, root);
  auto present = path_present_no_follow(combined);
  if (!present) return std::unexpected(std::move(present).error());
  if (!*present) return {};
  auto records = read_keychain_records_at(combined);
  if (!records) return std::unexpected(std::move(records).error());

  // Everything is sorted out before anything is written, so a refused file
  // causes no writes. The set's order is the canonical one, so which of two
  // faults is reported does not depend on how the file was filled.
  if (std::ranges::any_of(*records, [](const auto& r) { return r.known() == nullptr; })) {
    return std::unexpected(invalid(combined, kUnknownRecords));
  }
  std::vector<const SealedIdentityV1*> identities;
  std::optional<CurrentUserV1> current;
  for (const auto& record : *records) {
    const KeychainRecordV1& known = *record.known();
    if (const auto* identity = std::get_if<SealedIdentityV1>(&known)) {
      if (!std::ranges::equal(identity->root, root)) return std::unexpected(invalid(combined, kOtherRoot));
      identities.push_back(identity);
    } else {
      if (current) return std::unexpected(invalid(combined, kSeveralCurrentUsers));
      current = std::get<CurrentUserV1>(known);
    }
  }
  if (auto single = ensure_one_per_user(base, root, identities, kCombinedIdentityConflict); !single) return single;

  auto missing = identities_to_write(base, root, identities, kCombinedIdentityConflict);
  if (!missing) return std::unexpected(std::move(missing).error());
  const Path current_path = current_user_path(base, root);
  bool write_current = false;
  if (current) {
    auto existing = read_current_user_at(current_path);
    if (!existing) return std::unexpected(std::move(existing).error());
    if (*existing && !(**existing == *current)) {
      return std::unexpected(invalid(current_path, kCombinedCurrentUserConflict));
    }
    write_current = !*existing;
  }
  if (auto written = write_identities(base, root, *missing, facts); !written) return written;
  if (write_current) {
    if (auto written = write_current_user_exact(current_path, *current, facts); !written) return written;
  }

  if (auto placed = ensure_in_place(base, root, identities); !placed) return placed;
  if (current) {
    auto back = read_current_user_at(current_path);
    if (!back) return std::unexpected(std::move(back).error());
    if (!*back || !(**back == *current)) return std::unexpected(invalid(current_path, kCurrentUserVerification));
  }
  return remove_durably(combined);
}

KeychainStatus migrate_legacy_user_locked(const Path& base, cord::ByteView root, cord::ByteView /*user*/,
                                          const Path& legacy, const store::LockPolicy& policy,
                                          const store::ProcessFacts& facts) {
  auto present = path_present_no_follow(legacy);
  if (!present) return std::unexpected(std::move(present).error());
  if (!*present) return {};
  // Taken after the root's lock and held to the end: two roots that share
  // one per-user file are split one after the other.
  auto lock = acquire_lock_at(store::directory_of(legacy) / kKeychainLockFileName, policy, facts);
  if (!lock) return std::unexpected(std::move(lock).error());
  auto records = read_keychain_records_at(legacy);
  if (!records) return std::unexpected(std::move(records).error());

  std::vector<const SealedIdentityV1*> moving;
  std::vector<cord::Evolving<KeychainRecordV1>> rest;
  for (const auto& record : *records) {
    const KeychainRecordV1* known = record.known();
    const auto* identity = known ? std::get_if<SealedIdentityV1>(known) : nullptr;
    if (identity != nullptr && std::ranges::equal(identity->root, root)) {
      moving.push_back(identity);
    } else {
      rest.push_back(record);
    }
  }
  if (moving.empty()) return {};
  if (auto single = ensure_one_per_user(base, root, moving, kLegacyIdentityConflict); !single) return single;

  auto missing = identities_to_write(base, root, moving, kLegacyIdentityConflict);
  if (!missing) return std::unexpected(std::move(missing).error());
  if (auto written = write_identities(base, root, *missing, facts); !written) return written;
  if (auto placed = ensure_in_place(base, root, moving); !placed) return placed;
  if (rest.empty()) return remove_durably(legacy);

  // The rest came out of a set, so it is one again.
  auto kept = KeychainRecords::from(std::move(rest));
  if (!kept) return std::unexpected(KeychainError(std::move(kept).error()));
  auto bytes = encode_keychain_records(*kept);
  if (!bytes) return std::unexpected(std::move(bytes).error());
  if (auto written = store::write_private_atomic_inner(legacy, *bytes, true, facts); !written) {
    return std::unexpected(KeychainError(written.error()));
  }
  auto back = read_keychain_records_at(legacy);
  if (!back) return std::unexpected(std::move(back).error());
  if (!(*back == *kept)) return std::unexpected(invalid(legacy, kLegacyRewriteVerification));
  return {};
}

}  // namespace vornex::keychain
