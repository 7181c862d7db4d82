// What a caller tells the keychain about an unlock: whose identity, for
// which trusted root, and why. The purpose and the labels only shape the
// passphrase prompt.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vornex/core/ids.hpp"
#include "vornex/core/selector.hpp"
#include "vornex/store/paths.hpp"

namespace vornex::keychain {

using store::Path;

// Where a revealed secret goes.
namespace output_sink {
struct Stdout {};
struct File {
  Path path;
};
struct Clipboard {};
struct ChildProcess {
  std::vector<std::string> arguments;
};
struct SdkCaller {
  std::string name;
};
struct Other {
  std::string text;
};
}  // namespace output_sink

using OutputSink = std::variant<output_sink::Stdout, output_sink::File, output_sink::Clipboard,
                                output_sink::ChildProcess, output_sink::SdkCaller, output_sink::Other>;

namespace key_use {
struct Reveal {
  OutputSink sink;
  core::SecretSelectorV1 selector;
};
struct Run {
  std::vector<std::string> selectors;
  std::vector<std::string> command;
};
struct Set {
  core::SecretSelectorV1 selector;
};
struct Move {
  core::SecretSelectorV1 from;
  core::SecretSelectorV1 to;
};
struct Delete {
  core::SecretSelectorV1 selector;
};
struct Other {
  std::string text;
};
struct StoreIdentity {};
struct VerifyVault {};
}  // namespace key_use

using KeyUsePurpose = std::variant<key_use::Reveal, key_use::Run, key_use::Set, key_use::Move, key_use::Delete,
                                   key_use::Other, key_use::StoreIdentity, key_use::VerifyVault>;

// The purpose the Python module unlocks for.
inline constexpr std::string_view kSdkPurposeText = "use this identity from the Vornex Python SDK";

struct KeychainRequest {
  Path workspace_root;
  Path vault_path;  // carried, never read by the keychain
  core::HashValue root;
  core::UserId user;
  std::optional<std::string> vault_label;
  std::optional<std::string> user_label;
  KeyUsePurpose purpose;

  // Both labels absent.
  static KeychainRequest make(const store::WorkspacePaths& paths, core::HashValue root, core::UserId user,
                              KeyUsePurpose purpose);
  // The same request with both labels replaced.
  KeychainRequest with_labels(std::optional<std::string> vault, std::optional<std::string> user_name) &&;
};

// The texts of the passphrase prompt. None of them quotes or escapes
// anything: they are for reading.
std::string selector_for_prompt(const core::SecretSelectorV1& selector);
std::string sink_for_prompt(const OutputSink& sink);
std::string purpose_for_prompt(const KeyUsePurpose& purpose);
std::string user_for_prompt(const KeychainRequest& request);
std::string vault_for_prompt(const KeychainRequest& request);
// "Unlock Vornex keychain for user "{user}" in project "{project}" to {purpose}: "
std::string prompt_for(const KeychainRequest& request);

}  // namespace vornex::keychain
