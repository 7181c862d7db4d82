#include "vornex/core/validate/authorities.hpp"

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <tuple>
#include <type_traits>
#include <unordered_set>
#include <variant>

#include "vornex/core/order.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate {

namespace {

// Small numbers standing for distinct selectors and manage entries, so that
// "unless an equal one is already there" is a lookup of a number. Keys
// point at values that outlive the interner.
template <class T>
class Interner {
 public:
  std::uint32_t id(const T& value) {
    const auto [it, inserted] = ids_.try_emplace(&value, static_cast<std::uint32_t>(values_.size()));
    if (inserted) values_.push_back(&value);
    return it->second;
  }
  const T& value(std::uint32_t id) const { return *values_[id]; }

 private:
  std::map<const T*, std::uint32_t, StructuralLess> ids_;
  std::vector<const T*> values_;
};

// One list of an authority being accumulated: the entries' numbers in list
// order beside the list itself, and the set of numbers already in it.
struct Column {
  std::vector<std::uint32_t> order;
  std::unordered_set<std::uint32_t> present;

  bool add(std::uint32_t id) {
    if (!present.insert(id).second) return false;
    order.push_back(id);
    return true;
  }
};

struct Accumulator {
  AuthoritySet set;
  Column read;
  Column write;
  Column manage;
};

// How far a membership has passed its group's lists on to its member.
struct Passage {
  Accumulator* group = nullptr;  // resolved once the group has an entry
  PrincipalRefV1 group_ref;
  PrincipalRefV1 member_ref;
  std::size_t read = 0;
  std::size_t write = 0;
  std::size_t manage = 0;
};

// The membership sweeps of the derivation, from the principals' own sets:
// repeated over the memberships in GroupMemberId order until a sweep
// changes nothing. A sweep here visits only the memberships whose group
// gained something (or came into being) since they last passed it on, in
// the same order and within the same sweep as a full sweep would, so lists
// come out in the same order while a chain of n groups costs n visits, not
// n sweeps of every membership.
//
// Run over the principals above one principal and the memberships among
// them, it gives each of them its whole set: what a principal holds comes
// only from the groups above it, in sweeps whose order among those
// memberships is the same.
class Sweep {
 public:
  using Own = std::vector<std::pair<PrincipalRefV1, const AuthoritySet*>>;
  using Links = std::vector<std::pair<PrincipalRefV1, PrincipalRefV1>>;  // (group, member), in order

  Sweep(const Own& own, const Links& links) {
    std::uint64_t steps = links.size();
    for (const auto& [principal, set] : own) {
      steps += 1 + set->read.size() + set->write.size() + set->manage.size();
      Accumulator& a = acc_[principal];
      a.set = *set;
      for (const KeyspaceSelectorV1& s : set->read) a.read.add(selectors_.id(s));
      for (const KeyspaceSelectorV1& s : set->write) a.write.add(selectors_.id(s));
      for (const ManageKeyspaceGrantV1& m : set->manage) a.manage.add(manage_.id(m));
    }
    passages_.reserve(links.size());
    for (const auto& [group, member] : links) {
      by_group_[group].push_back(passages_.size());
      passages_.push_back(Passage{nullptr, group, member});
    }
    count_work(steps);
  }

  std::map<PrincipalRefV1, AuthoritySet> run() {
    // The first sweep visits every membership whose group has an entry by
    // the time the sweep reaches it.
    for (std::size_t m = 0; m < passages_.size(); ++m) {
      if (acc_.contains(passages_[m].group_ref)) now_.insert(m);
    }
    for (;;) {
      bool changed = false;
      while (!now_.empty()) {
        const std::size_t at = *now_.begin();
        now_.erase(now_.begin());
        changed |= visit(at);
      }
      // A sweep that only brought entries into being ends the derivation,
      // as a full sweep that changed nothing would.
      if (!changed) break;
      now_.swap(next_);
      next_.clear();
    }
    std::map<PrincipalRefV1, AuthoritySet> out;
    for (auto& [principal, entry] : acc_) out.emplace_hint(out.end(), principal, std::move(entry.set));
    return out;
  }

 private:
  void add_read(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.read.add(id)) {
      to.set.read.push_back(selectors_.value(id));
      grew = true;
    }
  }
  void add_write(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.write.add(id)) {
      to.set.write.push_back(selectors_.value(id));
      grew = true;
    }
  }
  void add_manage(Accumulator& to, std::uint32_t id, bool& grew) {
    if (to.manage.add(id)) {
      to.set.manage.push_back(manage_.value(id));
      grew = true;
    }
  }

  // `principal` gained something or came into being while membership
  // `at` was being visited: its memberships after `at` are visited later
  // in this sweep, the others in the next one.
  void wake(const PrincipalRefV1& principal, std::size_t at) {
    if (!std::holds_alternative<GroupId>(principal)) return;
    const auto it = by_group_.find(principal);
    if (it == by_group_.end()) return;
    count_work(it->second.size());
    for (const std::size_t m : it->second) (m > at ? now_ : next_).insert(m);
  }

  // One visit: pass on what the group has gained since the last visit.
  // Returns whether the member gained anything.
  bool visit(std::size_t at) {
    Passage& p = passages_[at];
    if (p.group == nullptr) {
      const auto it = acc_.find(p.group_ref);
      if (it == acc_.end()) return false;
      p.group = &it->second;
    }
    const Accumulator& group = *p.group;
    // Ends taken before the member's entry is touched: a group that is its
    // own member must not read what it is appending.
    const std::size_t read_end = group.read.order.size();
    const std::size_t write_end = group.write.order.size();
    const std::size_t manage_end = group.manage.order.size();
    const bool group_root = group.set.is_root;
    const auto [it, created] = acc_.try_emplace(p.member_ref);
    Accumulator& member = it->second;
    if (created) wake(p.member_ref, at);
    bool grew = false;
    count_work(1 + (read_end - p.read) + (write_end - p.write) + (manage_end - p.manage));
    for (; p.read < read_end; ++p.read) add_read(member, group.read.order[p.read], grew);
    for (; p.write < write_end; ++p.write) add_write(member, group.write.order[p.write], grew);
    for (; p.manage < manage_end; ++p.manage) add_manage(member, group.manage.order[p.manage], grew);
    if (group_root && !member.set.is_root) {
      member.set.is_root = true;
      grew = true;
    }
    if (grew) wake(p.member_ref, at);
    return grew;
  }

  Interner<KeyspaceSelectorV1> selectors_;
  Interner<ManageKeyspaceGrantV1> manage_;
  std::map<PrincipalRefV1, Accumulator> acc_;
  std::vector<Passage> passages_;
  std::map<PrincipalRefV1, std::vector<std::size_t>> by_group_;
  std::set<std::size_t> now_;
  std::set<std::size_t> next_;
};

// A grantee's own set as the derivation builds it from its grants in
// GrantId order: read and write selectors unless an equal one is there,
// manage entries by push_unique, the root permission as the flag. What is
// there is looked up, not scanned for: a grantee may hold thousands.
// The root's set. Never destroyed: threads still inside a call at exit
// may read it. Made as the library loads, so that no fork can catch it
// half made.
const AuthoritySet& g_root_set = *new AuthoritySet(AuthoritySet::root());

class OwnSet {
 public:
  void add(const GrantPermissionV1& permission) {
    std::visit(
        [&](const auto& p) {
          using P = std::decay_t<decltype(p)>;
          if constexpr (std::is_same_v<P, grant_permission::Read>) {
            if (read_.emplace(structural_digest(p.selector), &p.selector).second) set_.read.push_back(p.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Write>) {
            if (write_.emplace(structural_digest(p.selector), &p.selector).second) set_.write.push_back(p.selector);
          } else if constexpr (std::is_same_v<P, grant_permission::Manage>) {
            if (manage_.emplace(structural_digest(p), &p).second) set_.manage.push_back(p);
          } else {
            set_.is_root = true;
          }
        },
        permission);
  }
  // Starts from the root's set, whose entries the grants cannot repeat
  // unnoticed either.
  void start_as_root() {
    const AuthoritySet& root = g_root_set;
    set_ = root;
    for (const KeyspaceSelectorV1& s : root.read) read_.emplace(structural_digest(s), &s);
    for (const KeyspaceSelectorV1& s : root.write) write_.emplace(structural_digest(s), &s);
    for (const ManageKeyspaceGrantV1& m : root.manage) manage_.emplace(structural_digest(m), &m);
  }
  AuthoritySet take() { return std::move(set_); }

 private:
  AuthoritySet set_;
  // Point into the grants' permissions and the root set above.
  std::set<std::pair<std::uint64_t, const KeyspaceSelectorV1*>, DigestLess> read_;
  std::set<std::pair<std::uint64_t, const KeyspaceSelectorV1*>, DigestLess> write_;
  std::set<std::pair<std::uint64_t, const ManageKeyspaceGrantV1*>, DigestLess> manage_;
};

}  // namespace

namespace {

// One set holding every entry of `sets`, for one index over all of them:
// every question asks whether some one entry does something, so the
// union's index answers as their indexes do together.
std::unique_ptr<AuthoritySet> merged_of(const std::vector<const AuthoritySet*>& sets) {
  auto merged = std::make_unique<AuthoritySet>();
  std::uint64_t entries = 0;
  for (const AuthoritySet* set : sets) {
    merged->read.insert(merged->read.end(), set->read.begin(), set->read.end());
    merged->write.insert(merged->write.end(), set->write.begin(), set->write.end());
    merged->manage.insert(merged->manage.end(), set->manage.begin(), set->manage.end());
    merged->is_root = merged->is_root || set->is_root;
    entries += 1 + set->read.size() + set->write.size() + set->manage.size();
  }
  count_work(entries);
  return merged;
}

}  // namespace

// The indexes of the sets of the groups above some set of groups, shared
// by every principal that is a direct member of those; once the questions
// asked of them have looked through more indexes than they hold entries,
// one index over all their entries answers instead: askers below many
// groups do not look through them all for every question.
struct Authorities::Above {
  std::vector<const AuthorityIndex*> indexes;
  std::vector<const AuthoritySet*> sets;  // beside `indexes`
  std::uint64_t entries = 0;              // in `sets`, added up
  std::uint64_t scanned = 0;              // indexes asked so far
  std::unique_ptr<AuthoritySet> merged_set;
  std::unique_ptr<AuthorityIndex> merged;  // over merged_set

  void add(const AuthorityIndex* index, const AuthoritySet* set) {
    indexes.push_back(index);
    sets.push_back(set);
    entries += set->read.size() + set->write.size() + set->manage.size();
  }

  template <class Ask>
  bool any(Ask&& ask, std::uint64_t* spent = nullptr) {
    if (merged) {
      count_work(1);
      if (spent != nullptr) ++*spent;
      return ask(*merged);
    }
    std::uint64_t steps = 0;
    bool found = false;
    for (const AuthorityIndex* i : indexes) {
      ++steps;
      if (ask(*i)) {
        found = true;
        break;
      }
    }
    count_work(steps);
    if (spent != nullptr) *spent += steps;
    scanned += steps;
    if (indexes.size() > 1 && scanned > entries) {
      merged_set = merged_of(sets);
      merged = std::make_unique<AuthorityIndex>(*merged_set);
    }
    return found;
  }
};

// A group holding a set of its own, on a line of such groups, each the one
// group that the one below it is a member of (up the groups that hold
// nothing, as `through` goes). A line is shared by everything below it;
// questions go up it by jumps over segments whose sets one index merges,
// laid out as skew-binary jump pointers: a question costs the logarithm of
// the line's length, not its length, and a segment's index is made only
// once the questions passing its start have cost as much as making it.
struct Authorities::Line {
  const AuthorityIndex* own = nullptr;
  const AuthoritySet* set = nullptr;
  Line* parent = nullptr;  // none at the line's top
  Line* top = nullptr;
  Above* beyond = nullptr;  // at the top: the groups above it, if any
  Line* jump = nullptr;     // none: past the top
  std::uint64_t length = 1;  // groups from this one up to `jump`, this one included
  std::uint64_t passes = 0;
  std::unique_ptr<AuthoritySet> merged_set;
  std::unique_ptr<AuthorityIndex> merged;  // over the segment's sets
  // Questions asked from this group: once they have cost as much as every
  // entry from here up, one index over all of those answers them, as for
  // groups above several.
  std::uint64_t entries = 0;  // from here to the top, and beyond it
  std::uint64_t scanned = 0;
  std::unique_ptr<AuthoritySet> whole_set;
  std::unique_ptr<AuthorityIndex> whole;

  void merge() {
    std::vector<const AuthoritySet*> sets;
    for (const Line* at = this; at != jump; at = at->parent) sets.push_back(at->set);
    merged_set = merged_of(sets);
    merged = std::make_unique<AuthorityIndex>(*merged_set);
  }

  void merge_whole() {
    std::vector<const AuthoritySet*> sets;
    for (const Line* at = this; at != nullptr; at = at->parent) sets.push_back(at->set);
    if (top->beyond != nullptr) sets.insert(sets.end(), top->beyond->sets.begin(), top->beyond->sets.end());
    whole_set = merged_of(sets);
    whole = std::make_unique<AuthorityIndex>(*whole_set);
  }
};

// The groups holding sets first met going up from some set of direct
// groups, each asked up its own line, so that askers in several groups of
// one chain do not each walk it; once their questions have cost as much
// as every entry above, the groups above are walked once (`Above`).
struct Authorities::Frontier {
  const std::vector<GroupId>* groups = nullptr;  // its key
  std::vector<Line*> lines;
  std::uint64_t entries = 0;  // of the lines, added up
  std::uint64_t scanned = 0;
  Above* above = nullptr;  // once walked
};

// What a principal's questions are asked of: the index of its own set,
// and either the line its one direct group holding something is on or the
// frontier above its direct groups.
struct Authorities::Reach {
  const AuthorityIndex* own = nullptr;
  Line* line = nullptr;
  Frontier* frontier = nullptr;  // none without memberships, or with a line
};

struct Authorities::Made {
  std::map<PrincipalRefV1, AuthoritySet> sets;
  std::map<PrincipalRefV1, std::unique_ptr<AuthorityIndex>> indexes;  // over own sets
  std::map<PrincipalRefV1, Reach> reach;
  // By the groups (ascending, distinct) that principals are direct members
  // of, each taken as far up as `through` takes it.
  std::map<std::vector<GroupId>, Above> above;
  std::map<std::vector<GroupId>, Frontier> frontiers;  // by the same keys
  std::map<GroupId, Line> lines;
  // The last user asked about (see `asker`).
  std::optional<Asker> last;
  // A group that holds nothing of its own and is a member of one group
  // only reaches what that group reaches: by the first group up from it
  // that holds something or is a member of several or none.
  std::map<GroupId, GroupId> through;
};

Authorities::Authorities(const Authorities& other)
    : own_(other.own_),
      memberships_(other.memberships_),
      groups_of_(other.groups_of_),
      keys_(other.keys_),
      rooted_(other.rooted_) {}

Authorities& Authorities::operator=(const Authorities& other) {
  if (this != &other) {
    own_ = other.own_;
    memberships_ = other.memberships_;
    groups_of_ = other.groups_of_;
    keys_ = other.keys_;
    rooted_ = other.rooted_;
    made_.reset();
  }
  return *this;
}

Authorities::Authorities() = default;
Authorities::Authorities(Authorities&&) noexcept = default;
Authorities& Authorities::operator=(Authorities&&) noexcept = default;
Authorities::~Authorities() = default;

Authorities::Made& Authorities::made() const {
  if (!made_) made_ = std::make_unique<Made>();
  return *made_;
}

Authorities Authorities::root_only(const UserId& root_user_id) {
  Authorities out;
  out.own_.emplace(PrincipalRefV1{root_user_id}, AuthoritySet::root());
  out.close();
  return out;
}

Authorities Authorities::from_sets(std::map<PrincipalRefV1, AuthoritySet> sets) {
  Authorities out;
  out.own_ = std::move(sets);
  out.close();
  return out;
}

Authorities Authorities::derive(const UserId& root_user_id, const std::map<GrantId, GrantRecordV1>& grants,
                                const std::map<GroupMemberId, GroupMemberRecordV1>& members) {
  std::vector<const GrantRecordV1*> grant_list;
  grant_list.reserve(grants.size());
  for (const auto& [id, grant] : grants) grant_list.push_back(&grant);
  std::vector<const GroupMemberRecordV1*> member_list;
  member_list.reserve(members.size());
  for (const auto& [id, member] : members) member_list.push_back(&member);
  return derive(root_user_id, grant_list, member_list);
}

Authorities Authorities::derive(const UserId& root_user_id, const std::vector<const GrantRecordV1*>& grants,
                                const std::vector<const GroupMemberRecordV1*>& members) {
  Authorities out;
  {
    std::map<PrincipalRefV1, OwnSet> own;
    own[PrincipalRefV1{root_user_id}].start_as_root();
    for (const GrantRecordV1* grant : grants) own[grant->grantee].add(*grant->permission);
    count_work(grants.size() + members.size());
    for (auto& [principal, set] : own) out.own_.emplace_hint(out.own_.end(), principal, set.take());
  }
  out.memberships_.reserve(members.size());
  for (const GroupMemberRecordV1* member : members) {
    out.groups_of_[member->member].push_back(out.memberships_.size());
    out.memberships_.push_back(Membership{member->group_id, member->member});
  }
  out.close();
  return out;
}

// Who has an entry, and who the root flag: a principal with an own set,
// and every member of a group that has one, downwards.
void Authorities::close() {
  std::map<PrincipalRefV1, std::vector<const PrincipalRefV1*>> members_of;
  for (const Membership& m : memberships_) members_of[PrincipalRefV1{m.group}].push_back(&m.member);
  const auto spread = [&](std::set<PrincipalRefV1>& reached) {
    std::deque<PrincipalRefV1> queue(reached.begin(), reached.end());
    std::uint64_t steps = queue.size();
    while (!queue.empty()) {
      const auto it = members_of.find(queue.front());
      queue.pop_front();
      if (it == members_of.end()) continue;
      steps += it->second.size();
      for (const PrincipalRefV1* member : it->second) {
        if (reached.insert(*member).second) queue.push_back(*member);
      }
    }
    count_work(steps);
  };
  keys_.clear();
  rooted_.clear();
  count_work(memberships_.size() + own_.size());
  for (const auto& [principal, set] : own_) {
    keys_.insert(principal);
    if (set.is_root) rooted_.insert(principal);
  }
  spread(keys_);
  spread(rooted_);
}

void Authorities::assign(const PrincipalRefV1& principal, AuthoritySet set) {
  own_.insert_or_assign(principal, std::move(set));
  made_.reset();
  close();
}

const AuthoritySet* Authorities::find(const PrincipalRefV1& principal) const {
  if (!keys_.contains(principal)) return nullptr;
  Made& m = made();
  if (const auto it = m.sets.find(principal); it != m.sets.end()) return &it->second;
  // The principals above it and the memberships among them: the part of
  // the derivation that decides their sets.
  std::set<PrincipalRefV1> above{principal};
  std::deque<PrincipalRefV1> queue{principal};
  std::set<std::size_t> links;
  std::uint64_t steps = 0;
  while (!queue.empty()) {
    const auto it = groups_of_.find(queue.front());
    queue.pop_front();
    ++steps;
    if (it == groups_of_.end()) continue;
    steps += it->second.size();
    for (const std::size_t at : it->second) {
      links.insert(at);
      const PrincipalRefV1 group{memberships_[at].group};
      if (above.insert(group).second) queue.push_back(group);
    }
  }
  count_work(steps);
  Sweep::Own own;
  for (const PrincipalRefV1& p : above) {
    if (const auto it = own_.find(p); it != own_.end()) own.emplace_back(p, &it->second);
  }
  Sweep::Links ordered;
  ordered.reserve(links.size());
  for (const std::size_t at : links) {
    ordered.emplace_back(PrincipalRefV1{memberships_[at].group}, memberships_[at].member);
  }
  for (auto& [p, set] : Sweep(own, ordered).run()) m.sets.try_emplace(p, std::move(set));
  return &m.sets.at(principal);
}

const AuthoritySet& Authorities::at(const PrincipalRefV1& principal) const {
  const AuthoritySet* set = find(principal);
  if (set == nullptr) throw std::out_of_range("no authority for this principal");
  return *set;
}

std::map<PrincipalRefV1, AuthoritySet> Authorities::materialized() const {
  Sweep::Own own;
  for (const auto& [p, set] : own_) own.emplace_back(p, &set);
  Sweep::Links links;
  links.reserve(memberships_.size());
  for (const Membership& m : memberships_) links.emplace_back(PrincipalRefV1{m.group}, m.member);
  return Sweep(own, links).run();
}

std::pair<const AuthorityIndex*, const AuthoritySet*> Authorities::own_index(const PrincipalRefV1& at) const {
  const auto own = own_.find(at);
  if (own == own_.end()) return {nullptr, nullptr};
  auto& index = made().indexes[at];
  if (!index) index = std::make_unique<AuthorityIndex>(own->second);
  return {index.get(), &own->second};
}

std::vector<GroupId> Authorities::groups_above(const PrincipalRefV1& principal) const {
  const auto groups = groups_of_.find(principal);
  if (groups == groups_of_.end()) return {};
  std::vector<GroupId> direct;
  direct.reserve(groups->second.size());
  for (const std::size_t link : groups->second) direct.push_back(through(memberships_[link].group));
  std::ranges::sort(direct);
  direct.erase(std::unique(direct.begin(), direct.end()), direct.end());
  count_work(2 * direct.size());  // gathered, then the key looked up
  return direct;
}

Authorities::Above& Authorities::above_of(std::vector<GroupId> groups) const {
  const auto [above, walk] = made().above.try_emplace(std::move(groups));
  if (!walk) return above->second;
  // A group above itself (through a cycle) is asked a second time, which
  // changes no answer.
  std::set<PrincipalRefV1> seen;
  std::deque<PrincipalRefV1> queue;
  for (const GroupId& group : above->first) {
    seen.insert(PrincipalRefV1{group});
    queue.push_back(PrincipalRefV1{group});
  }
  std::uint64_t steps = 0;
  while (!queue.empty()) {
    const PrincipalRefV1 at = std::move(queue.front());
    queue.pop_front();
    ++steps;
    if (const auto [index, set] = own_index(at); index != nullptr) above->second.add(index, set);
    const auto up = groups_of_.find(at);
    if (up == groups_of_.end()) continue;
    steps += up->second.size();
    for (const std::size_t link : up->second) {
      const PrincipalRefV1 group{memberships_[link].group};
      if (seen.insert(group).second) queue.push_back(group);
    }
  }
  count_work(steps);
  return above->second;
}

Authorities::Line* Authorities::line_of(const GroupId& holder) const {
  Made& m = made();
  if (const auto known = m.lines.find(holder); known != m.lines.end()) return &known->second;
  // Up from `holder`, the holders not yet on a line, to a line already
  // made or to where the line's top is: a group in several groups, or in
  // one that holds nothing and is in several or none, or in none.
  std::vector<GroupId> pending;
  std::set<GroupId> on_walk;
  Line* parent = nullptr;
  std::vector<GroupId> beyond;
  GroupId at = holder;
  for (;;) {
    count_work(1);
    if (const auto known = m.lines.find(at); known != m.lines.end()) {
      parent = &known->second;
      break;
    }
    if (!on_walk.insert(at).second) {
      // Holders in a cycle: the topmost reaches the rest as groups above.
      beyond = {at};
      break;
    }
    pending.push_back(at);
    std::vector<GroupId> up = groups_above(PrincipalRefV1{at});
    if (up.size() == 1 && own_.contains(PrincipalRefV1{up.front()})) {
      at = up.front();
      continue;
    }
    beyond = std::move(up);
    break;
  }
  Above* above = beyond.empty() ? nullptr : &above_of(std::move(beyond));
  for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
    Line& line = m.lines[*it];
    std::tie(line.own, line.set) = own_index(PrincipalRefV1{*it});
    line.parent = parent;
    line.entries = line.set->read.size() + line.set->write.size() + line.set->manage.size();
    if (parent == nullptr) {
      line.top = &line;
      line.beyond = above;
      if (above != nullptr) line.entries += above->entries;
    } else {
      line.entries += parent->entries;
      line.top = parent->top;
      // Two equal segments above are jumped as one with this group.
      const Line* next = parent->jump;
      if (next != nullptr && next->length == parent->length) {
        line.jump = next->jump;
        line.length = 1 + 2 * parent->length;
      } else {
        line.jump = parent;
      }
    }
    parent = &line;
  }
  return parent;
}

Authorities::Reach& Authorities::reach(const PrincipalRefV1& principal) const {
  Made& m = made();
  const auto [found, created] = m.reach.try_emplace(principal);
  Reach& out = found->second;
  if (!created) return out;
  out.own = own_index(principal).first;
  std::vector<GroupId> direct = groups_above(principal);
  if (direct.empty()) return out;
  if (direct.size() == 1 && own_.contains(PrincipalRefV1{direct.front()})) {
    out.line = line_of(direct.front());
  } else {
    out.frontier = &frontier_of(std::move(direct));
  }
  return out;
}

Authorities::Frontier& Authorities::frontier_of(std::vector<GroupId> groups) const {
  const auto [frontier, walk] = made().frontiers.try_emplace(std::move(groups));
  if (!walk) return frontier->second;
  frontier->second.groups = &frontier->first;
  // Up the groups that hold nothing; each one holding something is where
  // a line takes over.
  std::set<GroupId> seen(frontier->first.begin(), frontier->first.end());
  std::vector<GroupId> stack(frontier->first.begin(), frontier->first.end());
  std::vector<GroupId> holders;
  std::uint64_t steps = 0;
  while (!stack.empty()) {
    const GroupId at = std::move(stack.back());
    stack.pop_back();
    ++steps;
    if (own_.contains(PrincipalRefV1{at})) {
      holders.push_back(at);
      continue;
    }
    const auto up = groups_of_.find(PrincipalRefV1{at});
    if (up == groups_of_.end()) continue;
    steps += up->second.size();
    for (const std::size_t link : up->second) {
      // Up a line of groups holding nothing at once: shared, not walked.
      GroupId group = through(memberships_[link].group);
      if (seen.insert(group).second) stack.push_back(std::move(group));
    }
  }
  count_work(steps);
  for (const GroupId& holder : holders) {
    Line* line = line_of(holder);
    frontier->second.lines.push_back(line);
    frontier->second.entries += line->entries;
  }
  return frontier->second;
}

GroupId Authorities::through(const GroupId& group) const {
  Made& m = made();
  // The one group `at` is a member of, if it holds nothing and has one.
  const auto single_up = [&](const GroupId& at) -> const GroupId* {
    const PrincipalRefV1 ref{at};
    if (own_.contains(ref)) return nullptr;
    const auto up = groups_of_.find(ref);
    if (up == groups_of_.end()) return nullptr;
    const GroupId* only = &memberships_[up->second.front()].group;
    count_work(up->second.size());
    for (const std::size_t link : up->second) {
      if (!(memberships_[link].group == *only)) return nullptr;
    }
    return only;
  };
  // Each group is walked once: the whole walk learns where it ends. A
  // cycle of such groups ends where it closes, which reaches all of it.
  std::vector<GroupId> walked;
  std::set<GroupId> on_walk;
  GroupId at = group;
  for (;;) {
    count_work(1);
    if (const auto known = m.through.find(at); known != m.through.end()) {
      at = known->second;
      break;
    }
    if (!on_walk.insert(at).second) break;
    walked.push_back(at);
    const GroupId* up = single_up(at);
    if (up == nullptr) break;
    at = *up;
  }
  for (const GroupId& g : walked) m.through.insert_or_assign(g, at);
  return at;
}

const Authorities::Asker& Authorities::asker(const UserId& user) const {
  Made& m = made();
  // Questions come in runs from one writer: its flag and reach are looked
  // up once a run, not once a question.
  if (m.last && m.last->user == user) return *m.last;
  const PrincipalRefV1 ref{user};
  const bool root = rooted_.contains(ref);
  m.last = Asker{user, root, root ? nullptr : &reach(ref)};
  return *m.last;
}

template <class Ask>
bool Authorities::any_in_reach(const UserId& user, Ask&& ask) const {
  const Asker& a = asker(user);
  if (a.root) return true;
  Reach& r = *a.reach;
  count_work(1);
  if (r.own != nullptr && ask(*r.own)) return true;
  if (r.line != nullptr) return any_on_line(*r.line, ask);
  if (r.frontier == nullptr) return false;
  Frontier& f = *r.frontier;
  if (f.above != nullptr) return f.above->any(ask);
  std::uint64_t spent = 0;
  bool found = false;
  for (std::size_t i = 0; i < f.lines.size() && !found; ++i) {
    ++spent;
    found = any_on_line(*f.lines[i], ask, &spent);
  }
  count_work(spent);
  f.scanned += spent;
  if (f.lines.size() > 1 && f.scanned > f.entries) f.above = &above_of(*f.groups);
  return found;
}

template <class Ask>
bool Authorities::any_on_line(Line& from, Ask&& ask, std::uint64_t* spent) const {
  if (from.whole) {
    count_work(1);
    if (spent != nullptr) ++*spent;
    return ask(*from.whole);
  }
  std::uint64_t steps = 0;
  bool found = false;
  for (Line* at = &from; at != nullptr && !found;) {
    ++steps;
    if (!at->merged && at->length > 1 && ++at->passes >= at->length) at->merge();
    if (at->merged) {
      found = ask(*at->merged);
      at = at->jump;
    } else {
      found = ask(*at->own);
      at = at->parent;
    }
  }
  count_work(steps);
  if (spent != nullptr) *spent += steps;
  from.scanned += steps;
  if (!found) {
    Above* beyond = from.top->beyond;
    found = beyond != nullptr && beyond->any(ask, spent);
  }
  if (from.scanned > from.entries && from.parent != nullptr) from.merge_whole();
  return found;
}

bool Authorities::can_read(const UserId& user, const SecretSelectorV1& secret) const {
  return any_in_reach(user, [&](const AuthorityIndex& i) { return i.can_read(secret); });
}

bool Authorities::can_write(const UserId& user, const SecretSelectorV1& secret) const {
  return any_in_reach(user, [&](const AuthorityIndex& i) { return i.can_write(secret); });
}

bool Authorities::can_create_permission(const UserId& user, const GrantPermissionV1& permission) const {
  return any_in_reach(user, [&](const AuthorityIndex& i) { return i.can_create_permission(permission); });
}

}  // namespace vornex::core::validate
