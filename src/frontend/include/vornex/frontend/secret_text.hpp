// A copyable text wiped when dropped: an Auth keeps its passphrase or
// invitation for as long as it lives and may be copied into any number of
// vaults, and an opening keeps the invitation variables it read.
#pragma once

#include <string>
#include <string_view>

namespace vornex::frontend {

class SecretText {
 public:
  // Copied from where it lies, which its owner wipes: moving a short string
  // in would leave its characters in the source's inline buffer.
  explicit SecretText(std::string_view text) : text_(text) {}
  SecretText(const SecretText& other) : text_(other.text_) {}
  SecretText& operator=(const SecretText& other);
  ~SecretText();
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace vornex::frontend
