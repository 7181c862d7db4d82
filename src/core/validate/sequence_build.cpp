// Building the sequence from the records, once: its principals, items and
// their candidates (a contest where several share a counter), the
// memberships, the questions and manage entries filed by path, and the
// static marks that skip what no authority can reach. Also what keeps the
// lists of memberships and the filings of entries as the items move.
#include "sequence_impl.hpp"

#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "cord/wire.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/order.hpp"
#include "vornex/core/prefix_sort.hpp"

namespace vornex::core::validate::detail {

namespace {

// The bodies that compete for items: users, groups, memberships, grants
// and their deletions. Others order as equal (none reaches a contest).
template <class B>
constexpr bool kCompetes =
    std::is_same_v<B, UserRecordV1> || std::is_same_v<B, UserDeletedRecordV1> || std::is_same_v<B, GroupRecordV1> ||
    std::is_same_v<B, GroupDeletedRecordV1> || std::is_same_v<B, GroupMemberRecordV1> ||
    std::is_same_v<B, GroupMemberDeletedRecordV1> || std::is_same_v<B, GrantRecordV1> ||
    std::is_same_v<B, GrantDeletedRecordV1>;

std::uint64_t body_digest(const RecordBodyV1& body) {
  return std::visit(
      [&](const auto& b) -> std::uint64_t {
        using B = std::decay_t<decltype(b)>;
        if constexpr (kCompetes<B>) {
          return structural_digest(b) ^ body.index();
        } else {
          return body.index();
        }
      },
      body);
}

std::strong_ordering body_compare(const RecordBodyV1& a, const RecordBodyV1& b) {
  if (a.index() != b.index()) return a.index() <=> b.index();
  return std::visit(
      [&](const auto& x) -> std::strong_ordering {
        using B = std::decay_t<decltype(x)>;
        if constexpr (kCompetes<B>) {
          return structural_compare(x, std::get<B>(b));
        } else {
          return std::strong_ordering::equal;
        }
      },
      a);
}

}  // namespace

std::uint32_t Sequence::Impl::principal_of(const PrincipalRefV1& ref) {
  const auto [it, created] = principal_ids_.try_emplace(ref, static_cast<std::uint32_t>(principals_.size()));
  if (created) {
    principals_.emplace_back();
    principals_.back().ref = ref;
  }
  return it->second;
}

// One question per asker and permission, found by the permission's
// digest first: records and pending deletions that ask the same share
// its answers.
std::uint32_t Sequence::Impl::add_question(std::uint32_t asker, const GrantPermissionV1& permission) {
  const auto q = static_cast<std::uint32_t>(questions_.size());
  step(1 + permission_size(permission));
  const auto [it, created] =
      question_ids_.try_emplace(QuestionKey{asker, {structural_digest(permission), &permission}}, q);
  if (!created) return it->second;
  questions_.push_back(Question{asker, &permission, Timeline<bool>(asker == root_principal_), kNone});
  if (focused_) {
    need_question_.push_back(false);
    need(Need::Question, q);
  }
  Principal& p = principals_[asker];
  if (!p.asked) p.asked = std::make_unique<Asked>(paths_);
  p.asked->questions.push_back(q);
  // Filed by path before entries are next looked up, once the paths that
  // came with it are numbered; the root permission is answered by the
  // root flag alone.
  if (const auto asked = asked_of_entries(permission)) {
    questions_[q].path = intern(asked->second->tuple);
    unfiled_.push_back(q);
  }
  mark_asks_below(asker);
  return q;
}

std::uint32_t Sequence::Impl::intern(const TupleMatcherV1& path) {
  const std::vector<std::string>* segments = segments_of(path);
  return segments == nullptr ? kNone : paths_.intern(*segments);
}

void Sequence::Impl::file_questions() {
  paths_.number();
  if (unfiled_.empty()) return;
  for (const std::uint32_t q : unfiled_) {
    const Question& question = questions_[q];
    principals_[question.asker].asked->file(q, *asked_of_entries(*question.permission)->second, question.path,
                                            entry_counts_);
  }
  unfiled_.clear();
}

// About the size of a permission: what digesting and comparing it reads.
std::uint64_t Sequence::Impl::permission_size(const GrantPermissionV1& permission) {
  const auto asked = asked_of_entries(permission);
  if (!asked) return 0;
  std::uint64_t size = asked->second->labels.size();
  if (const auto* segments = segments_of(asked->second->tuple)) size += segments->size();
  for (const KeyspaceLabelMatcherV1& m : asked->second->labels) {
    if (const auto* in = std::get_if<label_matcher::In>(&m.matcher)) size += in->values.size();
  }
  return size;
}

std::uint32_t Sequence::Impl::entry_group(std::uint32_t holder, const ManageKeyspaceGrantV1& entry) {
  const auto [it, created] = entry_ids_.try_emplace(EntryKey{holder, {structural_digest(entry), &entry}},
                                                    static_cast<std::uint32_t>(entry_groups_.size()));
  if (!created) return it->second;
  entry_groups_.push_back(EntryGroup{holder, &entry, Timeline<std::uint32_t>(0), it->second});
  return it->second;
}

// Items by id, each with its candidates in slice order: the records of a
// pass sorted once by their id (its first bytes as a number first).
template <class Id, class IdOf>
void Sequence::Impl::group_items(const RecordRefs& records, Pass pass, IdOf&& id_of,
                                 std::vector<std::pair<const Id*, std::uint32_t>>& index) {
  struct Entry {
    std::uint64_t prefix;
    const Id* id;
    const VerifiedRecord* record;
  };
  std::vector<Entry> entries;
  entries.reserve(records.size());
  for (const VerifiedRecord* r : records) {
    if (const Id* id = id_of(*r)) entries.push_back(Entry{byte_prefix(id->bytes()), id, r});
  }
  prefix_sort(entries, [](const Entry& e) { return e.prefix; }, [](const Entry& a, const Entry& b) {
    return a.prefix != b.prefix ? a.prefix < b.prefix : *a.id < *b.id;
  });
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i == 0 || entries[i].prefix != entries[i - 1].prefix || !(*entries[i].id == *entries[i - 1].id)) {
      finish_item();
      index.emplace_back(entries[i].id, static_cast<std::uint32_t>(items_.size()));
      const auto at = static_cast<std::uint32_t>(cands_.size());
      items_.push_back(Item{pass, entries[i].record->key, kNone, kNone, at, at, Timeline<ItemValue>()});
    }
    const VerifiedRecord* r = entries[i].record;
    cands_.push_back(Candidate{r, static_cast<std::uint32_t>(items_.size() - 1), record_counter(r->body()),
                               principal_of(PrincipalRefV1{r->signer})});
  }
  finish_item();
}

// The last item's candidates end here, highest counter first (an item's
// outcome does not depend on their order otherwise).
void Sequence::Impl::finish_item() {
  if (items_.empty()) return;
  Item& item = items_.back();
  item.last = static_cast<std::uint32_t>(cands_.size());
  std::stable_sort(cands_.begin() + item.first, cands_.begin() + item.last,
                   [](const Candidate& a, const Candidate& b) { return a.counter > b.counter; });
  for (std::uint32_t from = item.first; from < item.last;) {
    std::uint32_t to = from + 1;
    while (to < item.last && cands_[to].counter == cands_[from].counter) ++to;
    if (to - from >= 2) make_contest(from, to);
    from = to;
  }
}

// Candidates of one item at one counter: ordered by body, then by hash,
// so that equal bodies, and listings of one record, lie together.
void Sequence::Impl::make_contest(std::uint32_t from, std::uint32_t to) {
  std::vector<std::pair<std::uint64_t, Candidate>> order;
  order.reserve(to - from);
  for (std::uint32_t c = from; c < to; ++c) {
    step(1);
    order.emplace_back(body_digest(cands_[c].record->body()), cands_[c]);
  }
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    if (const auto o = body_compare(a.second.record->body(), b.second.record->body()); o != 0) return o < 0;
    return a.second.record->hash < b.second.record->hash;
  });
  const auto contest = static_cast<std::uint32_t>(contests_.size());
  contests_.push_back(Contest{from, to, cands_[from].counter, Timeline<Tally>()});
  for (std::uint32_t i = 0; i < order.size(); ++i) {
    const std::uint32_t c = from + i;
    cands_[c] = order[i].second;
    const Candidate* before = i == 0 ? nullptr : &cands_[c - 1];
    const bool same_body = before != nullptr && order[i].first == order[i - 1].first &&
                           before->record->body() == cands_[c].record->body();
    Contender contender{contest, c, static_cast<std::uint32_t>(class_counts_.size()), false, {}, Timeline<bool>()};
    if (same_body) {
      const Contender& previous = contenders_[before->contender];
      contender.klass = previous.klass;
      contender.counts = previous.counts;
      contender.echo = before->record->hash == cands_[c].record->hash;
    } else {
      class_counts_.emplace_back();
    }
    if (!contender.echo) contender.keyed = keyed_digest(cands_[c].record->hash);
    cands_[c].contender = static_cast<std::uint32_t>(contenders_.size());
    contenders_.push_back(std::move(contender));
  }
}

std::array<std::uint64_t, 2> Sequence::Impl::keyed_digest(const HashValue& hash) const {
  cord::Bytes input(contest_key_.begin(), contest_key_.end());
  input.insert(input.end(), hash.bytes().begin(), hash.bytes().end());
  const HashValue h = domain_hash(cord::text_bytes(kConflictDigestDomain), input);
  std::array<std::uint64_t, 2> out{};
  for (std::size_t i = 0; i < 16 && i < h.bytes().size(); ++i) {
    out[i / 8] |= static_cast<std::uint64_t>(h.bytes()[i]) << (8 * (i % 8));
  }
  return out;
}

void Sequence::Impl::build_items() {
  std::vector<std::pair<const UserId*, std::uint32_t>> users;
  group_items<UserId>(prepared_.users, Pass::Users, [&](const VerifiedRecord& r) -> const UserId* {
    // Never a candidate: the root's entry is the one made from the root.
    const UserId& id = std::holds_alternative<UserRecordV1>(r.body()) ? std::get<UserRecordV1>(r.body()).user_id
                                                                        : std::get<UserDeletedRecordV1>(r.body()).user_id;
    return id == root_id_ ? nullptr : &id;
  }, users);
  std::vector<std::pair<const GroupId*, std::uint32_t>> groups;
  group_items<GroupId>(prepared_.groups, Pass::Groups, [](const VerifiedRecord& r) -> const GroupId* {
    if (const auto* g = std::get_if<GroupRecordV1>(&r.body())) return &g->group_id;
    return &std::get<GroupDeletedRecordV1>(r.body()).group_id;
  }, groups);
  std::vector<std::pair<const GroupMemberId*, std::uint32_t>> members;
  group_items<GroupMemberId>(prepared_.group_members, Pass::Members, [](const VerifiedRecord& r) -> const GroupMemberId* {
    if (const auto* m = std::get_if<GroupMemberRecordV1>(&r.body())) return &m->group_member_id;
    return &std::get<GroupMemberDeletedRecordV1>(r.body()).group_member_id;
  }, members);
  group_items<GrantId>(prepared_.grants, Pass::Grants, [](const VerifiedRecord& r) -> const GrantId* {
    if (const auto* g = std::get_if<GrantRecordV1>(&r.body())) return &g->grant_id;
    return &std::get<GrantDeletedRecordV1>(r.body()).grant_id;
  }, grant_items_);
  for (const auto& [id, item] : users) {
    const std::uint32_t p = principal_of(PrincipalRefV1{*id});
    principals_[p].item = item;
    items_[item].principal = p;
  }
  for (const auto& [id, item] : groups) {
    const std::uint32_t p = principal_of(PrincipalRefV1{*id});
    principals_[p].item = item;
    items_[item].principal = p;
  }
  for (std::uint32_t c = 0; c < cands_.size(); ++c) describe(c);
}

// What a candidate's admission reads, filed where a change to it is seen.
void Sequence::Impl::describe(std::uint32_t id) {
  Candidate& c = cands_[id];
  const auto note = [](std::vector<std::uint32_t>& list, std::uint32_t i) {
    if (list.empty() || list.back() != i) list.push_back(i);
  };
  std::visit(
      [&](const auto& b) {
        using B = std::decay_t<decltype(b)>;
        if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, GroupRecordV1> ||
                      std::is_same_v<B, GroupMemberDeletedRecordV1>) {
          note(principals_[c.signer].root_dependents, id);
        } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
          note(principals_[c.signer].root_dependents, id);
          c.group = principal_of(PrincipalRefV1{b.group_id});
          c.named = principal_of(b.member);
          note(principals_[c.group].existence_dependents, id);
          note(principals_[c.named].existence_dependents, id);
          add_edge(c.item, c.group, c.named);
        } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
          c.named = principal_of(b.grantee);
          note(principals_[c.named].existence_dependents, id);
          c.question = add_question(c.signer, *b.permission);
          c.next_asking = questions_[c.question].candidate;
          questions_[c.question].candidate = id;
          if (const auto* entry = std::get_if<grant_permission::Manage>(&*b.permission)) {
            c.entry = entry_group(c.named, *entry);
          } else {
            c.root_grant = std::holds_alternative<grant_permission::Root>(*b.permission);
          }
        } else {
          c.deletion = true;  // UserDeleted, GroupDeleted, GrantDeleted
        }
      },
      c.record->body());
}

// The candidates of an item are described one after another, so a
// repeat of its membership is one of the item's own list.
void Sequence::Impl::add_edge(std::uint32_t item, std::uint32_t group, std::uint32_t member) {
  for (std::uint32_t m = items_[item].membership; m != kNone; m = memberships_[m].next) {
    step(1);
    if (memberships_[m].group == group && memberships_[m].member == member) return;
  }
  const auto m = static_cast<std::uint32_t>(memberships_.size());
  memberships_.push_back(Membership{item, group, member, items_[item].membership});
  items_[item].membership = m;
  principals_[member].up_all.push_back(m);
  principals_[group].down_all.push_back(m);
}

// Lists an item's memberships with their member and group while the
// item is in force in some iteration; unlisted ones leave the lists when
// a walk meets them.
void Sequence::Impl::refresh_memberships(std::uint32_t item) {
  const Item& it = items_[item];
  if (it.membership == kNone) return;
  const bool live = it.value.ever([](const ItemValue& v) { return v.kind == ItemValue::Kind::Live; });
  for (std::uint32_t m = it.membership; m != kNone; m = memberships_[m].next) {
    Membership& edge = memberships_[m];
    edge.listed = live;
    if (!live) continue;
    if (!edge.in_up) principals_[edge.member].up.push_back(m);
    if (!edge.in_down) principals_[edge.group].down.push_back(m);
    edge.in_up = edge.in_down = true;
  }
}

// Files an entry group with its holder while its count is positive in
// some iteration, and withdraws it (a new generation) when it is not.
void Sequence::Impl::refresh_filing(std::uint32_t g) {
  EntryGroup& group = entry_groups_[g];
  const bool live = group.count.has_points();
  // Filed again, in its tier, when the first iteration it is in force in
  // moves, or the one it has gone for good by: a search about an earlier
  // or a later one passes over it unread.
  const auto in_force = [](std::uint32_t c) { return c > 0; };
  const LabelInForce span{group.count.first_where(in_force), group.count.end_where(in_force).value_or(kNoIteration)};
  if (live == group.filed && (!live || span == group.in_force)) return;
  group.in_force = span;
  if (live && group.filed) {
    ++entry_epoch_;
    ++group.generation;
    file_into(*principals_[group.holder].entries, group);
    return;
  }
  ++entry_epoch_;
  group.filed = live;
  ++group.generation;
  Principal& holder = principals_[group.holder];
  if (!live) {
    --holder.filed_entries;
    return;
  }
  ++holder.filed_entries;
  file_into(*holder.entries, group);
}

// Files an entry group, as it is filed now, into a holder's places or a
// merged index's.
void Sequence::Impl::file_into(HeldEntries& entries, const EntryGroup& group) {
  const unsigned bits = grant_class_bits(group.entry->grantable);
  entries.used = static_cast<std::uint8_t>(entries.used | 1u << bits);
  EntryPlaces& places = entries.by_classes[bits];
  const KeyspaceSelectorV1& selector = group.entry->selector;
  EntrySlot& slot = group.path == kNone ? places.any
                    : std::holds_alternative<tuple_matcher::Exact>(selector.tuple) ? places.exact[group.path]
                                                                                 : places.prefix[group.path];
  slot.add(group, selector, entry_counts_, group.generation, &demand_, group.in_force);
  step(1 + selector.labels.size());
}

void Sequence::Impl::build_statics() {
  held_.assign(principals_.size(), {});
  for (std::uint32_t g = 0; g < entry_groups_.size(); ++g) {
    EntryGroup& group = entry_groups_[g];
    held_[group.holder].push_back(g);
    Principal& holder = principals_[group.holder];
    holder.has_entries = true;
    if (!holder.entries) holder.entries = std::make_unique<HeldEntries>();
    group.path = intern(group.entry->selector.tuple);
    entry_counts_.count(group.entry->selector);
    if (group.path != kNone && std::holds_alternative<tuple_matcher::Prefix>(group.entry->selector.tuple)) {
      if (prefix_node_.size() <= group.path) prefix_node_.resize(group.path + 1, false);
      prefix_node_[group.path] = true;
    }
  }
  // Entries are filed where the fewest of the questions asked so far look.
  for (const Question& question : questions_) {
    if (const auto asked = asked_of_entries(*question.permission)) demand_.add_question(*asked->second, &entry_counts_);
  }
  std::vector<std::uint32_t> holders;
  std::vector<std::uint32_t> rooted{root_principal_};
  for (std::uint32_t p = 0; p < principals_.size(); ++p) {
    if (principals_[p].has_entries) holders.push_back(p);
  }
  for (const Candidate& c : cands_) {
    if (c.root_grant) rooted.push_back(c.named);
  }
  spread_down(holders, &Principal::entries_above);
  spread_down(rooted, &Principal::root_above);
}

// Marks the principals and everything below them, through memberships
// that could ever be in force.
void Sequence::Impl::spread_down(std::vector<std::uint32_t> from, bool Principal::*flag) {
  std::vector<std::uint32_t> stack;
  for (const std::uint32_t p : from) {
    if (!(principals_[p].*flag)) {
      principals_[p].*flag = true;
      stack.push_back(p);
    }
  }
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    for (const std::uint32_t m : principals_[p].down_all) {
      const std::uint32_t below = memberships_[m].member;
      if (!(principals_[below].*flag)) {
        principals_[below].*flag = true;
        stack.push_back(below);
      }
    }
  }
}

void Sequence::Impl::mark_asks_below(std::uint32_t asker) {
  if (principals_[asker].asks_below) return;
  std::vector<std::uint32_t> stack{asker};
  principals_[asker].asks_below = true;
  while (!stack.empty()) {
    const std::uint32_t p = stack.back();
    stack.pop_back();
    for (const std::uint32_t m : principals_[p].up_all) {
      const std::uint32_t above = memberships_[m].group;
      if (!principals_[above].asks_below) {
        principals_[above].asks_below = true;
        stack.push_back(above);
      }
    }
  }
}

// Puts the deletion records of one hash in force; those candidates.
std::vector<std::uint32_t> Sequence::Impl::mark_in_force(const HashValue& hash) {
  std::vector<std::uint32_t> out;
  if (deletion_index_.empty()) {
    for (std::uint32_t c = 0; c < cands_.size(); ++c) {
      if (cands_[c].deletion) deletion_index_.emplace(cands_[c].record->hash, c);
    }
  }
  const auto [from, to] = deletion_index_.equal_range(hash);
  for (auto it = from; it != to; ++it) {
    cands_[it->second].in_force = true;
    out.push_back(it->second);
  }
  return out;
}

}  // namespace vornex::core::validate::detail
