// The store's errors. Reads of single files report plain I/O errors, so a
// caller can tell a missing file from a broken one; every other store
// operation reports `StoreError`, which names the path it failed on.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "cord/error.hpp"
#include "vornex/core/error.hpp"
#include "vornex/core/ids.hpp"

namespace vornex::store {

using Path = std::filesystem::path;

// The path as text for messages: bytes that are not UTF-8 show as U+FFFD.
std::string display(const Path& path);

enum class IoKind : std::uint8_t { NotFound, AlreadyExists, WouldBlock, InvalidInput, InvalidData, Other };

// An operating-system failure ("<message> (os error N)") or one this
// component constructs with a text of its own ("not a regular file").
class IoError {
 public:
  static IoError from_errno(int error_number);
  static IoError invalid_input(std::string text) { return IoError(IoKind::InvalidInput, 0, std::move(text)); }
  static IoError invalid_data(std::string text) { return IoError(IoKind::InvalidData, 0, std::move(text)); }

  IoKind kind() const { return kind_; }
  // The errno it came from, or 0 for a constructed error.
  int os_error() const { return os_error_; }
  const std::string& message() const { return text_; }

  bool operator==(const IoError&) const = default;

 private:
  IoError(IoKind kind, int os_error, std::string text) : kind_(kind), os_error_(os_error), text_(std::move(text)) {}

  IoKind kind_;
  int os_error_;
  std::string text_;
};

template <class T>
using IoResult = std::expected<T, IoError>;

class StoreError {
 public:
  // Declaration order is the variant number; keep it.
  enum class Kind : std::uint8_t {
    Io,
    VaultMissing,
    VaultInvalid,
    Cord,
    Core,
    WorkspaceNotFound,
    AmbiguousWorkspace,
    InvalidWorkspaceRoot,
    LockHeld,
    RatchetInvalid,
    TransactionInvalid,
    PendingTransaction,
    TrustRootMismatch,
    // Not a failure of the files: the caller pressed Ctrl-C (interrupt.hpp).
    Interrupted,
  };

  static StoreError io(Path path, IoError source) { return {Kind::Io, {std::move(path)}, std::move(source)}; }
  static StoreError vault_missing(Path path) { return {Kind::VaultMissing, {std::move(path)}, {}}; }
  static StoreError vault_invalid(Path path, core::CoreError source) {
    return {Kind::VaultInvalid, {std::move(path)}, std::move(source)};
  }
  static StoreError cord(cord::CordError error) { return {Kind::Cord, {}, std::move(error)}; }
  static StoreError core(core::CoreError error) { return {Kind::Core, {}, std::move(error)}; }
  static StoreError workspace_not_found(Path path) { return {Kind::WorkspaceNotFound, {std::move(path)}, {}}; }
  static StoreError ambiguous_workspace(Path start, Path nested, Path parent) {
    return {Kind::AmbiguousWorkspace, {std::move(start), std::move(nested), std::move(parent)}, {}};
  }
  static StoreError invalid_workspace_root(Path path) { return {Kind::InvalidWorkspaceRoot, {std::move(path)}, {}}; }
  static StoreError lock_held(Path path) { return {Kind::LockHeld, {std::move(path)}, {}}; }
  static StoreError ratchet_invalid(Path path, cord::CordError source) {
    return {Kind::RatchetInvalid, {std::move(path)}, std::move(source)};
  }
  static StoreError transaction_invalid(Path path, std::string reason) {
    return {Kind::TransactionInvalid, {std::move(path)}, std::move(reason)};
  }
  static StoreError pending_transaction(Path path) { return {Kind::PendingTransaction, {std::move(path)}, {}}; }
  static StoreError trust_root_mismatch(core::HashValue file, core::HashValue requested) {
    return {Kind::TrustRootMismatch, {}, RootPair{std::move(file), std::move(requested)}};
  }

  static StoreError interrupted() { return {Kind::Interrupted, {}, {}}; }

  Kind kind() const { return kind_; }
  // The path the failure names (the start path for AmbiguousWorkspace);
  // null for Cord, Core, TrustRootMismatch and Interrupted.
  const Path* path() const { return paths_.empty() ? nullptr : &paths_.front(); }
  // What each kind carries; null for the other kinds.
  const IoError* io_error() const { return std::get_if<IoError>(&detail_); }
  const core::CoreError* core_error() const { return std::get_if<core::CoreError>(&detail_); }
  const cord::CordError* cord_error() const { return std::get_if<cord::CordError>(&detail_); }
  const std::string* reason() const { return std::get_if<std::string>(&detail_); }

  std::string message() const;

  bool operator==(const StoreError&) const = default;

 private:
  struct RootPair {
    core::HashValue file;
    core::HashValue requested;
    bool operator==(const RootPair&) const = default;
  };
  using Detail = std::variant<std::monostate, IoError, core::CoreError, cord::CordError, std::string, RootPair>;

  StoreError(Kind kind, std::vector<Path> paths, Detail detail)
      : kind_(kind), paths_(std::move(paths)), detail_(std::move(detail)) {}

  Kind kind_;
  std::vector<Path> paths_;
  Detail detail_;
};

template <class T>
using StoreResult = std::expected<T, StoreError>;
using StoreStatus = std::expected<void, StoreError>;

}  // namespace vornex::store
