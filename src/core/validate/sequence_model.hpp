// What the fixed point's sequence is made of: the records competing for
// each item and the item's outcome in every iteration, the contests at one
// counter, the memberships and manage entries that pass authority down,
// the principals, and what one iteration's questions are asked of. Plain
// data: the sequence (sequence_impl.hpp) keeps it and moves it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "filed_questions.hpp"
#include "timeline.hpp"
#include "vornex/core/authz_index.hpp"
#include "vornex/core/label_index.hpp"
#include "vornex/core/order.hpp"
#include "vornex/core/records.hpp"

namespace vornex::core::validate::detail::seq {

inline constexpr std::string_view kConflictDigestDomain = "vornex.conflict-digest.v1";
inline constexpr std::uint64_t kNoTop = std::numeric_limits<std::uint64_t>::max();  // no candidate admitted

enum class Pass : std::uint8_t { Users, Groups, Members, Grants };
inline constexpr std::size_t kPasses = 4;

// One record competing for an item, with what its admission reads.
struct Candidate {
  const VerifiedRecord* record;
  std::uint32_t item;
  std::uint64_t counter;          // its body's
  std::uint32_t signer;           // principal
  std::uint32_t question = kNone;  // a grant: whether its signer may create it
  std::uint32_t named = kNone;     // a grant's grantee, a membership's member
  std::uint32_t group = kNone;     // a membership's group
  std::uint32_t entry = kNone;     // a manage grant: its entry group
  std::uint32_t next_asking = kNone;  // the next candidate that asks its question
  std::uint32_t contender = kNone;    // its place in a contest, if it is in one
  bool root_grant = false;         // a grant of the root permission
  bool deletion = false;           // counts only once admitted
  bool in_force = false;           // an admitted deletion
};

struct ItemValue {
  enum class Kind : std::uint8_t { Absent, Live, Deleted, Conflict };
  Kind kind = Kind::Absent;
  const Candidate* winner = nullptr;  // Live
  // Conflict: the counter and a keyed digest of the competing records'
  // hashes. A slot is not kept for every iteration: one item rewritten many
  // times at one counter would hold as many slots, each as long.
  std::uint64_t counter = 0;
  std::array<std::uint64_t, 2> digest{};
  // As the selection compares: the payloads of winners, the slots of
  // conflicts.
  bool operator==(const ItemValue& o) const {
    if (kind != o.kind) return false;
    if (kind == Kind::Live) return winner == o.winner || winner->record->body() == o.winner->record->body();
    if (kind == Kind::Conflict) return counter == o.counter && digest == o.digest;
    return true;
  }
};

struct Item {
  Pass pass;
  RecordKey key;
  std::uint32_t principal = kNone;  // a user's or group's own principal
  std::uint32_t membership = kNone;  // a membership's, the first of its list
  std::uint32_t first = 0;          // its candidates, highest counter first
  std::uint32_t last = 0;
  Timeline<ItemValue> value;
  // The counter its outcome was decided at, whatever the outcome: a
  // deletion or an absent outcome does not tell it, and without it each
  // change would read the item from its highest counter again.
  Timeline<std::uint64_t> top = Timeline<std::uint64_t>(kNoTop);
};

// What is admitted of a contest in one iteration: how many records, how
// many distinct bodies among them, and which (the sum of each one's first
// candidate, which names the body when there is one), and an
// order-independent keyed digest of their hashes, so that a record coming
// or going costs one update, never a reading of the others.
struct Tally {
  std::uint32_t count = 0;
  std::uint32_t classes = 0;
  std::uint64_t class_sum = 0;
  std::array<std::uint64_t, 2> digest{};
  bool operator==(const Tally&) const = default;
};

// The candidates of one item at one counter, two or more: those in
// [first, last), ordered by body so that equal bodies lie together.
struct Contest {
  std::uint32_t first;
  std::uint32_t last;
  std::uint64_t counter;
  Timeline<Tally> tally;
};

// A candidate in a contest. The same record listed twice is admitted as
// the first listing is, and only that one is tallied.
struct Contender {
  std::uint32_t contest;
  std::uint32_t klass;  // the first candidate with its body
  std::uint32_t counts;  // its body's admitted count, in class_counts_
  bool echo = false;
  std::array<std::uint64_t, 2> keyed{};
  Timeline<bool> admitted;
};

// One membership: its item joins `member` to `group`. It is listed with
// both while its item is in force in some iteration of the sequence: walks
// over memberships never meet one that nobody admitted. A membership no
// longer listed leaves the lists when a walk meets it.
struct Membership {
  std::uint32_t item;
  std::uint32_t group;
  std::uint32_t member;
  std::uint32_t next = kNone;  // the item's next one (a record naming others than its id says)
  bool listed = false;
  bool in_up = false;    // in the member's `up`
  bool in_down = false;  // in the group's `down`
};

// A manage entry that grants to one holder give it, and how many grants in
// force give it in each iteration.
struct EntryGroup {
  std::uint32_t holder;
  const ManageKeyspaceGrantV1* entry;
  Timeline<std::uint32_t> count;
  std::uint32_t id = kNone;    // its place among the entry groups
  std::uint32_t path = kNone;  // its path's node; none for Any
  // The questions it was found answering, so that when it goes only those
  // are asked again; a question whose witnesses no longer name it, or
  // that is on it twice, leaves the list when the list has doubled since
  // it was last swept.
  std::vector<std::uint32_t> witnessed{};
  std::uint32_t witnessed_swept = 0;  // the list's size after its last sweep
  // Filed with its holder while it is in force in some iteration; a new
  // generation withdraws the postings of the last filing.
  bool filed = false;
  std::uint32_t generation = 0;
  LabelInForce in_force{};  // the iterations it may be in force in, as last filed
};
inline const KeyspaceSelectorV1& selector_of_group(const EntryGroup& g) { return g.entry->selector; }

using EntrySlot = LabelSlot<EntryGroup>;

// A holder's entries with one class set, by the place of their path: Any
// apart, Exact and Prefix ones by their path's node.
struct EntryPlaces {
  EntrySlot any;
  std::map<std::uint32_t, EntrySlot> exact;
  std::map<std::uint32_t, EntrySlot> prefix;
};

// By the classes they carry, as a bit set; `used` marks the class sets
// an entry was ever filed under, so that an answer passes the others by.
struct HeldEntries {
  std::array<EntryPlaces, 8> by_classes;
  std::uint8_t used = 0;
};

// An index over the entries in force of several holders.
struct MergedEntries {
  HeldEntries entries;
  std::uint32_t filed = 0;
};
// The holders above a principal (`above_of`).
struct HoldersAbove {
  std::vector<std::uint32_t> holders;
  std::uint64_t entries = 0;  // their entry groups
  std::uint64_t scanned = 0;  // holders asked so far
  std::unique_ptr<MergedEntries> merged;
};
// A holder on a line of holders (`line_of`). Questions go up the line by
// skew-binary jump pointers: each holder jumps either to its parent or
// over two equal segments above it, and a segment's entries are merged
// into one index once the questions passing its start are as many as its
// holders, so that a question costs the logarithm of the line's length.
struct HolderLine {
  std::uint32_t holder = kNone;
  std::uint32_t parent = kNone;  // none at the top
  std::uint32_t jump = kNone;    // none: past the top
  std::uint32_t beyond = kNone;  // the top's holders above, if any
  std::uint64_t length = 1;      // holders from this one up to `jump`
  std::uint64_t passes = 0;
  std::unique_ptr<MergedEntries> merged;  // over the segment
  std::uint64_t entries = 0;  // entry groups from this one up, and beyond the top
};
// The holders first met going up from a principal that holds nothing and
// is in several groups, each asked up its own line, so that askers in
// several groups of one chain do not each walk it; once their questions
// have cost as much as every entry above, the holders above are walked
// once and merged as `HoldersAbove`.
struct Frontier {
  std::vector<std::uint32_t> lines;
  std::uint64_t entries = 0;  // of the lines, added up
  std::uint64_t scanned = 0;
  std::uint32_t above = kNone;  // once walked
};
// What one iteration's questions are asked of, for one state of its
// memberships and entries.
struct AnswerReach {
  std::uint64_t member_epoch = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t entry_epoch = 0;
  std::vector<HolderLine> lines;
  std::map<std::uint32_t, std::uint32_t> line_at;  // by holder
  std::vector<HoldersAbove> aboves;
  std::map<std::uint32_t, std::uint32_t> above_at;  // by principal
  std::vector<Frontier> frontiers;
  std::map<std::uint32_t, std::uint32_t> frontier_at;  // by principal
  std::map<std::uint32_t, std::uint32_t> through_at;   // `through`'s answers
};

inline bool posting_live(const EntrySlot::Posting& p) {
  return p.entry->filed && p.generation == p.entry->generation;
}

// What a permission asks of a manage entry: the classes it must carry and
// the selector it must subsume; none for the root permission.
inline std::optional<std::pair<unsigned, const KeyspaceSelectorV1*>> asked_of_entries(
    const GrantPermissionV1& permission) {
  if (const auto* p = std::get_if<grant_permission::Read>(&permission)) return std::pair{kReadClassBit, &p->selector};
  if (const auto* p = std::get_if<grant_permission::Write>(&permission)) return std::pair{kWriteClassBit, &p->selector};
  if (const auto* p = std::get_if<grant_permission::Manage>(&permission)) {
    return std::pair{kManageClassBit | grant_class_bits(p->grantable), &p->selector};
  }
  return std::nullopt;
}

inline const std::vector<std::string>* segments_of(const TupleMatcherV1& path) {
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&path)) return &exact->segments;
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&path)) return &prefix->segments;
  return nullptr;
}

struct Principal {
  PrincipalRefV1 ref;
  std::uint32_t item = kNone;  // its user or group item; none for the root and for ids no record names
  // Memberships (indexes into the sequence's) it is the member of, and of
  // its group: every one, for what never changes, and those listed.
  std::vector<std::uint32_t> up_all;
  std::vector<std::uint32_t> down_all;
  std::vector<std::uint32_t> up;
  std::vector<std::uint32_t> down;
  std::vector<std::uint32_t> root_dependents;       // candidates it signs that ask its root flag
  std::vector<std::uint32_t> existence_dependents;  // candidates (memberships and grants) that name it
  Timeline<bool> root;
  Timeline<std::uint32_t> root_grants;  // grants of the root permission to it in force
  // Its manage entry groups, by the classes they carry; only holders have
  // them. Filed while they are in force in some iteration.
  std::unique_ptr<HeldEntries> entries;
  bool has_entries = false;
  std::uint32_t filed_entries = 0;
  std::unique_ptr<Asked> asked;
  // Static: whether a principal above it (or itself) could hold a manage
  // entry or the root flag, and whether one below it (or itself) asks.
  bool entries_above = false;
  bool root_above = false;
  bool asks_below = false;
};

// A question: its asker and its permission, keyed by the digest first.
struct QuestionKey {
  std::uint32_t asker;
  std::pair<std::uint64_t, const GrantPermissionV1*> permission;
};
struct QuestionKeyLess {
  bool operator()(const QuestionKey& a, const QuestionKey& b) const {
    if (a.asker != b.asker) return a.asker < b.asker;
    return DigestLess{}(a.permission, b.permission);
  }
};

// A manage entry held by one principal, keyed by its digest first.
struct EntryKey {
  std::uint32_t holder;
  std::pair<std::uint64_t, const ManageKeyspaceGrantV1*> entry;
};
struct EntryKeyLess {
  bool operator()(const EntryKey& a, const EntryKey& b) const {
    if (a.holder != b.holder) return a.holder < b.holder;
    return DigestLess{}(a.entry, b.entry);
  }
};

}  // namespace vornex::core::validate::detail::seq
