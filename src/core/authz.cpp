#include "vornex/core/authz.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <variant>

#include "vornex/core/work.hpp"

namespace vornex::core {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

using Segments = std::vector<std::string>;
using Classes = std::vector<KeyspaceGrantClassV1>;

// Segment by segment; std::string equality is bytewise, with no folding.
bool begins_with(const Segments& path, const Segments& prefix) noexcept {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

bool contains(const std::vector<std::string>& values, const std::string& value) noexcept {
  return std::ranges::find(values, value) != values.end();
}

bool contains(const Classes& classes, const KeyspaceGrantClassV1& wanted) noexcept {
  return std::ranges::any_of(classes, [&](const KeyspaceGrantClassV1& c) { return c.index() == wanted.index(); });
}

bool path_matches(const TupleMatcherV1& matcher, const Segments& path) noexcept {
  return std::visit(Overloaded{
                        [](const tuple_matcher::Any&) { return true; },
                        [&](const tuple_matcher::Exact& m) { return m.segments == path; },
                        [&](const tuple_matcher::Prefix& m) { return begins_with(path, m.segments); },
                    },
                    matcher);
}

// A secret without labels needs no case of its own: no label is found, so
// exactly the Absent matchers hold.
bool label_holds(const KeyspaceLabelMatcherV1& matcher, const std::vector<SecretLabelV1>& labels) noexcept {
  const auto found = std::ranges::find(labels, matcher.key, &SecretLabelV1::key);
  const SecretLabelV1* label = found == labels.end() ? nullptr : &*found;
  return std::visit(Overloaded{
                        [&](const label_matcher::Present&) { return label != nullptr; },
                        [&](const label_matcher::Equals& m) { return label != nullptr && label->value == m.value; },
                        [&](const label_matcher::In& m) { return label != nullptr && contains(m.values, label->value); },
                        [&](const label_matcher::Absent&) { return label == nullptr; },
                    },
                    matcher.matcher);
}

bool path_covers(const TupleMatcherV1& outer, const TupleMatcherV1& inner) noexcept {
  if (std::holds_alternative<tuple_matcher::Any>(outer)) return true;
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&outer)) {
    const auto* other = std::get_if<tuple_matcher::Exact>(&inner);
    return other != nullptr && other->segments == exact->segments;
  }
  const Segments& prefix = std::get<tuple_matcher::Prefix>(outer).segments;
  if (const auto* other = std::get_if<tuple_matcher::Exact>(&inner)) return begins_with(other->segments, prefix);
  if (const auto* other = std::get_if<tuple_matcher::Prefix>(&inner)) return begins_with(other->segments, prefix);
  // Even an empty prefix: coverage is judged by form, and canonical form
  // writes that prefix as Any anyway.
  return false;
}

// Whether every label value that `inner` admits, `outer` admits too. An
// empty In admits nothing, so it is covered by any value matcher.
bool matcher_covers(const LabelMatcherV1& outer, const LabelMatcherV1& inner) noexcept {
  return std::visit(
      Overloaded{
          [&](const label_matcher::Present&) { return !std::holds_alternative<label_matcher::Absent>(inner); },
          [&](const label_matcher::Equals& a) {
            if (const auto* b = std::get_if<label_matcher::Equals>(&inner)) return b->value == a.value;
            if (const auto* b = std::get_if<label_matcher::In>(&inner)) {
              return std::ranges::all_of(b->values, [&](const std::string& v) { return v == a.value; });
            }
            return false;
          },
          [&](const label_matcher::In& a) {
            if (const auto* b = std::get_if<label_matcher::Equals>(&inner)) return contains(a.values, b->value);
            if (const auto* b = std::get_if<label_matcher::In>(&inner)) {
              return std::ranges::all_of(b->values, [&](const std::string& v) { return contains(a.values, v); });
            }
            return false;
          },
          [&](const label_matcher::Absent&) { return std::holds_alternative<label_matcher::Absent>(inner); },
      },
      outer);
}

// The two selector relations a set's questions rest on: the literal ones,
// or those for sorted selectors.
struct Literal {
  static bool matches(const KeyspaceSelectorV1& p, const SecretSelectorV1& s) noexcept { return selector_matches(p, s); }
  static bool subsumes(const KeyspaceSelectorV1& o, const KeyspaceSelectorV1& i) noexcept { return selector_subsumes(o, i); }
};
struct Sorted {
  static bool matches(const KeyspaceSelectorV1& p, const SecretSelectorV1& s) noexcept {
    return sorted_selector_matches(p, s);
  }
  static bool subsumes(const KeyspaceSelectorV1& o, const KeyspaceSelectorV1& i) noexcept {
    return sorted_selector_subsumes(o, i);
  }
};

// Whether some manage entry listing `cls` has a selector covering `target`.
// Such an entry is itself among the selectors that must cover the target
// for a Read or Write grant, so this one test decides both.
template <class R>
bool may_grant(const std::vector<ManageKeyspaceGrantV1>& manage, const KeyspaceGrantClassV1& cls,
               const KeyspaceSelectorV1& target) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) {
    return contains(m.grantable, cls) && R::subsumes(m.selector, target);
  });
}

// A single entry must carry Manage and every requested class: classes spread
// over several entries do not add up.
template <class R>
bool may_grant_manage(const std::vector<ManageKeyspaceGrantV1>& manage, const ManageKeyspaceGrantV1& wanted) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) {
    return contains(m.grantable, grant_class::Manage{}) && R::subsumes(m.selector, wanted.selector) &&
           std::ranges::all_of(wanted.grantable, [&](const KeyspaceGrantClassV1& c) { return contains(m.grantable, c); });
  });
}

template <class R>
bool any_matches(const std::vector<KeyspaceSelectorV1>& selectors, const SecretSelectorV1& secret) noexcept {
  return std::ranges::any_of(selectors, [&](const KeyspaceSelectorV1& s) { return R::matches(s, secret); });
}

template <class R>
bool any_manage_matches(const std::vector<ManageKeyspaceGrantV1>& manage, const SecretSelectorV1& secret) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) { return R::matches(m.selector, secret); });
}

template <class R>
bool can_read_by(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept {
  return set.is_root || any_matches<R>(set.read, secret) || any_matches<R>(set.write, secret) ||
         any_manage_matches<R>(set.manage, secret);
}

template <class R>
bool can_write_by(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept {
  return set.is_root || any_matches<R>(set.write, secret) || any_manage_matches<R>(set.manage, secret);
}

template <class R>
bool can_create_permission_by(const AuthoritySet& set, const GrantPermissionV1& permission) noexcept {
  if (set.is_root) return true;
  return std::visit(Overloaded{
                        [&](const grant_permission::Read& p) { return may_grant<R>(set.manage, grant_class::Read{}, p.selector); },
                        [&](const grant_permission::Write& p) {
                          return may_grant<R>(set.manage, grant_class::Write{}, p.selector);
                        },
                        [&](const grant_permission::Manage& p) { return may_grant_manage<R>(set.manage, p); },
                        [](const grant_permission::Root&) { return false; },
                    },
                    permission);
}

// ---- Sorted selectors -------------------------------------------------------

// A binary search costs about the logarithm of the list.
std::uint64_t search_steps(std::size_t size) noexcept { return 1 + static_cast<std::uint64_t>(std::bit_width(size)); }

// The first element of `list`, ascending by key from `from` on, whose key
// is `key`, or the end.
template <class List>
typename List::const_iterator first_with_key(const List& list, typename List::const_iterator from,
                                             const std::string& key, std::uint64_t& steps) noexcept {
  steps += search_steps(static_cast<std::size_t>(list.end() - from));
  const auto it = std::lower_bound(from, list.end(), key, [](const auto& e, const std::string& k) { return e.key < k; });
  return it != list.end() && it->key == key ? it : list.end();
}

bool sorted_contains(const std::vector<std::string>& values, const std::string& value, std::uint64_t& steps) noexcept {
  steps += search_steps(values.size());
  return std::binary_search(values.begin(), values.end(), value);
}

// Whether every value of `part` is in `whole`, both ascending: a merge, or
// a binary search for each value where `part` is much the shorter.
bool sorted_subset(const std::vector<std::string>& part, const std::vector<std::string>& whole,
                   std::uint64_t& steps) noexcept {
  constexpr std::size_t kMergeRatio = 8;
  auto it = whole.begin();
  if (part.size() * kMergeRatio >= whole.size()) {
    for (const std::string& v : part) {
      while (it != whole.end() && *it < v) {
        ++it;
        ++steps;
      }
      ++steps;
      if (it == whole.end() || *it != v) return false;
    }
    return true;
  }
  for (const std::string& v : part) {
    steps += search_steps(static_cast<std::size_t>(whole.end() - it));
    it = std::lower_bound(it, whole.end(), v);
    if (it == whole.end() || *it != v) return false;
  }
  return true;
}

bool sorted_label_holds(const KeyspaceLabelMatcherV1& matcher, const std::vector<SecretLabelV1>& labels,
                        std::uint64_t& steps) noexcept {
  const auto found = first_with_key(labels, labels.begin(), matcher.key, steps);
  const SecretLabelV1* label = found == labels.end() ? nullptr : &*found;
  return std::visit(Overloaded{
                        [&](const label_matcher::Present&) { return label != nullptr; },
                        [&](const label_matcher::Equals& m) { return label != nullptr && label->value == m.value; },
                        [&](const label_matcher::In& m) {
                          return label != nullptr && sorted_contains(m.values, label->value, steps);
                        },
                        [&](const label_matcher::Absent&) { return label == nullptr; },
                    },
                    matcher.matcher);
}

// matcher_covers for ascending In lists: every value of an Equals-covered
// list is the one value when its first and last are.
bool sorted_matcher_covers(const LabelMatcherV1& outer, const LabelMatcherV1& inner, std::uint64_t& steps) noexcept {
  return std::visit(
      Overloaded{
          [&](const label_matcher::Present&) { return !std::holds_alternative<label_matcher::Absent>(inner); },
          [&](const label_matcher::Equals& a) {
            if (const auto* b = std::get_if<label_matcher::Equals>(&inner)) return b->value == a.value;
            if (const auto* b = std::get_if<label_matcher::In>(&inner)) {
              return b->values.empty() || (b->values.front() == a.value && b->values.back() == a.value);
            }
            return false;
          },
          [&](const label_matcher::In& a) {
            if (const auto* b = std::get_if<label_matcher::Equals>(&inner)) return sorted_contains(a.values, b->value, steps);
            if (const auto* b = std::get_if<label_matcher::In>(&inner)) return sorted_subset(b->values, a.values, steps);
            return false;
          },
          [&](const label_matcher::Absent&) { return std::holds_alternative<label_matcher::Absent>(inner); },
      },
      outer);
}

std::uint64_t path_steps(const TupleMatcherV1& a, std::size_t other_segments) noexcept {
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&a)) return 1 + std::min(exact->segments.size(), other_segments);
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&a)) return 1 + std::min(prefix->segments.size(), other_segments);
  return 1;
}

std::size_t segment_count(const TupleMatcherV1& path) noexcept {
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&path)) return exact->segments.size();
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&path)) return prefix->segments.size();
  return 0;
}

}  // namespace

namespace {

bool labels_hold(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret, std::uint64_t& steps) noexcept {
  bool holds = true;
  for (auto m = pattern.labels.begin(); holds && m != pattern.labels.end(); ++m) {
    holds = sorted_label_holds(*m, secret.labels, steps);
  }
  return holds;
}

bool labels_cover(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner, std::uint64_t& steps) noexcept {
  bool covers = true;
  // Outer keys ascend, so each search starts where the last one ended.
  auto from = inner.labels.begin();
  for (auto a = outer.labels.begin(); covers && a != outer.labels.end(); ++a) {
    const auto b = first_with_key(inner.labels, from, a->key, steps);
    covers = b != inner.labels.end() && sorted_matcher_covers(a->matcher, b->matcher, steps);
    if (covers) from = b;
  }
  return covers;
}

}  // namespace

bool sorted_selector_matches(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept {
  std::uint64_t steps = path_steps(pattern.tuple, secret.tuple.size());
  const bool holds = path_matches(pattern.tuple, secret.tuple) && labels_hold(pattern, secret, steps);
  count_work(steps);
  return holds;
}

bool sorted_selector_subsumes(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept {
  std::uint64_t steps = path_steps(outer.tuple, segment_count(inner.tuple));
  const bool covers = path_covers(outer.tuple, inner.tuple) && labels_cover(outer, inner, steps);
  count_work(steps);
  return covers;
}

bool sorted_labels_match(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept {
  std::uint64_t steps = 1;
  const bool holds = labels_hold(pattern, secret, steps);
  count_work(steps);
  return holds;
}

bool sorted_labels_subsume(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept {
  std::uint64_t steps = 1;
  const bool covers = labels_cover(outer, inner, steps);
  count_work(steps);
  return covers;
}

bool selector_matches(const KeyspaceSelectorV1& pattern, const SecretSelectorV1& secret) noexcept {
  if (!path_matches(pattern.tuple, secret.tuple)) return false;
  return std::ranges::all_of(pattern.labels,
                             [&](const KeyspaceLabelMatcherV1& m) { return label_holds(m, secret.labels); });
}

bool selector_subsumes(const KeyspaceSelectorV1& outer, const KeyspaceSelectorV1& inner) noexcept {
  if (!path_covers(outer.tuple, inner.tuple)) return false;
  if (outer.labels.empty()) return true;
  // Each outer matcher is judged against the first inner matcher with its
  // key, the one that decides for the secret's first label with that key.
  return std::ranges::all_of(outer.labels, [&](const KeyspaceLabelMatcherV1& a) {
    const auto b = std::ranges::find(inner.labels, a.key, &KeyspaceLabelMatcherV1::key);
    return b != inner.labels.end() && matcher_covers(a.matcher, b->matcher);
  });
}

bool push_unique(std::vector<ManageKeyspaceGrantV1>& list, const ManageKeyspaceGrantV1& grant) {
  if (std::ranges::find(list, grant) != list.end()) return false;
  list.push_back(grant);
  return true;
}

AuthoritySet AuthoritySet::root() {
  const KeyspaceSelectorV1 everything{tuple_matcher::Any{}, {}};
  return AuthoritySet{
      .read = {everything},
      .write = {everything},
      .manage = {ManageKeyspaceGrantV1{everything, {grant_class::Read{}, grant_class::Write{}, grant_class::Manage{}}}},
      .is_root = true,
  };
}

bool AuthoritySet::can_read(const SecretSelectorV1& secret) const noexcept { return can_read_by<Literal>(*this, secret); }

bool AuthoritySet::can_write(const SecretSelectorV1& secret) const noexcept {
  return can_write_by<Literal>(*this, secret);
}

bool AuthoritySet::can_create_permission(const GrantPermissionV1& permission) const noexcept {
  return can_create_permission_by<Literal>(*this, permission);
}

bool sorted_can_read(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept {
  return can_read_by<Sorted>(set, secret);
}

bool sorted_can_write(const AuthoritySet& set, const SecretSelectorV1& secret) noexcept {
  return can_write_by<Sorted>(set, secret);
}

bool sorted_can_create_permission(const AuthoritySet& set, const GrantPermissionV1& permission) noexcept {
  return can_create_permission_by<Sorted>(set, permission);
}

}  // namespace vornex::core
