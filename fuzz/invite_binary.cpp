// An invitation in its binary form (magic, then the Cord bytes), as read
// from a file. Refusals are the invitation errors; an accepted one passes
// the checks of every invitation.
#include "invite_checks.hpp"
#include "vornex/frontend/runtime.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vornex;
  const cord::ByteView bytes = fuzz::input(data, size);
  auto material = frontend::decode_invite_bytes(bytes);
  if (!material) {
    const auto kind = material.error().kind();
    fuzz::check(kind == frontend::FrontendError::Kind::MalformedInvite || kind == frontend::FrontendError::Kind::Cord,
                "invitation bytes are refused as an invitation", material.error().message());
    return 0;
  }
  fuzz::check_invitation(bytes.subspan(frontend::kInviteMagic.size()), *material);
  return 0;
}
