// Entries (selectors with label matchers) found through the labels of what
// they must cover or match, without looking through entries that share a
// common matcher. Deciding whether any of many label sets lies within a
// given one has no near-linear solution in general; this makes it cost
// what the rarest of an entry's matchers costs:
//
//   - an entry is filed under one of its matchers: the one whose buckets
//     the fewest lookups will look in (`LabelDemand`) where the owner knows
//     them, else the one the fewest entries share (an Absent matcher only
//     where it has no other); an In matcher under each of its values;
//   - a question (a selector to cover) looks, for each of its matchers,
//     only in the buckets of the entry matchers that one satisfies: an
//     Equals value in its own bucket and among the In values, an In list
//     among the entries filed under its rarest value;
//   - a secret looks, for each of its labels, in the buckets that label
//     satisfies, and in the Absent buckets of the keys it lacks.
//
// An entry is thus found at most once per question or secret, through one
// matcher, and checked in full there. Entries whose every matcher is shared
// by many others still cost one check each where their filed matcher is
// satisfied: that remains the cost of the worst case.
//
// Selectors must be in sorted order (sorted_selector_subsumes), as every
// selector of a record that validation admits is. Every bucket visited and
// every entry looked at is counted (core/work.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <functional>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <variant>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core {

namespace label_index_detail {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace label_index_detail

// What one label matcher files under: its key, its kind, and its value
// (Equals) or one of its values (In). Views into the selectors, which
// outlive every index of them.
enum class LabelKind : std::uint8_t { Present, Equals, InValue, Absent };
using LabelBucket = std::tuple<std::string_view, LabelKind, std::string_view>;

// How many entries have each label matcher (an In matcher counted under
// each value), so that each entry can be filed under its rarest.
class MatcherCounts {
 public:
  void count(const KeyspaceSelectorV1& selector) {
    std::uint64_t steps = 1;
    for (const KeyspaceLabelMatcherV1& m : selector.labels) {
      each_bucket(m, [&](const LabelBucket& b) {
        ++counts_[b];
        ++steps;
      });
      if (std::holds_alternative<label_matcher::In>(m.matcher) || std::holds_alternative<label_matcher::Equals>(m.matcher)) {
        value_keys_.insert(m.key);
      }
    }
    count_work(steps);
  }

  // Whether an entry matches `key` by value (Equals or In, an empty In
  // list included).
  bool matches_values_of(std::string_view key) const {
    count_work(1);
    return value_keys_.contains(key);
  }

  // The index of the matcher of `selector` that the fewest entries share;
  // an In matcher costs as much as its most shared value. Absent matchers
  // only where every matcher is one: an entry filed under the key a secret
  // lacks must be looked for under every key it lacks. None without label
  // matchers.
  std::size_t rarest(const KeyspaceSelectorV1& selector) const {
    std::size_t best = selector.labels.size();
    std::uint64_t best_cost = UINT64_MAX;
    bool best_absent = true;
    for (std::size_t i = 0; i < selector.labels.size(); ++i) {
      const KeyspaceLabelMatcherV1& m = selector.labels[i];
      const bool absent = std::holds_alternative<label_matcher::Absent>(m.matcher);
      std::uint64_t cost = 0;
      each_bucket(m, [&](const LabelBucket& b) {
        const auto it = counts_.find(b);
        cost = std::max<std::uint64_t>(cost, it == counts_.end() ? 0 : it->second);
      });
      count_work(1);
      if (best == selector.labels.size() || (best_absent && !absent) || (best_absent == absent && cost < best_cost)) {
        best = i;
        best_cost = cost;
        best_absent = absent;
      }
    }
    return best;
  }

  // How many entries' matchers fall in bucket `b`.
  std::uint64_t count_of(const LabelBucket& b) const {
    count_work(1);
    const auto it = counts_.find(b);
    return it == counts_.end() ? 0 : it->second;
  }

  // The buckets `m` is filed under: one, or one per value of an In list.
  template <class Visit>
  static void each_bucket(const KeyspaceLabelMatcherV1& m, Visit&& visit) {
    const std::string_view key = m.key;
    std::visit(label_index_detail::Overloaded{
                   [&](const label_matcher::Present&) { visit(LabelBucket{key, LabelKind::Present, {}}); },
                   [&](const label_matcher::Equals& e) { visit(LabelBucket{key, LabelKind::Equals, e.value}); },
                   [&](const label_matcher::In& in) {
                     for (std::size_t i = 0; i < in.values.size(); ++i) {
                       // Sorted: a repeat follows its first.
                       if (i == 0 || in.values[i] != in.values[i - 1]) {
                         visit(LabelBucket{key, LabelKind::InValue, in.values[i]});
                       }
                     }
                   },
                   [&](const label_matcher::Absent&) { visit(LabelBucket{key, LabelKind::Absent, {}}); },
               },
               m.matcher);
  }

 private:
  std::map<LabelBucket, std::uint32_t> counts_;
  std::set<std::string_view, std::less<>> value_keys_;
};

// How many lookups will look in each bucket: a question (a selector an
// entry must cover) in the buckets of the entry matchers its own satisfy,
// a secret in those its labels satisfy and in the Absent buckets of the
// keys it lacks. An entry filed where few lookups look stays out of the
// way of the rest, whatever its other matchers share with other entries:
// a private In value or Absent key keeps it apart.
// Which lookups an index serves: questions (`LabelSlot::covers`) or
// secrets (`LabelSlot::matches`). An index reads the demand of its own.
enum class LookupKind : std::uint8_t { Questions, Secrets };

class LabelDemand {
 public:
  // Lookups are counted only in the buckets entries are filed under (by
  // `MatcherCounts::each_bucket`), the only ones ever weighed: the demand
  // holds no more buckets than the entries have, not three for each
  // matcher of every question and secret. The entries are told either
  // by `entries`, which counts them all before the lookups come, or by
  // `add_entry`, each before the lookups.
  LabelDemand() = default;
  explicit LabelDemand(const MatcherCounts* entries) : entries_(entries) {}

  void add_entry(const KeyspaceSelectorV1& selector) {
    for (const KeyspaceLabelMatcherV1& m : selector.labels) {
      MatcherCounts::each_bucket(m, [&](const LabelBucket& b) { buckets_.try_emplace(b); });
    }
    count_work(1 + selector.labels.size());
  }

  // `entries`, when given, counts the entries' matchers: an In list is
  // looked up under the value the fewest entries name, as `LabelSlot`
  // does; without, under one of its values, each as likely.
  void add_question(const KeyspaceSelectorV1& selector, const MatcherCounts* entries = nullptr) {
    if (entries_ == nullptr && buckets_.empty()) return;
    std::uint64_t steps = 1;
    for (std::size_t i = 0; i < selector.labels.size(); ++i) {
      const KeyspaceLabelMatcherV1& m = selector.labels[i];
      if (i > 0 && selector.labels[i - 1].key == m.key) continue;  // the first of a key decides
      const std::string_view key = m.key;
      std::visit(label_index_detail::Overloaded{
                     [&](const label_matcher::Present&) { probe(key, LabelKind::Present, {}); },
                     [&](const label_matcher::Equals& e) {
                       probe(key, LabelKind::Present, {});
                       probe(key, LabelKind::Equals, e.value);
                       probe(key, LabelKind::InValue, e.value);
                     },
                     [&](const label_matcher::In& in) {
                       probe(key, LabelKind::Present, {});
                       if (in.values.empty()) return;
                       if (in.values.front() == in.values.back()) probe(key, LabelKind::Equals, in.values.front());
                       const std::string* chosen = nullptr;
                       std::uint64_t fewest = UINT64_MAX;
                       const double share = 1.0 / static_cast<double>(in.values.size());
                       for (const std::string& v : in.values) {
                         ++steps;
                         if (entries == nullptr) {
                           probe(key, LabelKind::InValue, v, share);
                           continue;
                         }
                         const std::uint64_t named = entries->count_of(LabelBucket{key, LabelKind::InValue, v});
                         if (named < fewest) {
                           chosen = &v;
                           fewest = named;
                         }
                       }
                       if (chosen != nullptr) probe(key, LabelKind::InValue, *chosen);
                     },
                     [&](const label_matcher::Absent&) { probe(key, LabelKind::Absent, {}); },
                 },
                 m.matcher);
      ++steps;
    }
    count_work(steps);
  }

  // A secret: every key it has looks in three buckets; every key it lacks
  // in that key's Absent bucket, counted as the secrets lacking it.
  void add_secret(const SecretSelectorV1& secret) {
    ++secrets_;
    if (entries_ == nullptr && buckets_.empty()) return;
    for (std::size_t i = 0; i < secret.labels.size(); ++i) {
      const SecretLabelV1& label = secret.labels[i];
      if (i > 0 && secret.labels[i - 1].key == label.key) continue;
      probe(label.key, LabelKind::Present, {}, 1, LookupKind::Secrets);
      probe(label.key, LabelKind::Equals, label.value, 1, LookupKind::Secrets);
      probe(label.key, LabelKind::InValue, label.value, 1, LookupKind::Secrets);
      // An Absent bucket's secrets count those that have the key.
      probe(label.key, LabelKind::Absent, {}, 1, LookupKind::Secrets);
    }
    count_work(1 + secret.labels.size());
  }

  // The lookups of `kind` that will look in bucket `b`.
  double of(const LabelBucket& b, LookupKind kind) const {
    count_work(1);
    const auto it = buckets_.find(b);
    const Lookups none;
    const Lookups& n = it == buckets_.end() ? none : it->second;
    if (kind == LookupKind::Questions) return n.questions;
    if (std::get<1>(b) == LabelKind::Absent) return static_cast<double>(secrets_) - n.secrets;
    return n.secrets;
  }

 private:
  struct Lookups {
    double questions = 0;
    double secrets = 0;  // in an Absent bucket: the secrets having its key
  };

  void probe(std::string_view key, LabelKind kind, std::string_view value, double weight = 1,
             LookupKind by = LookupKind::Questions) {
    const LabelBucket b{key, kind, value};
    Lookups* n = nullptr;
    if (entries_ != nullptr) {
      if (entries_->count_of(b) > 0) n = &buckets_[b];
    } else if (const auto it = buckets_.find(b); it != buckets_.end()) {
      n = &it->second;
    }
    if (n != nullptr) (by == LookupKind::Questions ? n->questions : n->secrets) += weight;
  }

  const MatcherCounts* entries_ = nullptr;
  std::map<LabelBucket, Lookups> buckets_;  // of the entries' buckets, those looked in
  std::uint64_t secrets_ = 0;
};

// No iteration: the iteration searches not told one ask about, and the
// end of an entry in force up to the last.
inline constexpr std::uint8_t kNoIteration = 0xff;

// The iterations an entry may be in force in, where its owner asks by
// iteration: none before `since`, none from `until` on.
struct LabelInForce {
  std::uint8_t since = 0;
  std::uint8_t until = kNoIteration;
  bool operator==(const LabelInForce&) const = default;
};

// The entries filed at one place of a path index, by their labels. Each
// posting carries a generation, so that an owner can withdraw an entry
// (or file it again) by changing the entry's generation: postings that
// `live` refuses are dropped when a search meets them. Searches drop them,
// so the buckets are mutable.
template <class Entry>
class LabelSlot {
 public:
  // Searches not told which iteration they ask about read every tier.
  static constexpr std::uint8_t kEveryTier = kNoIteration;
  using InForce = LabelInForce;

  struct Posting {
    const Entry* entry;
    std::uint32_t generation;
    InForce in_force;
  };

  // Files `entry`, whose selector is `selector`, under the matcher the
  // fewest lookups of `demand` look at, or without one under its rarest.
  void add(const Entry& entry, const KeyspaceSelectorV1& selector, const MatcherCounts& counts,
           std::uint32_t generation = 0, const LabelDemand* demand = nullptr, InForce in_force = {},
           LookupKind serves = LookupKind::Questions) {
    const Posting posting{&entry, generation, in_force};
    all_.push_back(posting);
    in_force_.since = std::min(in_force_.since, in_force.since);
    in_force_.until = std::max(in_force_.until, in_force.until);
    span_stale_ = all_.size() > 1;  // perhaps an entry filed again, its old posting withdrawn
    if (selector.labels.empty()) {
      plain_.push_back(posting);
      return;
    }
    const KeyspaceLabelMatcherV1& filed =
        selector.labels[demand != nullptr ? least_demanded(selector, *demand, serves) : counts.rarest(selector)];
    bool bucketed = false;
    MatcherCounts::each_bucket(filed, [&](const LabelBucket& b) {
      bucketed = true;
      if (std::get<1>(b) == LabelKind::Absent) {
        absent_[std::get<0>(b)].push_back(posting);
      } else {
        by_label_[b].push_back(posting);
      }
    });
    if (!bucketed) ++unbucketed_;  // an empty In list: found through `all_` alone
  }

  bool empty() const { return all_.empty(); }

  // An entry that `live` keeps and `accept` takes whose selector
  // (`selector_of(entry)`) subsumes `target`, whose path the caller has
  // found covered at this place; null when there is none. Each bucket is
  // read from the posting `start` picks (modulo its size), so that a
  // caller drawing it at random finds a random one of several such
  // entries, not always the one an order of withdrawals takes next.
  // `now`, the iteration asked about, passes over the entries in force
  // only from a later one and those no longer in force by then.
  template <class SelectorOf, class Live, class Accept>
  const Entry* covers(const KeyspaceSelectorV1& target, SelectorOf&& selector_of, Live&& live, Accept&& accept,
                      std::uint64_t start = 0, std::uint8_t now = kEveryTier) const {
    start_ = start;
    now_ = now;
    // Nothing filed here is in force then: no bucket need be looked up.
    if (now != kEveryTier) {
      narrow_span(live);
      if (now < in_force_.since || now >= in_force_.until) return nullptr;
    }
    const Entry* hit = nullptr;
    const auto test = [&](const Entry& e) {
      if (!accept(e) || !sorted_labels_subsume(selector_of(e), target)) return false;
      hit = &e;
      return true;
    };
    if (plain_.any(live, test, start_, now_)) return hit;
    if (plain_.size() == all_.size()) return nullptr;
    // A target of more labels than this place has buckets: each bucket is
    // asked whether the target looks in it, so that a target of thousands
    // of labels asked at every place up a deep path costs the buckets
    // there, not its labels at each.
    if (unbucketed_ == 0 && by_label_.size() + absent_.size() < target.labels.size()) {
      return covers_from_buckets(target, live, test) ? hit : nullptr;
    }
    for (std::size_t i = 0; i < target.labels.size(); ++i) {
      const KeyspaceLabelMatcherV1& inner = target.labels[i];
      if (i > 0 && target.labels[i - 1].key == inner.key) continue;  // the first of a key decides
      const std::string_view key = inner.key;
      const bool found = std::visit(
          label_index_detail::Overloaded{
              [&](const label_matcher::Present&) { return bucket(key, LabelKind::Present, {}, live, test); },
              [&](const label_matcher::Equals& w) {
                return bucket(key, LabelKind::Present, {}, live, test) ||
                       bucket(key, LabelKind::Equals, w.value, live, test) ||
                       bucket(key, LabelKind::InValue, w.value, live, test);
              },
              [&](const label_matcher::In& lb) {
                // Never in a sorted selector of a record: every entry with
                // a value matcher on this key covers it.
                if (lb.values.empty()) return all_.any(live, test, start_, now_);
                if (bucket(key, LabelKind::Present, {}, live, test)) return true;
                if (lb.values.front() == lb.values.back() &&
                    bucket(key, LabelKind::Equals, lb.values.front(), live, test)) {
                  return true;
                }
                // A covering In list holds every value of this one: the
                // rarest value's bucket holds every such entry.
                return bucket(key, LabelKind::InValue, rarest_value(key, lb.values), live, test);
              },
              [&](const label_matcher::Absent&) {
                const auto it = absent_.find(key);
                count_work(1);
                return it != absent_.end() && it->second.any(live, test, start_, now_);
              },
          },
          inner.matcher);
      if (found) return hit;
    }
    return nullptr;
  }

  // Whether an entry that `live` keeps and `accept` takes matches
  // `secret`, whose path the caller has found matching at this place.
  template <class SelectorOf, class Live, class Accept>
  bool matches(const SecretSelectorV1& secret, SelectorOf&& selector_of, Live&& live, Accept&& accept) const {
    start_ = 0;
    now_ = kEveryTier;
    const auto test = [&](const Entry& e) { return accept(e) && sorted_labels_match(selector_of(e), secret); };
    if (plain_.any(live, test, start_, now_)) return true;
    if (plain_.size() == all_.size()) return false;
    for (std::size_t i = 0; i < secret.labels.size(); ++i) {
      const SecretLabelV1& label = secret.labels[i];
      if (i > 0 && secret.labels[i - 1].key == label.key) continue;
      if (bucket(label.key, LabelKind::Present, {}, live, test) ||
          bucket(label.key, LabelKind::Equals, label.value, live, test) ||
          bucket(label.key, LabelKind::InValue, label.value, live, test)) {
        return true;
      }
    }
    // Entries filed under an Absent matcher, under the keys the secret
    // lacks: both lists are sorted by key.
    auto label = secret.labels.begin();
    for (auto& [key, postings] : absent_) {
      while (label != secret.labels.end() && label->key < key) {
        ++label;
        count_work(1);
      }
      count_work(1);
      if ((label == secret.labels.end() || label->key != key) && postings.any(live, test, start_, now_)) return true;
    }
    return false;
  }

 private:
  // One bucket's postings, in tiers by the iterations their entries may
  // be in force in: by the first (ascending), then by the one they end at
  // (descending). A search about one iteration reads only the tiers begun
  // and not yet ended by then, so entries not yet in force, and entries
  // gone for good, cost it nothing. Withdrawn postings, and tiers left
  // empty, leave when a search meets them.
  class Postings {
   public:
    void push_back(const Posting& p) {
      const InForce f = p.in_force;
      auto era = std::lower_bound(eras_.begin(), eras_.end(), f.since,
                                  [](const Era& e, std::uint8_t since) { return e.since < since; });
      if (era == eras_.end() || era->since != f.since) era = eras_.insert(era, Era{f.since, {}});
      auto tier = std::lower_bound(era->tiers.begin(), era->tiers.end(), f.until,
                                   [](const Tier& t, std::uint8_t until) { return t.until > until; });
      if (tier == era->tiers.end() || tier->until != f.until) tier = era->tiers.insert(tier, Tier{f.until, {}});
      tier->postings.push_back(p);
      ++size_;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    // The iterations the postings `live` keeps may be in force in, from
    // the first to the end of the last; adds the postings read to `steps`.
    // Nothing is dropped: other lists' sizes are read against this one's.
    template <class Live>
    InForce live_span(Live&& live, std::uint64_t& steps) const {
      InForce span{kNoIteration, 0};
      for (const Era& era : eras_) {
        for (const Tier& tier : era.tiers) {
          for (const Posting& p : tier.postings) {
            ++steps;
            if (!live(p)) continue;
            span.since = std::min(span.since, p.in_force.since);
            span.until = std::max(span.until, p.in_force.until);
          }
        }
      }
      return span;
    }

    template <class Live, class Test>
    bool any(Live&& live, Test&& test, std::uint64_t start, std::uint8_t now) {
      // The tiers in force, looked up once: nearly always one or two.
      std::uint64_t steps = 1;
      std::size_t eligible = 0;
      TierList tiers;
      each_tier(now, steps, [&](Tier& t) {
        tiers.push_back(&t);
        eligible += t.postings.size();
      });
      if (eligible == 0) {
        count_work(steps);
        return false;
      }
      // Read round from the place `start` picks, as one list.
      std::size_t tier = 0;
      std::size_t at = static_cast<std::size_t>(start % eligible);
      while (at >= tiers[tier]->postings.size()) at -= tiers[tier++]->postings.size();
      bool found = false;
      std::vector<std::pair<std::size_t, std::size_t>> withdrawn;
      for (std::size_t j = 0; j < eligible && !found; ++j) {
        while (at >= tiers[tier]->postings.size()) {
          at = 0;
          tier = tier + 1 == tiers.size() ? 0 : tier + 1;
        }
        ++steps;
        const Posting& p = tiers[tier]->postings[at];
        if (!live(p)) {
          withdrawn.emplace_back(tier, at);
        } else {
          found = test(*p.entry);
        }
        ++at;
      }
      // From the highest place of each tier down, so that each one moved
      // in from the back is one already read and kept.
      std::sort(withdrawn.begin(), withdrawn.end(), std::greater<>());
      bool emptied = false;
      for (const auto& [t, i] : withdrawn) {
        std::vector<Posting>& list = tiers[t]->postings;
        list[i] = list.back();
        list.pop_back();
        --size_;
        emptied = emptied || list.empty();
      }
      if (emptied) steps += drop_empty();
      count_work(steps + withdrawn.size());
      return found;
    }

   private:
    struct Tier {
      std::uint8_t until;
      std::vector<Posting> postings;
    };
    struct Era {
      std::uint8_t since;
      std::vector<Tier> tiers;  // by `until`, descending
    };

    // The tiers one search reads, kept in place up to a few.
    class TierList {
     public:
      void push_back(Tier* t) {
        if (size_ < local_.size()) {
          local_[size_] = t;
        } else {
          if (more_.empty()) more_.assign(local_.begin(), local_.end());
          more_.push_back(t);
        }
        ++size_;
      }
      Tier* operator[](std::size_t i) const { return more_.empty() ? local_[i] : more_[i]; }
      std::size_t size() const { return size_; }

     private:
      std::array<Tier*, 4> local_{};
      std::vector<Tier*> more_;
      std::size_t size_ = 0;
    };

    // Hands `on_tier` each tier in force at `now`, in order, counting the
    // tiers and eras looked at.
    template <class OnTier>
    void each_tier(std::uint8_t now, std::uint64_t& steps, OnTier&& on_tier) {
      const bool every = now == kEveryTier;
      for (Era& era : eras_) {
        ++steps;
        if (!every && era.since > now) return;
        for (Tier& tier : era.tiers) {
          ++steps;
          if (!every && tier.until <= now) break;
          on_tier(tier);
        }
      }
    }

    // Removes the tiers (and eras) withdrawals have emptied; the steps.
    std::uint64_t drop_empty() {
      std::uint64_t steps = 0;
      for (Era& era : eras_) {
        steps += era.tiers.size();
        std::erase_if(era.tiers, [](const Tier& t) { return t.postings.empty(); });
      }
      steps += eras_.size();
      std::erase_if(eras_, [](const Era& e) { return e.tiers.empty(); });
      return steps;
    }

    std::vector<Era> eras_;
    std::size_t size_ = 0;
  };

  template <class Live, class Test>
  bool bucket(std::string_view key, LabelKind kind, std::string_view value, Live&& live, Test&& test) const {
    count_work(1);
    const auto it = by_label_.find(LabelBucket{key, kind, value});
    return it != by_label_.end() && it->second.any(live, test, start_, now_);
  }

  // `covers` by this place's buckets: those the target's matchers look in,
  // each target matcher found by its key (the first of a key decides). An
  // empty In list looks in every bucket of its key: nothing matches it, so
  // every matcher of the key covers it.
  template <class Live, class Test>
  bool covers_from_buckets(const KeyspaceSelectorV1& target, Live&& live, Test&& test) const {
    const std::uint64_t per_key = 1 + static_cast<std::uint64_t>(std::bit_width(target.labels.size()));
    const auto matcher_of = [&](std::string_view key) -> const KeyspaceLabelMatcherV1* {
      count_work(per_key);
      const auto it = std::ranges::lower_bound(target.labels, key, std::ranges::less{},
                                               [](const KeyspaceLabelMatcherV1& m) { return std::string_view(m.key); });
      return it != target.labels.end() && it->key == key ? &*it : nullptr;
    };
    for (auto& [b, postings] : by_label_) {
      const auto& [key, kind, value] = b;
      const KeyspaceLabelMatcherV1* m = matcher_of(key);
      if (m == nullptr) continue;
      const bool looks = std::visit(
          label_index_detail::Overloaded{
              [&](const label_matcher::Present&) { return kind == LabelKind::Present; },
              [&](const label_matcher::Equals& w) { return kind == LabelKind::Present || value == w.value; },
              [&](const label_matcher::In& lb) {
                if (lb.values.empty() || kind == LabelKind::Present) return true;
                if (kind == LabelKind::Equals) return lb.values.front() == lb.values.back() && value == lb.values.front();
                count_work(per_key);
                return std::ranges::binary_search(lb.values, value, std::ranges::less{},
                                                  [](const std::string& v) { return std::string_view(v); });
              },
              [&](const label_matcher::Absent&) { return false; },
          },
          m->matcher);
      if (looks && postings.any(live, test, start_, now_)) return true;
    }
    for (auto& [key, postings] : absent_) {
      const KeyspaceLabelMatcherV1* m = matcher_of(key);
      if (m == nullptr) continue;
      const auto* in = std::get_if<label_matcher::In>(&m->matcher);
      const bool looks = std::holds_alternative<label_matcher::Absent>(m->matcher) || (in != nullptr && in->values.empty());
      if (looks && postings.any(live, test, start_, now_)) return true;
    }
    return false;
  }

  // The value of `values` whose In bucket holds the fewest postings.
  std::string_view rarest_value(std::string_view key, const std::vector<std::string>& values) const {
    std::string_view best = values.front();
    std::size_t best_size = SIZE_MAX;
    for (const std::string& v : values) {
      count_work(1);
      const auto it = by_label_.find(LabelBucket{key, LabelKind::InValue, v});
      const std::size_t size = it == by_label_.end() ? 0 : it->second.size();
      if (size < best_size) {
        best = v;
        best_size = size;
        if (size == 0) break;
      }
    }
    return best;
  }

  // The matcher of `selector` whose buckets the fewest lookups look in;
  // Absent ones last among equals, since a secret looks under every key
  // it lacks.
  static std::size_t least_demanded(const KeyspaceSelectorV1& selector, const LabelDemand& demand, LookupKind serves) {
    std::size_t best = 0;
    double best_cost = std::numeric_limits<double>::infinity();
    bool best_absent = true;
    for (std::size_t i = 0; i < selector.labels.size(); ++i) {
      const KeyspaceLabelMatcherV1& m = selector.labels[i];
      const bool absent = std::holds_alternative<label_matcher::Absent>(m.matcher);
      double cost = 0;
      MatcherCounts::each_bucket(m, [&](const LabelBucket& b) { cost += demand.of(b, serves); });
      if (cost < best_cost || (cost == best_cost && best_absent && !absent)) {
        best = i;
        best_cost = cost;
        best_absent = absent;
      }
    }
    return best;
  }

  // Narrows the span to the postings still live, once the searches since
  // it was last narrowed have cost as much as reading them all: an
  // entry filed again for fewer iterations leaves no wider span behind,
  // which would make every search here read its buckets in iterations it
  // is no longer in force in.
  template <class Live>
  void narrow_span(Live&& live) const {
    if (!span_stale_ || ++searches_since_span_ < all_.size()) return;
    std::uint64_t steps = 1;
    in_force_ = all_.live_span(live, steps);
    count_work(steps);
    span_stale_ = false;
    searches_since_span_ = 0;
  }

  mutable Postings plain_;  // no label matchers
  mutable std::map<LabelBucket, Postings> by_label_;
  mutable std::map<std::string_view, Postings> absent_;  // entries filed under an Absent matcher
  mutable Postings all_;  // every posting, for a target no bucket serves
  std::size_t unbucketed_ = 0;  // entries filed under an empty In list, in no bucket
  // The iterations the postings filed here may be in force in, from the
  // first to the end of the last; withdrawn ones count until the span is
  // narrowed.
  mutable InForce in_force_{kNoIteration, 0};
  mutable bool span_stale_ = false;  // filed to since the span was narrowed
  mutable std::uint64_t searches_since_span_ = 0;
  mutable std::uint64_t start_ = 0;  // where this search reads each bucket from
  mutable std::uint8_t now_ = kEveryTier;  // the iteration this search asks about
};

}  // namespace vornex::core
