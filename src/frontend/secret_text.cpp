#include "vornex/frontend/secret_text.hpp"

#include "vornex/core/secret.hpp"

namespace vornex::frontend {

SecretText& SecretText::operator=(const SecretText& other) {
  if (this != &other) {
    core::secure_wipe(text_.data(), text_.size());
    text_ = other.text_;
  }
  return *this;
}

SecretText::~SecretText() { core::secure_wipe(text_.data(), text_.size()); }

}  // namespace vornex::frontend
