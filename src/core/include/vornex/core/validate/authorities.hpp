// The authority of every principal that has any: the root, the grantees of
// the grants in force, and every principal those reach through the
// memberships in force.
//
// A group's authority is held once, with the group, and reached through
// memberships: never copied into each member, so a grant to a group costs
// the same however many members it has. The questions of admission and of
// the operations (may this user create, write, read) are answered over the
// user and the groups above it without making its whole set. A principal's
// whole set, listed as the derivation lists it (its own grants in GrantId
// order, then what memberships swept in GroupMemberId order pass on), is
// made on first request and kept.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "vornex/core/authz.hpp"
#include "vornex/core/authz_index.hpp"
#include "vornex/core/ids.hpp"
#include "vornex/core/principal.hpp"
#include "vornex/core/records.hpp"

namespace vornex::core::validate {

class Authorities {
 public:
  Authorities();
  // Made sets and indexes are not copied: they point into their owner.
  Authorities(const Authorities& other);
  Authorities& operator=(const Authorities& other);
  Authorities(Authorities&&) noexcept;
  Authorities& operator=(Authorities&&) noexcept;
  ~Authorities();

  // The root user's authority alone.
  static Authorities root_only(const UserId& root_user_id);
  // What the grants and memberships in force give, each map in id order.
  static Authorities derive(const UserId& root_user_id, const std::map<GrantId, GrantRecordV1>& grants,
                            const std::map<GroupMemberId, GroupMemberRecordV1>& members);
  // Whole sets given as they are, without memberships: for states made by
  // hand, and for a derivation made elsewhere.
  static Authorities from_sets(std::map<PrincipalRefV1, AuthoritySet> sets);
  // The same from the records in force, each list in id order.
  static Authorities derive(const UserId& root_user_id, const std::vector<const GrantRecordV1*>& grants,
                            const std::vector<const GroupMemberRecordV1*>& members);

  // Whether the principal has an entry; one that has none has no authority.
  bool contains(const PrincipalRefV1& principal) const { return keys_.contains(principal); }
  std::size_t size() const { return keys_.size(); }
  const std::set<PrincipalRefV1>& principals() const { return keys_; }

  // The principal's whole set; null for a principal without an entry, and
  // `at` throws std::out_of_range for one. Valid while this object lives
  // and is not assigned to.
  const AuthoritySet* find(const PrincipalRefV1& principal) const;
  const AuthoritySet& at(const PrincipalRefV1& principal) const;

  // Gives a principal without memberships this whole set, in place of what
  // it had: for states made by hand.
  void assign(const PrincipalRefV1& principal, AuthoritySet set);

  // Every principal's whole set.
  std::map<PrincipalRefV1, AuthoritySet> materialized() const;
  bool operator==(const Authorities& other) const { return materialized() == other.materialized(); }

  // The questions, over the user and every group above it.
  bool is_root(const UserId& user) const { return rooted_.contains(PrincipalRefV1{user}); }
  bool can_read(const UserId& user, const SecretSelectorV1& secret) const;
  bool can_write(const UserId& user, const SecretSelectorV1& secret) const;
  bool can_create_permission(const UserId& user, const GrantPermissionV1& permission) const;

 private:
  struct Membership {
    GroupId group;
    PrincipalRefV1 member;
  };
  // What is made on request, kept apart so that a copy starts without it.
  struct Made;
  struct Above;
  struct Line;
  struct Frontier;
  struct Reach;

  void close();
  // The own sets of the principal and of every group above it that has
  // one, indexed: what its questions are asked of.
  Reach& reach(const PrincipalRefV1& principal) const;
  std::pair<const AuthorityIndex*, const AuthoritySet*> own_index(const PrincipalRefV1& at) const;
  // The principal's direct groups, each taken up as `through` goes; sorted.
  std::vector<GroupId> groups_above(const PrincipalRefV1& principal) const;
  // The indexes above these groups, walked once for all who ask over them.
  Above& above_of(std::vector<GroupId> groups) const;
  // The line a group holding a set of its own is on, made up to where it
  // joins one already made.
  Line* line_of(const GroupId& holder) const;
  template <class Ask>
  bool any_on_line(Line& from, Ask&& ask, std::uint64_t* spent = nullptr) const;
  // The groups holding sets first met going up from these groups, each
  // with its line; made once for every principal directly in those.
  Frontier& frontier_of(std::vector<GroupId> groups) const;
  // The group whose reach `group`'s is: itself, or the first one up a
  // line of groups that hold nothing, each a member of one group only.
  GroupId through(const GroupId& group) const;
  // A user's root flag and, without it, its reach.
  struct Asker {
    UserId user;
    bool root = false;
    Reach* reach = nullptr;
  };
  const Asker& asker(const UserId& user) const;
  // Whether the user is root or `ask` holds for some index of its reach.
  template <class Ask>
  bool any_in_reach(const UserId& user, Ask&& ask) const;
  Made& made() const;

  // Own sets: the root's, then each grantee's grants in GrantId order.
  std::map<PrincipalRefV1, AuthoritySet> own_;
  std::vector<Membership> memberships_;  // in force, in GroupMemberId order
  std::map<PrincipalRefV1, std::vector<std::size_t>> groups_of_;  // member -> its memberships
  std::set<PrincipalRefV1> keys_;
  std::set<PrincipalRefV1> rooted_;
  mutable std::unique_ptr<Made> made_;
};

}  // namespace vornex::core::validate
