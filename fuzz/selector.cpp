// Selector text, as every data method takes it. A parsed selector prints
// to its canonical text, which parses back to the same selector and prints
// the same again; its secret id can be derived. Refusals are selector
// errors.
#include "cord/text.hpp"
#include "support.hpp"
#include "vornex/core/crypto.hpp"
#include "vornex/crypto/provider.hpp"
#include "vornex/frontend/selector.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vornex;
  const std::string_view text = fuzz::input_text(data, size);
  // Texts reach here from Python strings, which are always UTF-8.
  if (!cord::text::is_utf8(text)) return 0;
  auto selector = frontend::parse_secret_selector(text);
  if (!selector) {
    fuzz::check(selector.error().kind() == frontend::FrontendError::Kind::InvalidSelector,
                "a selector text is refused as a selector", selector.error().message());
    return 0;
  }
  const std::string canonical = frontend::selector_string(*selector);
  auto again = frontend::parse_secret_selector(canonical);
  fuzz::check_ok(again, "parsing a selector's canonical text");
  fuzz::check(*again == *selector, "a selector's canonical text parses back to the same selector", canonical);
  fuzz::check(frontend::selector_string(*again) == canonical, "a canonical selector text prints as itself", canonical);
  const crypto::Crypto crypto;
  fuzz::check_ok(core::derive_secret_id(crypto, *selector), "deriving a parsed selector's secret id");
  return 0;
}
