// An invitation in its text form (Bech32m, or Bech32), as given to
// Auth.from_invite or in the environment. Refusals are the invitation
// errors; an accepted text passes the checks of every invitation.
#include "invite_checks.hpp"
#include "vornex/frontend/bundle.hpp"
#include "vornex/frontend/runtime.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vornex;
  const std::string_view text = fuzz::input_text(data, size);
  auto material = frontend::read_invite(text, std::nullopt);
  if (!material) {
    const auto kind = material.error().kind();
    fuzz::check(kind == frontend::FrontendError::Kind::MalformedInvite ||
                    kind == frontend::FrontendError::Kind::WrongInvitePrefix ||
                    kind == frontend::FrontendError::Kind::Cord,
                "an invitation text is refused as an invitation", material.error().message());
    return 0;
  }
  auto bytes = frontend::bundle::decode(text);
  fuzz::check(bytes.has_value(), "an accepted invitation text decodes");
  fuzz::check_invitation(bytes->view(), *material);
  return 0;
}
