// The decoder's state: a bounds-checked cursor over borrowed input, the
// nesting depth and the limits. As in the encoder, the pending width hint is
// a parameter of each read rather than state.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "cord/error.hpp"
#include "cord/wire.hpp"
#include "cord/work.hpp"

namespace cord {

class Deserializer {
 public:
  explicit Deserializer(ByteView input, Limits limits = {}) : in_(input), limits_(limits) {}
  // The work of a decode is counted once, when it ends: every byte read
  // and every value entered (texts count their normalisation themselves).
  ~Deserializer() { count_work(in_.position() + steps_); }
  Deserializer(const Deserializer&) = delete;
  Deserializer& operator=(const Deserializer&) = delete;

  std::size_t remaining() const { return in_.remaining(); }
  std::size_t position() const { return in_.position(); }
  const std::uint8_t* data() const { return in_.data(); }
  const Limits& limits() const { return limits_; }
  std::uint32_t depth() const { return depth_; }

  // A shared buffer the input lies in, if the caller has one: values that
  // keep bytes may borrow theirs from it rather than copy them.
  const std::shared_ptr<const Bytes>* lender() const { return lender_; }
  void set_lender(const std::shared_ptr<const Bytes>* lender) { lender_ = lender; }

  Result<ByteView> read_bytes(std::size_t n) { return in_.take(n); }
  Result<std::uint8_t> next() { return in_.next(); }
  Result<std::uint32_t> read_u32();
  Result<std::uint64_t> read_u64() { return in_.read_uint(8); }

  Result<std::uint64_t> parse_length(Hint hint) {
    return wire::read_length(in_, width_of(hint), limits_.max_length);
  }
  // A length prefix of a fixed width (evolving payloads), at most the limit.
  Result<std::uint64_t> read_length(Width width) { return wire::read_length(in_, width, limits_.max_length); }
  Result<std::string_view> parse_string(Hint hint) { return wire::read_str(in_, width_of(hint), limits_.max_length); }
  Result<std::uint32_t> parse_variant_index(Hint hint) { return wire::read_variant_index(in_, width_of(hint)); }

  // One nesting level for a compound value; the level is entered before any
  // of its bytes are read.
  Status enter() {
    if (depth_ >= limits_.max_depth) [[unlikely]] return fail_cold(ErrorKind::DepthLimitExceeded);
    ++depth_;
    ++steps_;
    return {};
  }
  void leave() { --depth_; }
  // Work of the decode beyond reading and entering, such as comparing a
  // set's element with the one before it.
  void count(std::uint64_t steps) { steps_ += steps; }

 private:
  wire::Cursor in_;
  Limits limits_;
  std::uint32_t depth_ = 0;
  std::uint64_t steps_ = 0;
  const std::shared_ptr<const Bytes>* lender_ = nullptr;
};

}  // namespace cord
