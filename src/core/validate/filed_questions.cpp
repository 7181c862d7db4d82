#include "filed_questions.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace vornex::core::validate::detail::seq {

void FiledQuestions::add(std::uint32_t q, const TupleMatcherV1& path, std::uint32_t node) {
  ++size;
  if (node == kNone) {
    any.push_back(q);
  } else {
    QuestionShelf& shelf = at[node];
    (std::holds_alternative<tuple_matcher::Exact>(path) ? shelf.exact : shelf.prefix).push_back(q);
  }
}

namespace {

// Whether some entry looks in bucket `b` for the questions it may answer
// (`Asked::answerable`): a question filed where none looks would only
// cost memory, and a selector may hold thousands of matchers.
bool looked_in(const MatcherCounts& entries, const LabelBucket& b) {
  const auto [key, kind, value] = b;
  switch (kind) {
    case LabelKind::Present:
    case LabelKind::Absent: return entries.count_of(b) > 0;
    case LabelKind::Equals:
      return entries.count_of(b) > 0 || entries.count_of(LabelBucket{key, LabelKind::InValue, value}) > 0;
    case LabelKind::InValue: return entries.matches_values_of(key);
  }
  return true;
}

}  // namespace

void Asked::file(std::uint32_t q, const KeyspaceSelectorV1& selector, std::uint32_t node, const MatcherCounts& entries) {
  all.add(q, selector.tuple, node);
  const auto bucket = [&](std::string_view key, LabelKind kind, std::string_view value) {
    const LabelBucket b{key, kind, value};
    if (!looked_in(entries, b)) return;
    by_label.try_emplace(b, paths).first->second.add(q, selector.tuple, node);
  };
  for (std::size_t i = 0; i < selector.labels.size(); ++i) {
    const KeyspaceLabelMatcherV1& m = selector.labels[i];
    if (i > 0 && selector.labels[i - 1].key == m.key) continue;  // the first of a key decides
    count_work(1);
    std::visit(Overloaded{
                   [&](const label_matcher::Present&) { bucket(m.key, LabelKind::Present, {}); },
                   [&](const label_matcher::Equals& e) {
                     bucket(m.key, LabelKind::Present, {});
                     bucket(m.key, LabelKind::Equals, e.value);
                   },
                   [&](const label_matcher::In& in) {
                     bucket(m.key, LabelKind::Present, {});
                     if (in.values.empty()) {
                       bucket(m.key, LabelKind::InValue, {});
                       return;
                     }
                     const std::string* rarest = nullptr;
                     std::uint64_t fewest = UINT64_MAX;
                     for (const std::string& v : in.values) {
                       const std::uint64_t named = entries.count_of(LabelBucket{m.key, LabelKind::Equals, v}) +
                                                   entries.count_of(LabelBucket{m.key, LabelKind::InValue, v});
                       if (named < fewest) {
                         rarest = &v;
                         fewest = named;
                       }
                     }
                     bucket(m.key, LabelKind::Equals, *rarest);
                   },
                   [&](const label_matcher::Absent&) { bucket(m.key, LabelKind::Absent, {}); },
               },
               m.matcher);
  }
}

}  // namespace vornex::core::validate::detail::seq
