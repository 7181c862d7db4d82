// Selectors, matchers and grant permissions: the values that address
// secrets and say who may do what with them. Neither the types nor their
// decoders enforce canonical form (sorted labels, non-empty prefixes and
// class lists); validation reports breaches, so a stored value decodes and
// re-encodes exactly as written.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "cord/codec.hpp"
#include "vornex/core/hash.hpp"

namespace vornex::core {

// One label of a secret.
struct SecretLabelV1 {
  std::string key;
  std::string value;
  CORD_FIELDS(key, value)
  bool operator==(const SecretLabelV1&) const = default;
};

// Names one secret: its path segments, outermost first, and its labels
// (canonically strictly ascending by key).
struct SecretSelectorV1 {
  std::vector<std::string> tuple;
  std::vector<SecretLabelV1> labels;
  CORD_FIELDS(tuple, labels)
  bool operator==(const SecretSelectorV1&) const = default;
};

// Matchers on a secret's path. Exact and Prefix carry the same payload, so
// each has a wrapper of its own; the wrappers add nothing on the wire.
namespace tuple_matcher {
struct Any {
  CORD_UNIT
  bool operator==(const Any&) const = default;
};
struct Exact {
  std::vector<std::string> segments;
  CORD_TRANSPARENT(segments)
  bool operator==(const Exact&) const = default;
};
// Canonically never empty: an empty prefix is written as Any.
struct Prefix {
  std::vector<std::string> segments;
  CORD_TRANSPARENT(segments)
  bool operator==(const Prefix&) const = default;
};
}  // namespace tuple_matcher

using TupleMatcherV1 = std::variant<tuple_matcher::Any, tuple_matcher::Exact, tuple_matcher::Prefix>;

// Conditions on the secret's label whose key is the matcher's key.
namespace label_matcher {
struct Present {
  CORD_UNIT
  bool operator==(const Present&) const = default;
};
struct Equals {
  std::string value;
  CORD_TRANSPARENT(value)
  bool operator==(const Equals&) const = default;
};
// Canonically non-empty and strictly ascending.
struct In {
  std::vector<std::string> values;
  CORD_TRANSPARENT(values)
  bool operator==(const In&) const = default;
};
struct Absent {
  CORD_UNIT
  bool operator==(const Absent&) const = default;
};
}  // namespace label_matcher

using LabelMatcherV1 =
    std::variant<label_matcher::Present, label_matcher::Equals, label_matcher::In, label_matcher::Absent>;

struct KeyspaceLabelMatcherV1 {
  std::string key;
  LabelMatcherV1 matcher;
  CORD_FIELDS(key, matcher)
  bool operator==(const KeyspaceLabelMatcherV1&) const = default;
};

// A set of secrets: a path matcher and label matchers (canonically strictly
// ascending by key). With no label matchers it constrains the path only.
struct KeyspaceSelectorV1 {
  TupleMatcherV1 tuple;
  std::vector<KeyspaceLabelMatcherV1> labels;
  CORD_FIELDS(tuple, labels)
  bool operator==(const KeyspaceSelectorV1&) const = default;
};

// The classes of grant a manage grant lets its holder create; each index
// matches the GrantPermissionV1 variant of the same name.
namespace grant_class {
struct Read {
  CORD_UNIT
  bool operator==(const Read&) const = default;
};
struct Write {
  CORD_UNIT
  bool operator==(const Write&) const = default;
};
struct Manage {
  CORD_UNIT
  bool operator==(const Manage&) const = default;
};
}  // namespace grant_class

using KeyspaceGrantClassV1 = std::variant<grant_class::Read, grant_class::Write, grant_class::Manage>;

struct ManageKeyspaceGrantV1 {
  KeyspaceSelectorV1 selector;
  // Canonically non-empty and strictly ascending by index.
  std::vector<KeyspaceGrantClassV1> grantable;
  CORD_FIELDS(selector, grantable)
  bool operator==(const ManageKeyspaceGrantV1&) const = default;
};

// What a grant confers. Read and Write carry the same payload, so each has
// a wrapper of its own that adds nothing on the wire.
namespace grant_permission {
struct Read {
  KeyspaceSelectorV1 selector;
  CORD_TRANSPARENT(selector)
  bool operator==(const Read&) const = default;
};
struct Write {
  KeyspaceSelectorV1 selector;
  CORD_TRANSPARENT(selector)
  bool operator==(const Write&) const = default;
};
using Manage = ManageKeyspaceGrantV1;
// Root authority; only a root holder may create it.
struct Root {
  CORD_UNIT
  bool operator==(const Root&) const = default;
};
}  // namespace grant_permission

using GrantPermissionV1 = std::variant<grant_permission::Read, grant_permission::Write,
                                       grant_permission::Manage, grant_permission::Root>;

}  // namespace vornex::core

template <>
struct std::hash<vornex::core::KeyspaceSelectorV1> : vornex::core::StructuralHash<vornex::core::KeyspaceSelectorV1> {};
