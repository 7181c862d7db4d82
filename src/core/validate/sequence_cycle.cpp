// A walk that never settles repeats itself. Iteration k's items follow
// from the authorities of iteration k - 1 alone, and those from k - 1's
// items, so once iteration k's items are those of an earlier iteration j,
// every later iteration is the one k - j before it: the last is the one of
// its phase within (j, k], and nothing after k is computed or kept. A
// repetition is spotted by a keyed digest of every item's value, kept per
// iteration as items change, and confirmed on the values themselves.
//
// An admission re-walks every iteration against the one before it, so the
// periodic rest is laid out point by point first (`unroll`): admissions
// after a walk that never settled cost what they cost before.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "sequence_impl.hpp"
#include "vornex/core/validate/literal_iterations.hpp"

namespace vornex::core::validate::detail {

namespace {

// splitmix64's finaliser: every input bit reaches every output bit.
std::uint64_t mix(std::uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

constexpr std::size_t kKeyWords = 2;
constexpr std::size_t kWordBytes = 8;

}  // namespace

// Equal values (as ItemValue compares them) hash alike: a winner by its
// body, which within an item only one contest's candidates share, a
// conflict by its slot, a deletion or absence by its kind.
std::uint64_t Sequence::Impl::value_hash(std::uint32_t item, const ItemValue& v) const {
  std::uint64_t what = 0;
  std::uint64_t slot = 0;
  if (v.kind == ItemValue::Kind::Live) {
    const Candidate& c = *v.winner;
    what = c.contender != kNone ? contenders_[c.contender].klass : static_cast<std::uint64_t>(&c - cands_.data());
  } else if (v.kind == ItemValue::Kind::Conflict) {
    what = v.counter;
    slot = v.digest[0] ^ mix(v.digest[1]);
  }
  std::uint64_t h = mix(state_key_[0] ^ ((static_cast<std::uint64_t>(item) << 2) | static_cast<std::uint64_t>(v.kind)));
  h = mix(h ^ state_key_[1] ^ what);
  return mix(h ^ slot);
}

// Files iteration k's changes into its digest; true when its state is an
// earlier iteration's, with the final iteration read off.
bool Sequence::Impl::repeats(Iteration k) {
  if (literal_iterations()) return false;
  if (k == 1) {
    // Keyed as contests are: no set of records can be made to collide.
    for (std::size_t w = 0; w < kKeyWords; ++w) {
      std::uint64_t word = 0;
      for (std::size_t b = 0; b < kWordBytes; ++b) {
        word = (word << 8) | contest_key_[contest_key_.size() - kKeyWords * kWordBytes + w * kWordBytes + b];
      }
      state_key_[w] = word;
    }
  }
  std::uint64_t digest = state_digest_[k - 1];
  std::vector<std::uint32_t>& changed = changed_at_[k];
  changed.clear();
  for (const Change& c : changes_) {
    digest += value_hash(c.item, c.now) - value_hash(c.item, c.before);
    changed.push_back(c.item);
  }
  step(changes_.size());
  state_digest_[k] = digest;
  if (k == kLastIteration) return false;
  for (Iteration j = 1; j < k; ++j) {
    if (state_digest_[j] != digest) continue;
    // Only what changed after j can differ.
    bool same = true;
    for (Iteration m = static_cast<Iteration>(j + 1); m <= k && same; ++m) {
      step(changed_at_[m].size());
      for (const std::uint32_t item : changed_at_[m]) {
        if (!(items_[item].value.at(j) == items_[item].value.at(k))) {
          same = false;
          break;
        }
      }
    }
    if (!same) continue;
    // Iteration f reads the authorities of f - 1: the phase is taken
    // within (j, k], so that f - 1 lies in the repeating part too.
    const auto period = static_cast<Iteration>(k - j);
    cycle_from_ = j;
    horizon_ = k;
    final_ = static_cast<Iteration>(j + 1 + (kLastIteration - j - 1) % period);
    blocked_ = true;
    return true;
  }
  return false;
}

void Sequence::Impl::forget_changes() {
  for (auto& changed : changed_at_) std::vector<std::uint32_t>().swap(changed);
}

void Sequence::Impl::unroll() {
  if (cycle_from_ == 0) return;
  std::vector<Handle> handles;
  for (Iteration m = static_cast<Iteration>(cycle_from_ + 1); m <= horizon_; ++m) {
    handles.insert(handles.end(), registry_[m].begin(), registry_[m].end());
  }
  const auto order = [](const Handle& a, const Handle& b) {
    return a.kind != b.kind ? a.kind < b.kind : a.index < b.index;
  };
  std::sort(handles.begin(), handles.end(), order);
  handles.erase(std::unique(handles.begin(), handles.end(),
                            [](const Handle& a, const Handle& b) { return a.kind == b.kind && a.index == b.index; }),
                handles.end());
  std::uint64_t made = 0;
  for (const Handle h : handles) {
    const auto on_point = [&, inner = on_point_of(h)](Iteration j, bool created) {
      ++made;
      inner(j, created);
    };
    switch (h.kind) {
      case Handle::Item:
        items_[h.index].value.repeat(cycle_from_, horizon_, on_point);
        refresh_memberships(h.index);
        memberships_moved(h.index);
        break;
      case Handle::Root: principals_[h.index].root.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::RootGrants: principals_[h.index].root_grants.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::Answer: questions_[h.index].answer.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::Witness: questions_[h.index].witness.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::Entry:
        entry_groups_[h.index].count.repeat(cycle_from_, horizon_, on_point);
        ++entry_epoch_;
        refresh_filing(h.index);
        break;
      case Handle::Admission: contenders_[h.index].admitted.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::ClassCount: class_counts_[h.index].repeat(cycle_from_, horizon_, on_point); break;
      case Handle::Tally: contests_[h.index].tally.repeat(cycle_from_, horizon_, on_point); break;
      case Handle::Top: items_[h.index].top.repeat(cycle_from_, horizon_, on_point); break;
    }
  }
  step(handles.size() + made);
  cycle_from_ = 0;
  horizon_ = final_ = kLastIteration;
}

}  // namespace vornex::core::validate::detail
