// User references, resolved against the state of a small vault (the root,
// "alice" and "bob" with handles), as a keychain opening resolves them.
// A handle normalises once and for all; a resolution names a user of the
// vault or fails with a reference error, never with an error from below.
#include <memory>

#include "cord/text.hpp"
#include "support.hpp"
#include "vault_builder.hpp"
#include "vornex/frontend/user.hpp"

namespace {

using namespace vornex;

struct Fixture {
  test::VaultBuilder builder;
  core::validate::ValidationReport report;
};

std::unique_ptr<Fixture> make_fixture() {
  auto fixture = std::make_unique<Fixture>();
  test::VaultBuilder& b = fixture->builder;
  std::vector<core::VaultRecordV1> records{b.vault_root()};
  for (const std::uint8_t seed : {2, 3}) {
    const crypto::Identity& user = b.identity(seed);
    records.push_back(b.user(b.root(), user));
    records.push_back(b.entry_point(user));
    records.push_back(b.user_handle(b.root(), seed == 2 ? "alice" : "bob", user.user_id()));
  }
  auto set = cord::Set<core::VaultRecordV1>::from(std::move(records));
  if (!set) fuzz::fail("building the fixture vault", set.error().message());
  auto root = core::key_hash(b.crypto(), b.root().signing_public_key());
  if (!root) fuzz::fail("the fixture root", root.error().message());
  auto report = core::validate::validate_vault(*set, core::Ratchet::make(root->to_vec()), b.crypto());
  if (!report || !report->issues.empty()) fuzz::fail("validating the fixture vault");
  fixture->report = std::move(*report);
  return fixture;
}

const Fixture& fixture() {
  static const std::unique_ptr<Fixture> made = make_fixture();
  return *made;
}

bool is_reference_error(const frontend::FrontendError& error) {
  using Kind = frontend::FrontendError::Kind;
  switch (error.kind()) {
    case Kind::InvalidUserHandle:
    case Kind::UnknownUser:
    case Kind::AmbiguousUser:
    case Kind::InvalidHex:
      return true;
    case Kind::Ops: {
      using Ops = ops::OpsError::Kind;
      const Ops kind = error.ops_error()->kind();
      return kind == Ops::UnknownUserHandle || kind == Ops::HandleToMissingUser || kind == Ops::InvalidUserHandle ||
             kind == Ops::UserMissingUserRecord;
    }
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  (void)fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text = fuzz::input_text(data, size);
  // Texts reach here from Python strings, which are always UTF-8.
  if (!cord::text::is_utf8(text)) return 0;
  if (auto handle = frontend::parse_handle_name(text)) {
    auto again = frontend::parse_handle_name(*handle);
    fuzz::check_ok(again, "parsing a normalised handle");
    fuzz::check(*again == *handle, "a normalised handle normalises to itself", *handle);
  }
  (void)frontend::parse_user_ref(text);
  if (auto prefix = frontend::normalize_hex_prefix(text)) {
    fuzz::check(frontend::normalize_hex_prefix(*prefix) == prefix, "a normalised prefix normalises to itself");
  }

  const Fixture& f = fixture();
  auto resolved = frontend::resolve_cli_user_ref_in_report(f.report.effective, f.builder.crypto(), text);
  if (!resolved) {
    fuzz::check(is_reference_error(resolved.error()), "a user reference is refused as a reference",
                resolved.error().message());
    return 0;
  }
  fuzz::check(f.report.effective.users.contains(resolved->user_id), "a reference resolves to a user of the vault");
  return 0;
}
