// Splitting the two older keychain layouts into the current one, when met:
// a root's combined "keychain.cord", and the oldest per-user keychain.
// Both are idempotent: after success they find nothing to do, after a
// failure they redo only what is missing. An older file is removed only
// once everything taken from it has been written and read back; a file
// that already holds a different record blocks the split and is never
// overwritten. Callers hold the root's keychain lock.
#pragma once

#include "cord/wire.hpp"
#include "vornex/keychain/error.hpp"
#include "vornex/store/lock.hpp"

namespace vornex::keychain {

// `facts` as the opening read them; by default, as the process says now.
KeychainStatus migrate_root_combined_locked(const Path& base, cord::ByteView root,
                                            const store::ProcessFacts& facts = store::ProcessFacts::read());

// Moves `root`'s identities out of the per-user keychain at `legacy`
// (rewriting it with what remains, or removing it when nothing does),
// under the per-user lock beside it.
KeychainStatus migrate_legacy_user_locked(const Path& base, cord::ByteView root, cord::ByteView user,
                                          const Path& legacy, const store::LockPolicy& policy = {},
                                          const store::ProcessFacts& facts = store::ProcessFacts::read());

}  // namespace vornex::keychain
