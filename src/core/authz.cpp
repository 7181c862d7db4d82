#include "vornex/core/authz.hpp"

#include <algorithm>
#include <string>
#include <variant>

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

// Whether some manage entry listing `cls` has a selector covering `target`.
// Such an entry is itself among the selectors that must cover the target
// for a Read or Write grant, so this one test decides both.
bool may_grant(const std::vector<ManageKeyspaceGrantV1>& manage, const KeyspaceGrantClassV1& cls,
               const KeyspaceSelectorV1& target) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) {
    return contains(m.grantable, cls) && selector_subsumes(m.selector, target);
  });
}

// A single entry must carry Manage and every requested class: classes spread
// over several entries do not add up.
bool may_grant_manage(const std::vector<ManageKeyspaceGrantV1>& manage, const ManageKeyspaceGrantV1& wanted) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) {
    return contains(m.grantable, grant_class::Manage{}) && selector_subsumes(m.selector, wanted.selector) &&
           std::ranges::all_of(wanted.grantable, [&](const KeyspaceGrantClassV1& c) { return contains(m.grantable, c); });
  });
}

bool any_matches(const std::vector<KeyspaceSelectorV1>& selectors, const SecretSelectorV1& secret) noexcept {
  return std::ranges::any_of(selectors, [&](const KeyspaceSelectorV1& s) { return selector_matches(s, secret); });
}

bool any_manage_matches(const std::vector<ManageKeyspaceGrantV1>& manage, const SecretSelectorV1& secret) noexcept {
  return std::ranges::any_of(manage, [&](const ManageKeyspaceGrantV1& m) { return selector_matches(m.selector, secret); });
}

}  // namespace

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

bool AuthoritySet::can_read(const SecretSelectorV1& secret) const noexcept {
  return is_root || any_matches(read, secret) || any_matches(write, secret) || any_manage_matches(manage, secret);
}

bool AuthoritySet::can_write(const SecretSelectorV1& secret) const noexcept {
  return is_root || any_matches(write, secret) || any_manage_matches(manage, secret);
}

bool AuthoritySet::can_create_permission(const GrantPermissionV1& permission) const noexcept {
  if (is_root) return true;
  return std::visit(Overloaded{
                        [&](const grant_permission::Read& p) { return may_grant(manage, grant_class::Read{}, p.selector); },
                        [&](const grant_permission::Write& p) { return may_grant(manage, grant_class::Write{}, p.selector); },
                        [&](const grant_permission::Manage& p) { return may_grant_manage(manage, p); },
                        [](const grant_permission::Root&) { return false; },
                    },
                    permission);
}

}  // namespace vornex::core
