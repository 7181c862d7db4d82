// Writes vault programs (vault_program.hpp) by name rather than by byte,
// for the seeds of the performance fuzzer and the tests that replay them.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "vault_program.hpp"

namespace vornex::test::program {

using Code = std::vector<std::uint8_t>;

// What a num adds to its base, and what a text appends to its word.
enum class Ix : std::uint8_t { None, T, R, Down, OuterT, OuterR, K, Half };
enum class Suffix : std::uint8_t { None, T, R, Down, OuterT, PaddedT, PaddedR, Half };

// The indices of kProgramWords.
enum class Word : std::uint8_t {
  Empty, Team, B, C, X, Q, S, L, V, W, K, A, Z, E, One, A0,
  A1, A2, A3, Env, Prod, Dev, App, D, N, G, U, P, M, R, Y, O,
};

inline Code cat(std::initializer_list<Code> parts) {
  Code out;
  for (const Code& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline constexpr std::uint16_t kWide = 31;

inline Code num(std::uint16_t base, Ix ix = Ix::None) {
  const auto mode = static_cast<std::uint8_t>(ix);
  if (base < kWide) return {static_cast<std::uint8_t>(base << 3 | mode)};
  return {static_cast<std::uint8_t>(kWide << 3 | mode), static_cast<std::uint8_t>(base & 0xff),
          static_cast<std::uint8_t>(base >> 8)};
}
inline Code u16(std::uint16_t n) { return {static_cast<std::uint8_t>(n & 0xff), static_cast<std::uint8_t>(n >> 8)}; }
inline Code text(Word word, Suffix suffix = Suffix::None) {
  return {static_cast<std::uint8_t>(static_cast<std::uint8_t>(suffix) << 5 | static_cast<std::uint8_t>(word))};
}

// Users: 0 the root, 1 to 128 the builder's; numbered(n) the n-th past them.
inline Code root() { return num(0); }
inline Code numbered(std::uint16_t n, Ix ix = Ix::None) {
  return num(static_cast<std::uint16_t>(kNumberedUserBase + n), ix);
}
inline Code as_user(Code n) { return cat({{0}, std::move(n)}); }
inline Code as_group(Code n) { return cat({{1}, std::move(n)}); }

inline Code path(std::initializer_list<Code> segments) {
  Code out{static_cast<std::uint8_t>(segments.size())};
  for (const Code& s : segments) out.insert(out.end(), s.begin(), s.end());
  return out;
}
// The head segments (at most 7), `depth` copies of `filler` (a num, so
// that it may follow a repeat), then the tail segment if given.
inline Code deep_path(std::initializer_list<Code> head, Code depth, Code filler, Code tail = {}) {
  Code out{static_cast<std::uint8_t>(0xC0 | head.size() | (tail.empty() ? 0 : 8))};
  for (const Code& s : head) out.insert(out.end(), s.begin(), s.end());
  return cat({out, std::move(depth), std::move(filler), std::move(tail)});
}

// Label matchers.
inline Code present(Code key) { return cat({{0}, std::move(key)}); }
inline Code equals(Code key, Code value) { return cat({{1}, std::move(key), std::move(value)}); }
inline Code absent(Code key) { return cat({{3}, std::move(key)}); }
// In [texts..., word0 .. word<count-1>].
inline Code in(Code key, std::initializer_list<Code> texts, Word word = Word::V, std::uint16_t count = 0) {
  Code out = cat({{2}, std::move(key), {static_cast<std::uint8_t>(texts.size())}});
  for (const Code& t : texts) out.insert(out.end(), t.begin(), t.end());
  return cat({out, text(word), u16(count)});
}
// `count` matchers key000000 = value, key000001 = value, ...
inline Code equals_range(Code key, std::uint16_t count, Code value) {
  return cat({{5}, u16(count), std::move(key), std::move(value)});
}
inline Code labels(std::initializer_list<Code> matchers) {
  Code out{static_cast<std::uint8_t>(matchers.size())};
  for (const Code& m : matchers) out.insert(out.end(), m.begin(), m.end());
  return out;
}
inline Code no_labels() { return {0}; }

// Selectors.
inline Code any(Code labels_ = no_labels()) { return cat({{0}, std::move(labels_)}); }
inline Code exact(Code path_, Code labels_ = no_labels()) { return cat({{1}, std::move(path_), std::move(labels_)}); }
inline Code prefix(Code path_, Code labels_ = no_labels()) { return cat({{2}, std::move(path_), std::move(labels_)}); }

// Permissions; manage grants every class unless told.
inline Code read(Code selector) { return cat({{0}, std::move(selector)}); }
inline Code write(Code selector) { return cat({{1}, std::move(selector)}); }
inline Code manage(Code selector, std::uint8_t classes = 7) { return cat({{2}, std::move(selector), {classes}}); }
inline Code root_grant() { return {3}; }

// References: the n-th newest record, or the n-th from the first.
inline Code newest(Code n) { return cat({{0}, std::move(n)}); }
inline Code from_first(Code n) { return cat({{1}, std::move(n)}); }

// A program, one instruction per call.
class Writer {
 public:
  Writer& user(Code signer, Code who, Code counter = num(1)) { return op(ProgramOp::User, {signer, who, counter}); }
  Writer& group(Code signer, Code n, Code counter = num(1)) { return op(ProgramOp::Group, {signer, n, counter}); }
  Writer& member(Code signer, Code group, Code principal, Code counter = num(1)) {
    return op(ProgramOp::Member, {signer, group, principal, counter});
  }
  Writer& grant(Code signer, Code seed, Code grantee, Code permission, Code counter = num(1)) {
    return op(ProgramOp::Grant, {signer, seed, grantee, permission, counter});
  }
  Writer& delete_of(Code signer, Code ref, Code counter = num(0)) {
    return op(ProgramOp::DeleteOf, {signer, ref, counter});
  }
  Writer& grant_deleted(Code signer, Code seed, Code permission, Code counter) {
    return op(ProgramOp::Deleted, {{0}, signer, seed, permission, counter});
  }
  Writer& member_deleted(Code signer, Code group, Code principal, Code counter) {
    return op(ProgramOp::Deleted, {{1}, signer, group, principal, counter});
  }
  Writer& secret_deleted(Code signer, Code path_, Code labels_, Code counter) {
    return op(ProgramOp::Deleted, {{4}, signer, path_, labels_, counter});
  }
  Writer& rewrite(Code signer, Code ref, Code counter, Code permission) {
    return op(ProgramOp::Rewrite, {signer, ref, counter, permission});
  }
  Writer& secret(Code signer, Code path_, Code labels_, Code counter = num(1)) {
    return op(ProgramOp::Secret, {signer, path_, labels_, counter});
  }
  // The next `length` instructions, `count` times (1 to 32768, 1 to 8).
  Writer& repeat(std::uint16_t count, std::uint8_t length = 1) {
    const std::uint16_t n = count - 1;
    Code c = n < 0x80 ? Code{static_cast<std::uint8_t>(n)}
                      : Code{static_cast<std::uint8_t>(0x80 | (n >> 8)), static_cast<std::uint8_t>(n & 0xff)};
    return op(ProgramOp::Repeat, {c, {static_cast<std::uint8_t>(length - 1)}});
  }
  Writer& seen(Code ref, Code counter) { return op(ProgramOp::Seen, {ref, counter}); }
  Writer& spoil(Code ref) { return op(ProgramOp::Spoil, {ref}); }
  Writer& order(std::uint8_t mode) { return op(ProgramOp::Order, {{mode}}); }

  const Code& code() const { return code_; }

 private:
  Writer& op(ProgramOp op, std::initializer_list<Code> operands) {
    code_.push_back(static_cast<std::uint8_t>(op));
    for (const Code& o : operands) code_.insert(code_.end(), o.begin(), o.end());
    return *this;
  }
  Code code_;
};

}  // namespace vornex::test::program
