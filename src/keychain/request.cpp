#include "vornex/keychain/request.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "cord/text.hpp"
#include "vornex/store/error.hpp"

namespace vornex::keychain {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

// Items joined with single blanks; a command or argument list with nothing
// in it would otherwise vanish from the sentence.
std::string words_or_empty_command(const std::vector<std::string>& items) {
  if (items.empty()) return "<empty command>";
  std::string out = items.front();
  for (std::size_t i = 1; i < items.size(); ++i) out += " " + items[i];
  return out;
}

std::string selectors_text(const std::vector<std::string>& selectors) {
  if (selectors.empty()) return "no selectors";
  if (selectors.size() == 1) return selectors.front();
  return std::to_string(selectors.size()) + " selectors";
}

// Enough of an id to tell two apart at a glance.
std::string short_hex(const core::HashValue& id) { return store::hex_hash(id).substr(0, 8); }

bool present(const std::optional<std::string>& label) { return label && !label->empty(); }

bool stores_identity(const KeychainRequest& request) {
  return std::holds_alternative<key_use::StoreIdentity>(request.purpose);
}

}  // namespace

KeychainRequest KeychainRequest::make(const store::WorkspacePaths& paths, core::HashValue root, core::UserId user,
                                      KeyUsePurpose purpose) {
  return {paths.root(), paths.vault_path(), std::move(root), std::move(user), std::nullopt, std::nullopt,
          std::move(purpose)};
}

KeychainRequest KeychainRequest::with_labels(std::optional<std::string> vault,
                                             std::optional<std::string> user_name) && {
  vault_label = std::move(vault);
  user_label = std::move(user_name);
  return std::move(*this);
}

std::string selector_for_prompt(const core::SecretSelectorV1& selector) {
  std::string out = selector.tuple.empty() ? "<root>" : selector.tuple.front();
  for (std::size_t i = 1; i < selector.tuple.size(); ++i) out += "/" + selector.tuple[i];
  if (!selector.labels.empty()) {
    out += "{";
    for (std::size_t i = 0; i < selector.labels.size(); ++i) {
      if (i > 0) out += ",";
      out += selector.labels[i].key + "=" + selector.labels[i].value;
    }
    out += "}";
  }
  return out;
}

std::string sink_for_prompt(const OutputSink& sink) {
  return std::visit(Overloaded{
                        [](const output_sink::Stdout&) -> std::string { return "stdout"; },
                        [](const output_sink::File& f) { return "file " + store::display(f.path); },
                        [](const output_sink::Clipboard&) -> std::string { return "clipboard"; },
                        [](const output_sink::ChildProcess& c) {
                          return "child process " + words_or_empty_command(c.arguments);
                        },
                        [](const output_sink::SdkCaller& s) { return "SDK caller " + s.name; },
                        [](const output_sink::Other& o) { return o.text; },
                    },
                    sink);
}

std::string purpose_for_prompt(const KeyUsePurpose& purpose) {
  return std::visit(Overloaded{
                        [](const key_use::Reveal& r) {
                          return "reveal " + selector_for_prompt(r.selector) + " to " + sink_for_prompt(r.sink);
                        },
                        [](const key_use::Run& r) {
                          return "run " + words_or_empty_command(r.command) + " with " + selectors_text(r.selectors);
                        },
                        [](const key_use::Set& s) { return "set " + selector_for_prompt(s.selector); },
                        [](const key_use::Move& m) {
                          return "move " + selector_for_prompt(m.from) + " to " + selector_for_prompt(m.to);
                        },
                        [](const key_use::Delete& d) { return "delete " + selector_for_prompt(d.selector); },
                        [](const key_use::Other& o) { return o.text; },
                        [](const key_use::StoreIdentity&) -> std::string { return "store this identity"; },
                        [](const key_use::VerifyVault&) -> std::string { return "verify and inspect the vault"; },
                    },
                    purpose);
}

std::string user_for_prompt(const KeychainRequest& request) {
  if (present(request.user_label)) return *request.user_label;
  // A new identity has no id the user could recognise yet.
  if (stores_identity(request)) return "this identity";
  return short_hex(request.user.hash());
}

std::string vault_for_prompt(const KeychainRequest& request) {
  if (present(request.vault_label)) return *request.vault_label;
  // Before the vault has a handle, its directory is the best name it has.
  if (stores_identity(request)) {
    const auto name = store::file_name_of(request.workspace_root);
    if (name && !name->empty() && cord::text::is_utf8(name->native())) return name->native();
  }
  return short_hex(request.root);
}

std::string prompt_for(const KeychainRequest& request) {
  return "Unlock Vornex keychain for user \"" + user_for_prompt(request) + "\" in project \"" +
         vault_for_prompt(request) + "\" to " + purpose_for_prompt(request.purpose) + ": ";
}

}  // namespace vornex::keychain
