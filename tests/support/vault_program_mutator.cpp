#include "vault_program_mutator.hpp"

#include <algorithm>
#include <array>
#include <span>
#include <utility>

#include "vault_program.hpp"
#include "vault_program_writer.hpp"

namespace vornex::test {

namespace {

using namespace program;

// The largest counts the language writes.
constexpr std::size_t kMaxRepeat = 32768;
constexpr std::size_t kMaxList = 65535;
constexpr std::array<std::size_t, 4> kFactors = {2, 3, 4, 8};
// Matchers a selector holds, at most (the count byte is taken modulo 8).
constexpr std::size_t kMaxMatchers = 7;
constexpr std::size_t kMaxShallowPath = 5;
// Depths a deep path is given: deep enough to pass 64 segments.
constexpr std::array<std::uint16_t, 4> kDepths = {8, 64, 100, 300};

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
  bool coin() { return (next() & 1) != 0; }
  template <class T, std::size_t N>
  T pick(const std::array<T, N>& items) {
    return items[below(N)];
  }

 private:
  std::uint64_t state_;
};

// Replacements of byte ranges, applied last first so that earlier offsets
// stay where the map put them.
struct Splice {
  std::uint32_t begin;
  std::uint32_t end;
  Code bytes;
};

bool apply(Code& program, std::vector<Splice> splices, std::size_t max_size) {
  if (splices.empty()) return false;
  std::ranges::sort(splices, {}, &Splice::begin);
  std::ptrdiff_t growth = 0;
  for (const Splice& s : splices) growth += static_cast<std::ptrdiff_t>(s.bytes.size()) - (s.end - s.begin);
  if (static_cast<std::ptrdiff_t>(program.size()) + growth > static_cast<std::ptrdiff_t>(max_size)) return false;
  for (auto it = splices.rbegin(); it != splices.rend(); ++it) {
    program.erase(program.begin() + it->begin, program.begin() + it->end);
    program.insert(program.begin() + it->begin, it->bytes.begin(), it->bytes.end());
  }
  return true;
}

std::vector<const ProgramSite*> of_kind(const std::vector<ProgramSite>& sites,
                                        std::initializer_list<ProgramSiteKind> kinds) {
  std::vector<const ProgramSite*> out;
  for (const ProgramSite& s : sites) {
    if (std::ranges::find(kinds, s.kind) != kinds.end() && s.end > s.begin) out.push_back(&s);
  }
  return out;
}

// A count as the program holds it, and back.
std::size_t read_count(const Code& p, const ProgramSite& s) {
  if (s.kind == ProgramSiteKind::RepeatCount) {
    const std::uint8_t first = p[s.begin];
    if (first < 0x80) return std::size_t{first} + 1;
    const std::uint8_t second = s.end > s.begin + 1 ? p[s.begin + 1] : 0;
    return ((std::size_t{first} & 0x7f) << 8 | second) + 1;
  }
  const std::uint8_t second = s.end > s.begin + 1 ? p[s.begin + 1] : 0;
  return std::size_t{p[s.begin]} | std::size_t{second} << 8;
}

Code write_count(const ProgramSite& s, std::size_t n) {
  if (s.kind == ProgramSiteKind::RepeatCount) {
    n = std::clamp<std::size_t>(n, 1, kMaxRepeat) - 1;
    if (n < 0x80) return {static_cast<std::uint8_t>(n)};
    return {static_cast<std::uint8_t>(0x80 | (n >> 8)), static_cast<std::uint8_t>(n & 0xff)};
  }
  return u16(static_cast<std::uint16_t>(std::min(n, kMaxList)));
}

std::size_t scaled(std::size_t n, std::size_t factor, bool down) {
  if (down) return std::max<std::size_t>(1, n / factor);
  // A count of 0 or 1 scales as if it were 2: a repeat of one is often
  // the place a shape's size was left out.
  return std::max<std::size_t>(n, 2) * factor;
}

const std::array<Word, 8> kKeys = {Word::A, Word::B, Word::Z, Word::L, Word::A0, Word::K, Word::Env, Word::Empty};
const std::array<Suffix, 5> kPrivate = {Suffix::T, Suffix::R, Suffix::Down, Suffix::PaddedT, Suffix::Half};

Code random_text(Rng& rng) {
  return text(static_cast<Word>(rng.below(kProgramWords.size())), rng.coin() ? Suffix::None : rng.pick(kPrivate));
}

// A matcher over `key`: a value everyone shares, one of each repeat's own,
// or both (the In list a member uses to give each entry a key of its own
// while all of them match one value).
Code random_matcher(Rng& rng, Code key) {
  switch (rng.below(7)) {
    case 0: return equals(std::move(key), text(Word::One));
    case 1: return equals(std::move(key), text(Word::V, rng.pick(kPrivate)));
    case 2: return in(std::move(key), {text(Word::One), text(Word::V, rng.pick(kPrivate))});
    case 3: return in(std::move(key), {text(Word::One)}, Word::V, static_cast<std::uint16_t>(rng.below(64)));
    case 4: return absent(std::move(key));
    case 5: return absent(text(Word::B, rng.pick(kPrivate)));
    default: return present(std::move(key));
  }
}

Code random_key(Rng& rng) { return text(rng.pick(kKeys), rng.below(4) == 0 ? rng.pick(kPrivate) : Suffix::None); }

class Mutation {
 public:
  Mutation(Code& program, std::size_t max_size, std::uint64_t seed)
      : p_(program), max_(max_size), rng_(seed), sites_(map_vault_program(program)) {}

  ProgramEdit run() {
    // Scaling comes first and most often: it is what turns a shape of a
    // few hundred records into one whose cost shows.
    static constexpr std::array<ProgramEdit, 16> kDraws = {
        ProgramEdit::ScaleAll, ProgramEdit::ScaleAll, ProgramEdit::ScaleOne,   ProgramEdit::ScaleOne,
        ProgramEdit::Text,     ProgramEdit::Text,     ProgramEdit::Num,        ProgramEdit::Matcher,
        ProgramEdit::Matcher,  ProgramEdit::Labels,   ProgramEdit::Labels,     ProgramEdit::AddMatcher,
        ProgramEdit::Path,     ProgramEdit::CopyOp,   ProgramEdit::DropOp,     ProgramEdit::Revoke};
    const ProgramEdit edit = rng_.pick(kDraws);
    return done(edit, splices(edit));
  }

 private:
  ProgramEdit done(ProgramEdit edit, std::vector<Splice> s) {
    return apply(p_, std::move(s), max_) ? edit : ProgramEdit::None;
  }

  const ProgramSite* any_of(std::initializer_list<ProgramSiteKind> kinds) {
    const auto found = of_kind(sites_, kinds);
    return found.empty() ? nullptr : found[rng_.below(found.size())];
  }

  // The first site of `kind` inside `outer` one level down.
  const ProgramSite* inside(const ProgramSite& outer, ProgramSiteKind kind, std::size_t nth = 0) {
    for (const ProgramSite& s : sites_) {
      if (s.begin < outer.begin || s.end > outer.end || s.depth != outer.depth + 1 || s.kind != kind) continue;
      if (nth-- == 0) return &s;
    }
    return nullptr;
  }

  Code bytes(const ProgramSite& s) const { return Code(p_.begin() + s.begin, p_.begin() + s.end); }

  std::vector<Splice> splices(ProgramEdit edit) {
    switch (edit) {
      case ProgramEdit::ScaleAll: return scale_all();
      case ProgramEdit::ScaleOne: return scale_one();
      case ProgramEdit::Text: return retext();
      case ProgramEdit::Num: return renum();
      case ProgramEdit::Matcher: return rematch();
      case ProgramEdit::Labels: return relabel();
      case ProgramEdit::AddMatcher: return add_matcher();
      case ProgramEdit::Path: return repath();
      case ProgramEdit::CopyOp: return copy_op();
      case ProgramEdit::DropOp: return drop_op();
      case ProgramEdit::Revoke: return revoke();
      case ProgramEdit::None: break;
    }
    return {};
  }

  std::vector<Splice> scale_all() {
    const std::size_t factor = rng_.pick(kFactors);
    const bool down = rng_.below(4) == 0;
    std::vector<Splice> out;
    for (const ProgramSite* s : of_kind(sites_, {ProgramSiteKind::RepeatCount, ProgramSiteKind::ListCount,
                                                 ProgramSiteKind::KeyCount})) {
      const std::size_t n = read_count(p_, *s);
      // Lists left empty stay empty: their numbered values were not asked for.
      if (s->kind != ProgramSiteKind::RepeatCount && n == 0) continue;
      out.push_back({s->begin, s->end, write_count(*s, scaled(n, factor, down))});
    }
    return out;
  }

  std::vector<Splice> scale_one() {
    const ProgramSite* s =
        any_of({ProgramSiteKind::RepeatCount, ProgramSiteKind::ListCount, ProgramSiteKind::KeyCount});
    if (s == nullptr) return {};
    const std::size_t n = read_count(p_, *s);
    const std::size_t to = rng_.below(4) == 0 ? 1 + rng_.below(2048) : scaled(n, rng_.pick(kFactors), rng_.coin());
    return {{s->begin, s->end, write_count(*s, to)}};
  }

  // Shared (no suffix) or private (an index), or another word.
  std::vector<Splice> retext() {
    const ProgramSite* s = any_of({ProgramSiteKind::Text});
    if (s == nullptr) return {};
    const std::uint8_t old = p_[s->begin];
    const auto word = static_cast<Word>(old & 0x1f);
    Code to;
    switch (rng_.below(3)) {
      case 0: to = text(word, Suffix::None); break;
      case 1: to = text(word, rng_.pick(kPrivate)); break;
      default: to = random_text(rng_); break;
    }
    return {{s->begin, s->end, to}};
  }

  std::vector<Splice> renum() {
    const ProgramSite* s = any_of({ProgramSiteKind::Num});
    if (s == nullptr) return {};
    const auto ix = static_cast<Ix>(rng_.below(8));
    // Small numbers, counters past the others, and the numbered users.
    static constexpr std::array<std::uint16_t, 8> kBases = {0, 1, 2, 3, 4, 100, 1000, kNumberedUserBase};
    return {{s->begin, s->end, num(rng_.pick(kBases), ix)}};
  }

  Code key_of(const ProgramSite& matcher) {
    if (const ProgramSite* key = inside(matcher, ProgramSiteKind::Text)) {
      if (rng_.below(4) != 0) return bytes(*key);
    }
    return random_key(rng_);
  }

  std::vector<Splice> rematch() {
    const ProgramSite* s = any_of({ProgramSiteKind::Matcher});
    if (s == nullptr) return add_matcher();
    if (rng_.coin()) {
      if (auto reshaped = reshare(*s); !reshaped.empty()) return {{s->begin, s->end, std::move(reshaped)}};
    }
    if (rng_.below(4) == 0) {
      // Another selector's matcher as it is: two selectors that meet.
      const ProgramSite* other = any_of({ProgramSiteKind::Matcher});
      if (other != nullptr && other != s) return {{s->begin, s->end, bytes(*other)}};
    }
    return {{s->begin, s->end, random_matcher(rng_, key_of(*s))}};
  }

  // The matcher with its values made shared or private, keeping them: an
  // In list cut to its first value (what every repeat shares) or to that
  // value as Equals; an Equals widened to In [its value, v<index>]. Empty
  // when the matcher is of neither kind.
  Code reshare(const ProgramSite& matcher) {
    const std::uint8_t kind = p_[matcher.begin];
    if ((kind & 4) != 0) return {};
    const ProgramSite* key = inside(matcher, ProgramSiteKind::Text, 0);
    const ProgramSite* first = inside(matcher, ProgramSiteKind::Text, 1);
    if (key == nullptr || first == nullptr) return {};
    if ((kind & 3) == 1) return in(bytes(*key), {bytes(*first), text(Word::V, rng_.pick(kPrivate))});
    if ((kind & 3) != 2) return {};
    // An In list's count byte lies between the key and its first text; a
    // list of no texts has only the word of its numbered values.
    if (p_[key->end] % 4 == 0) return {};
    if (rng_.coin()) return equals(bytes(*key), bytes(*first));
    return in(bytes(*key), {bytes(*first)});
  }

  // A whole selector's values made shared or private at once, and maybe
  // one of its keys asked to be absent: entries that all meet a question
  // on the shared value and then fail it on the absent key.
  std::vector<Splice> relabel() {
    const ProgramSite* labels_site = any_of({ProgramSiteKind::Labels});
    if (labels_site == nullptr) return {};
    std::vector<const ProgramSite*> matchers;
    for (const ProgramSite& s : sites_) {
      if (s.kind == ProgramSiteKind::Matcher && s.depth == labels_site->depth + 1 && s.begin >= labels_site->begin &&
          s.end <= labels_site->end) {
        matchers.push_back(&s);
      }
    }
    if (matchers.empty()) return {};
    const std::size_t absent_at = rng_.coin() ? rng_.below(matchers.size()) : matchers.size();
    std::vector<Splice> out;
    for (std::size_t i = 0; i < matchers.size(); ++i) {
      const ProgramSite& m = *matchers[i];
      if (i == absent_at) {
        if (const ProgramSite* key = inside(m, ProgramSiteKind::Text, 0); key != nullptr && (p_[m.begin] & 4) == 0) {
          out.push_back({m.begin, m.end, absent(bytes(*key))});
        }
        continue;
      }
      if (rng_.coin()) continue;
      if (Code reshaped = reshare(m); !reshaped.empty()) out.push_back({m.begin, m.end, std::move(reshaped)});
    }
    return out;
  }

  std::vector<Splice> add_matcher() {
    const ProgramSite* s = any_of({ProgramSiteKind::Labels});
    if (s == nullptr) return {};
    const std::size_t count = p_[s->begin] % (kMaxMatchers + 1);
    if (count >= kMaxMatchers) return {};
    return {{s->begin, static_cast<std::uint32_t>(s->begin + 1), {static_cast<std::uint8_t>(count + 1)}},
            {s->end, s->end, random_matcher(rng_, random_key(rng_))}};
  }

  std::vector<Splice> repath() {
    const ProgramSite* s = any_of({ProgramSiteKind::Path});
    if (s == nullptr) return {};
    const std::uint8_t head = p_[s->begin];
    if ((head & 0xF0) == 0xC0) {
      // A deep path: another depth, or a depth that follows the repeat.
      const ProgramSite* depth = inside(*s, ProgramSiteKind::Num);
      if (depth == nullptr) return {};
      const Code to = rng_.coin() ? num(rng_.pick(kDepths)) : num(static_cast<std::uint16_t>(rng_.below(4)), Ix::T);
      return {{depth->begin, depth->end, to}};
    }
    const std::size_t segments = head % (kMaxShallowPath + 1);
    Code texts(p_.begin() + s->begin + 1, p_.begin() + s->end);
    switch (rng_.below(3)) {
      case 0: {
        // Deep: these segments, then a filler many times, then maybe one
        // of each repeat's own.
        const bool tail = rng_.coin();
        Code out{static_cast<std::uint8_t>(0xC0 | segments | (tail ? 8 : 0))};
        out.insert(out.end(), texts.begin(), texts.end());
        const Code depth = rng_.coin() ? num(rng_.pick(kDepths)) : num(1, Ix::T);
        out.insert(out.end(), depth.begin(), depth.end());
        out.push_back(text(rng_.coin() ? Word::D : Word::Empty).front());
        if (tail) out.push_back(text(Word::X, rng_.pick(kPrivate)).front());
        return {{s->begin, s->end, out}};
      }
      case 1:
        if (segments >= kMaxShallowPath) return {};
        return {{s->begin, static_cast<std::uint32_t>(s->begin + 1), {static_cast<std::uint8_t>(segments + 1)}},
                {s->end, s->end, random_text(rng_)}};
      default:
        if (segments == 0 || s->end - s->begin < 2) return {};
        return {{s->begin, static_cast<std::uint32_t>(s->begin + 1), {static_cast<std::uint8_t>(segments - 1)}},
                {s->end - 1, s->end, {}}};
    }
  }

  std::vector<Splice> copy_op() {
    const ProgramSite* s = any_of({ProgramSiteKind::Instruction});
    if (s == nullptr) return {};
    return {{s->end, s->end, bytes(*s)}};
  }

  std::vector<Splice> drop_op() {
    const ProgramSite* s = any_of({ProgramSiteKind::Instruction});
    if (s == nullptr) return {};
    return {{s->begin, s->end, {}}};
  }

  // The outermost repeat around `inner`, if any.
  const ProgramSite* outermost_repeat(const ProgramSite& inner) {
    const ProgramSite* found = nullptr;
    for (const ProgramSite& s : sites_) {
      if (s.kind == ProgramSiteKind::Instruction && s.op == ProgramOp::Repeat && s.begin < inner.begin &&
          s.end >= inner.end && (found == nullptr || s.depth < found->depth)) {
        found = &s;
      }
    }
    return found;
  }

  // After a block that makes grants, their deletions by the same signer,
  // newest or oldest first, all of them or all but the first.
  std::vector<Splice> revoke() {
    std::vector<const ProgramSite*> grants;
    for (const ProgramSite* s : of_kind(sites_, {ProgramSiteKind::Instruction})) {
      if (s->op == ProgramOp::Grant) grants.push_back(s);
    }
    if (grants.empty()) return {};
    const ProgramSite& grant = *grants[rng_.below(grants.size())];
    const ProgramSite* signer = inside(grant, ProgramSiteKind::Num, 0);
    const ProgramSite* seed = inside(grant, ProgramSiteKind::Text, 0);
    const ProgramSite* permission = inside(grant, ProgramSiteKind::Permission, 0);
    if (signer == nullptr || seed == nullptr || permission == nullptr) return {};
    const ProgramSite* block = outermost_repeat(grant);
    std::size_t count = 1;
    if (block != nullptr) {
      if (const ProgramSite* c = inside(*block, ProgramSiteKind::RepeatCount)) count = read_count(p_, *c);
    }
    const bool newest_first = rng_.below(3) != 0;
    const bool keep_first = newest_first && count > 1 && rng_.coin();
    Code seed_text = bytes(*seed);
    if ((seed_text.front() >> 5) != static_cast<std::uint8_t>(Suffix::None)) {
      seed_text.front() = static_cast<std::uint8_t>((seed_text.front() & 0x1f) |
                                                    static_cast<std::uint8_t>(newest_first ? Suffix::Down : Suffix::T)
                                                        << 5);
    }
    Writer w;
    if (count > 1) w.repeat(static_cast<std::uint16_t>(keep_first ? count - 1 : count));
    w.grant_deleted(bytes(*signer), seed_text, bytes(*permission), num(2));
    const std::uint32_t at = block != nullptr ? block->end : grant.end;
    return {{at, at, w.code()}};
  }

  Code& p_;
  std::size_t max_;
  Rng rng_;
  std::vector<ProgramSite> sites_;
};

}  // namespace

ProgramEdit mutate_vault_program(ProgramCode& program, std::size_t max_size, std::uint64_t seed) {
  return Mutation(program, max_size, seed).run();
}

ProgramCode cross_vault_programs(const ProgramCode& a, const ProgramCode& b, std::size_t max_size,
                                 std::uint64_t seed) {
  Rng rng(seed);
  const auto top = [](const ProgramCode& p) {
    std::vector<std::uint32_t> cuts{0};
    for (const ProgramSite& s : map_vault_program(p)) {
      if (s.kind == ProgramSiteKind::Instruction && s.depth == 0) cuts.push_back(s.end);
    }
    return cuts;
  };
  const std::vector<std::uint32_t> in_a = top(a);
  const std::vector<std::uint32_t> in_b = top(b);
  ProgramCode out;
  const std::uint32_t cut_a = in_a[rng.below(in_a.size())];
  if (rng.coin()) {
    // A's head, b's tail.
    const std::uint32_t cut_b = in_b[rng.below(in_b.size())];
    out.assign(a.begin(), a.begin() + cut_a);
    out.insert(out.end(), b.begin() + cut_b, b.end());
  } else {
    // One of b's top-level instructions put into a.
    const std::size_t i = rng.below(in_b.size() > 1 ? in_b.size() - 1 : 1);
    const std::uint32_t from = in_b[i];
    const std::uint32_t to = in_b.size() > i + 1 ? in_b[i + 1] : static_cast<std::uint32_t>(b.size());
    out.assign(a.begin(), a.begin() + cut_a);
    out.insert(out.end(), b.begin() + from, b.begin() + to);
    out.insert(out.end(), a.begin() + cut_a, a.end());
  }
  if (out.size() > max_size) out.resize(max_size);
  return out;
}

}  // namespace vornex::test
