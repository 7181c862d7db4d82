#include "sequence.hpp"

#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <array>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "cord/wire.hpp"
#include "vornex/core/authz_index.hpp"
#include "vornex/core/label_index.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/core/order.hpp"
#include "vornex/core/prefix_sort.hpp"
#include "vornex/core/stop.hpp"
#include "vornex/core/work.hpp"

namespace vornex::core::validate::detail {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

constexpr Iteration kLastIteration = static_cast<Iteration>(kMaxAuthorityIterations);
constexpr std::string_view kConflictDigestDomain = "vornex.conflict-digest.v1";
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kNoTop = std::numeric_limits<std::uint64_t>::max();  // no candidate admitted

// A short list kept in place: nearly every timeline has one or two points,
// and a heap block for each would cost more than the points themselves.
template <class T, std::size_t N>
class SmallList {
 public:
  SmallList() = default;
  SmallList(const SmallList&) = delete;
  SmallList& operator=(const SmallList&) = delete;
  SmallList(SmallList&& other) noexcept { take(other); }
  SmallList& operator=(SmallList&& other) noexcept {
    if (this != &other) {
      heap_.reset();
      take(other);
    }
    return *this;
  }

  T* begin() { return data(); }
  T* end() { return data() + size_; }
  const T* begin() const { return data(); }
  const T* end() const { return data() + size_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& back() { return data()[size_ - 1]; }
  void pop_back() { --size_; }

  T* insert(T* at, T value) {
    const std::size_t i = static_cast<std::size_t>(at - data());
    if (size_ == capacity()) grow();
    T* d = data();
    for (std::size_t j = size_; j > i; --j) d[j] = std::move(d[j - 1]);
    d[i] = std::move(value);
    ++size_;
    return d + i;
  }
  T* erase(T* at) {
    T* d = data();
    for (T* p = at; p + 1 != d + size_; ++p) *p = std::move(*(p + 1));
    --size_;
    return at;
  }

 private:
  T* data() { return heap_ ? heap_.get() : local_.data(); }
  const T* data() const { return heap_ ? heap_.get() : local_.data(); }
  std::size_t capacity() const { return heap_ ? heap_capacity_ : N; }
  void grow() {
    const std::size_t capacity = 2 * this->capacity();
    auto bigger = std::make_unique<T[]>(capacity);
    std::move(begin(), end(), bigger.get());
    heap_ = std::move(bigger);
    heap_capacity_ = capacity;
  }
  void take(SmallList& other) {
    size_ = other.size_;
    heap_capacity_ = other.heap_capacity_;
    if (other.heap_) {
      heap_ = std::move(other.heap_);
    } else {
      std::move(other.local_.begin(), other.local_.begin() + other.size_, local_.begin());
    }
    other.size_ = 0;
  }

  std::array<T, N> local_{};
  std::unique_ptr<T[]> heap_;
  std::size_t heap_capacity_ = 0;
  std::uint8_t size_ = 0;
};

// A value in every iteration 0 to 64, held as the iterations where it
// differs from the iteration before (at most one point each).
template <class V>
class Timeline {
 public:
  Timeline() = default;
  explicit Timeline(V initial) : initial_(std::move(initial)) {}

  const V& at(Iteration k) const {
    for (const auto* it = points_.end(); it != points_.begin();) {
      --it;
      if (it->first <= k) return it->second;
    }
    return initial_;
  }

  // Sets the value at `k` (at least 1). With `restore`, later iterations
  // keep the values they had; without, they take this one up to the next
  // change. `on_point(j, created)` hears of each change point made or
  // taken away. False when the value was already that.
  template <class OnPoint>
  bool set(Iteration k, const V& value, bool restore, OnPoint&& on_point) {
    const V old = at(k);
    if (value == old) return false;
    const V before = at(static_cast<Iteration>(k - 1));
    const V old_next = k < kLastIteration ? at(static_cast<Iteration>(k + 1)) : old;
    auto pos = std::lower_bound(points_.begin(), points_.end(), k,
                                [](const auto& p, Iteration i) { return p.first < i; });
    const bool had = pos != points_.end() && pos->first == k;
    if (value == before) {
      if (had) {
        pos = points_.erase(pos);
        on_point(k, false);
      }
    } else if (had) {
      pos->second = value;
      ++pos;
    } else {
      pos = points_.insert(pos, std::pair{k, value});
      on_point(k, true);
      ++pos;
    }
    if (k == kLastIteration) return true;
    const auto next = static_cast<Iteration>(k + 1);
    if (restore) {
      if (pos != points_.end() && pos->first == next) {
        if (pos->second == value) {
          points_.erase(pos);
          on_point(next, false);
        }
      } else if (!(old_next == value)) {
        points_.insert(pos, std::pair{next, old_next});
        on_point(next, true);
      }
    } else if (pos != points_.end() && pos->second == value) {
      const Iteration j = pos->first;
      points_.erase(pos);
      on_point(j, false);
    }
    return true;
  }

  // Whether the value differs from the initial one in some iteration.
  bool has_points() const { return !points_.empty(); }
  // Whether the value satisfies `pred` in some iteration.
  template <class Pred>
  bool ever(Pred&& pred) const {
    if (pred(initial_)) return true;
    return std::any_of(points_.begin(), points_.end(), [&](const auto& p) { return pred(p.second); });
  }

  // Every iteration after `k` takes the value at `k`. True when anything
  // after `k` differed.
  template <class OnPoint>
  bool truncate_after(Iteration k, OnPoint&& on_point) {
    bool changed = false;
    while (!points_.empty() && points_.back().first > k) {
      on_point(points_.back().first, false);
      points_.pop_back();
      changed = true;
    }
    return changed;
  }

 private:
  V initial_{};
  SmallList<std::pair<Iteration, V>, 2> points_;
};

enum class Pass : std::uint8_t { Users, Groups, Members, Grants };
constexpr std::size_t kPasses = 4;

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
  std::uint32_t path = kNone;  // its path's node; none for Any
  // Filed with its holder while it is in force in some iteration; a new
  // generation withdraws the postings of the last filing.
  bool filed = false;
  std::uint32_t generation = 0;
};
const KeyspaceSelectorV1& selector_of_group(const EntryGroup& g) { return g.entry->selector; }

using EntrySlot = LabelSlot<EntryGroup>;

// A holder's entries with one class set, by the place of their path: Any
// apart, Exact and Prefix ones by their path's node.
struct EntryPlaces {
  EntrySlot any;
  std::map<std::uint32_t, EntrySlot> exact;
  std::map<std::uint32_t, EntrySlot> prefix;
};

// By the classes they carry, as a bit set.
using HeldEntries = std::array<EntryPlaces, 8>;

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

bool posting_live(const EntrySlot::Posting& p) { return p.entry->filed && p.generation == p.entry->generation; }

// What a permission asks of a manage entry: the classes it must carry and
// the selector it must subsume; none for the root permission.
std::optional<std::pair<unsigned, const KeyspaceSelectorV1*>> asked_of_entries(const GrantPermissionV1& permission) {
  if (const auto* p = std::get_if<grant_permission::Read>(&permission)) return std::pair{kReadClassBit, &p->selector};
  if (const auto* p = std::get_if<grant_permission::Write>(&permission)) return std::pair{kWriteClassBit, &p->selector};
  if (const auto* p = std::get_if<grant_permission::Manage>(&permission)) {
    return std::pair{kManageClassBit | grant_class_bits(p->grantable), &p->selector};
  }
  return std::nullopt;
}

const std::vector<std::string>* segments_of(const TupleMatcherV1& path) {
  if (const auto* exact = std::get_if<tuple_matcher::Exact>(&path)) return &exact->segments;
  if (const auto* prefix = std::get_if<tuple_matcher::Prefix>(&path)) return &prefix->segments;
  return nullptr;
}

// Every path a question or a manage entry names, interned once, so that
// filing a question walks its path once however many label matchers it
// has. The nodes are numbered in preorder once, when the fixed point first
// needs them, so that the paths at and below one are a range. A path that
// comes later (a question asked during deletion resolution) is never
// numbered again: it sorts right after its nearest numbered ancestor, in
// the order such paths came, which is where a range that holds that
// ancestor holds it too. So no order already used changes, and nothing is
// renumbered however many paths come.
class PathNodes {
 public:
  PathNodes() : nodes_{Node{{}, 0, 0, kNone, 0}} {}

  std::uint32_t intern(const std::vector<std::string>& segments) {
    std::uint32_t at = 0;
    for (const std::string& segment : segments) {
      const auto next = static_cast<std::uint32_t>(nodes_.size());
      const std::uint32_t parent = at;
      at = nodes_[parent].children.try_emplace(segment, next).first->second;
      count_work(1);
      if (at != next) continue;
      Node node{{}, parent, nodes_[parent].depth + 1, kNone, 0};
      if (numbered_) {
        node.anchor = nodes_[parent].anchor == kNone ? parent : nodes_[parent].anchor;
        node.late = ++late_;
      }
      nodes_.push_back(std::move(node));
    }
    return at;
  }

  // Numbers the nodes there are in preorder; once.
  void number() {
    if (numbered_) return;
    numbered_ = true;
    pre_.assign(nodes_.size(), 0);
    end_.assign(nodes_.size(), 0);
    std::vector<std::uint32_t> order;
    order.reserve(nodes_.size());
    std::vector<std::uint32_t> stack{0};
    while (!stack.empty()) {
      const std::uint32_t n = stack.back();
      stack.pop_back();
      pre_[n] = static_cast<std::uint32_t>(order.size());
      order.push_back(n);
      const auto& children = nodes_[n].children;
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(it->second);
    }
    // A node's range ends where its subtree does: sizes summed upward.
    std::vector<std::uint32_t> size(nodes_.size(), 1);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
      if (*it != 0) size[nodes_[*it].parent] += size[*it];
      end_[*it] = pre_[*it] + size[*it];
    }
    count_work(nodes_.size());
  }

  // The node above `node`; none above the root (the empty path).
  std::uint32_t parent(std::uint32_t node) const { return node == 0 ? kNone : nodes_[node].parent; }
  std::uint32_t depth(std::uint32_t node) const { return nodes_[node].depth; }

  // A node's place in the order, once numbered: its preorder number, or
  // for a later one its nearest numbered ancestor's, then when it came.
  struct Key {
    std::uint32_t pre;
    std::uint32_t late;
    auto operator<=>(const Key&) const = default;
  };
  Key key(std::uint32_t node) const {
    const Node& n = nodes_[node];
    return n.anchor == kNone ? Key{pre_[node], 0} : Key{pre_[n.anchor], n.late};
  }
  // The keys of `above`'s range, `above` numbered: [first, last).
  Key first(std::uint32_t above) const { return Key{pre_[above], 0}; }
  Key last(std::uint32_t above) const { return Key{end_[above], 0}; }
  // Whether `node` is `above` or below it, `above` numbered.
  bool within(std::uint32_t above, std::uint32_t node) const {
    const Key k = key(node);
    return first(above) <= k && k < last(above);
  }

 private:
  struct Node {
    std::map<std::string_view, std::uint32_t> children;
    std::uint32_t parent;
    std::uint32_t depth;   // its segments
    std::uint32_t anchor;  // for a node that came after the numbering, its nearest numbered ancestor
    std::uint32_t late;    // and the order it came in, from 1
  };
  std::vector<Node> nodes_;
  std::vector<std::uint32_t> pre_;
  std::vector<std::uint32_t> end_;
  bool numbered_ = false;
  std::uint32_t late_ = 0;
};

// Interned nodes in their order.
struct PreorderLess {
  const PathNodes* paths;
  bool operator()(std::uint32_t a, std::uint32_t b) const { return paths->key(a) < paths->key(b); }
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

  void add(std::uint32_t q, const TupleMatcherV1& path, std::uint32_t node) {
    ++size;
    if (node == kNone) {
      any.push_back(q);
    } else {
      QuestionShelf& shelf = at[node];
      (std::holds_alternative<tuple_matcher::Exact>(path) ? shelf.exact : shelf.prefix).push_back(q);
    }
  }

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
  void file(std::uint32_t q, const KeyspaceSelectorV1& selector, std::uint32_t node, const MatcherCounts& entries) {
    all.add(q, selector.tuple, node);
    const auto bucket = [&](std::string_view key, LabelKind kind, std::string_view value) {
      by_label.try_emplace(LabelBucket{key, kind, value}, paths).first->second.add(q, selector.tuple, node);
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

// A key the vault's writers cannot know, new for each validation: contests
// are digested under it, so that no set of records can be made to digest
// as another does.
std::array<std::uint8_t, 32> contest_key() {
  std::array<std::uint8_t, 32> key{};
  std::size_t got = 0;
  while (got < key.size()) {
    const ssize_t n = ::getrandom(key.data() + got, key.size() - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got == key.size()) return key;
  // Without the kernel's randomness (a sandbox that refuses the call): the
  // clock and where this process lies in memory, which a writer cannot
  // know ahead of the validation either.
  cord::Bytes seed;
  const auto mix = [&](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) seed.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  mix(static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  mix(static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
  mix(reinterpret_cast<std::uintptr_t>(&key));
  mix(reinterpret_cast<std::uintptr_t>(&contest_key));
  const HashValue h = domain_hash(cord::text_bytes(kConflictDigestDomain), seed);
  std::copy_n(h.bytes().begin(), std::min(key.size(), h.bytes().size()), key.begin());
  return key;
}

}  // namespace

class Sequence::Impl {
 public:
  Impl(const Prepared& prepared, const UserRecordV1& root)
      : prepared_(prepared), root_(root), root_id_(root.user_id), contest_key_(contest_key()) {
    root_principal_ = principal_of(PrincipalRefV1{root_id_});
    principals_[root_principal_].root = Timeline<bool>(true);
    build_items();
    build_statics();
  }

  void compute(std::span<const VerifiedRecord* const> deletions) {
    if (stop_.stopped()) return;
    for (const VerifiedRecord* r : deletions) mark_in_force(r->hash);
    begin_run();
    for (std::uint32_t i = 0; i < items_.size(); ++i) first_.push_back(i);
    run(false);
    first_.clear();
  }

  void admit(const HashValue& hash) {
    if (stop_.stopped()) return;
    begin_run();
    for (const std::uint32_t candidate : mark_in_force(hash)) always_.push_back(candidate);
    run(true);
    always_.clear();
  }

  bool blocked() const { return blocked_; }
  bool stopped() const { return stop_.stopped(); }

  // Items come grouped by pass and, within one, in id order: every map
  // fills at its end.
  SelectedAuthorizedRecords selection() const {
    SelectedAuthorizedRecords s;
    s.users.emplace(root_id_, root_);
    for (const Item& item : items_) {
      const ItemValue& v = item.value.at(final_);
      if (v.kind == ItemValue::Kind::Conflict) {
        s.conflicts.insert_or_assign(item.key, final_slot(item, v.counter));
        continue;
      }
      if (v.kind == ItemValue::Kind::Absent) continue;
      const bool live = v.kind == ItemValue::Kind::Live;
      std::visit(
          [&](const auto& key) {
            using K = std::decay_t<decltype(key)>;
            if constexpr (std::is_same_v<K, record_key::User>) {
              if (live) {
                s.users.emplace_hint(s.users.end(), key.user_id, std::get<UserRecordV1>(v.winner->record->body()));
              } else {
                s.deleted_users.insert(s.deleted_users.end(), key.user_id);
              }
            } else if constexpr (std::is_same_v<K, record_key::Group>) {
              if (live) {
                s.groups.emplace_hint(s.groups.end(), key.group_id, std::get<GroupRecordV1>(v.winner->record->body()));
              } else {
                s.deleted_groups.insert(s.deleted_groups.end(), key.group_id);
              }
            } else if constexpr (std::is_same_v<K, record_key::GroupMember>) {
              s.group_members.emplace_hint(s.group_members.end(), key.group_member_id,
                                             std::get<GroupMemberRecordV1>(v.winner->record->body()));
            } else if constexpr (std::is_same_v<K, record_key::Grant>) {
              if (live) {
                s.grants.emplace_hint(s.grants.end(), key.grant_id, std::get<GrantRecordV1>(v.winner->record->body()));
              } else {
                s.deleted_grants.insert(s.deleted_grants.end(), key.grant_id);
              }
            }
          },
          item.key);
    }
    return s;
  }

  std::uint32_t principal(const UserId& user) {
    const std::uint32_t p = principal_of(PrincipalRefV1{user});
    seen_.resize(principals_.size(), 0);
    if (focused_) {
      need_root_.resize(principals_.size(), false);
      need_entries_.resize(principals_.size(), false);
    }
    return p;
  }

  // From now on only what the final values of the focus can depend on is
  // kept up to date: admissions that change nothing there cost nothing.
  void focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
             std::span<const std::uint32_t> items) {
    focused_ = true;
    need_item_.assign(items_.size(), false);
    need_root_.assign(principals_.size(), false);
    need_entries_.assign(principals_.size(), false);
    need_question_.assign(questions_.size(), false);
    giving_entry_.assign(entry_groups_.size(), {});
    giving_root_.assign(principals_.size(), {});
    for (const Candidate& c : cands_) {
      step(1);
      if (c.entry != kNone) giving_entry_[c.entry].push_back(c.item);
      if (c.root_grant) giving_root_[c.named].push_back(c.item);
    }
    std::vector<bool> named(principals_.size(), false);
    for (const std::uint32_t p : askers) {
      if (named[p]) continue;
      named[p] = true;
      need(Need::Root, p);
      need(Need::Entries, p);
      if (const auto& asked = principals_[p].asked) {
        for (const std::uint32_t q : asked->questions) need(Need::Question, q);
      }
    }
    for (const std::uint32_t p : rooted) need(Need::Root, p);
    for (const std::uint32_t item : items) {
      if (item != kNone) need(Need::Item, item);
    }
  }

  // Whether everything is up to date: nothing out of focus was passed over.
  bool exact() const { return exact_; }

  std::uint32_t grant_item(const GrantId& id) const {
    const std::uint64_t prefix = byte_prefix(id.bytes());
    const auto it = std::lower_bound(grant_items_.begin(), grant_items_.end(), id, [&](const auto& entry, const GrantId& key) {
      const std::uint64_t p = byte_prefix(entry.first->bytes());
      return p != prefix ? p < prefix : *entry.first < key;
    });
    return it == grant_items_.end() || !(*it->first == id) ? kNone : it->second;
  }

  std::uint32_t question(std::uint32_t asker, const GrantPermissionV1& permission) {
    const std::size_t before = questions_.size();
    const std::uint32_t q = add_question(asker, permission);
    if (q < before) return q;  // asked already: its answers are kept
    // Asked from now on: its answer in every iteration so far, then carried
    // like every other answer.
    Question& question = questions_[q];
    for (Iteration k = 1; k <= final_; ++k) {
      question.answer.set(k, evaluate_answer(q, k), false, on_point_of(Handle{Handle::Answer, q}));
    }
    return q;
  }

  bool answer(std::uint32_t q) const { return questions_[q].answer.at(final_); }

  bool is_root(std::uint32_t p) const { return principals_[p].root.at(final_); }

  const GrantRecordV1* grant(std::uint32_t item) const {
    const ItemValue& v = items_[item].value.at(final_);
    return v.kind == ItemValue::Kind::Live ? &std::get<GrantRecordV1>(v.winner->record->body()) : nullptr;
  }

  const Sequence::Touched& touched() const { return touched_; }

 private:
  // Steps of work, counted (core/work.hpp) and for stopping early.
  void step(std::uint64_t n = 1) {
    core::count_work(n);
    stop_.stop();
  }

  struct Question {
    std::uint32_t asker;
    const GrantPermissionV1* permission;
    Timeline<bool> answer;
    std::uint32_t candidate = kNone;  // the grant record that asks it
    std::uint32_t path = kNone;       // its selector's path node; none for Any or the root permission
  };

  // A timeline with a change point at some iteration, for truncation.
  struct Handle {
    enum Kind : std::uint8_t { Item, Root, RootGrants, Answer, Entry, Admission, ClassCount, Tally, Top } kind;
    std::uint32_t index;
  };

  // ---- Building ------------------------------------------------------------

  std::uint32_t principal_of(const PrincipalRefV1& ref) {
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
  std::uint32_t add_question(std::uint32_t asker, const GrantPermissionV1& permission) {
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

  std::uint32_t intern(const TupleMatcherV1& path) {
    const std::vector<std::string>* segments = segments_of(path);
    return segments == nullptr ? kNone : paths_.intern(*segments);
  }

  void file_questions() {
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
  static std::uint64_t permission_size(const GrantPermissionV1& permission) {
    const auto asked = asked_of_entries(permission);
    if (!asked) return 0;
    std::uint64_t size = asked->second->labels.size();
    if (const auto* segments = segments_of(asked->second->tuple)) size += segments->size();
    for (const KeyspaceLabelMatcherV1& m : asked->second->labels) {
      if (const auto* in = std::get_if<label_matcher::In>(&m.matcher)) size += in->values.size();
    }
    return size;
  }

  std::uint32_t entry_group(std::uint32_t holder, const ManageKeyspaceGrantV1& entry) {
    const auto [it, created] = entry_ids_.try_emplace(EntryKey{holder, {structural_digest(entry), &entry}},
                                                      static_cast<std::uint32_t>(entry_groups_.size()));
    if (!created) return it->second;
    entry_groups_.push_back(EntryGroup{holder, &entry, Timeline<std::uint32_t>(0)});
    return it->second;
  }

  // Items by id, each with its candidates in slice order: the records of a
  // pass sorted once by their id (its first bytes as a number first).
  template <class Id, class IdOf>
  void group_items(const RecordRefs& records, Pass pass, IdOf&& id_of,
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
  void finish_item() {
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
  void make_contest(std::uint32_t from, std::uint32_t to) {
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

  std::array<std::uint64_t, 2> keyed_digest(const HashValue& hash) const {
    cord::Bytes input(contest_key_.begin(), contest_key_.end());
    input.insert(input.end(), hash.bytes().begin(), hash.bytes().end());
    const HashValue h = domain_hash(cord::text_bytes(kConflictDigestDomain), input);
    std::array<std::uint64_t, 2> out{};
    for (std::size_t i = 0; i < 16 && i < h.bytes().size(); ++i) {
      out[i / 8] |= static_cast<std::uint64_t>(h.bytes()[i]) << (8 * (i % 8));
    }
    return out;
  }

  void build_items() {
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
  void describe(std::uint32_t id) {
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
  void add_edge(std::uint32_t item, std::uint32_t group, std::uint32_t member) {
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
  void refresh_memberships(std::uint32_t item) {
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
  void refresh_filing(std::uint32_t g) {
    EntryGroup& group = entry_groups_[g];
    const bool live = group.count.has_points();
    if (live == group.filed) return;
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
  void file_into(HeldEntries& entries, const EntryGroup& group) {
    EntryPlaces& places = entries[grant_class_bits(group.entry->grantable)];
    const KeyspaceSelectorV1& selector = group.entry->selector;
    EntrySlot& slot = group.path == kNone ? places.any
                      : std::holds_alternative<tuple_matcher::Exact>(selector.tuple) ? places.exact[group.path]
                                                                                   : places.prefix[group.path];
    slot.add(group, selector, entry_counts_, group.generation);
    step(1 + selector.labels.size());
  }

  // The listed memberships of `list` (a principal's up or down), dropping
  // the unlisted ones met on the way.
  template <class Visit>
  void each_listed(std::vector<std::uint32_t>& list, bool Membership::*in_list, Visit&& visit) {
    std::uint64_t steps = 0;
    for (std::size_t i = 0; i < list.size();) {
      ++steps;
      Membership& edge = memberships_[list[i]];
      if (!edge.listed) {
        edge.*in_list = false;
        list[i] = list.back();
        list.pop_back();
        continue;
      }
      visit(edge);
      ++i;
    }
    step(steps);
  }

  void build_statics() {
    held_.assign(principals_.size(), {});
    for (std::uint32_t g = 0; g < entry_groups_.size(); ++g) {
      EntryGroup& group = entry_groups_[g];
      held_[group.holder].push_back(g);
      Principal& holder = principals_[group.holder];
      holder.has_entries = true;
      if (!holder.entries) holder.entries = std::make_unique<HeldEntries>();
      group.path = intern(group.entry->selector.tuple);
      entry_counts_.count(group.entry->selector);
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
  void spread_down(std::vector<std::uint32_t> from, bool Principal::*flag) {
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

  void mark_asks_below(std::uint32_t asker) {
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
  std::vector<std::uint32_t> mark_in_force(const HashValue& hash) {
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

  // ---- Timeline bookkeeping ------------------------------------------------

  // Counts an item's change points per iteration (an iteration with none
  // settles the fixed point) and files every timeline's for truncation.
  struct OnPoint {
    Impl* impl;
    Handle handle;
    void operator()(Iteration j, bool created) const {
      if (handle.kind == Handle::Item) impl->change_count_[j] += created ? 1 : -1;
      if (created) impl->registry_[j].push_back(handle);
    }
  };
  OnPoint on_point_of(Handle h) { return OnPoint{this, h}; }

  void touch(Handle h) {
    switch (h.kind) {
      case Handle::Item:
        if (items_[h.index].pass == Pass::Grants && touched_item_.insert(h.index).second) {
          touched_.grants.push_back(h.index);
        }
        break;
      case Handle::Root:
        if (touched_root_.insert(h.index).second) touched_.principals.push_back(h.index);
        break;
      case Handle::Answer:
        if (touched_question_.insert(h.index).second) touched_.questions.push_back(h.index);
        break;
      default:
        break;
    }
  }

  void begin_run() {
    touched_ = {};
    touched_item_.clear();
    touched_root_.clear();
    touched_question_.clear();
  }

  void truncate_after(Iteration k) {
    for (Iteration j = static_cast<Iteration>(k + 1); j <= kLastIteration; ++j) {
      std::vector<Handle> handles = std::move(registry_[j]);
      registry_[j].clear();
      for (const Handle h : handles) {
        bool changed = false;
        const auto on_point = on_point_of(h);
        switch (h.kind) {
          case Handle::Item:
            changed = items_[h.index].value.truncate_after(k, on_point);
            if (changed) {
              refresh_memberships(h.index);
              memberships_moved(h.index);
            }
            break;
          case Handle::Root: changed = principals_[h.index].root.truncate_after(k, on_point); break;
          case Handle::RootGrants: changed = principals_[h.index].root_grants.truncate_after(k, on_point); break;
          case Handle::Answer: changed = questions_[h.index].answer.truncate_after(k, on_point); break;
          case Handle::Entry:
            changed = entry_groups_[h.index].count.truncate_after(k, on_point);
            if (changed) {
              ++entry_epoch_;
              refresh_filing(h.index);
            }
            break;
          case Handle::Admission: contenders_[h.index].admitted.truncate_after(k, on_point); break;
          case Handle::ClassCount: class_counts_[h.index].truncate_after(k, on_point); break;
          case Handle::Tally: contests_[h.index].tally.truncate_after(k, on_point); break;
          case Handle::Top: items_[h.index].top.truncate_after(k, on_point); break;
        }
        if (changed) touch(h);
      }
    }
  }

  // ---- Evaluation ----------------------------------------------------------

  bool exists(std::uint32_t p, Iteration k) const {
    if (p == root_principal_) return true;
    const std::uint32_t item = principals_[p].item;
    return item != kNone && items_[item].value.at(k).kind == ItemValue::Kind::Live;
  }

  bool admitted(const Candidate& c, Iteration k) const {
    const auto root_signer = [&] { return principals_[c.signer].root.at(static_cast<Iteration>(k - 1)); };
    return std::visit(
        [&](const auto& b) -> bool {
          using B = std::decay_t<decltype(b)>;
          if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, GroupRecordV1> ||
                        std::is_same_v<B, GroupMemberDeletedRecordV1>) {
            return root_signer();
          } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
            return root_signer() && exists(c.group, k) && exists(c.named, k);
          } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
            return exists(c.named, k) && questions_[c.question].answer.at(static_cast<Iteration>(k - 1));
          } else {
            return c.in_force;
          }
        },
        c.record->body());
  }

  // Records a contender's admission in iteration k, and its contest's
  // tally with it.
  void enlist(std::uint32_t candidate, Iteration k) {
    step(1);
    const std::uint32_t place = cands_[candidate].contender;
    Contender& c = contenders_[place];
    if (c.echo) return;
    const bool now = admitted(cands_[candidate], k);
    if (c.admitted.at(k) == now) return;
    c.admitted.set(k, now, restore_, on_point_of(Handle{Handle::Admission, place}));
    Timeline<std::uint32_t>& counts = class_counts_[c.counts];
    const std::uint32_t before = counts.at(k);
    const std::uint32_t after = now ? before + 1 : before - 1;
    counts.set(k, after, restore_, on_point_of(Handle{Handle::ClassCount, c.counts}));
    Contest& contest = contests_[c.contest];
    Tally t = contest.tally.at(k);
    if (now) {
      ++t.count;
      for (std::size_t i = 0; i < t.digest.size(); ++i) t.digest[i] += c.keyed[i];
      if (before == 0) {
        ++t.classes;
        t.class_sum += c.klass;
      }
    } else {
      --t.count;
      for (std::size_t i = 0; i < t.digest.size(); ++i) t.digest[i] -= c.keyed[i];
      if (after == 0) {
        --t.classes;
        t.class_sum -= c.klass;
      }
    }
    contest.tally.set(k, t, restore_, on_point_of(Handle{Handle::Tally, c.contest}));
  }

  // The outcome of a contest with admitted records in iteration k: equal
  // bodies give their record (any of them: the outcome is read by body),
  // differing bodies a conflict.
  ItemValue contest_value(const Item& item, const Contest& contest, const Tally& t) {
    if (t.classes >= 2) return ItemValue{ItemValue::Kind::Conflict, nullptr, contest.counter, t.digest};
    return decide(item, &cands_[t.class_sum]);
  }

  // The slot of an item in conflict at `counter` in the final iteration.
  ConflictSlot final_slot(const Item& item, std::uint64_t counter) const {
    std::vector<const VerifiedRecord*> records;
    for (std::uint32_t c = item.first; c < item.last; ++c) {
      if (cands_[c].counter == counter && admitted(cands_[c], final_)) records.push_back(cands_[c].record);
    }
    return slot_of(records);
  }

  // The outcome when `winner` is admitted alone at the highest counter
  // that has any, or with others of the same body.
  ItemValue decide(const Item& item, const Candidate* winner) const {
    const RecordBodyV1& body = winner->record->body();
    switch (item.pass) {
      case Pass::Users:
        if (!std::holds_alternative<UserRecordV1>(body)) return ItemValue{ItemValue::Kind::Deleted, winner, 0};
        // A user who signed no entry point goes nowhere.
        if (!prepared_.entry_users.contains(std::get<UserRecordV1>(body).user_id)) return {};
        return ItemValue{ItemValue::Kind::Live, winner, 0};
      case Pass::Groups:
        return ItemValue{std::holds_alternative<GroupRecordV1>(body) ? ItemValue::Kind::Live : ItemValue::Kind::Deleted,
                         winner, 0};
      case Pass::Members:
        // A deletion of a membership leaves no trace.
        if (!std::holds_alternative<GroupMemberRecordV1>(body)) return {};
        return ItemValue{ItemValue::Kind::Live, winner, 0};
      case Pass::Grants:
        return ItemValue{std::holds_alternative<GrantRecordV1>(body) ? ItemValue::Kind::Live : ItemValue::Kind::Deleted,
                         winner, 0};
    }
    return {};
  }

  // The admitted candidates at the highest counter that has any, from
  // candidate `from` on (they come highest counter first; a contest is
  // read from its tally). That counter goes to `found_top_`.
  ItemValue top_from(const Item& item, std::uint32_t from, Iteration k) {
    for (std::uint32_t c = from; c < item.last;) {
      step(1);
      const Candidate& candidate = cands_[c];
      if (candidate.contender != kNone) {
        const Contest& contest = contests_[contenders_[candidate.contender].contest];
        const Tally& t = contest.tally.at(k);
        if (t.count > 0) {
          found_top_ = contest.counter;
          return contest_value(item, contest, t);
        }
        c = contest.last;
        continue;
      }
      if (admitted(candidate, k)) {
        found_top_ = candidate.counter;
        return decide(item, &candidate);
      }
      ++c;
    }
    found_top_ = kNoTop;
    return {};
  }

  // The item's outcome in iteration k, and in `found_top_` the counter it
  // was decided at: only the admitted candidates at the highest counter
  // count. Evaluated in full, or from the baseline's counter when only the
  // candidates in `changed` may be admitted otherwise than there:
  // those above the baseline's counter decide alone if one is admitted;
  // below it they change nothing; at it, the counter is looked at again,
  // and below it down to the next one with an admitted candidate. A
  // candidate passed over so stays below the outcome from then on, so an
  // item whose records lose their admission one by one is read once, not
  // once per loss.
  ItemValue evaluate(const Item& item, Iteration k, const std::vector<std::uint32_t>* changed) {
    step();
    // Contests are tallied first, from the candidates whose inputs changed
    // (in full in the first iteration).
    if (changed == nullptr) {
      for (std::uint32_t c = item.first; c < item.last; ++c) {
        if (cands_[c].contender != kNone) enlist(c, k);
      }
    } else {
      for (const std::uint32_t c : *changed) {
        if (cands_[c].contender != kNone) enlist(c, k);
      }
    }
    if (changed == nullptr) return top_from(item, item.first, k);
    const ItemValue baseline = item.value.at(k);
    const std::uint64_t top_at = item.top.at(k);
    const std::optional<std::uint64_t> top = top_at == kNoTop ? std::nullopt : std::optional(top_at);
    std::optional<std::uint64_t> higher;
    bool at_top = false;
    for (const std::uint32_t c : *changed) {
      const Candidate& candidate = cands_[c];
      if (top && candidate.counter == *top) at_top = true;
      if ((!top || candidate.counter > *top) && (!higher || candidate.counter > *higher) && admitted(candidate, k)) {
        higher = candidate.counter;
      }
    }
    if (higher) {
      // Nothing else above the baseline's counter was admitted there, and
      // its inputs are the same: a contest's tally has them all, and
      // otherwise the candidate is alone at its counter.
      found_top_ = *higher;
      for (const std::uint32_t c : *changed) {
        const Candidate& candidate = cands_[c];
        if (candidate.counter != *higher) continue;
        if (candidate.contender != kNone) {
          const Contest& contest = contests_[contenders_[candidate.contender].contest];
          return contest_value(item, contest, contest.tally.at(k));
        }
        return decide(item, &candidate);
      }
    }
    if (!at_top) {
      found_top_ = top_at;
      return baseline;
    }
    const auto first = std::partition_point(cands_.begin() + item.first, cands_.begin() + item.last,
                                            [&](const Candidate& c) { return c.counter > top_at; });
    return top_from(item, static_cast<std::uint32_t>(first - cands_.begin()), k);
  }

  // Whether the membership is in force in iteration k with a record naming
  // its member and group.
  bool edge_live(const Membership& m, Iteration k) const {
    const ItemValue& v = items_[m.item].value.at(k);
    return v.kind == ItemValue::Kind::Live && v.winner->group == m.group && v.winner->named == m.member;
  }

  // Whether one of the manage entries in force in iteration k of a holder's
  // places (or of a merged index's), `filed` of them filed, lets it create
  // what `asked` asks; `node` is the asked selector's path node (none for
  // Any). Prefix entries are looked for at the path's ancestors, or among
  // the places' Prefix ones where they are fewer.
  bool holds_answer(HeldEntries& entries, std::uint32_t filed, unsigned required, const KeyspaceSelectorV1& selector,
                    std::uint32_t node, Iteration k) {
    if (filed == 0) return false;
    const auto present = [&](const EntryGroup& g) { return g.count.at(k) > 0; };
    const auto covers = [&](const EntrySlot& slot) {
      step(1);
      return !slot.empty() && slot.covers(selector, &selector_of_group, posting_live, present);
    };
    const bool exact = std::holds_alternative<tuple_matcher::Exact>(selector.tuple);
    for (unsigned bits = 0; bits < entries.size(); ++bits) {
      if ((bits & required) != required) continue;
      EntryPlaces& places = entries[bits];
      if (covers(places.any)) return true;
      if (node == kNone) continue;  // only Any covers Any
      if (exact) {
        step(1);
        if (const auto it = places.exact.find(node); it != places.exact.end() && covers(it->second)) return true;
      }
      if (places.prefix.empty()) continue;
      if (paths_.depth(node) < places.prefix.size()) {
        for (std::uint32_t n = node; n != kNone; n = paths_.parent(n)) {
          step(1);
          if (const auto it = places.prefix.find(n); it != places.prefix.end() && covers(it->second)) return true;
        }
      } else {
        paths_.number();
        for (const auto& [n, slot] : places.prefix) {
          step(1);
          if (paths_.within(n, node) && covers(slot)) return true;
        }
      }
    }
    return false;
  }

  // A question's answer in iteration k, from the root flags of k (already
  // settled for k) and the entries in force in k of the asker and of every
  // group above it.
  bool evaluate_answer(std::uint32_t q, Iteration k) {
    step();
    const Question& question = questions_[q];
    if (principals_[question.asker].root.at(k)) return true;
    const auto asked = asked_of_entries(*question.permission);
    if (!asked) return false;
    const auto holds = [&](HeldEntries& entries, std::uint32_t filed) {
      return holds_answer(entries, filed, asked->first, *asked->second, question.path, k);
    };
    AnswerReach& reach = reach_in(k);
    const std::uint32_t from = through(question.asker, k);
    if (principals_[from].has_entries) return any_on_line(reach, line_of(reach, from, k), k, holds);
    return any_in_frontier(reach, frontier_of(reach, from, k), from, k, holds);
  }

  // The frontier of holders above `from`, which holds nothing.
  std::uint32_t frontier_of(AnswerReach& reach, std::uint32_t from, Iteration k) {
    const auto [known, created] =
        reach.frontier_at.try_emplace(from, static_cast<std::uint32_t>(reach.frontiers.size()));
    if (!created) return known->second;
    const std::uint32_t index = known->second;
    reach.frontiers.emplace_back();
    std::vector<std::uint32_t> holders;
    ++stamp_;
    std::vector<std::uint32_t> stack{from};
    seen_[from] = stamp_;
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      if (principals_[p].has_entries) {
        holders.push_back(p);  // its line reaches the rest
        continue;
      }
      each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
        if (!principals_[m.group].entries_above || !edge_live(m, k)) return;
        // Up a line of groups holding nothing at once: shared, not walked.
        const std::uint32_t up = through(m.group, k);
        if (seen_[up] == stamp_) return;
        seen_[up] = stamp_;
        stack.push_back(up);
      });
    }
    for (const std::uint32_t h : holders) {
      const std::uint32_t line = line_of(reach, h, k);
      Frontier& frontier = reach.frontiers[index];
      frontier.lines.push_back(line);
      frontier.entries += reach.lines[line].entries;
    }
    return index;
  }

  template <class Holds>
  bool any_in_frontier(AnswerReach& reach, std::uint32_t index, std::uint32_t from, Iteration k, Holds&& holds) {
    if (reach.frontiers[index].above != kNone) return any_above(reach, reach.frontiers[index].above, k, holds);
    std::uint64_t spent = 0;
    bool found = false;
    for (std::size_t i = 0; i < reach.frontiers[index].lines.size() && !found; ++i) {
      ++spent;
      found = any_on_line(reach, reach.frontiers[index].lines[i], k, holds, &spent);
    }
    step(spent);
    Frontier& frontier = reach.frontiers[index];
    frontier.scanned += spent;
    if (frontier.lines.size() > 1 && frontier.scanned > frontier.entries) {
      const std::uint32_t above = above_of(reach, from, k);
      reach.frontiers[index].above = above;
    }
    return found;
  }

  // What one iteration's questions are asked of, as its memberships and
  // entries are: made as they are asked, and dropped when either changes.
  AnswerReach& reach_in(Iteration k) {
    AnswerReach& reach = reaches_[k];
    if (reach.member_epoch != member_epoch_ || reach.entry_epoch != entry_epoch_) {
      reach = AnswerReach{};
      reach.member_epoch = member_epoch_;
      reach.entry_epoch = entry_epoch_;
    }
    return reach;
  }

  // One index over the entries in force in k of these holders: a question
  // asks it as it would ask each of them.
  std::unique_ptr<MergedEntries> merged_of(std::span<const std::uint32_t> holders, Iteration k) {
    auto merged = std::make_unique<MergedEntries>();
    std::uint64_t steps = 0;
    for (const std::uint32_t h : holders) {
      for (const std::uint32_t g : held_[h]) {
        ++steps;
        const EntryGroup& group = entry_groups_[g];
        if (!group.filed || group.count.at(k) == 0) continue;
        file_into(merged->entries, group);
        ++merged->filed;
      }
    }
    step(steps);
    return merged;
  }

  // The holders at `from` or above it through memberships in force in k,
  // found once for every question asked over them in k until a membership
  // or an entry changes; once their questions have looked through more
  // holders than they hold entries, one index over all of them answers.
  std::uint32_t above_of(AnswerReach& reach, std::uint32_t from, Iteration k) {
    const auto [known, created] = reach.above_at.try_emplace(from, static_cast<std::uint32_t>(reach.aboves.size()));
    if (!created) return known->second;
    HoldersAbove& above = reach.aboves.emplace_back();
    ++stamp_;
    std::vector<std::uint32_t> stack{from};
    seen_[from] = stamp_;
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      if (principals_[p].has_entries) {
        above.holders.push_back(p);
        above.entries += held_[p].size();
      }
      each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
        if (seen_[m.group] == stamp_ || !principals_[m.group].entries_above || !edge_live(m, k)) return;
        seen_[m.group] = stamp_;
        stack.push_back(m.group);
      });
    }
    return known->second;
  }

  template <class Holds>
  bool any_above(AnswerReach& reach, std::uint32_t index, Iteration k, Holds&& holds, std::uint64_t* spent = nullptr) {
    HoldersAbove& above = reach.aboves[index];
    if (above.merged) {
      step(1);
      if (spent != nullptr) ++*spent;
      return holds(above.merged->entries, above.merged->filed);
    }
    std::uint64_t steps = 0;
    bool found = false;
    for (const std::uint32_t h : above.holders) {
      ++steps;
      Principal& holder = principals_[h];
      if (holds(*holder.entries, holder.filed_entries)) {
        found = true;
        break;
      }
    }
    step(steps);
    if (spent != nullptr) *spent += steps;
    above.scanned += steps;
    if (above.holders.size() > 1 && above.scanned > above.entries) above.merged = merged_of(above.holders, k);
    return found;
  }

  // The line of holders `holder` is on in k, made up to where it joins one
  // already made: each holder on it is, in force, a member of one group
  // only that could pass entries on, and that group leads (up principals
  // holding nothing, as `through` goes) to the next holder. The top reaches
  // what is above it (several groups, or a cycle of holders) by the walk
  // of `above_of`.
  std::uint32_t line_of(AnswerReach& reach, std::uint32_t holder, Iteration k) {
    if (const auto known = reach.line_at.find(holder); known != reach.line_at.end()) return known->second;
    std::vector<std::uint32_t> pending;
    std::uint32_t parent = kNone;
    std::uint32_t beyond = kNone;
    const std::uint32_t walk = ++stamp_;
    std::uint32_t at = holder;
    for (;;) {
      step(1);
      if (const auto known = reach.line_at.find(at); known != reach.line_at.end()) {
        parent = known->second;
        break;
      }
      if (seen_[at] == walk) {
        // Holders in a cycle: the topmost reaches the rest by the walk.
        beyond = above_of(reach, at, k);
        break;
      }
      seen_[at] = walk;
      pending.push_back(at);
      const std::uint32_t up = only_up(at, k);
      const std::uint32_t next = up == kNone ? kNone : through(up, k);
      if (next != kNone && principals_[next].has_entries) {
        at = next;
        continue;
      }
      if (up != kNone) {
        beyond = above_of(reach, next, k);
      } else if (!principals_[at].up.empty()) {
        beyond = above_of(reach, at, k);  // several groups: itself again, then them
      }
      break;
    }
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
      const auto index = static_cast<std::uint32_t>(reach.lines.size());
      HolderLine& line = reach.lines.emplace_back();
      line.holder = *it;
      line.parent = parent;
      line.entries = held_[*it].size();
      if (parent == kNone) {
        line.beyond = beyond;
        if (beyond != kNone) line.entries += reach.aboves[beyond].entries;
      } else {
        const HolderLine& above = reach.lines[parent];
        line.beyond = above.beyond;
        line.entries += above.entries;
        // Two equal segments above are jumped as one with this holder.
        const std::uint32_t next = above.jump;
        if (next != kNone && reach.lines[next].length == above.length) {
          line.jump = reach.lines[next].jump;
          line.length = 1 + 2 * above.length;
        } else {
          line.jump = parent;
        }
      }
      reach.line_at.emplace(*it, index);
      parent = index;
    }
    return parent;
  }

  template <class Holds>
  bool any_on_line(AnswerReach& reach, std::uint32_t from, Iteration k, Holds&& holds, std::uint64_t* spent = nullptr) {
    std::uint64_t steps = 0;
    bool found = false;
    const std::uint32_t beyond = reach.lines[from].beyond;
    for (std::uint32_t at = from; at != kNone && !found;) {
      ++steps;
      HolderLine& line = reach.lines[at];
      if (!line.merged && line.length > 1 && ++line.passes >= line.length) {
        std::vector<std::uint32_t> segment;
        for (std::uint32_t i = at; i != line.jump; i = reach.lines[i].parent) segment.push_back(reach.lines[i].holder);
        step(segment.size());
        line.merged = merged_of(segment, k);
      }
      if (line.merged) {
        found = holds(line.merged->entries, line.merged->filed);
        at = line.jump;
      } else {
        Principal& holder = principals_[line.holder];
        found = holds(*holder.entries, holder.filed_entries);
        at = line.parent;
      }
    }
    step(steps);
    if (spent != nullptr) *spent += steps;
    return found || (beyond != kNone && any_above(reach, beyond, k, holds, spent));
  }

  // The group `p`'s one membership in force in k leads to, among groups
  // with entries above; none if `p` holds entries itself or has no such
  // membership or several.
  std::uint32_t single_up(std::uint32_t p, Iteration k) {
    return principals_[p].has_entries ? kNone : only_up(p, k);
  }

  // The group `p`'s one membership in force in k leads to, among groups
  // with entries above; none if it has no such membership or several.
  std::uint32_t only_up(std::uint32_t p, Iteration k) {
    std::uint32_t only = kNone;
    bool several = false;
    each_listed(principals_[p].up, &Membership::in_up, [&](const Membership& m) {
      if (several || !principals_[m.group].entries_above || !edge_live(m, k)) return;
      if (only != kNone && only != m.group) several = true;
      only = m.group;
    });
    return several ? kNone : only;
  }

  // The principal whose holders above are `p`'s in iteration k: itself,
  // or the first one up a line of principals that hold no entries, each
  // in force as a member of one group only. Each principal is walked once
  // in an iteration until a membership changes, and a user in a group of
  // its own below a long chain of groups finds the chain's walk shared;
  // kept for each iteration, so that a question asked after the fixed
  // point, answered in each iteration in turn, finds its walks there.
  std::uint32_t through(std::uint32_t p, Iteration k) {
    auto& known = reach_in(k).through_at;
    std::vector<std::uint32_t>& walked = through_walk_;
    walked.clear();
    std::uint32_t at = p;
    for (;;) {
      step(1);
      if (const auto it = known.find(at); it != known.end()) {
        // Known, or on this walk: a line that closes on itself ends where
        // it closes, which reaches all of it.
        if (it->second != kNone) at = it->second;
        break;
      }
      known.emplace(at, kNone);
      walked.push_back(at);
      const std::uint32_t up = single_up(at, k);
      if (up == kNone) break;
      at = up;
    }
    for (const std::uint32_t w : walked) known[w] = at;
    return at;
  }

  // A membership's item changed: walks over memberships are out of date.
  void memberships_moved(std::uint32_t item) {
    if (items_[item].pass == Pass::Members) ++member_epoch_;
  }

  // Each principal of `from` and every principal below them through
  // memberships in force in k (with `asking_only`, only those with a
  // principal below them that asks), each once: changes at many groups of
  // one chain walk it once.
  void below(std::span<const std::uint32_t> from, Iteration k, bool asking_only, std::vector<std::uint32_t>& out) {
    ++stamp_;
    std::vector<std::uint32_t> stack;
    for (const std::uint32_t p : from) {
      if (seen_[p] == stamp_) continue;
      seen_[p] = stamp_;
      stack.push_back(p);
    }
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      out.push_back(p);
      each_listed(principals_[p].down, &Membership::in_down, [&](const Membership& m) {
        if (seen_[m.member] == stamp_ || (asking_only && !principals_[m.member].asks_below)) return;
        if (!edge_live(m, k)) return;
        seen_[m.member] = stamp_;
        stack.push_back(m.member);
      });
    }
  }

  // ---- Focus ---------------------------------------------------------------

  enum class Need : std::uint8_t { Item, Root, Entries, Question };

  // Puts one thing in focus and, with a stack rather than recursion (chains
  // of groups can be long), everything its value reads: an item, its
  // candidates' inputs; a root flag, the root grants to the principal and
  // the memberships and flags above it; a principal's entries, its own
  // and those above it, with the grants that give them; a question, its
  // asker's root flag and entries. Each is put in focus once.
  void need(Need kind, std::uint32_t index) {
    std::vector<std::pair<Need, std::uint32_t>> stack{{kind, index}};
    const auto exists = [&](std::uint32_t p) {
      if (principals_[p].item != kNone) stack.emplace_back(Need::Item, principals_[p].item);
    };
    while (!stack.empty()) {
      const auto [what, i] = stack.back();
      stack.pop_back();
      step(1);
      switch (what) {
        case Need::Item: {
          if (need_item_[i]) break;
          need_item_[i] = true;
          const Item& item = items_[i];
          for (std::uint32_t c = item.first; c < item.last; ++c) {
            step(1);
            const Candidate& cand = cands_[c];
            std::visit(
                [&](const auto& b) {
                  using B = std::decay_t<decltype(b)>;
                  if constexpr (std::is_same_v<B, UserRecordV1> || std::is_same_v<B, GroupRecordV1> ||
                                std::is_same_v<B, GroupMemberDeletedRecordV1>) {
                    stack.emplace_back(Need::Root, cand.signer);
                  } else if constexpr (std::is_same_v<B, GroupMemberRecordV1>) {
                    stack.emplace_back(Need::Root, cand.signer);
                    exists(cand.group);
                    exists(cand.named);
                  } else if constexpr (std::is_same_v<B, GrantRecordV1>) {
                    exists(cand.named);
                    stack.emplace_back(Need::Question, cand.question);
                  }
                },
                cand.record->body());
          }
          break;
        }
        case Need::Root:
          if (need_root_[i]) break;
          need_root_[i] = true;
          for (const std::uint32_t item : giving_root_[i]) stack.emplace_back(Need::Item, item);
          for (const std::uint32_t m : principals_[i].up_all) {
            stack.emplace_back(Need::Item, memberships_[m].item);
            stack.emplace_back(Need::Root, memberships_[m].group);
          }
          break;
        case Need::Entries:
          if (need_entries_[i]) break;
          need_entries_[i] = true;
          if (i < held_.size()) {  // principals named later hold nothing
            for (const std::uint32_t g : held_[i]) {
              for (const std::uint32_t item : giving_entry_[g]) stack.emplace_back(Need::Item, item);
            }
          }
          for (const std::uint32_t m : principals_[i].up_all) {
            if (!principals_[memberships_[m].group].entries_above) continue;
            stack.emplace_back(Need::Item, memberships_[m].item);
            stack.emplace_back(Need::Entries, memberships_[m].group);
          }
          break;
        case Need::Question:
          if (need_question_[i]) break;
          need_question_[i] = true;
          stack.emplace_back(Need::Root, questions_[i].asker);
          stack.emplace_back(Need::Entries, questions_[i].asker);
          break;
      }
    }
  }

  // ---- Runs ----------------------------------------------------------------

  // The items one iteration evaluates, by pass, each with the candidates
  // whose inputs changed, or in full.
  struct Dirty {
    std::array<std::vector<std::uint32_t>, kPasses> items;
    std::vector<std::vector<std::uint32_t>> changed;  // by item
    std::vector<std::uint32_t> stamp;                 // by item: the fill it was last marked in
    std::vector<bool> whole;                          // by item
    std::uint32_t fill = 0;

    void begin(std::size_t item_count) {
      ++fill;
      for (auto& list : items) list.clear();
      changed.resize(item_count);
      stamp.resize(item_count, 0);
      whole.resize(item_count, false);
    }
    void add(const std::vector<Item>& all, std::uint32_t item) {
      if (stamp[item] == fill) return;
      stamp[item] = fill;
      changed[item].clear();
      whole[item] = false;
      items[static_cast<std::size_t>(all[item].pass)].push_back(item);
    }
  };

  void mark(std::uint32_t candidate, Dirty& into) {
    const std::uint32_t item = cands_[candidate].item;
    if (focused_ && !need_item_[item]) {
      exact_ = false;
      return;
    }
    into.add(items_, item);
    into.changed[item].push_back(candidate);
  }
  void mark_whole(std::uint32_t item, Dirty& into) {
    into.add(items_, item);
    into.whole[item] = true;
  }

  struct Change {
    std::uint32_t item;
    ItemValue before;
    ItemValue now;
  };

  void run(bool restore) {
    restore_ = restore;
    seen_.resize(principals_.size(), 0);
    question_mark_.resize(questions_.size(), 0);
    Dirty* now = &dirty_[0];
    Dirty* next = &dirty_[1];
    now->begin(items_.size());
    for (Iteration k = 1;; ++k) {
      for (const std::uint32_t candidate : always_) mark(candidate, *now);
      if (k == 1) {
        for (const std::uint32_t item : first_) mark_whole(item, *now);
      }
      changes_.clear();
      for (std::size_t pass = 0; pass < kPasses; ++pass) {
        for (std::size_t i = 0; i < now->items[pass].size() && !stop_.stopped(); ++i) {
          const std::uint32_t id = now->items[pass][i];
          Item& item = items_[id];
          const ItemValue value = evaluate(item, k, now->whole[id] ? nullptr : &now->changed[id]);
          item.top.set(k, found_top_, restore, on_point_of(Handle{Handle::Top, id}));
          const ItemValue before = item.value.at(k);
          if (value == before) continue;
          item.value.set(k, value, restore, on_point_of(Handle{Handle::Item, id}));
          refresh_memberships(id);
          memberships_moved(id);
          touch(Handle{Handle::Item, id});
          changes_.push_back(Change{id, before, value});
          // A user or group coming or going: what names it is judged again
          // in this iteration's later passes.
          const bool was_live = before.kind == ItemValue::Kind::Live;
          if (item.principal != kNone && was_live != (value.kind == ItemValue::Kind::Live)) {
            for (const std::uint32_t dependent : principals_[item.principal].existence_dependents) {
              mark(dependent, *now);
            }
          }
        }
      }
      next->begin(items_.size());
      authority(k, restore, *next);
      std::swap(now, next);
      if (stop_.stopped()) {
        // What is there is meaningless: the caller discards it.
        final_ = k;
        blocked_ = true;
        return;
      }
      if (k >= 2 && change_count_[k] == 0) {
        final_ = k;
        blocked_ = false;
        truncate_after(k);
        return;
      }
      if (k == kLastIteration) {
        final_ = k;
        blocked_ = true;
        return;
      }
    }
  }

  // Carries iteration k's changed items into its root flags and answers,
  // and marks the items whose inputs they change for iteration k + 1.
  void authority(Iteration k, bool restore, Dirty& next) {
    std::map<std::uint32_t, std::int64_t> entry_delta;
    std::map<std::uint32_t, std::int64_t> root_delta;
    struct EdgeChange {
      std::uint32_t group;
      std::uint32_t member;
    };
    std::vector<EdgeChange> edges;
    const auto contribute = [&](const ItemValue& v, std::int64_t d) {
      if (v.kind != ItemValue::Kind::Live) return;
      if (v.winner->entry != kNone) entry_delta[v.winner->entry] += d;
      if (v.winner->root_grant) root_delta[v.winner->named] += d;
    };
    for (const Change& c : changes_) {
      const Item& item = items_[c.item];
      if (item.pass == Pass::Grants) {
        contribute(c.before, -1);
        contribute(c.now, 1);
      } else if (item.pass == Pass::Members) {
        for (const ItemValue* v : {&c.before, &c.now}) {
          if (v->kind == ItemValue::Kind::Live) edges.push_back(EdgeChange{v->winner->group, v->winner->named});
        }
      }
    }
    // The counts of grants in force giving each entry or root flag; those
    // that came or went (a count to or from zero).
    const auto apply = [&](const std::map<std::uint32_t, std::int64_t>& deltas, auto&& count_of, Handle::Kind kind) {
      std::vector<std::uint32_t> moved;
      for (const auto& [i, d] : deltas) {
        if (d == 0) continue;
        Timeline<std::uint32_t>& count = count_of(i);
        const std::uint32_t before = count.at(k);
        const auto now = static_cast<std::uint32_t>(static_cast<std::int64_t>(before) + d);
        count.set(k, now, restore, on_point_of(Handle{kind, i}));
        if (kind == Handle::Entry) {
          ++entry_epoch_;
          refresh_filing(i);
        }
        if ((before > 0) != (now > 0)) moved.push_back(i);
      }
      return moved;
    };
    const std::vector<std::uint32_t> entries_changed = apply(
        entry_delta, [&](std::uint32_t g) -> Timeline<std::uint32_t>& { return entry_groups_[g].count; }, Handle::Entry);
    const std::vector<std::uint32_t> root_sources = apply(
        root_delta, [&](std::uint32_t p) -> Timeline<std::uint32_t>& { return principals_[p].root_grants; },
        Handle::RootGrants);

    // Root flags: of everything below a root grant that came or went, or
    // below a membership that came or went under a group that could pass
    // the flag on; each recomputed over that part alone.
    std::vector<std::uint32_t> sources = root_sources;
    for (const EdgeChange& e : edges) {
      if (principals_[e.group].root_above) sources.push_back(e.member);
    }
    std::vector<std::uint32_t> reach;
    if (!sources.empty()) below(sources, k, false, reach);
    std::vector<std::uint32_t> roots_changed = recompute_roots(reach, k, restore);

    // Answers: every question of a principal whose root flag changed, of
    // everything below a membership that came or went under a group that
    // could pass entries on, and each question an entry that came or went
    // answers of its holder and everything below it.
    file_questions();
    const std::uint32_t qstamp = ++question_stamp_;
    question_mark_.resize(questions_.size(), 0);
    std::vector<std::uint32_t> to_answer;
    const auto ask = [&](std::uint32_t q) {
      if (question_mark_[q] == qstamp) return;
      if (focused_ && !need_question_[q]) {
        exact_ = false;
        return;
      }
      question_mark_[q] = qstamp;
      to_answer.push_back(q);
    };
    const auto ask_all_of = [&](std::uint32_t p) {
      if (const auto& asked = principals_[p].asked) {
        for (const std::uint32_t q : asked->questions) ask(q);
      }
    };
    for (const std::uint32_t p : roots_changed) ask_all_of(p);
    std::vector<std::uint32_t> askers;
    sources.clear();
    for (const EdgeChange& e : edges) {
      if (principals_[e.group].entries_above && principals_[e.member].asks_below) sources.push_back(e.member);
    }
    if (!sources.empty()) below(sources, k, true, askers);
    for (const std::uint32_t p : askers) ask_all_of(p);
    // Entries by holder: one walk below each holder for all of its entries,
    // asking what each could answer. Where holders lie below one another
    // (a chain of them) those walks cross the same principals again and
    // again: once they have cost as much as asking every question below
    // every such holder, each of those is asked instead, answered through
    // the lines of holders.
    std::vector<std::uint32_t> by_holder = entries_changed;
    std::stable_sort(by_holder.begin(), by_holder.end(), [&](std::uint32_t a, std::uint32_t b) {
      return entry_groups_[a].holder < entry_groups_[b].holder;
    });
    std::vector<std::uint32_t> holders;
    for (const std::uint32_t g : by_holder) {
      const std::uint32_t h = entry_groups_[g].holder;
      if (principals_[h].asks_below && (holders.empty() || holders.back() != h)) holders.push_back(h);
    }
    std::vector<std::uint32_t> everyone;
    std::uint64_t budget = 0;
    if (holders.size() > 1) {
      below(holders, k, true, everyone);
      budget = everyone.size();
      for (const std::uint32_t p : everyone) {
        if (const auto& asked = principals_[p].asked) budget += asked->questions.size();
      }
      step(everyone.size());
    }
    std::uint64_t spent = 0;
    std::uint32_t walked = kNone;
    for (const std::uint32_t g : by_holder) {
      if (stop_.stopped()) return;
      if (!everyone.empty() && spent > budget) {
        for (const std::uint32_t p : everyone) ask_all_of(p);
        break;
      }
      const EntryGroup& group = entry_groups_[g];
      if (!principals_[group.holder].asks_below) continue;
      if (group.holder != walked) {
        walked = group.holder;
        askers.clear();
        below(std::span(&group.holder, 1), k, true, askers);
        spent += askers.size();
      }
      for (const std::uint32_t p : askers) {
        const auto& asked = principals_[p].asked;
        if (!asked) continue;
        ++spent;
        asked->answerable(group.entry->selector, group.path, [&](std::uint32_t q) {
          ++spent;
          if (question_mark_[q] == qstamp) return;
          const auto what = asked_of_entries(*questions_[q].permission);
          const unsigned carried = grant_class_bits(group.entry->grantable);
          if (what && (what->first & carried) == what->first &&
              sorted_selector_subsumes(group.entry->selector, *what->second)) {
            ask(q);
          }
        });
      }
    }
    // By asker, so that each one's groups are walked once.
    std::stable_sort(to_answer.begin(), to_answer.end(),
                     [&](std::uint32_t a, std::uint32_t b) { return questions_[a].asker < questions_[b].asker; });
    for (const std::uint32_t q : to_answer) {
      if (stop_.stopped()) return;
      Question& question = questions_[q];
      const bool answer = evaluate_answer(q, k);
      if (!question.answer.set(k, answer, restore, on_point_of(Handle{Handle::Answer, q}))) continue;
      touch(Handle{Handle::Answer, q});
      for (std::uint32_t c = question.candidate; c != kNone; c = cands_[c].next_asking) mark(c, next);
    }
    for (const std::uint32_t p : roots_changed) {
      for (const std::uint32_t candidate : principals_[p].root_dependents) mark(candidate, next);
    }
  }

  // The root flags in iteration k of the principals in `reach` (and of
  // nothing else: everything above them keeps its flag), from the root
  // grants in force and the memberships in force; those that changed.
  std::vector<std::uint32_t> recompute_roots(std::vector<std::uint32_t>& reach, Iteration k, bool restore) {
    std::vector<std::uint32_t> changed;
    if (focused_) {
      // Every group above a principal in focus is in focus too.
      const auto out = std::remove_if(reach.begin(), reach.end(), [&](std::uint32_t p) { return !need_root_[p]; });
      if (out != reach.end()) exact_ = false;
      reach.erase(out, reach.end());
    }
    if (reach.empty()) return changed;
    std::sort(reach.begin(), reach.end());
    reach.erase(std::unique(reach.begin(), reach.end()), reach.end());
    const std::uint32_t stamp = ++stamp_;
    for (const std::uint32_t p : reach) seen_[p] = stamp;  // in reach, not yet known to be root
    const std::uint32_t rooted = ++stamp_;
    std::vector<std::uint32_t> stack;
    for (const std::uint32_t p : reach) {
      step();
      Principal& at = principals_[p];
      bool root = p == root_principal_ || at.root_grants.at(k) > 0;
      if (!root) {
        each_listed(at.up, &Membership::in_up, [&](const Membership& m) {
          root = root || (seen_[m.group] != stamp && seen_[m.group] != rooted && principals_[m.group].root.at(k) &&
                          edge_live(m, k));
        });
      }
      if (root) {
        seen_[p] = rooted;
        stack.push_back(p);
      }
    }
    while (!stack.empty()) {
      const std::uint32_t p = stack.back();
      stack.pop_back();
      each_listed(principals_[p].down, &Membership::in_down, [&](const Membership& m) {
        if (seen_[m.member] != stamp || !edge_live(m, k)) return;
        seen_[m.member] = rooted;
        stack.push_back(m.member);
      });
    }
    for (const std::uint32_t p : reach) {
      Principal& at = principals_[p];
      if (at.root.set(k, seen_[p] == rooted, restore, on_point_of(Handle{Handle::Root, p}))) {
        touch(Handle{Handle::Root, p});
        changed.push_back(p);
      }
    }
    return changed;
  }

  const Prepared& prepared_;
  PathNodes paths_;  // before the principals: their questions' indexes order by it
  std::vector<std::uint32_t> unfiled_;  // questions not yet filed by path
  UserRecordV1 root_;
  UserId root_id_;
  std::uint32_t root_principal_ = 0;

  std::vector<Item> items_;
  std::vector<Membership> memberships_;
  MatcherCounts entry_counts_;  // of every entry group's matchers, to file each under its rarest
  std::vector<Candidate> cands_;  // every item's, grouped by item
  std::array<std::uint8_t, 32> contest_key_;
  std::vector<Contest> contests_;
  std::vector<Contender> contenders_;
  std::vector<Timeline<std::uint32_t>> class_counts_;  // by contest body
  bool restore_ = false;  // whether this run's changes are to one iteration only
  std::uint64_t found_top_ = kNoTop;  // the counter the last evaluation decided at
  std::array<AnswerReach, kLastIteration + 1> reaches_{};
  std::uint64_t entry_epoch_ = 0;  // entries' counts or filings changed
  // The focus, once there is one: what is kept up to date, and what reads
  // it, found once.
  bool focused_ = false;
  bool exact_ = true;
  std::vector<bool> need_item_;
  std::vector<bool> need_root_;
  std::vector<bool> need_entries_;
  std::vector<bool> need_question_;
  std::vector<std::vector<std::uint32_t>> giving_entry_;  // by entry group: items whose grants give it
  std::vector<std::vector<std::uint32_t>> giving_root_;   // by principal: items whose grants give it the root flag
  std::vector<std::vector<std::uint32_t>> held_;          // by principal: the entry groups it holds
  std::uint64_t member_epoch_ = 0;
  std::vector<std::uint32_t> through_walk_;
  std::vector<std::pair<const GrantId*, std::uint32_t>> grant_items_;  // ascending as the items were grouped
  std::vector<Principal> principals_;
  std::map<PrincipalRefV1, std::uint32_t> principal_ids_;
  std::vector<Question> questions_;
  std::map<QuestionKey, std::uint32_t, QuestionKeyLess> question_ids_;
  std::deque<EntryGroup> entry_groups_;  // stable: the tries point at them
  std::map<EntryKey, std::uint32_t, EntryKeyLess> entry_ids_;
  std::multimap<HashValue, std::uint32_t> deletion_index_;  // deletion candidates

  std::array<std::int64_t, kLastIteration + 2> change_count_{};
  std::array<std::vector<Handle>, kLastIteration + 2> registry_{};
  Iteration final_ = 0;
  bool blocked_ = false;

  std::vector<std::uint32_t> always_;  // candidates whose input changed in every iteration of this run
  std::vector<std::uint32_t> first_;   // items evaluated in full in its first iteration
  std::vector<Change> changes_;
  std::array<Dirty, 2> dirty_;
  std::vector<std::uint32_t> seen_;
  std::uint32_t stamp_ = 0;
  std::vector<std::uint32_t> question_mark_;
  std::uint32_t question_stamp_ = 0;

  WorkStopPoll stop_;

  Sequence::Touched touched_;
  std::set<std::uint32_t> touched_item_;
  std::set<std::uint32_t> touched_root_;
  std::set<std::uint32_t> touched_question_;
};

Sequence::Sequence(const Prepared& prepared, const UserRecordV1& root)
    : impl_(std::make_unique<Impl>(prepared, root)) {}
Sequence::~Sequence() = default;

void Sequence::compute(std::span<const VerifiedRecord* const> deletions) { impl_->compute(deletions); }
void Sequence::admit(const VerifiedRecord& deletion) { impl_->admit(deletion.hash); }
bool Sequence::blocked() const { return impl_->blocked(); }
bool Sequence::stopped() const { return impl_->stopped(); }
SelectedAuthorizedRecords Sequence::selection() const { return impl_->selection(); }
std::uint32_t Sequence::principal(const UserId& user) { return impl_->principal(user); }
std::uint32_t Sequence::grant_item(const GrantId& id) const { return impl_->grant_item(id); }
void Sequence::focus(std::span<const std::uint32_t> askers, std::span<const std::uint32_t> rooted,
                     std::span<const std::uint32_t> items) {
  impl_->focus(askers, rooted, items);
}
bool Sequence::exact() const { return impl_->exact(); }
std::uint32_t Sequence::question(std::uint32_t asker, const GrantPermissionV1& permission) {
  return impl_->question(asker, permission);
}
bool Sequence::answer(std::uint32_t question) const { return impl_->answer(question); }
bool Sequence::is_root(std::uint32_t principal) const { return impl_->is_root(principal); }
const GrantRecordV1* Sequence::grant(std::uint32_t item) const { return impl_->grant(item); }
const Sequence::Touched& Sequence::touched() const { return impl_->touched(); }

std::uint64_t sequence_work() noexcept { return work_done(); }

}  // namespace vornex::core::validate::detail
