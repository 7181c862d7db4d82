// The questions one principal asks, filed by the path of their selector
// and again by their label matchers, so that a manage entry that comes or
// goes finds the questions it may answer through its rarest matcher,
// never by reading every question of the asker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "path_nodes.hpp"
#include "vornex/core/label_index.hpp"
#include "vornex/core/records.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail::seq {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Questions filed by the path of their selector: Any paths on their own,
// Exact and Prefix ones by the node of their segments.
struct QuestionShelf {
  std::vector<std::uint32_t> exact;
  std::vector<std::uint32_t> prefix;
};
struct FiledQuestions {
  explicit FiledQuestions(const PathNodes& paths) : at(PreorderLess{&paths}) {}

  std::vector<std::uint32_t> any;
  std::map<std::uint32_t, QuestionShelf, PreorderLess> at;
  std::size_t size = 0;

  void add(std::uint32_t q, const TupleMatcherV1& path, std::uint32_t node);

  // Every question whose path `outer` (at `node`) covers: Any covers all,
  // Prefix the paths at and below its own, Exact only exact paths equal to
  // its own.
  template <class Visit>
  void covered(const TupleMatcherV1& outer, std::uint32_t node, const PathNodes& paths, Visit&& visit) const {
    const auto shelf = [&](const QuestionShelf& s) {
      count_work(1 + s.exact.size() + s.prefix.size());
      for (const std::uint32_t q : s.exact) visit(q);
      for (const std::uint32_t q : s.prefix) visit(q);
    };
    count_work(1);
    if (node == kNone) {
      count_work(any.size());
      for (const std::uint32_t q : any) visit(q);
      for (const auto& [n, s] : at) shelf(s);
    } else if (std::holds_alternative<tuple_matcher::Exact>(outer)) {
      if (const auto it = at.find(node); it != at.end()) {
        count_work(it->second.exact.size());
        for (const std::uint32_t q : it->second.exact) visit(q);
      }
    } else {
      for (auto it = at.lower_bound(node); it != at.end() && paths.key(it->first) < paths.last(node); ++it) {
        shelf(it->second);
      }
    }
  }
};

// The questions one principal asks, by the path of their selector and
// again by their label matchers, so that an entry finds the questions it
// may answer through the rarest of its own matchers. For each key a
// question has a matcher on, it is filed under:
//   - (key, Present) for a matcher that needs the label (all but Absent):
//     the questions a Present entry may answer;
//   - (key, Equals, v) for Equals v, or an In list holding v: the
//     questions an Equals v entry, or an In entry holding v, may answer (a
//     list an entry covers holds each of its values, so one is enough: the
//     value the fewest entries name, so that an entry meets few lists it
//     does not cover);
//   - (key, InValue, "") for an empty In list, which every value matcher
//     covers (never in a sorted selector of a record);
//   - (key, Absent) for Absent.
struct Asked {
  explicit Asked(const PathNodes& paths) : paths(paths), all(paths) {}

  const PathNodes& paths;
  std::vector<std::uint32_t> questions;
  FiledQuestions all;
  std::map<LabelBucket, FiledQuestions> by_label;

  // Files a question of `selector`, whose path is at `node`; the paths must
  // be numbered. `entries` counts the entries' matchers.
  void file(std::uint32_t q, const KeyspaceSelectorV1& selector, std::uint32_t node, const MatcherCounts& entries);

  // The questions `entry` (its path at `node`) may answer: those whose
  // path its selector covers and, when it has label matchers, that are
  // filed where its rarest one looks. Each is visited once; the caller
  // checks it in full.
  template <class Visit>
  void answerable(const KeyspaceSelectorV1& entry, std::uint32_t node, Visit&& visit) const {
    if (entry.labels.empty()) {
      all.covered(entry.tuple, node, paths, visit);
      return;
    }
    // The buckets a matcher looks in, and how many questions they hold.
    const auto buckets_of = [&](const KeyspaceLabelMatcherV1& m, auto&& each) {
      const auto one = [&](LabelKind kind, std::string_view value) {
        count_work(1);
        const auto it = by_label.find(LabelBucket{m.key, kind, value});
        if (it != by_label.end()) each(it->second);
      };
      std::visit(Overloaded{
                     [&](const label_matcher::Present&) { one(LabelKind::Present, {}); },
                     [&](const label_matcher::Equals& e) {
                       one(LabelKind::Equals, e.value);
                       one(LabelKind::InValue, {});
                     },
                     [&](const label_matcher::In& in) {
                       for (const std::string& v : in.values) one(LabelKind::Equals, v);
                       one(LabelKind::InValue, {});
                     },
                     [&](const label_matcher::Absent&) { one(LabelKind::Absent, {}); },
                 },
                 m.matcher);
    };
    const KeyspaceLabelMatcherV1* best = nullptr;
    std::size_t best_size = SIZE_MAX;
    for (const KeyspaceLabelMatcherV1& m : entry.labels) {
      std::size_t size = 0;
      buckets_of(m, [&](const FiledQuestions& f) { size += f.size; });
      if (size < best_size) {
        best = &m;
        best_size = size;
      }
      if (size == 0) return;  // every question it answers is in there
    }
    buckets_of(*best, [&](const FiledQuestions& f) { f.covered(entry.tuple, node, paths, visit); });
  }
};

}  // namespace vornex::core::validate::detail::seq
