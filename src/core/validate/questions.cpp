#include "questions.hpp"

#include <algorithm>
#include <set>
#include <variant>

namespace vornex::core::validate::detail {

namespace {

// How many questions, principals and nodes one call looks at before it
// gives up and answers no: a removal that reaches so much is left to a
// recomputation.
constexpr std::size_t kBudget = 4096;

bool carries(const std::vector<KeyspaceGrantClassV1>& classes, const KeyspaceGrantClassV1& wanted) {
  return std::ranges::find(classes, wanted) != classes.end();
}

// Whether `entry` alone lets its holder create `permission`, as
// AuthoritySet::can_create_permission asks of each of its entries.
bool answers(const ManageKeyspaceGrantV1& entry, const GrantPermissionV1& permission) {
  return std::visit(
      [&](const auto& p) -> bool {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, grant_permission::Read>) {
          return carries(entry.grantable, grant_class::Read{}) && selector_subsumes(entry.selector, p.selector);
        } else if constexpr (std::is_same_v<P, grant_permission::Write>) {
          return carries(entry.grantable, grant_class::Write{}) && selector_subsumes(entry.selector, p.selector);
        } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
          return carries(entry.grantable, grant_class::Manage{}) && selector_subsumes(entry.selector, p.selector) &&
                 std::ranges::all_of(p.grantable, [&](const KeyspaceGrantClassV1& c) { return carries(entry.grantable, c); });
        } else {
          return false;  // only the root flag creates the root permission
        }
      },
      permission);
}

const KeyspaceSelectorV1* selector_of(const GrantPermissionV1& permission) {
  return std::visit(
      [](const auto& p) -> const KeyspaceSelectorV1* {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, grant_permission::Root>) {
          return nullptr;
        } else {
          return &p.selector;
        }
      },
      permission);
}

const std::vector<std::string>* segments_of(const TupleMatcherV1& path) {
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&path)) return &exact->segments;
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&path)) return &prefix->segments;
  return nullptr;
}

}  // namespace

AskedQuestions::AskedQuestions(const Prepared& prepared, std::span<const VerifiedRecord* const> candidates,
                               const std::map<GrantId, std::vector<const GrantRecordV1*>>& target_records,
                               const UserId& root_id)
    : root_id_(root_id),
      retired_(candidates.size(), false),
      asked_by_(candidates.size()),
      asks_everything_(candidates.size(), nullptr) {
  for (const VerifiedRecord* r : prepared.grants) {
    if (const auto* grant = std::get_if<GrantRecordV1>(&r->body())) {
      ask(r->signer, grant->permission, &grant->grant_id, kNoCandidate);
    }
  }
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const auto* deleted = std::get_if<GrantDeletedRecordV1>(&candidates[i]->body());
    if (deleted == nullptr || candidates[i]->signer == root_id) continue;
    const auto c = static_cast<std::uint32_t>(i);
    ask(candidates[i]->signer, deleted->permission, nullptr, c);
    const auto target = target_records.find(deleted->grant_id);
    if (target == target_records.end()) continue;
    if (target->second.size() > kTargetRecordsJudged) {
      Asked& asked = asked_[PrincipalRefV1{candidates[i]->signer}];
      ++asked.everything;
      asks_everything_[i] = &asked;
      continue;
    }
    for (const GrantRecordV1* g : target->second) ask(candidates[i]->signer, g->permission, nullptr, c);
  }
  for (const VerifiedRecord* r : prepared.group_members) {
    if (const auto* member = std::get_if<GroupMemberRecordV1>(&r->body())) {
      members_[member->group_id].push_back(member->member);
    }
  }
}

void AskedQuestions::ask(const UserId& signer, const GrantPermissionV1& permission, const GrantId* grant,
                         std::uint32_t candidate) {
  // The root's answers never change, and the root permission is asked of
  // the root flag alone.
  const KeyspaceSelectorV1* selector = selector_of(permission);
  if (signer == root_id_ || selector == nullptr) return;
  const auto index = static_cast<std::uint32_t>(questions_.size());
  if (candidate != kNoCandidate) asked_by_[candidate].push_back(index);
  Asked& asked = asked_[PrincipalRefV1{signer}];
  const std::vector<std::string>* segments = segments_of(selector->tuple);
  if (segments == nullptr) {
    questions_.push_back(Question{&permission, grant, candidate, nullptr});
    asked.any_path.push_back(index);
    return;
  }
  Node* node = &asked.root;
  ++node->live;
  for (const std::string& segment : *segments) {
    auto& child = node->children[segment];
    if (!child) {
      child = std::make_unique<Node>();
      child->parent = node;
    }
    node = child.get();
    ++node->live;
  }
  questions_.push_back(Question{&permission, grant, candidate, node});
  node->here.push_back(index);
}

void AskedQuestions::retire(std::size_t candidate) {
  if (retired_[candidate]) return;
  retired_[candidate] = true;
  for (const std::uint32_t q : asked_by_[candidate]) {
    for (Node* node = questions_[q].node; node != nullptr; node = node->parent) --node->live;
  }
  if (asks_everything_[candidate] != nullptr) --asks_everything_[candidate]->everything;
}

bool AskedQuestions::spend() {
  if (budget_ == 0) return false;
  --budget_;
  return true;
}

bool AskedQuestions::answered(std::vector<std::uint32_t>& list, const ManageKeyspaceGrantV1& entry,
                              const GrantId& removed) {
  for (std::size_t i = 0; i < list.size();) {
    const Question& q = questions_[list[i]];
    if (q.candidate != kNoCandidate && retired_[q.candidate]) {
      list[i] = list.back();
      list.pop_back();
      continue;
    }
    ++i;
    if (!spend()) return true;
    if (q.grant != nullptr && *q.grant == removed) continue;  // decides the removed grant alone
    if (answers(entry, *q.permission)) return true;
  }
  return false;
}

bool AskedQuestions::answered_below(Node& node, const ManageKeyspaceGrantV1& entry, const GrantId& removed) {
  std::vector<Node*> stack{&node};
  while (!stack.empty()) {
    Node* at = stack.back();
    stack.pop_back();
    if (at->live == 0) continue;
    if (!spend()) return true;
    if (answered(at->here, entry, removed)) return true;
    for (auto& [segment, child] : at->children) {
      if (child->live != 0) stack.push_back(child.get());
    }
  }
  return false;
}

bool AskedQuestions::asks(Asked& asked, const ManageKeyspaceGrantV1& entry, const GrantId& removed) {
  if (asked.everything != 0) return true;
  const std::vector<std::string>* segments = segments_of(entry.selector.tuple);
  // Any covers every path; Prefix the paths below its own; Exact only
  // exact paths equal to its own, which are filed at its node.
  if (segments == nullptr) return answered(asked.any_path, entry, removed) || answered_below(asked.root, entry, removed);
  Node* node = &asked.root;
  for (const std::string& segment : *segments) {
    if (node->live == 0) return false;
    if (!spend()) return true;
    const auto child = node->children.find(segment);
    if (child == node->children.end()) return false;
    node = child->second.get();
  }
  if (std::holds_alternative<tuple_matcher::Exact>(entry.selector.tuple)) return answered(node->here, entry, removed);
  return answered_below(*node, entry, removed);
}

bool AskedQuestions::unasked(const PrincipalRefV1& holder, const ManageKeyspaceGrantV1& entry, const GrantId& removed) {
  budget_ = kBudget;
  std::set<PrincipalRefV1> seen{holder};
  std::vector<PrincipalRefV1> queue{holder};
  while (!queue.empty()) {
    const PrincipalRefV1 at = std::move(queue.back());
    queue.pop_back();
    if (const auto* user = std::get_if<UserId>(&at); user != nullptr && *user == root_id_) continue;
    if (!spend()) return false;
    if (const auto asked = asked_.find(at); asked != asked_.end() && asks(asked->second, entry, removed)) return false;
    const auto* group = std::get_if<GroupId>(&at);
    if (group == nullptr) continue;
    const auto members = members_.find(*group);
    if (members == members_.end()) continue;
    for (const PrincipalRefV1& member : members->second) {
      if (seen.insert(member).second) queue.push_back(member);
    }
  }
  return true;
}

}  // namespace vornex::core::validate::detail
