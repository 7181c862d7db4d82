#include "influence.hpp"

#include <algorithm>
#include <variant>

namespace vornex::core::validate::detail {

Influence::Influence(const Prepared& prepared, const UserId& root_id) {
  for (const RecordRefs* list : {&prepared.users, &prepared.groups, &prepared.group_members, &prepared.grants}) {
    for (const VerifiedRecord* r : *list) add_record(*r, root_id);
  }
}

bool Influence::reaches_watched(std::uint32_t start, bool keeping_answers) {
  if (watched_[start] > 0) return true;
  if (mark_[start] == Mark::Searched) return false;
  if (keeping_answers) {
    // A grant's only edges lead to its grantees.
    mark_[start] = Mark::GranteesSetAside;
    return false;
  }
  mark_[start] = Mark::Searched;
  std::vector<std::uint32_t> stack{start};
  while (!stack.empty()) {
    const std::uint32_t n = stack.back();
    stack.pop_back();
    if (watched_[n] > 0) return true;
    for (const std::uint32_t next : edges_[n]) {
      // A node whose grantee edges were set aside is searched in full now:
      // what reaches it may change more than its presence.
      if (mark_[next] != Mark::Searched) {
        mark_[next] = Mark::Searched;
        stack.push_back(next);
      }
    }
  }
  return false;
}

std::uint32_t Influence::existence(const PrincipalRefV1& principal) {
  if (const auto* user = std::get_if<UserId>(&principal)) return key_node(RecordKey{record_key::User{*user}});
  return key_node(RecordKey{record_key::Group{std::get<GroupId>(principal)}});
}

void Influence::add_record(const VerifiedRecord& r, const UserId& root_id) {
  const RecordBodyV1& body = r.body();
  if (is_principal_deletion(body)) return;  // admitted by the deletion walk, never by authority
  if (const auto* user = std::get_if<UserRecordV1>(&body); user != nullptr && user->user_id == root_id) return;
  const std::uint32_t item = key_node(r.key);
  if (!std::holds_alternative<GroupMemberDeletedRecordV1>(body)) live_keys_.insert(r.key);
  // The root's authority is root whatever else it gains, so what it signs
  // is admitted in every state.
  if (r.signer != root_id) edge(principal_node(PrincipalRefV1{r.signer}), item);
  if (const auto* member = std::get_if<GroupMemberRecordV1>(&body)) {
    const PrincipalRefV1 group{member->group_id};
    edge(existence(group), item);
    edge(existence(member->member), item);
    edge(item, principal_node(member->member));
    edge(principal_node(group), principal_node(member->member));
  } else if (const auto* ended = std::get_if<GroupMemberDeletedRecordV1>(&body)) {
    edge(item, principal_node(ended->member));
  } else if (const auto* grant = std::get_if<GrantRecordV1>(&body)) {
    edge(existence(grant->grantee), item);
    if (std::holds_alternative<grant_permission::Manage>(*grant->permission) ||
        std::holds_alternative<grant_permission::Root>(*grant->permission)) {
      edge(item, principal_node(grant->grantee));
      authority_[item].push_back(grant);
    }
  }
}

}  // namespace vornex::core::validate::detail
