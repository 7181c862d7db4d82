// A byte string that keeps up to 32 bytes in itself and only a longer one in
// a heap block of its own. Hash outputs and the identifiers made of them are
// 32 bytes and a vault keeps several per record, so holding them in place
// spares a heap block each. On the wire, in order and in equality it is
// exactly a `Bytes`.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cord/wire.hpp"

namespace cord {

class InlineBytes {
 public:
  static constexpr std::size_t kInlineCapacity = 32;

  InlineBytes() noexcept = default;
  explicit InlineBytes(ByteView bytes) { assign(bytes); }

  InlineBytes(const InlineBytes& other) : size_(other.size_) {
    if (other.on_heap()) {
      heap_ = new std::uint8_t[size_];
      std::memcpy(heap_, other.heap_, size_);
    } else {
      inline_ = other.inline_;
    }
  }
  InlineBytes(InlineBytes&& other) noexcept { take(other); }

  InlineBytes& operator=(const InlineBytes& other) {
    if (this == &other) return *this;
    if (!on_heap() && !other.on_heap()) {
      inline_ = other.inline_;
      size_ = other.size_;
    } else {
      assign(other.view());
    }
    return *this;
  }
  InlineBytes& operator=(InlineBytes&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }

  ~InlineBytes() { release(); }

  // `bytes` may lie inside this value: it is copied before anything is freed.
  void assign(ByteView bytes) {
    const std::size_t n = bytes.size();
    if (n <= kInlineCapacity) {
      Buffer copy{};
      if (n != 0) std::memcpy(copy.data(), bytes.data(), n);
      release();
      inline_ = copy;
    } else {
      auto* block = new std::uint8_t[n];
      std::memcpy(block, bytes.data(), n);
      release();
      heap_ = block;
    }
    size_ = n;
  }

  const std::uint8_t* data() const { return on_heap() ? heap_ : inline_.data(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::uint8_t* begin() const { return data(); }
  const std::uint8_t* end() const { return data() + size_; }
  ByteView view() const { return ByteView(data(), size_); }

  friend bool operator==(const InlineBytes& a, const InlineBytes& b) {
    return a.size_ == b.size_ && (a.size_ == 0 || std::memcmp(a.data(), b.data(), a.size_) == 0);
  }
  // Bytewise and unsigned, a proper prefix first: the order of `Bytes`.
  friend std::strong_ordering operator<=>(const InlineBytes& a, const InlineBytes& b) {
    const std::size_t common = a.size_ < b.size_ ? a.size_ : b.size_;
    const int c = common == 0 ? 0 : std::memcmp(a.data(), b.data(), common);
    if (c != 0) return c <=> 0;
    return a.size_ <=> b.size_;
  }

 private:
  using Buffer = std::array<std::uint8_t, kInlineCapacity>;

  bool on_heap() const { return size_ > kInlineCapacity; }

  // Leaves this value empty, with the inline buffer the live member.
  void release() noexcept {
    if (on_heap()) delete[] heap_;
    inline_ = Buffer{};
    size_ = 0;
  }

  // Takes over `other`'s bytes and leaves it empty; this value holds nothing.
  void take(InlineBytes& other) noexcept {
    size_ = other.size_;
    if (other.on_heap()) {
      heap_ = other.heap_;
    } else {
      inline_ = other.inline_;
    }
    other.inline_ = Buffer{};
    other.size_ = 0;
  }

  union {
    Buffer inline_{};
    std::uint8_t* heap_;
  };
  std::size_t size_ = 0;
};

}  // namespace cord
