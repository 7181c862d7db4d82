// The sequence's construction and what it answers its callers: the final
// selection, the questions deletion resolution asks, and the facade over
// `Sequence::Impl`, whose other sections have files of their own
// (sequence_impl.hpp names them).
#include "sequence.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <variant>

#include "cord/wire.hpp"
#include "sequence_impl.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail {

namespace {

// A key the vault's writers cannot know, new for each validation: contests
// are digested under it, so that no set of records can be made to digest
// as another does.
std::array<std::uint8_t, 32> contest_key() {
  std::array<std::uint8_t, 32> key{};
  std::size_t got = 0;
  while (got < key.size()) {
    const ssize_t n = ::getrandom(key.data() + got, key.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got == key.size()) return key;
  // Without the kernel's randomness (a sandbox that refuses the call): the
  // clock and where this process lies in memory, which a writer cannot
  // know ahead of the validation either.
  cord::Bytes seed;
  const auto mix = [&](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) seed.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  mix(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  mix(static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  mix(reinterpret_cast<std::uintptr_t>(&key));
  mix(reinterpret_cast<std::uintptr_t>(&contest_key));
  const HashValue h = domain_hash(cord::text_bytes(kConflictDigestDomain), seed);
  std::copy_n(h.bytes().begin(), std::min(key.size(), h.bytes().size()), key.begin());
  return key;
}

}  // namespace

Sequence::Impl::Impl(const Prepared& prepared, const UserRecordV1& root)
    : prepared_(prepared), root_(root), root_id_(root.user_id), contest_key_(contest_key()) {
  root_principal_ = principal_of(PrincipalRefV1{root_id_});
  principals_[root_principal_].root = Timeline<bool>(true);
  // Unknown to whoever wrote the vault, so that no order of its records
  // makes every search find first the entry that goes next.
  for (std::size_t i = 0; i < sizeof draw_; ++i) draw_ = (draw_ << 8) | contest_key_[i + 8];
  build_items();
  build_statics();
}

void Sequence::Impl::compute(std::span<const VerifiedRecord* const> deletions) {
  if (stop_.stopped()) return;
  for (const VerifiedRecord* r : deletions) mark_in_force(r->hash);
  begin_run();
  for (std::uint32_t i = 0; i < items_.size(); ++i) first_.push_back(i);
  run(false);
  first_.clear();
  forget_changes();
  if (cycle_from_ == 0) horizon_ = final_;
}

void Sequence::Impl::admit(const HashValue& hash) {
  if (stop_.stopped()) return;
  unroll();
  begin_run();
  for (const std::uint32_t candidate : mark_in_force(hash)) always_.push_back(candidate);
  run(true);
  always_.clear();
  horizon_ = final_;
}

// Items come grouped by pass and, within one, in id order: every map
// fills at its end.
SelectedAuthorizedRecords Sequence::Impl::selection() const {
  SelectedAuthorizedRecords s;
  s.users.emplace(root_id_, root_);
  for (const Item& item : items_) {
    const ItemValue& v = item.value.at(final_);
    if (v.kind == ItemValue::Kind::Conflict) {
      s.conflicts.insert_or_assign(item.key, final_slot(item, v.counter));
      continue;
    }
    if (v.kind == ItemValue::Kind::Absent) continue;
    const bool live = v.kind == ItemValue::Kind::Live;
    std::visit(
        [&](const auto& key) {
          using K = std::decay_t<decltype(key)>;
          if constexpr (std::is_same_v<K, record_key::User>) {
            if (live) {
              s.users.emplace_hint(s.users.end(), key.user_id, std::get<UserRecordV1>(v.winner->record->body()));
            } else {
              s.deleted_users.insert(s.deleted_users.end(), key.user_id);
            }
          } else if constexpr (std::is_same_v<K, record_key::Group>) {
            if (live) {
              s.groups.emplace_hint(s.groups.end(), key.group_id, std::get<GroupRecordV1>(v.winner->record->body()));
            } else {
              s.deleted_groups.insert(s.deleted_groups.end(), key.group_id);
            }
          } else if constexpr (std::is_same_v<K, record_key::GroupMember>) {
            s.group_members.emplace_hint(s.group_members.end(), key.group_member_id,
                                           std::get<GroupMemberRecordV1>(v.winner->record->body()));
          } else if constexpr (std::is_same_v<K, record_key::Grant>) {
            if (live) {
              s.grants.emplace_hint(s.grants.end(), key.grant_id, std::get<GrantRecordV1>(v.winner->record->body()));
            } else {
              s.deleted_grants.insert(s.deleted_grants.end(), key.grant_id);
            }
          }
        },
        item.key);
  }
  return s;
}

std::uint32_t Sequence::Impl::principal(const UserId& user) {
  const std::uint32_t p = principal_of(PrincipalRefV1{user});
  seen_.resize(principals_.size(), 0);
  if (focused_) {
    need_root_.resize(principals_.size(), false);
    need_entries_.resize(principals_.size(), false);
  }
  return p;
}

std::uint32_t Sequence::Impl::grant_item(const GrantId& id) const {
  const std::uint64_t prefix = byte_prefix(id.bytes());
  const auto it = std::lower_bound(grant_items_.begin(), grant_items_.end(), id, [&](const auto& entry, const GrantId& key) {
    const std::uint64_t p = byte_prefix(entry.first->bytes());
    return p != prefix ? p < prefix : *entry.first < key;
  });
  return it == grant_items_.end() || !(*it->first == id) ? kNone : it->second;
}

std::uint32_t Sequence::Impl::question(std::uint32_t asker, const GrantPermissionV1& permission) {
  const std::size_t before = questions_.size();
  const std::uint32_t q = add_question(asker, permission);
  if (q < before) return q;  // asked already: its answers are kept
  // Asked from now on: its answer in every iteration so far, then carried
  // like every other answer.
  for (Iteration k = 1; k <= horizon_; ++k) {
    const auto [yes, through] = evaluate_answer(q, k);
    questions_[q].answer.set(k, yes, false, on_point_of(Handle{Handle::Answer, q}));
    witness(q, through, k, false);
  }
  return q;
}

const GrantRecordV1* Sequence::Impl::grant(std::uint32_t item) const {
  const ItemValue& v = items_[item].value.at(final_);
  return v.kind == ItemValue::Kind::Live ? &std::get<GrantRecordV1>(v.winner->record->body()) : nullptr;
}

Sequence::Sequence(const Prepared& prepared, const UserRecordV1& root)
    : impl_(std::make_unique<Impl>(prepared, root)) {}
Sequence::~Sequence() = default;

void Sequence::compute(std::span<const VerifiedRecord* const> deletions) { impl_->compute(deletions); }
void Sequence::admit(const VerifiedRecord& deletion) { impl_->admit(deletion.hash); }
bool Sequence::blocked() const { return impl_->blocked(); }
bool Sequence::stopped() const { return impl_->stopped(); }
SelectedAuthorizedRecords Sequence::selection() const { return impl_->selection(); }
std::uint32_t Sequence::principal(const UserId& user) { return impl_->principal(user); }
std::uint32_t Sequence::grant_item(const GrantId& id) const { return impl_->grant_item(id); }
void Sequence::focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
                     std::span<const std::uint32_t> items) {
  impl_->focus(askers, rooted, items);
}
bool Sequence::exact() const { return impl_->exact(); }
std::uint32_t Sequence::question(std::uint32_t asker, const GrantPermissionV1& permission) {
  return impl_->question(asker, permission);
}
bool Sequence::answer(std::uint32_t question) const { return impl_->answer(question); }
bool Sequence::is_root(std::uint32_t principal) const { return impl_->is_root(principal); }
const GrantRecordV1* Sequence::grant(std::uint32_t item) const { return impl_->grant(item); }
const Sequence::Touched& Sequence::touched() const { return impl_->touched(); }

std::uint64_t sequence_work() noexcept { return work_done(); }

}  // namespace vornex::core::validate::detail

